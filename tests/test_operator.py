"""What an operator sees: status, history, test-send, systemd notifications, closed output."""

from __future__ import annotations

import datetime
import json
import re
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from bittensor_emberscope.testing import Answer

from records import held_lock, utc, write_status
from test_cli import (CHAT, FAST_COMMAND, LEFT_OUT, LISTED, STAMP, STARTED, run, unstamp_all,
                      env, taostats, telegram, watches)  # noqa: F401 (fixtures)

ROOT = Path(__file__).resolve().parent.parent
UTC = datetime.timezone.utc


def status_json(env) -> tuple[int, dict]:
    done = run("status", "--json", env=env)
    assert done.stderr == ""
    return done.returncode, json.loads(done.stdout)


# A scripted run of cycles


def test_cycles_are_recorded_in_status_and_history(env, taostats, telegram, tmp_path):
    assert run("once", env=env).returncode == 0  # baseline
    code, doc = status_json(env)
    status = doc["status"]
    assert (code, doc["healthy"], doc["problems"]) == (0, True, [])
    assert {k: status[k] for k in ("outcome", "detail", "subnets", "changes", "delivered",
                                   "outbox_size", "outbox_oldest_utc", "consecutive_failures",
                                   "chat_id", "interval_seconds", "loop", "next_cycle_utc")} == {
        "outcome": "ok", "detail": "", "subnets": LISTED, "changes": 0, "delivered": 0,
        "outbox_size": 0, "outbox_oldest_utc": None, "consecutive_failures": 0,
        "chat_id": CHAT, "interval_seconds": 300.0, "loop": None, "next_cycle_utc": None}
    assert status["last_cycle_utc"] == doc["updated_at_utc"] == status["last_ok_utc"]

    taostats.set_burn(7, "0.9")
    taostats.set_burn(64, "0.5")
    assert run("once", env=env).returncode == 0
    taostats.set_burn(7, "0.2")
    telegram.script(Answer.telegram_error(403, "Forbidden: bot was kicked from the group chat"))
    done = run("once", env=env)
    unstamped = unstamp_all(done.stderr)
    assert unstamped.startswith(LEFT_OUT)
    lines = unstamped[len(LEFT_OUT):].splitlines()
    assert done.returncode == 1 and lines[0] == (
        "[burn] telegram failed: HTTP 403 Forbidden: bot was kicked from the group chat")
    assert re.fullmatch(r"\[burn\] outbox: 1 message\(s\) waiting for delivery, oldest queued "
                        r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", lines[1]) and len(lines) == 2
    code, doc = status_json(env)
    assert code == 0  # one failure is not yet unhealthy
    assert (doc["status"]["outcome"], doc["status"]["detail"], doc["status"]["changes"],
            doc["status"]["consecutive_failures"]) == (
        "telegram_failed", "telegram: HTTP 403 Forbidden: bot was kicked from the group chat", 1, 1)

    history_file = tmp_path / "state.history.jsonl"
    entries = [json.loads(line) for line in history_file.read_text().splitlines()]
    assert [(e["netuid"], e["old"], e["new"]) for e in entries] == [
        ("7", entries[0]["old"], "0.9"), ("64", entries[1]["old"], "0.5"), ("7", "0.9", "0.2")]
    assert set(entries[0]) == {"time_utc", "netuid", "old", "new"}
    assert all(STAMP.match(e["time_utc"] + " ") for e in entries)

    done = run("history", env=env)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["time", "(UTC)", "netuid", "old", "new"]
    assert lines[3].split()[1:] == ["7", "0.9000", "→", "0.2000"]
    trend = {line.split()[0]: line for line in lines[6:]}
    assert lines[5].split() == ["netuid", "changes", "first", "last", "trend"]
    assert trend["7"].split()[1] == "2" and trend["7"].split()[3:5] == ["→", "0.2000"]
    # 0.25, 0.9, 0.2 between the smallest and the largest.
    assert entries[0]["old"] == "0.25" and trend["7"].endswith("  ▁█▁")
    assert trend["64"].split()[1] == "1"

    only = json.loads(run("history", "--netuid", "64", "--json", env=env).stdout)
    assert [c["netuid"] for c in only["changes"]] == ["64"]
    assert list(only["subnets"]) == ["64"]
    later = run("history", "--since", "2999-01-01", env=env)
    assert later.stdout.startswith("no changes recorded in ")


def test_three_failed_cycles_in_a_row_make_status_fail(env, taostats):
    assert run("once", env=env).returncode == 0
    for n in range(1, 4):
        taostats.script(Answer.json({"message": "Internal Server Error"}, 500))
        assert run("once", env=env).returncode == 1
        done = run("status", env=env)
        assert done.returncode == (3 if n == 3 else 0), done.stdout
    assert "health      UNHEALTHY: failing: the last 3 cycles failed (fetch_failed: " in done.stdout
    taostats.clear()
    assert run("once", env=env).returncode == 0
    assert run("status", env=env).returncode == 0


@pytest.mark.parametrize("age_intervals, code", [(2.9, 0), (3.1, 3)])
def test_status_fails_when_the_last_cycle_is_older_than_three_intervals(env, age_intervals, code):
    state = env["EMBERSCOPE_STATE_FILE"]
    then = datetime.datetime.now(UTC) - datetime.timedelta(seconds=age_intervals * 600)
    write_status(state, last_cycle_utc=utc(then), last_ok_utc=utc(then), written_utc=utc(then),
                 subnets=3, interval_seconds=600.0)
    done = run("status", env=env)
    assert done.returncode == code
    assert ("stale: last cycle" in done.stdout) == bool(code)
    assert done.stdout.splitlines()[-1].startswith("values      none stored yet")


def test_status_lines_above_the_values(env):
    state = env["EMBERSCOPE_STATE_FILE"]
    Path(state).write_text(json.dumps({"owner_burn_rate": {"1": "0.5"},
                                       "updated_at_utc": "2026-03-01T12:00:00Z"}))
    now = datetime.datetime.now(UTC)
    # As a running `watch` leaves it after a cycle that delivered one change.
    write_status(state, last_cycle_utc=utc(now), last_ok_utc=utc(now), subnets=1, changes=1,
                 delivered=1, outbox_size=2,
                 outbox_oldest_utc=utc(now - datetime.timedelta(minutes=30)), chat_id="-100777",
                 next_cycle_utc=utc(now + datetime.timedelta(minutes=5)), loop="running",
                 pid=os.getpid(), started_utc=utc(now))
    with held_lock(state):  # as the `watch` recorded as running holds it
        done = run("status", env=env)
    assert (done.returncode, done.stderr) == (0, "")
    labels = [line[:12].rstrip() for line in done.stdout.splitlines()]
    assert labels[:9] == ["state file", "watch", "last cycle", "seen", "outbox", "next cycle",
                          "chat", "health", "updated"]
    text = done.stdout
    assert "1 subnets, 1 changed, 1 message(s) delivered" in text
    assert "outbox      2 waiting, oldest " in text and "(30 min ago)" in text
    assert "chat        -100777" in text and "health      ok\n" in text
    assert text.endswith("netuid  owner burn  stored text\n     1      0.5000  0.5\n")


# One-shot helpers


@pytest.mark.parametrize("answer, code, out", [
    (None, 0, f"telegram: ok (test message sent to chat {CHAT})\n"),
    # The engine's words, as `watch` and the bot say them.
    (Answer.telegram_error(400, "Bad Request: chat not found"), 1,
     "telegram: HTTP 400 Bad Request: chat not found\n"),
    (Answer.telegram_error(401, "Unauthorized"), 1,
     "telegram: HTTP 401 Unauthorized (check TELEGRAM_BOT_TOKEN)\n"),
])
def test_test_send_prints_what_telegram_answered(env, telegram, answer, code, out):
    del env["TAOSTATS_API_KEY"]  # not needed to post
    if answer:
        telegram.script(answer)
    done = run("test-send", env=env)
    assert (done.returncode, done.stdout, done.stderr) == (code, out, "")
    [rec] = telegram.requests
    assert dict(rec.form)["chat_id"] == CHAT
    assert rec.text.startswith("emberscope: test message.")


def test_test_send_without_a_chat(env, telegram):
    del env["TELEGRAM_CHAT_ID"]
    done = run("test-send", env=env)
    assert done.returncode == 2
    assert done.stderr.endswith("error: missing the Telegram chat (--chat-id or TELEGRAM_CHAT_ID)\n")
    assert telegram.requests == []


def write_state(env, count: int) -> None:
    Path(env["EMBERSCOPE_STATE_FILE"]).write_text(json.dumps({
        "owner_burn_rate": {str(n): "0.5" for n in range(count)},
        "updated_at_utc": "2026-03-01T12:00:00Z"}))


def shell(command: str, env) -> subprocess.CompletedProcess:
    return subprocess.run(["bash", "-c", "set -o pipefail; " + command], env=env,
                          capture_output=True, text=True, timeout=60)


def test_closed_output_ends_quietly(env):
    write_state(env, 5000)
    py = f"{sys.executable} -m bittensor_emberscope"
    for command in ("status", "status --json", "--help"):
        done = shell(f"{py} {command} | head -n 1", env)
        assert done.stderr == "", command
        assert len(done.stdout.splitlines()) == 1


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_full_output_gives_one_line(env):
    write_state(env, 3)
    for command in ("status", "history"):
        done = shell(f"{sys.executable} -m bittensor_emberscope {command} > /dev/full", env)
        assert (done.returncode, done.stderr) == (
            1, "emberscope: cannot write to standard output: No space left on device\n"), command


# The watch loop: summary lines, stamps, systemd notifications


class NotifySocket:
    """A datagram socket standing in for systemd's notification socket."""

    def __init__(self, abstract: bool) -> None:
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            name = f"emberscope-test-{os.getpid()}-{time.monotonic_ns()}"
            self.sock.bind("\0" + name)
            self.address = "@" + name
        else:
            self.folder = tempfile.mkdtemp(prefix="es-", dir="/tmp")
            self.address = os.path.join(self.folder, "notify")
            self.sock.bind(self.address)
        self.sock.settimeout(30)
        self.messages: list[dict[str, str]] = []

    def wait_for(self, key: str, value: str | None = None, within: float = 90) -> dict[str, str]:
        # A deadline for the whole wait: a loop that keeps sending other fields must not keep
        # the test waiting forever.
        deadline = time.monotonic() + within
        while True:
            assert time.monotonic() < deadline, f"no {key}={value or ''} in {self.messages}"
            data = self.sock.recv(4096).decode()
            message = dict(line.split("=", 1) for line in data.split("\n"))
            self.messages.append(message)
            if key in message and (value is None or value in message[key]):
                return message

    def close(self) -> None:
        self.sock.close()
        if hasattr(self, "folder"):
            shutil.rmtree(self.folder, ignore_errors=True)


@pytest.mark.parametrize("abstract", [False, True], ids=["path", "abstract"])
def test_watch_speaks_to_systemd(env, taostats, telegram, tmp_path, watches, abstract):
    notify = NotifySocket(abstract)
    try:
        env["NOTIFY_SOCKET"] = notify.address
        env["JOURNAL_STREAM"] = "8:1234"
        w = watches("--interval-minutes", "1", "--verbose", env=env, command=FAST_COMMAND)
        ready = notify.wait_for("READY")
        assert ready == {"READY": "1", "STATUS": "started; sending the start-up list"}
        assert notify.messages == [ready]  # nothing before READY
        snapshot = notify.wait_for("STATUS", "cycle ")
        assert f"{LISTED} subnets, 0 changed, next at " in snapshot["STATUS"]
        notify.wait_for("WATCHDOG", "1")
        taostats.set_burn(5, "0.77")
        changed = notify.wait_for("STATUS", "1 changed")
        assert changed["STATUS"].startswith("cycle 20")
        line = w.wait_line("[burn] alert sent")  # the alert cycle's one line
        assert not STAMP.match(line)  # the journal stamps lines itself
        (tmp_path / "pause").touch()
        assert notify.wait_for("STOPPING") == {"STOPPING": "1", "STATUS": "paused (pause file)"}
        code, lines = w.finish()
        assert code == 0
    finally:
        notify.close()
    status = json.loads((tmp_path / "state.status.json").read_text())
    assert status["loop"] == "paused"
    assert run("status", env=env).returncode == 3  # paused is not watching


def test_watch_feeds_the_watchdog_while_a_cycle_hangs(env, taostats, watches):
    notify = NotifySocket(abstract=True)
    try:
        env.update(NOTIFY_SOCKET=notify.address, WATCHDOG_USEC="1500000")
        taostats.script(Answer(hang=True))
        w = watches(env=env)
        notify.wait_for("READY")
        assert taostats.wait_for_requests(1, timeout=30)
        for _ in range(3):  # from the cycle's guard, every half second
            notify.wait_for("WATCHDOG")
        w.proc.send_signal(signal.SIGTERM)
        assert notify.wait_for("STOPPING")["STATUS"] == "stopped (SIGTERM)"
        assert w.finish()[0] == 0
    finally:
        notify.close()


def test_watch_lines_carry_the_time_outside_the_journal(env, tmp_path):
    (tmp_path / "pause").touch()
    done = run("watch", env=env)
    lines = done.stderr.splitlines()
    assert all(STAMP.match(line) for line in lines), lines
    stamp = datetime.datetime.strptime(lines[0][:21], "%Y-%m-%dT%H:%M:%SZ ").replace(tzinfo=UTC)
    assert abs((datetime.datetime.now(UTC) - stamp).total_seconds()) < 60
    env["JOURNAL_STREAM"] = "8:1234"
    done = run("watch", env=env)
    assert [line[:len(STARTED)] for line in done.stderr.splitlines()][:1] == [STARTED]


def test_watch_is_quiet_between_changes_without_verbose(env, taostats, tmp_path, watches):
    w = watches("--interval-minutes", "1", env=env, command=FAST_COMMAND)
    w.wait_line("[burn] startup snapshot sent")
    status = tmp_path / "state.status.json"
    deadline = time.monotonic() + 30
    while json.loads(status.read_text()).get("last_cycle_utc") is None or \
            json.loads(status.read_text())["next_cycle_utc"] is None:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    first = json.loads(status.read_text())["written_utc"]
    while json.loads(status.read_text())["written_utc"] == first and time.monotonic() < deadline:
        time.sleep(0.05)
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert code == 0
    assert not [line for line in lines if line.startswith("[burn] cycle ")]


# The systemd unit


def test_the_unit_passes_systemd_analyze_verify(tmp_path):
    if not shutil.which("systemd-analyze"):
        pytest.skip("systemd-analyze is not installed")
    unit = (ROOT / "contrib" / "emberscope.service").read_text()
    for key in ("Type=notify", "WatchdogSec=", "StateDirectory=emberscope",
                "EnvironmentFile=/etc/emberscope/env", "ExecStart=/opt/emberscope/venv/bin/emberscope watch"):
        assert key in unit, key
    # verify checks that the executable exists: the same unit, started from a stand-in.
    exe = tmp_path / "emberscope"
    exe.write_text("#!/bin/sh\n")
    exe.chmod(0o755)
    copy = tmp_path / "emberscope.service"
    copy.write_text(unit.replace("/opt/emberscope/venv/bin/emberscope", str(exe)))
    done = subprocess.run(["systemd-analyze", "verify", str(copy)],
                          capture_output=True, text=True, timeout=120)
    problems = [line for line in done.stderr.splitlines()
                if "emberscope.service" in line and "network-online.target" not in line]
    assert done.returncode == 0 and not problems, done.stderr
