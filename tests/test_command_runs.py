"""The command among other runs and odd files: the state file's lock, what `watch` sends when it
starts again, texts that cannot be encoded, FIFOs beside the state file, a `watch` killed
without a word, and the time on every line."""

from __future__ import annotations

import datetime
import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from bittensor_emberscope.testing import Answer

from records import utc, write_status
from test_cli import (COMMAND, FAST_COMMAND, LEFT_OUT, LISTED, STAMP, STARTED, Watch, run,
                      unstamp_all,
                      env, taostats, telegram, watches)  # noqa: F401 (fixtures)
from test_operator import NotifySocket

UTC = datetime.timezone.utc
LIST_HEADER = "Subnet owner burn rates (startup)\n"
ALERT_HEADER = "Owner burn rate changed\n"


def history_entries(tmp_path: Path) -> list[dict]:
    path = tmp_path / "state.history.jsonl"
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


# Two runs on one state file


def test_a_second_watch_refuses_to_start_naming_the_first(env, watches, tmp_path):
    first = watches("--no-snapshot", env=env)
    first.wait_line(STARTED)
    second = run("watch", "--no-snapshot", env=env)
    assert second.returncode == 2
    assert unstamp_all(second.stderr) == (
        f"emberscope: the state file {tmp_path / 'state.json'} is in use by pid {first.proc.pid} "
        f"(lock file {tmp_path / 'state.lock'}); not starting a second watch\n")
    assert (tmp_path / "state.lock").read_text() == f"{first.proc.pid}\n"
    (tmp_path / "pause").touch()
    assert first.finish()[0] == 0


def test_once_beside_a_watch_gives_up_and_runs_nothing(env, taostats, watches, tmp_path):
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    done = run("once", env=env)
    assert done.returncode == 1
    assert unstamp_all(done.stderr) == (
        f"emberscope: the state file {tmp_path / 'state.json'} is in use by pid {w.proc.pid} "
        f"(lock file {tmp_path / 'state.lock'}); gave up after 5 s, nothing ran\n")
    assert taostats.requests == []


def test_overlapping_once_runs_never_run_two_cycles_at_a_time(env, taostats, tmp_path):
    assert run("once", env=env).returncode == 0  # the baseline
    taostats.script(Answer(hang=True))  # the next cycle never ends
    first = subprocess.Popen([*COMMAND, "once"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        assert taostats.wait_for_requests(2, timeout=30)
        second = run("once", "--threshold", "0", env=env)
        assert second.returncode == 1 and f"in use by pid {first.pid} " in second.stderr
        assert len(taostats.requests) == 2  # the second one never reached Taostats
    finally:
        first.kill()
        first.wait()
    # The kernel let go of the lock with the process: the next run goes ahead.
    assert run("once", env=env).returncode == 0


# What `watch` sends when it starts


@pytest.mark.parametrize("stored, flags, first_message", [
    (False, [], LIST_HEADER),  # a first start: the start-up list is the baseline
    (True, [], ALERT_HEADER),  # values stored: what moved meanwhile is a change
    (True, ["--snapshot"], LIST_HEADER),  # asked for
], ids=["first-start", "restart", "asked"])
def test_watch_starts_with_the_changes_since_it_stopped(env, taostats, telegram, tmp_path,
                                                        watches, stored, flags, first_message):
    if stored:
        assert run("snapshot", env=env).returncode == 0
    earlier = len(telegram.requests)
    taostats.set_burn(7, "0.9")  # moved while no watch ran
    env["JOURNAL_STREAM"] = "8:1234"
    w = watches("--verbose", "--no-bot", *flags, env=env)
    first_line = w.wait_line("[burn] ")
    while not first_line.startswith(("[burn] alert sent", "[burn] startup snapshot sent")):
        first_line = w.wait_line("[burn] ")
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert code == 0
    sent = telegram.requests[earlier:]
    assert sent[0].text.startswith(first_message)
    if first_message == ALERT_HEADER:
        assert "SN7: " in sent[0].text and len(sent) == 1
        # One journal line for the alert cycle, and the change in the history.
        assert lines[1:] == [LEFT_OUT, "[burn] alert sent (1 subnet(s))\n",
                             "[burn] monitoring paused\n"]
        assert [(e["netuid"], e["new"]) for e in history_entries(tmp_path)] == [("7", "0.9")]
    else:
        assert first_line == f"[burn] startup snapshot sent ({LISTED} subnets)\n"
        assert history_entries(tmp_path) == []


# Texts from the network that cannot be encoded


LONE_SURROGATE = "0.1\ud800"


def test_a_lone_surrogate_from_the_network_crashes_no_writer(env, taostats, telegram, tmp_path,
                                                             watches):
    assert run("snapshot", env=env).returncode == 0
    taostats.set_burn(7, LONE_SURROGATE)
    w = watches("--interval-minutes", "1", "--verbose", env=env, command=FAST_COMMAND)
    w.wait_line("[burn] alert sent (1 subnet(s))")
    w.wait_line("[burn] listing: ")  # the loop went on to its next cycle
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert code == 0 and not [line for line in lines if "Traceback" in line], lines
    [entry] = history_entries(tmp_path)
    assert (entry["netuid"], entry["new"]) == ("7", LONE_SURROGATE)  # read back as it came
    assert "\\ud800" in (tmp_path / "state.history.jsonl").read_text()
    for command in (["history"], ["history", "--json"], ["status"], ["status", "--json"]):
        done = run(*command, env=env)
        assert done.returncode in (0, 3) and "Traceback" not in done.stderr, command
        assert "\\ud800" in done.stdout, command


def test_watch_survives_a_recording_step_that_fails(env, taostats, tmp_path, watches):
    # The status file's place taken by a folder once `watch` runs: the cycles go on, each saying
    # why it could not be recorded.
    w = watches("--interval-minutes", "1", env=env, command=FAST_COMMAND)
    w.wait_line("[burn] startup snapshot sent")
    status = tmp_path / "state.status.json"
    status.unlink()
    status.mkdir()
    for _ in range(2):
        w.wait_line("[burn] cannot record the cycle: ")
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    # The pause is said, and its own record fails as the cycles' did.
    assert code == 0 and lines[-2:] == [
        "[burn] monitoring paused\n",
        f"[burn] cannot record the cycle: [Errno 21] Is a directory: '{status}'\n"], lines


# Files that are not regular files


OWN_FILES = ["state.status.json", "state.history.jsonl", "state.history.jsonl.1",
             "state.outbox.json", "state.lock", "pause", "state.mutes.json",
             "state.bot-offset.json"]


@pytest.mark.parametrize("name", OWN_FILES)
def test_a_fifo_beside_the_state_file_stops_once_with_a_line(env, taostats, tmp_path, name):
    os.mkfifo(tmp_path / name)
    done = run("once", env=env)  # time-out of the helper: a FIFO opened would block it
    assert done.returncode == 2
    assert (f"emberscope once: error: {tmp_path / name} is a FIFO, not a regular file; the "
            "command keeps only regular files there\n") in done.stderr
    assert taostats.requests == []


@pytest.mark.parametrize("command, name", [
    ("status", "state.status.json"), ("status", "state.lock"), ("status", "state.mutes.json"),
    ("history", "state.history.jsonl"), ("history", "state.history.jsonl.1"),
])
def test_a_fifo_stops_the_readers_with_a_line(env, tmp_path, command, name):
    os.mkfifo(tmp_path / name)
    done = run(command, env=env)
    assert (done.returncode, done.stdout) == (1, "")
    assert unstamp_all(done.stderr) == (
        f"emberscope: {tmp_path / name} is a FIFO, not a regular file; remove it\n")


def test_a_fifo_as_a_secret_file_is_refused(env, tmp_path):
    os.mkfifo(tmp_path / "token")
    del env["TELEGRAM_BOT_TOKEN"]
    done = run("test-send", "--token-file", str(tmp_path / "token"), env=env)
    assert done.returncode == 2
    assert (f"--token-file: cannot read the bot token file '{tmp_path / 'token'}': a FIFO, not "
            "a regular file\n") in done.stderr


def test_a_fifo_that_appears_under_watch_fails_the_cycle_not_the_loop(env, taostats, tmp_path,
                                                                     watches):
    assert run("snapshot", env=env).returncode == 0
    w = watches("--interval-minutes", "1", env=env, command=FAST_COMMAND)
    w.wait_line(STARTED)
    os.mkfifo(tmp_path / "state.outbox.json")
    w.wait_line(f"[burn] error: {tmp_path / 'state.outbox.json'} is a FIFO, not a regular file")
    os.unlink(tmp_path / "state.outbox.json")
    (tmp_path / "pause").touch()
    assert w.finish()[0] == 0


# Started while paused, under systemd


def test_watch_started_while_paused_is_ready_then_stops_cleanly(env, tmp_path):
    notify = NotifySocket(abstract=True)
    try:
        env["NOTIFY_SOCKET"] = notify.address
        (tmp_path / "pause").touch()
        done = run("watch", env=env)
        assert done.returncode == 0
        notify.wait_for("STOPPING")
        # systemd counts a service that ends before READY=1 as failed ("protocol") and restarts it.
        assert notify.messages == [{"READY": "1", "STATUS": "paused (pause file)"},
                                   {"STOPPING": "1", "STATUS": "paused (pause file)"}]
    finally:
        notify.close()


# Is the recorded `watch` alive?


def test_status_sees_a_killed_watch(env, tmp_path, watches):
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    alive = run("status", env=env)
    assert alive.returncode == 0, alive.stdout
    assert f"watch       running (pid {w.proc.pid}, started " in alive.stdout
    w.proc.send_signal(signal.SIGKILL)
    w.proc.wait(timeout=30)
    dead = run("status", env=env)
    assert dead.returncode == 3
    assert f"watch       gone (pid {w.proc.pid} recorded as running, started " in dead.stdout
    assert (f"health      UNHEALTHY: not running: watch (pid {w.proc.pid}) is gone without "
            "recording an end (killed or crashed)\n") in dead.stdout
    document = json.loads(run("status", "--json", env=env).stdout)
    assert (document["healthy"], document["watch_alive"]) == (False, False)


@pytest.mark.parametrize("ahead, problem", [
    (datetime.timedelta(seconds=30), None),
    (datetime.timedelta(hours=2, seconds=30),
     "clock: the last cycle is recorded 2 h 0 min in the future "),
])
def test_a_last_cycle_in_the_future_is_unhealthy(env, ahead, problem):
    now = datetime.datetime.now(UTC)
    write_status(env["EMBERSCOPE_STATE_FILE"], last_cycle_utc=utc(now + ahead),
                 last_ok_utc=utc(now + ahead))
    done = run("status", env=env)
    health = [line for line in done.stdout.splitlines() if line.startswith("health ")]
    if problem:
        assert done.returncode == 3
        assert health[0].startswith("health      UNHEALTHY: " + problem), health
    else:
        assert (done.returncode, health) == (0, ["health      ok"])


# The time on every line


@pytest.mark.parametrize("command, setup, line", [
    ("snapshot", "pause", "[burn] monitoring paused"),
    ("once", "pause", "[burn] monitoring paused"),
    ("status", "", "emberscope: no state file at "),
    ("history", "torn history", "emberscope: 1 unreadable line(s) in "),
])
@pytest.mark.parametrize("journal", [False, True], ids=["terminal", "journal"])
def test_every_command_stamps_its_lines_unless_the_journal_does(env, taostats, tmp_path, command,
                                                                setup, line, journal):
    if setup == "pause":
        (tmp_path / "pause").touch()
    elif setup == "torn history":
        (tmp_path / "state.history.jsonl").write_text('{"time_utc": "2026-0\n')
    if journal:
        env["JOURNAL_STREAM"] = "8:1234"
    done = run(command, env=env)
    [written] = done.stderr.splitlines()
    assert bool(STAMP.match(written)) is not journal
    assert STAMP.sub("", written).startswith(line)
    if setup == "pause":
        assert done.returncode == 0 and taostats.requests == []
