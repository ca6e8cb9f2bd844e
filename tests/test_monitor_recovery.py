"""The monitor engine where files, disks, clocks and readings misbehave, end to end over loopback:
files that exist but cannot be read, a state that cannot be written, readings that are missing
or not numbers, moves below four decimals, wall-clock steps and corruption twice in a second."""

from __future__ import annotations

import datetime
import errno
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from test_cli import unstamped

from bittensor_emberscope import monitor
from bittensor_emberscope.testing import Answer

TOKEN = "123456:TEST-token-abcdef"
CHAT = "-1001"
REAL_OPEN = open


@pytest.fixture
def sleeps(monkeypatch):
    """Records the engine's sleeps instead of sleeping; its monotonic clock moves with them."""
    calls: list[float] = []
    now = [1000.0]

    def sleep(seconds):
        calls.append(seconds)
        now[0] += seconds

    monkeypatch.setattr(monitor.time, "sleep", sleep)
    monkeypatch.setattr(monitor.time, "monotonic", lambda: now[0])
    return now


@pytest.fixture
def paths(tmp_path):
    return {"state": tmp_path / "state.json", "outbox": tmp_path / "state.outbox.json",
            "pause": tmp_path / "pause"}


@pytest.fixture
def cycle(paths, sleeps):
    def run(**kw):
        args = dict(state_path=str(paths["state"]), threshold=0.05, burn_token=TOKEN,
                    burn_chat_id=CHAT, pause_path=str(paths["pause"]), interval_seconds=600)
        args.update(kw)
        return monitor.run_cycle(**args)
    return run


def rows(values: dict[int, object]) -> list[dict]:
    return [{"netuid": n, "incentive_burn": v} for n, v in values.items()]


def err_lines(capsys) -> list[str]:
    return capsys.readouterr().err.splitlines(keepends=True)


def baseline(taostats, cycle, capsys, values):
    taostats.rows = rows(values)
    report = cycle()
    assert report["outcome"] == "ok" and report["changes"] == []
    capsys.readouterr()


def snapshot(directory: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir()) if p.is_file()}


class _FailingRead(io.StringIO):
    def read(self, *args):
        raise OSError(errno.EIO, "Input/output error")


def failing_open(target: str, where: str):
    """An `open` for the engine under which `target` exists but cannot be read."""
    def substitute(path, *args, **kw):
        if os.fspath(path) != target:
            return REAL_OPEN(path, *args, **kw)
        if where == "open":
            raise PermissionError(errno.EACCES, "Permission denied", target)
        return _FailingRead("")
    return substitute


# A file that exists but cannot be read

@pytest.mark.parametrize("which", ["state", "outbox"])
@pytest.mark.parametrize("where, reason", [
    ("open", "[Errno 13] Permission denied: '{path}'"),
    ("read", "[Errno 5] Input/output error"),
])
def test_an_unreadable_file_fails_the_cycle_and_touches_nothing(
        taostats, telegram, cycle, capsys, paths, monkeypatch, which, where, reason):
    baseline(taostats, cycle, capsys, {1: 0.1})
    paths["outbox"].write_text(json.dumps({"chat_migrations": {}, "messages": [
        {"count": 1, "kind": "alert", "part": 1, "queued_at": datetime.datetime.now().timestamp(),
         "stamp": "s", "text": "waiting", "total": 1}], "version": 1}))
    before = snapshot(paths["state"].parent)
    asked = len(taostats.requests)
    target = str(paths[which])
    monkeypatch.setattr(monitor, "open", failing_open(target, where), raising=False)
    taostats.rows = rows({1: 0.9})
    report = cycle()
    what = "state file" if which == "state" else "outbox file"
    detail = f"cannot read the {what} {target}: " + reason.format(path=target)
    assert (report["outcome"], report["detail"]) == ("error", detail)
    assert err_lines(capsys) == [f"[burn] error: {detail}\n"]
    assert snapshot(paths["state"].parent) == before
    assert telegram.requests == [] and len(taostats.requests) == asked

    monkeypatch.delattr(monitor, "open")
    report = cycle()
    assert report["outcome"] == "ok" and report["changes"] == [["1", "0.1", "0.9"]]
    assert telegram.messages[0] == "waiting"
    assert telegram.messages[1].endswith("SN1: 0.1000 → 0.9000")


def test_read_state_raises_for_a_file_it_cannot_read(tmp_path, monkeypatch):
    path = tmp_path / "state.json"
    path.write_text('{"owner_burn_rate": {"1": "0.1"}}')
    monkeypatch.setattr(monitor, "open", failing_open(str(path), "open"), raising=False)
    with pytest.raises(PermissionError):
        monitor.read_state(str(path))
    monkeypatch.delattr(monitor, "open")
    path.unlink()
    path.mkdir()
    with pytest.raises(ValueError, match="a directory, not a file"):
        monitor.read_state(str(path))


# The command, as an unprivileged user where it runs as root (permission bits then bind), or with
# an `open` that fails reading.
RUN_AS = """
import os, sys, errno, io
import bittensor_emberscope.cli as cli
from bittensor_emberscope import monitor
how, target = sys.argv[1], sys.argv[2]
if how == "uid":
    # What the command imports on its way is imported first: the interpreter's library may not
    # be readable to that user.
    cli.build_parser()
    os.setgroups([]); os.setgid(65534); os.setuid(65534)
elif how == "eio":
    real = open
    class Failing(io.StringIO):
        def read(self, *a):
            raise OSError(errno.EIO, "Input/output error")
    monitor.open = lambda p, *a, **k: Failing("") if os.fspath(p) == target else real(p, *a, **k)
sys.exit(cli.main(sys.argv[3:]))
"""


@pytest.fixture
def shared_dir():
    """A directory an unprivileged user can enter (pytest's own are private to root)."""
    path = Path(tempfile.mkdtemp(prefix="emberscope-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


@pytest.mark.parametrize("which", ["state.json", "state.outbox.json"])
@pytest.mark.parametrize("how", ["uid", "eio"])
def test_once_fails_loudly_on_an_unreadable_file(shared_dir, taostats, telegram, which, how):
    if how == "uid" and os.geteuid() != 0:
        how = "chmod"
    state, outbox = shared_dir / "state.json", shared_dir / "state.outbox.json"
    state.write_text('{\n  "owner_burn_rate": {\n    "1": "0.1"\n  }\n}\n')
    outbox.write_text(json.dumps({"messages": [{"count": 1, "kind": "alert", "part": 1,
                                                "queued_at": datetime.datetime.now().timestamp(),
                                                "stamp": "s", "text": "waiting", "total": 1}]}))
    target = shared_dir / which
    for path in (state, outbox):
        path.chmod(0o000 if how in ("uid", "chmod") and path == target else 0o644)
    lock = shared_dir / "state.lock"  # the lock is the user's to take, as in its own folder
    lock.touch()
    lock.chmod(0o666)
    before = {p: (p.read_bytes(), p.stat().st_mode) for p in (state, outbox)}
    taostats.rows = rows({1: 0.9})
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_"))}
    env.update(TAOSTATS_API_BASE=taostats.base_url, TAOSTATS_API_KEY="key",
               TELEGRAM_API_BASE=telegram.base_url, TELEGRAM_BOT_TOKEN=TOKEN,
               TELEGRAM_CHAT_ID=CHAT, EMBERSCOPE_STATE_FILE=str(state), HOME=str(shared_dir))
    done = subprocess.run([sys.executable, "-c", RUN_AS, how if how != "chmod" else "-",
                           str(target), "once", "--threshold", "0.05"],
                          env=env, capture_output=True, text=True, timeout=60)
    what = "state file" if which == "state.json" else "outbox file"
    assert done.returncode == 1, done.stderr
    first = unstamped(done.stderr.splitlines()[0])
    assert first.startswith(f"[burn] error: cannot read the {what} {target}: [Errno ")
    assert ("Permission denied" if how != "eio" else "Input/output error") in first
    assert {p: (p.read_bytes(), p.stat().st_mode) for p in (state, outbox)} == before
    assert not [p for p in shared_dir.iterdir() if ".corrupt-" in p.name]
    assert telegram.requests == [] and taostats.requests == []


READ_AS_NOBODY = """
import os, sys
from bittensor_emberscope import monitor
if os.geteuid() == 0:
    os.setgroups([]); os.setgid(65534); os.setuid(65534)
try:
    print(repr(monitor.read_state(sys.argv[1])))
except Exception as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("closed", ["file", "directory"])
def test_read_state_raises_where_permissions_refuse_the_file(shared_dir, closed):
    inner = shared_dir / "inner"
    inner.mkdir()
    state = inner / "state.json"
    state.write_text('{"owner_burn_rate": {"1": "0.1"}}')
    (state if closed == "file" else inner).chmod(0o000 if closed == "file" else 0o700)
    if os.geteuid() != 0:
        inner.chmod(0o000 if closed == "directory" else 0o755)
    try:
        done = subprocess.run([sys.executable, "-c", READ_AS_NOBODY, str(state)],
                              capture_output=True, text=True, timeout=60)
    finally:
        inner.chmod(0o755)
    assert done.stdout == f"PermissionError [Errno 13] Permission denied: '{state}'\n", done.stderr


# A state that cannot be written

class _FullDisk:
    """The engine's `os`, with the disk full for one file's replacement."""

    def __init__(self, full: str) -> None:
        self.full = full

    def replace(self, src, dst):
        if os.fspath(dst) == self.full:
            raise OSError(errno.ENOSPC, "No space left on device", dst)
        return os.replace(src, dst)

    def __getattr__(self, name):
        return getattr(os, name)


def test_a_full_disk_never_delivers_the_same_change_twice(taostats, telegram, cycle, capsys,
                                                          paths, monkeypatch):
    baseline(taostats, cycle, capsys, {1: 0.1})
    saved = paths["state"].read_bytes()
    monkeypatch.setattr(monitor, "os", _FullDisk(str(paths["state"])))
    taostats.rows = rows({1: 0.9})
    for _ in range(4):
        report = cycle()
        assert report["outcome"] == "error"
        assert report["detail"] == f"[Errno 28] No space left on device: '{paths['state']}'"
    assert telegram.messages == []
    assert paths["state"].read_bytes() == saved and not paths["outbox"].exists()
    monkeypatch.setattr(monitor, "os", os)
    assert cycle()["outcome"] == "ok" and cycle()["outcome"] == "ok"
    assert len(telegram.messages) == 1 and telegram.messages[0].endswith("SN1: 0.1000 → 0.9000")


# Readings that are missing or not numbers

@pytest.mark.parametrize("reading, sample", [
    (None, "1: null"), ("absent", "1: (none)"), (float("nan"), "1: NaN"), ("NaN", '1: "NaN"'),
    (float("inf"), "1: Infinity"), (" -inf ", '1: " -inf "'), ("1e999", '1: "1e999"'),
])
def test_a_missing_or_non_finite_reading_keeps_the_last_value(taostats, telegram, cycle, capsys,
                                                              paths, reading, sample):
    baseline(taostats, cycle, capsys, {1: 0.18, 2: 0.5})
    taostats.rows = rows({1: reading, 2: 0.5})
    if reading == "absent":
        taostats.clear_burn(1)
    report = cycle()
    assert (report["outcome"], report["changes"], report["invalid_rows"]) == ("ok", [], 1)
    assert err_lines(capsys) == [
        f"[burn] listing: 1 row(s) without a valid netuid or owner burn left out (first: {sample})\n"]
    assert json.loads(paths["state"].read_text())["owner_burn_rate"] == {"1": "0.18", "2": "0.5"}
    taostats.rows = rows({1: 0.9, 2: 0.5})
    assert cycle()["changes"] == [["1", "0.18", "0.9"]]
    assert len(telegram.messages) == 1
    assert telegram.messages[0].endswith(" UTC\n\nSN1: 0.1800 → 0.9000")


# Moves below four decimals

@pytest.mark.parametrize("old, new, threshold, line", [
    (0.18, 0.18004, 0.00001, "SN1: 0.18000 → 0.18004"),
    (0.18, 0.18006, 0.00001, "SN1: 0.1800 → 0.1801"),
    (0.5, 0.50000000012, 0.0, "SN1: 0.5000000000 → 0.5000000001"),
])
def test_alerts_show_enough_decimals_to_tell_the_values_apart(taostats, telegram, cycle, capsys,
                                                              old, new, threshold, line):
    baseline(taostats, cycle, capsys, {1: old})
    taostats.rows = rows({1: new})
    assert cycle(threshold=threshold)["outcome"] == "ok"
    assert [m.split("\n")[-1] for m in telegram.messages] == [line]


# Steps of the wall clock

def test_a_wall_clock_step_does_not_drop_a_fresh_alert(taostats, telegram, cycle, capsys,
                                                        monkeypatch, sleeps):
    baseline(taostats, cycle, capsys, {1: 0.1})
    taostats.rows = rows({1: 0.9})
    telegram.script(*[Answer.telegram_error(500, "Internal Server Error: restart")] * 3)
    assert cycle()["outcome"] == "telegram_failed"
    capsys.readouterr()
    wall = datetime.datetime.now().timestamp() + 86400 * 2
    monkeypatch.setattr(monitor.time, "time", lambda: wall)
    sleeps[0] += 300
    report = cycle()
    assert (report["outcome"], report["delivered"]) == ("ok", 1)
    assert err_lines(capsys) == ["[burn] alert sent (1 subnet(s))\n"]
    assert telegram.messages[0].endswith("SN1: 0.1000 → 0.9000")


# Corruption twice in one second

def test_every_corrupt_copy_is_kept(taostats, telegram, cycle, capsys, paths, monkeypatch):
    class Frozen(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime.datetime(2026, 12, 8, 0, 0, 0, tzinfo=tz)

    monkeypatch.setattr(monitor, "datetime", Frozen)
    taostats.rows = rows({1: 0.1})
    for n in range(3):
        paths["state"].write_text(f"not json {n}")
        paths["outbox"].write_text(f"[{n}]")
        assert cycle()["outcome"] == "ok"
    kept = {p.name: p.read_text() for p in paths["state"].parent.iterdir() if ".corrupt-" in p.name}
    stamp = ".corrupt-20261208T000000Z"
    assert kept == {
        f"state.json{stamp}": "not json 0", f"state.json{stamp}-2": "not json 1",
        f"state.json{stamp}-3": "not json 2", f"state.outbox.json{stamp}": "[0]",
        f"state.outbox.json{stamp}-2": "[1]", f"state.outbox.json{stamp}-3": "[2]"}
