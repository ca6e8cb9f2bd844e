"""The monitor engine where files, disks, clocks and readings misbehave, end to end over loopback:
files that exist but cannot be read, a state that cannot be written, readings that are missing
or not numbers, moves below four decimals, wall-clock steps and corruption twice in a second."""

from __future__ import annotations

import datetime
import errno
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from test_cli import unstamped
# The engine's cycle over loopback, as the monitor's own tests run it.
from test_monitor import (CHAT, TOKEN, baseline, cycle, err_lines, paths, rows,  # noqa: F401
                          sleeps)

from bittensor_emberscope import monitor
from bittensor_emberscope.testing import Answer


def snapshot(directory: Path) -> dict[str, bytes]:
    return {p.name: (os.readlink(p).encode() if p.is_symlink() else p.read_bytes())
            for p in sorted(directory.iterdir()) if p.is_file() or p.is_symlink()}


def make_unreadable(target: Path, where: str) -> bytes:
    """Makes `target` exist but fail: at its opening (permissions) or at its reading (EIO: a link
    to /proc/self/mem, a regular file whose first byte no process can read). Returns its content."""
    content = target.read_bytes()
    if where == "open":
        if os.geteuid() == 0:
            pytest.skip("permissions do not bind the superuser (the unprivileged run covers it)")
        target.chmod(0o000)
    else:
        target.unlink()
        target.symlink_to("/proc/self/mem")
    return content


def restore(target: Path, content: bytes) -> None:
    if target.is_symlink():
        target.unlink()
    target.write_bytes(content)
    target.chmod(0o644)


@pytest.mark.parametrize("which", ["state", "outbox"])
@pytest.mark.parametrize("where, reason", [
    ("open", "[Errno 13] Permission denied: '{path}'"),
    ("read", "[Errno 5] Input/output error: '{path}'"),
])
def test_an_unreadable_file_fails_the_cycle_and_touches_nothing(
        taostats, telegram, cycle, capfd, paths, which, where, reason):
    baseline(taostats, cycle, capfd, {1: 0.1})
    paths["outbox"].write_text(json.dumps({"chat_migrations": {}, "messages": [
        {"count": 1, "kind": "alert", "part": 1, "queued_at": datetime.datetime.now().timestamp(),
         "stamp": "s", "text": "waiting", "total": 1}], "version": 1}))
    target = paths[which]
    content = make_unreadable(target, where)
    before = snapshot(paths["state"].parent)
    asked = len(taostats.requests)
    taostats.rows = rows({1: 0.9})
    report = cycle()
    what = "state file" if which == "state" else "outbox file"
    detail = f"cannot read the {what} {target}: " + reason.format(path=target)
    assert (report["outcome"], report["detail"]) == ("error", detail)
    assert err_lines(capfd) == [f"[burn] error: {detail}\n"]
    assert snapshot(paths["state"].parent) == before
    assert telegram.requests == [] and len(taostats.requests) == asked

    restore(target, content)
    report = cycle()
    assert report["outcome"] == "ok" and report["changes"] == [["1", "0.1", "0.9"]]
    assert telegram.messages[0] == "waiting"
    assert telegram.messages[1].endswith("SN1: 0.1000 → 0.9000")


def test_read_state_raises_for_a_file_it_cannot_read(tmp_path, monkeypatch):
    path = tmp_path / "state.json"
    path.write_text('{"owner_burn_rate": {"1": "0.1"}}')
    make_unreadable(path, "read")
    with pytest.raises(OSError, match="Input/output error"):
        monitor.read_state(str(path))
    path.unlink()
    path.mkdir()
    with pytest.raises(ValueError, match="a directory, not a file"):
        monitor.read_state(str(path))


# The command, as an unprivileged user where it runs as root (permission bits then bind), or with
# an `open` that fails reading.
RUN_AS = """
import os, sys
how, program = sys.argv[1], sys.argv[2]
if how == "uid":
    os.setgroups([]); os.setgid(65534); os.setuid(65534)
os.execv(program, [program, *sys.argv[3:]])
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
    if how == "eio":  # a regular file whose first byte no process can read
        target.unlink()
        target.symlink_to("/proc/self/mem")
    lock = shared_dir / "state.lock"  # the lock is the user's to take, as in its own folder
    lock.touch()
    lock.chmod(0o666)
    def contents():
        return {p: (os.readlink(p) if p.is_symlink() else p.read_bytes(), p.lstat().st_mode & 0o777)
                for p in (state, outbox)}
    before = contents()
    taostats.rows = rows({1: 0.9})
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_"))}
    env.update(TAOSTATS_API_BASE=taostats.base_url, TAOSTATS_API_KEY="key",
               TELEGRAM_API_BASE=telegram.base_url, TELEGRAM_BOT_TOKEN=TOKEN,
               TELEGRAM_CHAT_ID=CHAT, EMBERSCOPE_STATE_FILE=str(state), HOME=str(shared_dir))
    program = str(Path(sys.executable).with_name("emberscope"))
    done = subprocess.run([sys.executable, "-c", RUN_AS, how, program, "once", "--threshold", "0.05"],
                          env=env, capture_output=True, text=True, timeout=60)
    what = "state file" if which == "state.json" else "outbox file"
    assert done.returncode == 1, done.stderr
    first = unstamped(done.stderr.splitlines()[0]) if done.stderr.startswith("20") else done.stderr
    assert first.startswith(f"[burn] error: cannot read the {what} {target}: [Errno ")
    assert ("Permission denied" if how != "eio" else "Input/output error") in first
    assert contents() == before
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

@pytest.fixture
def small_disk(tmp_path):
    """A folder on a file system of its own, 32 KiB in all (a tmpfs), unmounted afterwards."""
    folder = tmp_path / "small"
    folder.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k", "tmpfs", str(folder)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {done.stderr.strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], capture_output=True)


def fill_leaving_one_page(folder: Path) -> None:
    """Fills the file system until one page is left: room for the outbox, none for the state."""
    with open(folder / "filler", "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"\0" * 4096)
        except OSError as e:
            assert e.errno == errno.ENOSPC
    size = (folder / "filler").stat().st_size
    os.truncate(folder / "filler", size - 4096)


def test_a_full_disk_never_delivers_the_same_change_twice(taostats, telegram, cycle, capfd,
                                                          small_disk):
    state, outbox = small_disk / "state.json", small_disk / "state.outbox.json"
    args = dict(state_path=str(state), pause_path=str(small_disk / "pause"))
    taostats.rows = rows({1: 0.1})
    assert cycle(**args)["outcome"] == "ok"
    saved = state.read_bytes()
    fill_leaving_one_page(small_disk)
    taostats.rows = rows({1: 0.9})
    for _ in range(4):
        report = cycle(**args)
        assert report["outcome"] == "error"
        assert "[Errno 28] No space left on device" in report["detail"], report["detail"]
    assert telegram.messages == []
    assert state.read_bytes() == saved and not outbox.exists()
    (small_disk / "filler").unlink()
    assert cycle(**args)["outcome"] == "ok" and cycle(**args)["outcome"] == "ok"
    assert len(telegram.messages) == 1 and telegram.messages[0].endswith("SN1: 0.1000 → 0.9000")


# Readings that are missing or not numbers

@pytest.mark.parametrize("reading, sample", [
    (None, "1: null"), ("absent", "1: (none)"), (float("nan"), "1: NaN"), ("NaN", '1: "NaN"'),
    (float("inf"), "1: Infinity"), (" -inf ", '1: " -inf "'), ("1e999", '1: "1e999"'),
])
def test_a_missing_or_non_finite_reading_keeps_the_last_value(taostats, telegram, cycle, capfd,
                                                              paths, reading, sample):
    baseline(taostats, cycle, capfd, {1: 0.18, 2: 0.5})
    taostats.rows = rows({1: reading, 2: 0.5})
    if reading == "absent":
        taostats.clear_burn(1)
    report = cycle()
    assert (report["outcome"], report["changes"], report["invalid_rows"]) == ("ok", [], 1)
    assert err_lines(capfd) == [
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
def test_alerts_show_enough_decimals_to_tell_the_values_apart(taostats, telegram, cycle, capfd,
                                                              old, new, threshold, line):
    baseline(taostats, cycle, capfd, {1: old})
    taostats.rows = rows({1: new})
    assert cycle(threshold=threshold)["outcome"] == "ok"
    assert [m.split("\n")[-1] for m in telegram.messages] == [line]


# Steps of the wall clock

def test_a_wall_clock_step_does_not_drop_a_fresh_alert(taostats, telegram, cycle, capfd,
                                                        monkeypatch):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.9})
    telegram.script(*[Answer.telegram_error(500, "Internal Server Error: restart")] * 3)
    assert cycle()["outcome"] == "telegram_failed"
    capfd.readouterr()
    wall = datetime.datetime.now().timestamp() + 86400 * 2
    monkeypatch.setattr(monitor.time, "time", lambda: wall)
    monitor.time.sleep(300)  # five minutes on the engine's monotonic clock
    report = cycle()
    assert (report["outcome"], report["delivered"]) == ("ok", 1)
    assert err_lines(capfd) == ["[burn] alert sent (1 subnet(s))\n"]
    assert telegram.messages[0].endswith("SN1: 0.1000 → 0.9000")


# Corruption twice in one second

def test_every_corrupt_copy_is_kept(taostats, telegram, cycle, capfd, paths):
    # Copies already kept under the names of the coming seconds: every new one must find its own.
    now = datetime.datetime.now(datetime.timezone.utc)
    earlier = {}
    for ahead in range(4):
        stamp = (now + datetime.timedelta(seconds=ahead)).strftime("%Y%m%dT%H%M%SZ")
        for name in ("state.json", "state.outbox.json"):
            earlier[f"{name}.corrupt-{stamp}"] = f"kept before {ahead}"
    for name, text in earlier.items():
        (paths["state"].parent / name).write_text(text)
    taostats.rows = rows({1: 0.1})
    for n in range(3):
        paths["state"].write_text(f"not json {n}")
        paths["outbox"].write_text(f"[{n}]")
        assert cycle()["outcome"] == "ok"
    kept = {p.name: p.read_text() for p in paths["state"].parent.iterdir() if ".corrupt-" in p.name}
    assert {name: kept[name] for name in earlier} == earlier
    new = sorted(text for name, text in kept.items() if name not in earlier)
    assert new == ["[0]", "[1]", "[2]", "not json 0", "not json 1", "not json 2"]
