"""The `watch` command: a cycle every interval, and between cycles the waits that end on the
pause file or a signal, the configuration file read again on SIGHUP, the bot answering in the
chat, systemd's notifications and the metrics exporter."""

from __future__ import annotations

import argparse
import datetime
import signal
import sys
import time
from collections.abc import Callable

from bittensor_emberscope import bot, monitor, health
from bittensor_emberscope.console import PROG, _Console, _console, _say, _utc_now
from bittensor_emberscope.notify import CycleWatchdog, Notifier
from bittensor_emberscope.one_shot import (PAUSED_LINE, _guarded, _lock, _paused, _record, _report,
                                           _route_rules, _run_cycle, _run_snapshot)
from bittensor_emberscope.settings import Settings, UsageError, _irregular_files, _pick, _reloaded
from bittensor_emberscope.wakeup import Wakeup

# How long a cycle may keep systemd's watchdog fed: far beyond a slow cycle with every retry.
CYCLE_WATCHDOG_LIMIT = 15 * 60.0
# How long `watch` waits for the state file's lock: a moment only, for a reader that looks at it.
WATCH_LOCK_WAIT_SECONDS = 1.0


class Stopped(BaseException):
    """Raised by the signal handler of `watch`.

    A BaseException, so that the poll loop, which survives the Exception family,
    lets it through and the cycle under way is abandoned.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signame = signal.Signals(signum).name


def _raise_stopped(signum: int, frame: object) -> None:
    # One stop is enough: a second signal must not interrupt the way out.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise Stopped(signum)


# Why `_wait` ended: its time was up, the pause file appeared, or a signal came whose handler
# did not stop the command (the loop looks at what the handler asked for, then waits on).
WAIT_DONE, WAIT_PAUSED, WAIT_SIGNAL = "done", "paused", "signal"


def _host_sleep() -> bool:
    """True while `time.sleep` is the host's own. A program that substituted it (a test that
    shortens the waits, the demo's clock) has the waits stepped through its substitute."""
    sleep = time.sleep
    return getattr(sleep, "__self__", None) is sys.modules.get("time")


def _wait(seconds: float, pause_path: str, notifier: Notifier,
          between: Callable[[], float] | None = None, *, wakeup: Wakeup | None = None,
          due: Callable[[], float | None] | None = None) -> str:
    """Sleep `seconds` unless the pause file appears (WAIT_PAUSED) or a signal comes
    (WAIT_SIGNAL); WAIT_DONE when the time is up and there is no pause file.

    One sleep per event (monitor.wait): systemd's watchdog is fed at the start and every half
    of its interval, `between` (the bot answering) runs when `wakeup` was poked or when `due`
    (seconds until the bot has an answer to send, None for none) says so. A handler that raises
    (a stop) raises from here."""
    if not _host_sleep():
        return _stepped_wait(seconds, pause_path, notifier, between, wakeup)
    deadline = time.monotonic() + seconds
    period = notifier.watchdog_seconds / 2 if notifier.enabled and notifier.watchdog_seconds else None
    notifier.watchdog()
    fed = time.monotonic()
    wake_fd = wakeup.fileno() if wakeup is not None else -1
    while True:
        now = time.monotonic()
        left = deadline - now
        if left <= 0:
            return WAIT_PAUSED if _paused(pause_path) else WAIT_DONE
        held = due() if due is not None else None
        end = monitor.wait(seconds=left if held is None else min(left, max(held, 0.0)),
                           pause_path=pause_path, wake_fd=wake_fd,
                           watchdog_seconds=None if period is None else fed + period - now)
        if end == "paused":
            return WAIT_PAUSED
        if end == "watchdog":
            notifier.watchdog()
            fed = time.monotonic()
        elif end == "woken":
            signalled, poked = wakeup.drain() if wakeup is not None else (True, False)
            if poked and between is not None:
                between()
            if signalled:
                return WAIT_SIGNAL
        elif held is not None and between is not None and time.monotonic() < deadline:
            between()  # an answer held back by flood control is due


def _stepped_wait(seconds: float, pause_path: str, notifier: Notifier,
                  between: Callable[[], float] | None, wakeup: Wakeup | None) -> str:
    """`_wait` through a substituted `time.sleep`: steps of at most a second, looking for the
    pause file before each step and feeding systemd's watchdog every other step; `between` runs
    after each step and returns the seconds it took; a signal ends it after its step."""
    remaining = seconds
    steps = 0
    while remaining > 0:
        if _paused(pause_path):
            return WAIT_PAUSED
        if steps % 2 == 0:
            notifier.watchdog()
        step = min(remaining, 1.0)
        time.sleep(step)
        remaining -= step
        if between is not None:
            remaining -= between()
        steps += 1
        if wakeup is not None and wakeup.drain()[0]:
            return WAIT_SIGNAL
    return WAIT_PAUSED if _paused(pause_path) else WAIT_DONE


def _metrics_exporter(args: argparse.Namespace, settings: Settings):
    """The metrics exporter of --metrics-listen, listening; None when the setting is off.

    A value that is not an address is a usage error; an address that cannot be listened on
    (in use, not this machine's) ends the command with one line and exit status 2."""
    text, origin = _pick(args.metrics_listen, "--metrics-listen", "EMBERSCOPE_METRICS_LISTEN")
    if text is None:
        return None
    try:
        from bittensor_emberscope import metrics  # the Prometheus library only when asked for
    except ImportError as e:
        _say(f"{PROG} watch: error: {origin}: the metrics need the Python package "
             f"prometheus_client ({e})")
        raise SystemExit(2) from None
    try:
        address = metrics.parse_listen(text)
    except ValueError as e:
        args.command_parser.error(f"{origin}: {text!r} {e}")
    try:
        return metrics.Exporter(settings.state_path, address).start()
    except OSError as e:
        _say(f"{PROG} watch: error: {origin}: cannot listen on "
             f"{metrics.format_address(address)}: {e.strerror or e}")
        raise SystemExit(2) from None


# What `watch` does first: the start-up list, a watch cycle, or the first wait.
FIRST_SNAPSHOT, FIRST_CYCLE, FIRST_WAIT = "snapshot", "cycle", "wait"
FIRST_STATUS = {FIRST_SNAPSHOT: "sending the start-up list",
                FIRST_CYCLE: "looking for changes since the last run",
                FIRST_WAIT: "waiting for the first cycle"}


def _first_step(settings: Settings, args: argparse.Namespace) -> str:
    """The start-up list on a first start (no usable state) or when asked; with stored values,
    a watch cycle right away, so that what moved while `watch` was stopped is alerted."""
    if args.snapshot:
        return FIRST_SNAPSHOT
    if args.no_snapshot:
        return FIRST_WAIT
    try:
        stored = monitor.read_state(settings.state_path) is not None
    except (OSError, ValueError):
        stored = False
    return FIRST_CYCLE if stored else FIRST_SNAPSHOT


def cmd_watch(settings: Settings, args: argparse.Namespace) -> int:
    with _console() as console:
        lock, refusal = _lock(settings, WATCH_LOCK_WAIT_SECONDS)
        if lock is None:
            _say(f"{refusal}; not starting a second watch")
            return 2
        with lock:
            return _watch(settings, args, console)


def _bot_chats(settings: Settings) -> list[str]:
    """The chats the bot answers: every route's, once each."""
    routes = settings.config.routes if settings.config else ()
    return list(dict.fromkeys([r.chat_id for r in routes] or [settings.chat_id]))


def _watch(settings: Settings, args: argparse.Namespace, console: _Console) -> int:
    exporter = _metrics_exporter(args, settings)
    say = _say
    verbose = args.verbose or sys.stderr.isatty()
    interval = settings.interval_minutes * 60
    notifier = Notifier()
    watchdog = CycleWatchdog(notifier, CYCLE_WATCHDOG_LIMIT)
    path = settings.state_path
    try:
        bot_users = bot.allowed_users(args.bot_allow_user)
    except ValueError as e:
        args.command_parser.error(str(e))
    answering: bot.Bot | None = None

    def record_loop(loop: str, next_cycle: datetime.datetime | None = None) -> None:
        _record(say, lambda: health.record_loop(path, loop, interval_seconds=interval,
                                                next_cycle=next_cycle))

    def cycle(run: Callable[[Settings], dict]) -> None:
        lines_before = console.lines
        if problems := _irregular_files(path, settings.pause_path):
            # The engine would block on a FIFO in place of its outbox, say.
            detail = "; ".join(problems)
            say(f"[burn] error: {detail}")
            report = _report(health.OUTCOME_ERROR, health.format_utc(_utc_now()), settings.chat_id,
                             detail=detail)
        else:
            with watchdog:
                report = _guarded(run, settings, say)
        next_cycle = _utc_now() + datetime.timedelta(seconds=interval)
        status = _record(say, lambda: health.record_cycle(
            path, report, interval_seconds=interval, next_cycle=next_cycle,
            routes=_route_rules(settings)))
        line = health.summary(status or {
            health.K_LAST_CYCLE: report["updated_at_utc"], health.K_OUTCOME: report["outcome"],
            health.K_DETAIL: report["detail"], health.K_SUBNETS: report["subnets"],
            health.K_CHANGES: len(report["changes"]), health.K_OUTBOX_SIZE: report["outbox_size"]})
        line += f", next at {next_cycle.strftime('%H:%M UTC')}"
        if exporter:
            exporter.observe(report)
        notifier.status(line)
        if verbose and console.lines == lines_before:
            # One line per cycle: a cycle that said something (an alert sent, a failure) has
            # its line already.
            say(f"[burn] {line}")

    # SIGHUP asks for the configuration file to be read again: the handler only takes note, the
    # loop reads the file when the signal ends its wait, and before each cycle.
    reload_asked = [False]

    def ask_reload(signum: int, frame: object) -> None:
        reload_asked[0] = True

    def reload_if_asked() -> None:
        nonlocal settings
        if not reload_asked[0]:
            return
        reload_asked[0] = False
        try:
            settings = _reloaded(args, settings)
        except UsageError as e:
            say(f"[burn] config not reloaded: {e}; keeping the previous one")
            return
        say(f"[burn] config reloaded ({len(settings.config.routes)} routes)")
        if answering:
            answering.chats = _bot_chats(settings)

    def paused() -> int:
        say(PAUSED_LINE)
        record_loop("paused")
        notifier.stopping("paused (pause file)")
        return 0

    wakeup = Wakeup()
    previous = {s: signal.signal(s, _raise_stopped) for s in (signal.SIGTERM, signal.SIGINT)}

    def wait_interval() -> bool:
        """Waits an interval; False when the pause file ended it."""
        end = time.monotonic() + interval
        while True:
            reason = _wait(end - time.monotonic(), settings.pause_path, notifier, between,
                           wakeup=wakeup, due=answering.due if answering else None)
            if reason != WAIT_SIGNAL:
                return reason == WAIT_DONE
            reload_if_asked()  # a handled signal: SIGHUP, say

    between: Callable[[], float] | None = None
    previous[signal.SIGHUP] = signal.signal(signal.SIGHUP, ask_reload)
    try:
        say(f"[burn] watching every {settings.interval_minutes:g} min, threshold "
            f"{settings.threshold:g}, state file {settings.state_path}, pause file "
            f"{settings.pause_path or '(none)'}")
        if exporter:
            say(f"[burn] metrics at {exporter.url}")
        if _paused(settings.pause_path):
            # READY first: a service that ends before it is ready counts as failed, and is
            # restarted, while a paused monitor is meant to stay stopped.
            notifier.ready("paused (pause file)")
            return paused()
        first = _first_step(settings, args)
        record_loop("running", _utc_now() + datetime.timedelta(seconds=interval))
        notifier.ready("started; " + FIRST_STATUS[first])
        if not args.no_bot:
            answering = bot.Bot(token=settings.token, chats=_bot_chats(settings), users=bot_users,
                                state_path=path, say=say, verbose=verbose, wake=wakeup.poke)
            answering.start()
            between = answering.serve
        if first == FIRST_SNAPSHOT:
            cycle(_run_snapshot)
        elif first == FIRST_CYCLE:
            cycle(_run_cycle)
        if not wait_interval():
            return paused()
        while True:
            if _paused(settings.pause_path):
                return paused()
            reload_if_asked()
            cycle(_run_cycle)
            if not wait_interval():
                return paused()
    except Stopped as stop:
        say(f"[burn] stopped ({stop.signame})")
        record_loop("stopped")
        notifier.stopping(f"stopped ({stop.signame})")
        return 0
    finally:
        if answering:
            answering.close()
        for s, handler in previous.items():
            signal.signal(s, handler)
        wakeup.close()
        notifier.close()
        if exporter:
            exporter.stop()
