"""Files beside a state file as a `watch` leaves them, written here for the program to read, and
its history log read back: the tests of `status` and `history` set the scene without running
cycles for hours."""

from __future__ import annotations

import contextlib
import datetime
import fcntl
import json
import os
from pathlib import Path

UTC = datetime.timezone.utc


def utc(moment: datetime.datetime) -> str:
    """The records' time stamp: seconds, UTC, a Z."""
    return moment.astimezone(UTC).strftime("%Y-%m-%dT%H:%M:%SZ")


def beside(state: str | Path, suffix: str) -> Path:
    """`state.json` -> `state<suffix>`; any other name gets the suffix appended."""
    path = Path(state)
    stem = path.name[:-len(".json")] if path.name.endswith(".json") and path.name != ".json" else path.name
    return path.with_name(stem + suffix)


def write_status(state: str | Path, **fields: object) -> None:
    """The status file as `watch` writes it after a cycle: `fields` over a healthy cycle's."""
    now = utc(datetime.datetime.now(UTC))
    status = {"format": 1, "written_utc": now, "last_cycle_utc": now, "outcome": "ok",
              "detail": "", "subnets": 0, "changes": 0, "delivered": 0, "outbox_size": 0,
              "outbox_oldest_utc": None, "invalid_rows": 0, "chat_id": "",
              "consecutive_failures": 0, "last_ok_utc": now, "interval_seconds": 300.0,
              "next_cycle_utc": None, "loop": None, "pid": None, "started_utc": None}
    status.update(fields)
    beside(state, ".status.json").write_text(json.dumps(status, indent=2) + "\n", encoding="utf-8")


def history_entries(state: str | Path) -> list[dict]:
    """Every line of the history log, oldest first."""
    path = beside(state, ".history.jsonl")
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


@contextlib.contextmanager
def held_lock(state: str | Path):
    """The state file's lock held by this process, as a running `watch` holds it."""
    path = beside(state, ".lock")
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.ftruncate(fd, 0)
        os.write(fd, f"{os.getpid()}\n".encode())
        yield
    finally:
        os.close(fd)
