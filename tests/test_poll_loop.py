"""The poll loop and its pause control: interval rule, pause file, cycle errors, interrupts."""

from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from bittensor_emberscope.testing import Answer

NO_KEY = "[burn] taostats API not available (must be bundled in package defaults)\n"
PAUSED = "[burn] monitoring paused\n"


class Stop(BaseException):
    """Ends a loop from inside a substituted sleep (outside the Exception family)."""


def test_burn_is_paused(es, tmp_path, monkeypatch):
    pause = tmp_path / "pause"
    assert es._burn_is_paused(str(pause)) is False
    pause.write_text("")
    assert es._burn_is_paused(str(pause)) is True
    assert es._burn_is_paused(str(tmp_path)) is False  # a directory does not pause
    looked = []
    monkeypatch.setattr(es.os.path, "isfile", lambda p: looked.append(p) or True)
    assert es._burn_is_paused("") is False and looked == []


@pytest.mark.parametrize(
    "seconds, steps",
    [(3, [1.0, 1.0, 1.0]), (2.5, [1.0, 1.0, 0.5]), (0.25, [0.25]), (0, []), (-4, []),
     (math.nan, [])],
)
def test_sleep_until_interval_steps(es, sleeps, seconds, steps):
    assert es._sleep_until_interval(seconds, "") is True
    assert sleeps == steps
    assert es._sleep_until_interval.__doc__ == (
        "Sleep in 1s steps. Returns False if paused before interval elapsed.")


def test_sleep_until_interval_checks_before_each_step_and_at_the_end(es, tmp_path, monkeypatch):
    pause = tmp_path / "pause"
    checks, slept = [], []
    real_isfile = os.path.isfile
    monkeypatch.setattr(es.os.path, "isfile", lambda p: checks.append(p) or real_isfile(p))

    def sleep(s):
        slept.append(s)
        if len(slept) == 2:
            pause.write_text("")

    monkeypatch.setattr(es.time, "sleep", sleep)
    assert es._sleep_until_interval(10, str(pause)) is False
    assert slept == [1.0, 1.0] and len(checks) == 3
    pause.unlink()
    checks.clear(), slept.clear()
    monkeypatch.setattr(es.time, "sleep", slept.append)
    assert es._sleep_until_interval(2, str(pause)) is True
    assert slept == [1.0, 1.0] and len(checks) == 3


@pytest.mark.parametrize(
    "minutes, seconds",
    [(5, 300), (2.5, 150), (1, 60), (0.5, 60), (0, 60), (-3, 60), (-math.inf, 60), (math.nan, 60)],
)
def test_interval_rule(es, monkeypatch, capsys, minutes, seconds):
    slept = []

    def sleep(s):
        slept.append(s)
        if sum(slept) >= 2 * seconds:
            raise Stop

    monkeypatch.setattr(es.time, "sleep", sleep)
    with pytest.raises(Stop):
        es.run_burn_poll_loop(state_path="s.json", threshold=0.1, interval_minutes=minutes,
                              burn_token="", burn_chat_id="")
    assert len(slept) == 2 * seconds and set(slept) == {1.0}
    # One cycle ran (without a key) after the first full interval, none before it.
    assert capsys.readouterr().err == NO_KEY


def test_infinite_interval_only_ends_by_pause(es, tmp_path, monkeypatch, capsys):
    pause = tmp_path / "pause"
    slept = []

    def sleep(s):
        slept.append(s)
        if len(slept) == 500:
            pause.write_text("")

    monkeypatch.setattr(es.time, "sleep", sleep)
    assert es.run_burn_poll_loop(state_path="s.json", threshold=0.1, interval_minutes=math.inf,
                                 burn_token="", burn_chat_id="", pause_path=str(pause)) is None
    assert len(slept) == 500 and capsys.readouterr().err == PAUSED


def test_pause_file_present_at_start(es, tmp_path, sleeps, capsys):
    pause = tmp_path / "pause"
    pause.write_text("")
    es.run_burn_poll_loop(state_path="s.json", threshold=0.1, interval_minutes=1,
                          burn_token="", burn_chat_id="", pause_path=str(pause))
    assert sleeps == [] and capsys.readouterr() == ("", PAUSED)


def test_loop_survives_a_cycle_error_then_stops_on_the_pause_file(es, taostats, telegram,
                                                                  tmp_path, monkeypatch, capsys):
    state_dir = tmp_path / "later"
    state = state_dir / "state.json"
    pause = tmp_path / "pause"
    taostats.rows = [{"netuid": 1, "incentive_burn": 0.5}]
    slept = []

    def sleep(s):
        slept.append(s)
        if len(slept) == 90:  # during the second wait: the state folder appears
            state_dir.mkdir()
        if len(slept) == 150:  # during the third wait: the operator pauses
            pause.write_text("")

    monkeypatch.setattr(es.time, "sleep", sleep)
    es.run_burn_poll_loop(state_path=str(state), threshold=0.1, interval_minutes=1,
                          burn_token="t", burn_chat_id="c", pause_path=str(pause))
    err = capsys.readouterr().err.splitlines(keepends=True)
    assert err == [f"[burn] error: [Errno 2] No such file or directory: '{state}'\n", PAUSED]
    assert len(taostats.requests) == 2 and len(slept) == 150
    assert json.loads(state.read_text())["owner_burn_rate"] == {"1": "0.5"}


def test_cycle_errors_are_reported_and_interrupts_end_the_loop(es, taostats, monkeypatch, capsys):
    class Boom(Exception):
        pass

    raised = [Boom("listing exploded"), Boom(), KeyboardInterrupt()]

    def urlopen(*args, **kwargs):
        raise raised.pop(0)

    monkeypatch.setattr(es.urllib.request, "urlopen", urlopen)
    monkeypatch.setattr(es.time, "sleep", lambda s: None)
    with pytest.raises(KeyboardInterrupt):
        es.run_burn_poll_loop(state_path="s.json", threshold=0.1, interval_minutes=1,
                              burn_token="", burn_chat_id="")
    assert capsys.readouterr().err == "[burn] error: listing exploded\n[burn] error: \n"


# Real processes, real files, real sleeps.

def _spawn(code: str, env: dict | None = None) -> subprocess.Popen:
    full_env = {k: v for k, v in os.environ.items() if not k.startswith(("TAOSTATS_", "TELEGRAM_"))}
    full_env.update(env or {})
    # A shell that started us in the background may have set SIGINT to "ignore", which the
    # child would inherit; give it the default disposition a terminal user has.
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def test_pause_file_created_during_a_wait_ends_the_process_loop(tmp_path):
    pause = tmp_path / "pause"
    proc = _spawn(f"""
        from bittensor_emberscope import emberscope as es
        print("ready", flush=True)
        es.run_burn_poll_loop(state_path={str(tmp_path / 's.json')!r}, threshold=0.1,
                              interval_minutes=1, burn_token="", burn_chat_id="",
                              pause_path={str(pause)!r})
    """)
    assert proc.stdout.readline() == "ready\n"
    time.sleep(1.5)
    pause.write_text("")
    created = time.monotonic()
    out, err = proc.communicate(timeout=10)
    assert time.monotonic() - created < 3.0
    assert proc.returncode == 0 and (out, err) == ("", PAUSED)


@pytest.mark.parametrize("where, delay", [("sleep", 1.5), ("sleep", 1.0), ("request", 0)])
def test_ctrl_c_stops_within_a_second(tmp_path, taostats, where, delay):
    # After 1.5 s the signal interrupts a sleep; after 1.0 s it tends to land between two
    # one-second steps, where no system call is under way to be interrupted.
    taostats.script(*[Answer(hang=True)] * 3)
    call = ("es.run_burn_poll_loop(state_path='s.json', threshold=0.1, interval_minutes=1, "
            "burn_token='', burn_chat_id='')" if where == "sleep" else
            "es.run_emberscope_once(state_path='s.json', threshold=0.1, burn_token='', "
            "burn_chat_id='')")
    proc = _spawn(f"""
        from bittensor_emberscope import emberscope as es
        print("ready", flush=True)
        {call}
    """, env={"TAOSTATS_API_BASE": taostats.base_url, "TAOSTATS_API_KEY": "k"})
    assert proc.stdout.readline() == "ready\n"
    if where == "request":
        assert taostats.wait_for_requests(1, timeout=10)
    else:
        time.sleep(delay)
    proc.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, err = proc.communicate(timeout=10)
    # Well under the one-minute wait it interrupted; the margin absorbs a loaded machine.
    assert time.monotonic() - sent < 3.0
    assert proc.returncode != 0 and err.rstrip().endswith("KeyboardInterrupt")
