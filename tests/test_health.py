"""The status file and the history log beside the state file."""

from __future__ import annotations

import datetime
import json
import os

import pytest

from bittensor_emberscope import health

UTC = datetime.timezone.utc
T0 = datetime.datetime(2026, 3, 1, 12, 0, 0, tzinfo=UTC)


@pytest.mark.parametrize("state, status, history", [
    ("/var/lib/emberscope/state.json", "/var/lib/emberscope/state.status.json",
     "/var/lib/emberscope/state.history.jsonl"),
    ("burns", "burns.status.json", "burns.history.jsonl"),
    ("a.json.bak", "a.json.bak.status.json", "a.json.bak.history.jsonl"),
])
def test_names_beside_the_state_file(state, status, history):
    assert (health.status_path(state), health.history_path(state)) == (status, history)


@pytest.mark.parametrize("state, outbox, rotated", [
    ("/var/lib/emberscope/state.json", "/var/lib/emberscope/state.outbox.json",
     "/var/lib/emberscope/state.history.jsonl.1"),
    ("burns", "burns.outbox.json", "burns.history.jsonl.1"),
    ("a.json.bak", "a.json.bak.outbox.json", "a.json.bak.history.jsonl.1"),
])
def test_the_outbox_and_the_rotated_log_beside_the_state_file(state, outbox, rotated):
    # The outbox is the engine's file: the command looks for a FIFO there before each cycle.
    assert (health.outbox_path(state), health.rotated_history_path(state)) == (outbox, rotated)


def report(outcome="ok", at=T0, **values):
    return {"outcome": outcome, "detail": "" if outcome == "ok" else "why",
            "updated_at_utc": health.format_utc(at), **values}


def test_failures_in_a_row_are_counted_and_reset(tmp_path):
    state = str(tmp_path / "state.json")
    outcomes = ["ok", "fetch_failed", "error", "telegram_failed", "ok", "fetch_failed"]
    counts = [health.record_cycle(state, report(o), interval_seconds=300, now=T0)
              ["consecutive_failures"] for o in outcomes]
    assert counts == [0, 1, 2, 3, 0, 1]
    status = health.read_status(state)
    assert status["last_ok_utc"] == "2026-03-01T12:00:00Z"
    assert sorted(os.listdir(tmp_path)) == ["state.status.json"]  # no temporary file left


@pytest.mark.parametrize("minutes_later, failures, loop, problems", [
    (14, 0, None, []),
    (16, 0, None, ["stale: last cycle 16 min ago, more than 3 intervals (15 min)"]),
    (1, 3, None, ["failing: the last 3 cycles failed (fetch_failed: why)"]),
    (1, 2, None, []),
    (1, 0, "stopped", ["not running: watch stopped at 2026-03-01T12:00:00Z"]),
])
def test_assess(minutes_later, failures, loop, problems):
    status = {"last_cycle_utc": "2026-03-01T12:00:00Z", "interval_seconds": 300.0,
              "consecutive_failures": failures, "outcome": "fetch_failed" if failures else "ok",
              "detail": "why", "loop": loop, "written_utc": "2026-03-01T12:00:00Z"}
    verdict = health.assess(status, now=T0 + datetime.timedelta(minutes=minutes_later))
    assert (verdict.ok, list(verdict.problems)) == (not problems, problems)


def test_a_watch_before_its_first_cycle_counts_from_its_start(tmp_path):
    state = str(tmp_path / "state.json")
    health.record_loop(state, "running", interval_seconds=60, now=T0,
                       next_cycle=T0 + datetime.timedelta(minutes=1))
    status = health.read_status(state)
    assert health.assess(status, now=T0 + datetime.timedelta(minutes=2)).ok
    late = health.assess(status, now=T0 + datetime.timedelta(minutes=4))
    assert late.problems == ("stale: watch started 4 min ago, more than 3 intervals (3 min)",)


def test_history_rotates_and_reads_both_generations(tmp_path):
    state = str(tmp_path / "state.json")
    line_size = len(json.dumps({"time_utc": "2026-03-01T12:00:00Z", "netuid": "1",
                                "old": "0.1", "new": "0.2"}, ensure_ascii=False)) + 1
    for n in range(10):
        at = T0 + datetime.timedelta(minutes=n)
        health.record_cycle(state, report(at=at, changes=[["1", f"0.{n}", f"0.{n + 1}"]]),
                            interval_seconds=60, now=at, history_max_bytes=4 * line_size)
    path = health.history_path(state)
    assert os.path.getsize(path) <= 4 * line_size
    assert os.path.getsize(path + ".1") <= 4 * line_size
    changes, unreadable = health.read_history(state)
    assert unreadable == 0
    # Two generations of at most four lines hold the newest entries, oldest first.
    assert [c.new for c in changes] == ["0.5", "0.6", "0.7", "0.8", "0.9", "0.10"]


def test_a_line_cut_short_is_skipped_and_counted(tmp_path):
    state = str(tmp_path / "state.json")
    health.append_history(state, "2026-03-01T12:00:00Z", [("3", "0.1", "0.2")])
    with open(health.history_path(state), "a", encoding="utf-8") as f:
        f.write('{"time_utc": "2026-03-01T12:05:00Z", "netuid": "3", "ol\n')
    health.append_history(state, "2026-03-01T12:10:00Z", [("3", "0.2", "0.3")])
    changes, unreadable = health.read_history(state)
    assert ([c.new for c in changes], unreadable) == (["0.2", "0.3"], 1)


@pytest.mark.parametrize("values, line", [
    (["0", "1"], "▁█"),
    (["0", "0.5", "1"], "▁▅█"),
    (["2", "2", "2"], "▄▄▄"),
    (["0.1", "n/a", "0.3", ""], "▁ █ "),
    (["x"], " "),
    (["1", "inf", "0"], "█ ▁"),
    ([str(n / 7) for n in range(8)], "▁▂▃▄▅▆▇█"),
])
def test_sparkline(values, line):
    assert health.sparkline(values) == line


def test_status_file_keeps_the_mode_of_the_file_it_replaces(tmp_path):
    state = str(tmp_path / "state.json")
    health.record_cycle(state, report(), interval_seconds=60, now=T0)
    os.chmod(health.status_path(state), 0o640)
    health.record_cycle(state, report(), interval_seconds=60, now=T0)
    assert os.stat(health.status_path(state)).st_mode & 0o777 == 0o640


# A mutes file edited by hand, or by another version, may hold keys that are not plain netuids:
# they sort after the netuids, in the order `emberscope status` lists its values, and never stop
# a cycle or `status`.
@pytest.mark.parametrize("keys, muted", [
    (["10", "3", "all"], "3,10,all"),
    (["\u00b2", "3"], "3,\u00b2"),  # a digit that is not a decimal one
    (["\u0663", "2"], "2,\u0663"),  # an Arabic-Indic three: a number, as the values' order has it
    (["-1", "2", "x"], "-1,2,x"),
])
def test_mutes_with_keys_that_are_not_plain_netuids(tmp_path, keys, muted):
    state = str(tmp_path / "state.json")
    until = datetime.datetime(2099, 1, 1, tzinfo=UTC)
    with open(health.mutes_path(state), "w", encoding="utf-8") as f:
        json.dump({"muted": {k: health.format_utc(until) for k in keys}}, f)
    assert health.muted_netuids(state, T0) == muted
    assert health.describe_mutes(state, T0) == [("muted", ", ".join(
        ("every subnet" if k == "all" else f"SN{k}") + " until 2099-01-01T00:00:00Z"
        for k in muted.split(",")))]


def test_a_fifo_as_the_mutes_file_mutes_nothing_at_once(tmp_path):
    # The bot reads the mutes for its answers: a FIFO there must not hold its thread.
    import threading

    state = str(tmp_path / "state.json")
    os.mkfifo(health.mutes_path(state))
    read = []
    reader = threading.Thread(target=lambda: read.append(health.read_mutes(state, T0)), daemon=True)
    reader.start()
    reader.join(30)
    if reader.is_alive():  # let the blocked open go before failing
        os.close(os.open(health.mutes_path(state), os.O_WRONLY | os.O_NONBLOCK))
    assert read == [{}]
