"""The burn state file: exact bytes, loading rules, and saves that replace the file in one step."""

from __future__ import annotations

import json
import os
import re
import stat
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

STAMP = "2026-12-06T17:14:27Z"
EXAMPLE = (b'{\n  "owner_burn_rate": {\n    "0": "0",\n    "1": "0.18",\n    "10": "1e-05",\n'
           b'    "2": "0.5"\n  },\n  "updated_at_utc": "2026-12-06T17:14:27Z"\n}\n')


def host_bytes(burns, updated_at=STAMP):
    document = {"updated_at_utc": updated_at, "owner_burn_rate": burns}
    return (json.dumps(document, indent=2, sort_keys=True) + "\n").encode("utf-8")


def listing(directory):
    return sorted(os.listdir(directory))


@pytest.mark.parametrize("burns, expected", [
    ({"2": "0.5", "10": "1e-05", "1": "0.18", "0": "0"}, EXAMPLE),
    ({}, b'{\n  "owner_burn_rate": {},\n  "updated_at_utc": "2026-12-06T17:14:27Z"\n}\n'),
    ({"1": "\u00e9"}, b'{\n  "owner_burn_rate": {\n    "1": "\\u00e9"\n  },\n  "updated_at_utc": "2026-12-06T17:14:27Z"\n}\n'),
])
def test_exact_bytes_and_reading_back(es, tmp_path, burns, expected):
    path = tmp_path / "state.json"
    assert es.save_burn_state(str(path), burns, STAMP) is None
    assert path.read_bytes() == expected and listing(tmp_path) == ["state.json"]
    assert list(es.load_burn_state(str(path)).items()) == sorted(burns.items())


CHAR = st.one_of(st.characters(), st.characters(categories=["Cs"]), st.characters(min_codepoint=0x10000),
                 st.sampled_from('\x00\x1f\x7f"\\/\n\r\t\b\f\u2028\ufeff'))
TEXT = st.text(CHAR, max_size=10)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(burns=st.dictionaries(TEXT, TEXT, max_size=8), stamp=TEXT)
def test_native_writer_matches_the_host_encoder(es, tmp_path_factory, burns, stamp):
    path = tmp_path_factory.mktemp("generated") / "state.json"
    es.save_burn_state(str(path), burns, stamp)
    assert path.read_bytes() == host_bytes(burns, stamp)
    loaded = es.load_burn_state(str(path))
    assert loaded == burns and list(loaded) == sorted(burns)


Text = type("Text", (str,), {})


@pytest.mark.parametrize("burns", [
    {"1": 0.5, "2": None, "3": [1, "\u00e9"], "4": True, "5": 1e400}, {Text("1"): "0.1", "2": Text("0.2")},
    {1: "0.1", 2.5: "x", False: "z"}, {1: "a", "b": "c"}, {"1": object()}, {("t",): "x"},
])
def test_other_maps_are_written_or_refused_as_the_host_encoder_does(es, tmp_path, burns):
    path = tmp_path / "state.json"
    es.save_burn_state(str(path), {"1": "0.1"}, STAMP)
    try:
        expected = host_bytes(burns)
    except TypeError as refused:
        with pytest.raises(TypeError, match=f"^{re.escape(str(refused))}$"):
            es.save_burn_state(str(path), burns, STAMP)
        expected = host_bytes({"1": "0.1"})  # untouched
    else:
        es.save_burn_state(str(path), burns, STAMP)
    assert path.read_bytes() == expected and listing(tmp_path) == ["state.json"]


EMPTY = [b"", b"{", b"{}", EXAMPLE[:-20], b'\xef\xbb\xbf{"owner_burn_rate": {"1": "2"}}', b'{"updated_at_utc": "x"}'] + [
    b'{"owner_burn_rate": %s}' % v for v in (b"null", b'"x"', b"5", b"[]", b"true")]


@pytest.mark.parametrize("content, expected", [(content, {}) for content in EMPTY] + [
    (b'{"owner_burn_rate": {"5": 0.18, "6": 3, "7": null, "8": false, "9": true}}',
     {"5": "0.18", "6": "3", "7": "None", "8": "False", "9": "True"}),
    (b'{"owner_burn_rate": {"a": [1, "x"], "b": {}, "c": "", "d": 0.0, "e": 1e400, "f": NaN}}',
     {"a": "[1, 'x']", "b": "{}", "c": "", "d": "0.0", "e": "inf", "f": "nan"}),
    (b'{"owner_burn_rate": {"2": "a", "1": " b ", "2": "c"}, "other": 1}', {"2": "c", "1": " b "}),
    (b'{"owner_burn_rate": {"\\u00e9": "\\ud800"}}', {"\u00e9": "\ud800"}),
])
def test_load_table(es, tmp_path, content, expected):
    (tmp_path / "state.json").write_bytes(content)
    assert list(es.load_burn_state(str(tmp_path / "state.json")).items()) == list(expected.items())


def test_paths_without_a_regular_file_load_empty_and_create_nothing(es, tmp_path):
    (tmp_path / "dir").mkdir()
    (tmp_path / "real.json").write_bytes(EXAMPLE)
    os.symlink("real.json", tmp_path / "link.json")
    os.symlink("gone.json", tmp_path / "dangling.json")
    before = listing(tmp_path)
    for path in ["", str(tmp_path / "missing.json"), str(tmp_path / "dir"), str(tmp_path / "dangling.json")]:
        assert es.load_burn_state(path) == {}
    assert es.load_burn_state(str(tmp_path / "link.json"))["10"] == "1e-05"
    assert listing(tmp_path) == before


class Unreadable:
    closed = False

    def read(self, *args):
        raise OSError(5, "Input/output error")

    def close(self):
        self.closed = True


def test_failures_of_loading_and_the_file_closed_on_every_path(es, tmp_path, monkeypatch):
    opened = []

    def recording_open(*args, **kwargs):
        assert args[1:] == ("r",) and kwargs == {"encoding": "utf-8"}
        opened.append(open(*args, **kwargs) if len(opened) < 4 else Unreadable())
        return opened[-1]

    monkeypatch.setattr(es, "open", recording_open, raising=False)
    path = tmp_path / "state.json"
    for content, outcome in [(EXAMPLE, 4), (b"{", 0), (b"[]", "'list' object has no attribute 'get'"),
                             (b'{"1": "\xff"}', "invalid start byte"), (EXAMPLE, 0)]:
        path.write_bytes(content)
        if isinstance(outcome, int):
            assert len(es.load_burn_state(str(path))) == outcome
        else:
            with pytest.raises((AttributeError, UnicodeDecodeError), match=outcome):
                es.load_burn_state(str(path))
    assert len(opened) == 5 and all(f.closed for f in opened)
    monkeypatch.setattr(es, "open", lambda *a, **k: (_ for _ in ()).throw(PermissionError(13, "denied")))
    assert es.load_burn_state(str(path)) == {}


def test_save_replaces_the_file_instead_of_rewriting_it(es, tmp_path):
    path = tmp_path / "state.json"
    es.save_burn_state(str(path), {"1": "0.1"}, STAMP)
    with open(path, "rb") as reader:  # a load that overlaps the save sees the old file whole
        es.save_burn_state(str(path), {"2": "0.2"}, STAMP)
        assert reader.read() == host_bytes({"1": "0.1"})
    assert path.read_bytes() == host_bytes({"2": "0.2"}) and listing(tmp_path) == ["state.json"]


FSIZE_SCRIPT = r"""
import resource, signal, sys
from bittensor_emberscope import emberscope as es
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
try:
    es.save_burn_state(sys.argv[1], {str(n): "0." + "7" * 40 for n in range(500)}, "2026-01-01T00:00:00Z")
except OSError as e:
    print(e.errno)
"""


def test_a_save_cut_short_by_the_file_size_limit_leaves_the_old_file(es, tmp_path):
    path = tmp_path / "state.json"
    es.save_burn_state(str(path), {"1": "0.1", "2": "0.2"}, STAMP)
    run = subprocess.run([sys.executable, "-c", FSIZE_SCRIPT, str(path)], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "27"  # EFBIG, after a first part was written
    assert path.read_bytes() == host_bytes({"1": "0.1", "2": "0.2"}) and listing(tmp_path) == ["state.json"]


class ScriptedOs:
    """The host's os module with one file call replaced; records the names of the file calls."""

    def __init__(self, name, replacement):
        self.calls, self.name, self.replacement = [], name, replacement

    def __getattr__(self, name):
        real = getattr(os, name)
        if name not in {"open", "write", "fsync", "close", "replace", "unlink", "fchmod"}:
            return real
        return lambda *args: (self.calls.append(name),
                              self.replacement(real, *args) if name == self.name else real(*args))[1]


BOOM = RuntimeError("boom")


def fail_before(real, *args):
    raise BOOM


def fail_after(real, *args):
    real(*args)
    raise BOOM


@pytest.mark.parametrize("step, how", [("fchmod", fail_before), ("write", fail_after), ("fsync", fail_before),
                                       ("close", fail_after), ("replace", fail_before)])
def test_a_failure_at_any_step_keeps_the_old_file_and_the_error(es, tmp_path, monkeypatch, step, how):
    path = tmp_path / "state.json"
    es.save_burn_state(str(path), {"1": "0.1"}, STAMP)
    fake = ScriptedOs(step, how)
    monkeypatch.setattr(es, "os", fake)
    with pytest.raises(RuntimeError) as info:
        es.save_burn_state(str(path), {"2": "0.2"}, STAMP)
    assert info.value is BOOM and fake.calls[-1] == "unlink"
    assert path.read_bytes() == host_bytes({"1": "0.1"}) and listing(tmp_path) == ["state.json"]


def test_content_is_synced_before_the_rename_and_short_writes_continue(es, tmp_path, monkeypatch):
    path, burns = tmp_path / "state.json", {str(n): "0.5" for n in range(20)}
    fake = ScriptedOs("write", lambda real, fd, data: real(fd, data[:7]))
    monkeypatch.setattr(es, "os", fake)
    es.save_burn_state(str(path), burns, STAMP)
    calls = [c for i, c in enumerate(fake.calls) if c != "write" or fake.calls[i - 1] != "write"]
    assert calls == ["open", "write", "fsync", "close", "replace", "open", "fsync", "close"]
    assert path.read_bytes() == host_bytes(burns)


@pytest.mark.parametrize("mode, umask", [(0o600, 0o022), (0o640, 0o077), (0o755, 0o002)])
def test_an_existing_file_keeps_its_permissions_and_a_new_one_gets_the_umask(es, tmp_path, mode, umask):
    old, new = tmp_path / "old.json", tmp_path / "new.json"
    old.write_text("{}")
    os.chmod(old, mode)
    saved = os.umask(umask)
    try:
        es.save_burn_state(str(old), {"1": "0.1"}, STAMP)
        es.save_burn_state(str(new), {"1": "0.1"}, STAMP)
    finally:
        os.umask(saved)
    assert (stat.S_IMODE(os.stat(old).st_mode), stat.S_IMODE(os.stat(new).st_mode)) == (mode, 0o666 & ~umask)


def test_a_link_stays_a_link_and_its_target_is_replaced(es, tmp_path):
    (tmp_path / "real").mkdir()
    link = tmp_path / "state.json"
    os.symlink("real/target.json", link)
    for burns in ({"1": "0.1"}, {"2": "0.2"}):  # dangling at first, then to an existing file
        es.save_burn_state(str(link), burns, STAMP)
        assert os.readlink(link) == "real/target.json"
        assert (tmp_path / "real" / "target.json").read_bytes() == host_bytes(burns)
    assert listing(tmp_path) == ["real", "state.json"] and listing(tmp_path / "real") == ["target.json"]


def test_a_pipe_is_refused_even_with_a_reader(es, tmp_path):
    os.mkfifo(tmp_path / "pipe")
    reader = os.open(tmp_path / "pipe", os.O_RDONLY | os.O_NONBLOCK)
    try:
        with pytest.raises(OSError) as info:
            es.save_burn_state(str(tmp_path / "pipe"), {"1": "0.1"}, STAMP)
        assert str(info.value) == f"[Errno 22] Not a regular file: '{tmp_path / 'pipe'}'"
        assert os.read(reader, 65536) == b""
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe").st_mode) and listing(tmp_path) == ["pipe"]


@pytest.mark.parametrize("relative", ["missing/state.json", "dir", "dir/", "dir/.", "file/state.json", ""])
def test_unwritable_paths_fail_as_a_plain_write_would(es, tmp_path, relative):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file").write_text("x")
    path = str(tmp_path / relative) if relative else ""
    before = listing(tmp_path), listing(tmp_path / "dir")
    with pytest.raises(OSError) as plain:
        open(path, "w")
    with pytest.raises(OSError) as got:
        es.save_burn_state(path, {"1": "0.1"}, STAMP)
    assert (type(got.value), str(got.value), got.value.filename) == (type(plain.value), str(plain.value), path)
    assert (listing(tmp_path), listing(tmp_path / "dir")) == before


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind the superuser")
def test_a_read_only_directory_refuses_the_save_and_keeps_the_file(es, tmp_path):
    path = tmp_path / "state.json"
    es.save_burn_state(str(path), {"1": "0.1"}, STAMP)
    os.chmod(tmp_path, 0o555)
    try:
        for target in (path, tmp_path / "new.json"):
            with pytest.raises(PermissionError) as info:
                es.save_burn_state(str(target), {"2": "0.2"}, STAMP)
            assert info.value.filename == str(target)
    finally:
        os.chmod(tmp_path, 0o755)
    assert path.read_bytes() == host_bytes({"1": "0.1"}) and listing(tmp_path) == ["state.json"]


def test_a_save_removes_what_a_killed_save_left_behind(es, tmp_path):
    path = tmp_path / "state.json"
    es.save_burn_state(str(path), {"1": "0.5"}, "2026-01-01T00:00:00Z")
    # A writer that was killed: a process that has exited, leaving its temporary file.
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True)
    abandoned = tmp_path / f".state.json.{dead.stdout.strip()}.0123456789abcdef.tmp"
    abandoned.write_text("{")
    # Files whose writer may still be running, and files that are not ours, stay.
    live = tmp_path / f".state.json.{os.getpid()}.fedcba9876543210.tmp"
    live.write_text("{")
    foreign = tmp_path / ".state.json.notes.tmp"
    foreign.write_text("x")
    es.save_burn_state(str(path), {"1": "0.6"}, "2026-01-01T00:00:00Z")
    assert listing(tmp_path) == sorted([".state.json.notes.tmp", live.name, "state.json"])
    assert es.load_burn_state(str(path)) == {"1": "0.6"}
