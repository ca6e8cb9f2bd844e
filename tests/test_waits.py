"""The wait of `emberscope watch` between cycles: one sleep that ends at the first of its
time, the pause file, a signal, the bot's wake-up or the watchdog falling due."""

from __future__ import annotations

import math
import os
import signal
import socket
import sys
import threading
import time

import pytest

from bittensor_emberscope import monitor, watch
from bittensor_emberscope.wakeup import Wakeup

from test_cli import STARTED, env, taostats, telegram, watches  # noqa: F401 (fixtures)

# Far beyond what any of these waits should take: one that reaches it missed its event.
LONG = 30.0


def soon(action, after: float = 0.2) -> threading.Thread:
    def run() -> None:
        time.sleep(after)
        action()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


@pytest.fixture
def usr1():
    """SIGUSR1 handled by a handler that records each signal and returns."""
    seen: list[int] = []
    previous = signal.signal(signal.SIGUSR1, lambda signum, frame: seen.append(signum))
    yield seen
    signal.signal(signal.SIGUSR1, previous)


class Raised(BaseException):
    pass


@pytest.fixture
def raising_usr1():
    """SIGUSR1 handled by a handler that raises Raised (as a stop does)."""
    def handler(signum, frame):
        raise Raised()

    previous = signal.signal(signal.SIGUSR1, handler)
    yield Raised
    signal.signal(signal.SIGUSR1, previous)


# The monitor's wait itself


@pytest.mark.parametrize("event, expected", [
    ("nothing", "deadline"),
    ("pause file", "paused"),
    ("wake byte", "woken"),
    ("watchdog", "watchdog"),
])
def test_the_wait_ends_with_its_first_event(tmp_path, event, expected):
    pause = tmp_path / "pause"
    reader, writer = socket.socketpair()
    try:
        if event == "pause file":
            # Another Python thread makes the file: the wait must have let go of the lock.
            soon(pause.touch)
        elif event == "wake byte":
            soon(lambda: writer.send(b"\0"))
        began = time.monotonic()
        end = monitor.wait(seconds=0.5 if event == "nothing" else LONG, pause_path=str(pause),
                           wake_fd=reader.fileno(),
                           watchdog_seconds=0.2 if event == "watchdog" else None)
        assert end == expected
        assert time.monotonic() - began < LONG / 2
        if event == "wake byte":
            assert reader.recv(16) == b"\0"  # left for the caller to read
    finally:
        reader.close()
        writer.close()


def test_a_pause_file_named_in_bytes_that_are_not_utf8_ends_the_wait(tmp_path):
    # Names from the command line come as os.fsdecode gives them: the folder and the file here.
    folder = tmp_path / os.fsdecode(b"state-\xe9")
    folder.mkdir()
    pause = folder / os.fsdecode(b"pause-\xff")
    soon(pause.touch)
    assert monitor.wait(seconds=LONG, pause_path=str(pause)) == "paused"


def test_a_raising_handler_ends_the_wait_with_its_error(tmp_path, raising_usr1):
    wakeup = Wakeup()
    try:
        # Sent to another thread: only the wake-up descriptor tells the waiting thread.
        soon(lambda: signal.pthread_kill(threading.get_ident(), signal.SIGUSR1))
        began = time.monotonic()
        with pytest.raises(raising_usr1):
            monitor.wait(seconds=LONG, pause_path=str(tmp_path / "pause"), wake_fd=wakeup.fileno())
        assert time.monotonic() - began < LONG / 2
    finally:
        wakeup.close()


@pytest.mark.parametrize("arguments, message", [
    ({"seconds": math.nan}, "seconds must be a number, not nan"),
    ({"seconds": 1.0, "watchdog_seconds": math.nan}, "watchdog_seconds must be a number, not nan"),
    ({"seconds": 1.0, "wake_fd": 1 << 40}, "wake_fd is not a file descriptor: 1099511627776"),
])
def test_the_wait_refuses_what_it_cannot_wait_for(arguments, message):
    with pytest.raises(ValueError) as raised:
        monitor.wait(pause_path="", **arguments)
    assert str(raised.value) == message


# `watch`'s wait over it


def test_a_quiet_wait_lasts_its_time(tmp_path):
    # How many sleeps it takes is the engine's (watch_loop_test.cpp): here, the whole time.
    began = time.monotonic()
    assert watch._wait(1.5, str(tmp_path / "pause")) == watch.WAIT_DONE
    assert time.monotonic() - began >= 1.5


def test_the_pause_file_ends_the_wait(tmp_path):
    pause = tmp_path / "pause"
    soon(pause.touch)
    began = time.monotonic()
    assert watch._wait(LONG, str(pause)) == watch.WAIT_PAUSED
    assert time.monotonic() - began < LONG / 2


def test_the_bot_woken_wait_answers_and_waits_on(tmp_path):
    wakeup = Wakeup()
    served: list[float] = []
    try:
        soon(wakeup.poke)
        began = time.monotonic()
        assert watch._wait(1.0, str(tmp_path / "pause"),
                         lambda: served.append(time.monotonic()) or 0.0,
                         wakeup=wakeup) == watch.WAIT_DONE
        assert len(served) == 1 and served[0] - began < 1.0
        assert time.monotonic() - began >= 1.0  # the answer did not end the wait
    finally:
        wakeup.close()


def test_a_handled_signal_ends_the_wait_for_the_loop_to_look_at(tmp_path, usr1):
    wakeup = Wakeup()
    served: list[int] = []
    try:
        soon(lambda: signal.pthread_kill(threading.get_ident(), signal.SIGUSR1))
        began = time.monotonic()
        assert watch._wait(LONG, str(tmp_path / "pause"), lambda: served.append(1) or 0,
                         wakeup=wakeup) == watch.WAIT_SIGNAL
        assert time.monotonic() - began < LONG / 2
        assert usr1 == [signal.SIGUSR1] and served == []  # a signal is not the bot's
    finally:
        wakeup.close()


def test_an_answer_held_by_flood_control_is_sent_when_due(tmp_path):
    due_at = time.monotonic() + 0.3
    served: list[float] = []

    def due() -> float | None:
        return None if served else due_at - time.monotonic()

    assert watch._wait(1.0, str(tmp_path / "pause"),
                     lambda: served.append(time.monotonic()) or 0.0, due=due) == watch.WAIT_DONE
    assert len(served) == 1 and served[0] >= due_at


def test_the_watchdog_is_fed_every_half_interval(tmp_path, monkeypatch):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    address = str(tmp_path / "notify")
    sock.bind(address)
    sock.settimeout(LONG)
    monkeypatch.setenv("NOTIFY_SOCKET", address)
    monkeypatch.setenv("WATCHDOG_USEC", "400000")
    monkeypatch.delenv("WATCHDOG_PID", raising=False)
    try:
        assert watch._wait(2.0, str(tmp_path / "pause")) == watch.WAIT_DONE
        sock.setblocking(False)
        fed = []
        while True:
            try:
                fed.append(sock.recv(64))
            except BlockingIOError:
                break
        # At the start, then every 0.2 s: about ten in 2 s; a loaded machine may send fewer.
        assert 3 <= len(fed) <= 12 and set(fed) == {b"WATCHDOG=1"}
    finally:
        sock.close()


# The whole command


# `watch` with a SIGUSR1 handler that says so and returns.
USR1_COMMAND = [sys.executable, "-c",
                "import signal, sys\n"
                "signal.signal(signal.SIGUSR1, lambda s, f: sys.stderr.write('[test] usr1\\n'))\n"
                "from bittensor_emberscope.cli import main\n"
                "sys.exit(main(sys.argv[1:]))"]


def test_watch_waits_on_after_a_signal_that_does_not_stop_it(env, taostats, tmp_path, watches):
    w = watches("--no-snapshot", "--no-bot", env=env, command=USR1_COMMAND)
    w.wait_line(STARTED)
    w.proc.send_signal(signal.SIGUSR1)
    w.wait_line("[test] usr1")
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert (code, lines[-1]) == (0, "[burn] monitoring paused\n")
    assert taostats.requests == []  # no cycle started early


def test_a_handled_signal_ends_a_stepped_wait_too(monkeypatch, tmp_path, usr1):
    # A program that substituted time.sleep (a test shortening the waits) has its waits stepped:
    # a signal whose handler returns ends them after the step under way, as the real wait does.
    slept: list[float] = []

    def sleep(seconds: float) -> None:
        slept.append(seconds)
        if len(slept) == 2:
            signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)

    monkeypatch.setattr(watch.time, "sleep", sleep)
    wakeup = Wakeup()
    try:
        assert watch._wait(60, str(tmp_path / "pause"), wakeup=wakeup) == watch.WAIT_SIGNAL
    finally:
        wakeup.close()
    assert (slept, usr1) == ([1, 1], [signal.SIGUSR1])


def test_a_raising_handler_ends_a_wait_that_has_no_wake_descriptor(tmp_path, raising_usr1):
    # Without the wake-up socket only the interrupted sleep tells: the handler must still run.
    main = threading.get_ident()
    soon(lambda: signal.pthread_kill(main, signal.SIGUSR1))
    began = time.monotonic()
    with pytest.raises(raising_usr1):
        watch._wait(LONG, str(tmp_path / "pause"))
    assert time.monotonic() - began < LONG / 2
