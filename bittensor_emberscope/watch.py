"""The `watch` command: the engine's loop (monitor.watch_loop: a cycle every interval, and between
cycles one wait that ends on the interval, the pause file or a signal, with systemd told what
happens) over the command's side of it: the cycle's records, the configuration file read again
on SIGHUP, the bot answering in the chat, and the metrics exporter."""

from __future__ import annotations

import argparse
import datetime
import signal
import sys
import time
from collections.abc import Callable

from bittensor_emberscope import bot, monitor, health
from bittensor_emberscope.console import PROG, _Console, _console, _say, _utc_now
from bittensor_emberscope.one_shot import (_guarded, _lock, _paused, _record, _report,
                                           _route_rules, _run_cycle, _run_snapshot)
from bittensor_emberscope.settings import Settings, UsageError, _irregular_files, _pick, _reloaded
from bittensor_emberscope.wakeup import Wakeup

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


def _clock() -> object | None:
    """The clock the loop steps through: None for the system's own (one sleep per event)."""
    return None if _host_sleep() else time


def _wait(seconds: float, pause_path: str, between: Callable[[], float] | None = None, *,
          wakeup: Wakeup | None = None, due: Callable[[], float | None] | None = None) -> str:
    """One wait of the loop (monitor.wait_between): `seconds` unless the pause file appears
    (WAIT_PAUSED) or a signal comes (WAIT_SIGNAL). systemd's watchdog is fed at its start and
    every half of its interval; `between` (the bot answering) runs when `wakeup` was poked or
    when `due` (seconds until the bot has an answer to send, None for none) says so. A handler
    that raises (a stop) raises from here."""
    return monitor.wait_between({"serve": between, "due": due, "clock": _clock()},
                                seconds=seconds, pause_path=pause_path,
                                wake_fd=wakeup.fileno() if wakeup is not None else -1)


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


def _moment(epoch: float | None) -> datetime.datetime | None:
    return None if epoch is None else datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)


def _watch(settings: Settings, args: argparse.Namespace, console: _Console) -> int:
    """The engine's loop (monitor.watch_loop) runs the watch: the cycles, the waits between them,
    the pause file, the signals and systemd's notifications. These hooks are its Python side:
    the cycle with its records, the settings read again, the bot, the console."""
    exporter = _metrics_exporter(args, settings)
    say = _say
    interval = settings.interval_minutes * 60
    path = settings.state_path
    try:
        bot_users = bot.allowed_users(args.bot_allow_user)
    except ValueError as e:
        args.command_parser.error(str(e))
    answering: bot.Bot | None = None

    def announce() -> None:
        say(f"[burn] watching every {settings.interval_minutes:g} min, threshold "
            f"{settings.threshold:g}, state file {settings.state_path}, pause file "
            f"{settings.pause_path or '(none)'}")
        if exporter:
            say(f"[burn] metrics at {exporter.url}")

    def record_loop(loop: str, next_cycle: float | None) -> None:
        _record(say, lambda: health.record_loop(path, loop, interval_seconds=interval,
                                                next_cycle=_moment(next_cycle)))

    def cycle(kind: str, next_cycle: float) -> tuple[str, bool]:
        run = _run_snapshot if kind == "snapshot" else _run_cycle
        lines_before = console.lines
        if problems := _irregular_files(path, settings.pause_path):
            # The engine would block on a FIFO in place of its outbox, say.
            detail = "; ".join(problems)
            say(f"[burn] error: {detail}")
            report = _report(health.OUTCOME_ERROR, health.format_utc(_utc_now()), settings.chat_id,
                             detail=detail)
        else:
            report = _guarded(run, settings, say)
        status = _record(say, lambda: health.record_cycle(
            path, report, interval_seconds=interval, next_cycle=_moment(next_cycle),
            routes=_route_rules(settings)))
        line = health.summary(status or {
            health.K_LAST_CYCLE: report["updated_at_utc"], health.K_OUTCOME: report["outcome"],
            health.K_DETAIL: report["detail"], health.K_SUBNETS: report["subnets"],
            health.K_CHANGES: len(report["changes"]), health.K_OUTBOX_SIZE: report["outbox_size"]})
        if exporter:
            exporter.observe(report)
        return line, console.lines != lines_before

    # SIGHUP asks for the configuration file to be read again: the handler only takes note, the
    # loop reads the file when the signal ends its wait, and before each cycle.
    reload_asked = [False]

    def ask_reload(signum: int, frame: object) -> None:
        reload_asked[0] = True

    def reload() -> str | None:
        nonlocal settings
        if not reload_asked[0]:
            return None
        reload_asked[0] = False
        try:
            settings = _reloaded(args, settings)
        except UsageError as e:
            say(f"[burn] config not reloaded: {e}; keeping the previous one")
            return None
        say(f"[burn] config reloaded ({len(settings.config.routes)} routes)")
        if answering:
            answering.chats = _bot_chats(settings)
        return settings.pause_path

    def start_bot() -> None:
        nonlocal answering
        answering = bot.Bot(token=settings.token, chats=_bot_chats(settings), users=bot_users,
                            state_path=path, say=say, verbose=verbose, wake=wakeup.poke)
        answering.start()

    verbose = args.verbose or sys.stderr.isatty()
    first = FIRST_WAIT if _paused(settings.pause_path) else _first_step(settings, args)
    wakeup = Wakeup()
    previous = {s: signal.signal(s, _raise_stopped) for s in (signal.SIGTERM, signal.SIGINT)}
    previous[signal.SIGHUP] = signal.signal(signal.SIGHUP, ask_reload)
    hooks = {
        "announce": announce, "cycle": cycle, "record_loop": record_loop, "reload": reload,
        "start_bot": start_bot, "say": say, "stop_error": Stopped, "clock": _clock(),
        "serve": lambda: answering.serve() if answering else 0.0,
        "due": lambda: answering.due() if answering else None,
    }
    try:
        return monitor.watch_loop(hooks, interval_seconds=interval, pause_path=settings.pause_path,
                                  first=first, verbose=verbose, bot=not args.no_bot,
                                  wake_fd=wakeup.fileno())
    finally:
        if answering:
            answering.close()
        for s, handler in previous.items():
            signal.signal(s, handler)
        wakeup.close()
        if exporter:
            exporter.stop()
