"""The `emberscope` command: a thin host program over the extension module.

Settings come from flags, each with an environment variable behind it. The Taostats
key and the Telegram bot token come from the environment or from a file named by a
flag, never as a value on the command line, which every user of the machine can read.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import datetime
import json
import math
import os
import signal
import sys
import time
from collections.abc import Callable, Iterator, Sequence

from bittensor_emberscope import monitor, health
from bittensor_emberscope.localfiles import (Busy, StateLock, irregular, lock_path, read_regular,
                                             sibling)

TYPE_CHECKING = False  # typing's own flag, without loading typing
if TYPE_CHECKING:
    from bittensor_emberscope.config import Config
    from bittensor_emberscope.notify import Notifier
    from bittensor_emberscope.wakeup import Wakeup

__all__ = ["main", "Settings", "Stopped"]

PROG = "emberscope"
DEFAULT_THRESHOLD = 0.01
DEFAULT_INTERVAL_MINUTES = 5.0
DEFAULT_OUTBOX_MAX_AGE_HOURS = monitor.DEFAULT_OUTBOX_MAX_AGE_SECONDS / 3600
PAUSE_FILE_NAME = "pause"
# The module's own line for the same event; the command writes it when it sees the pause file.
PAUSED_LINE = "[burn] monitoring paused"
# How long a cycle may keep systemd's watchdog fed: far beyond a slow cycle with every retry.
CYCLE_WATCHDOG_LIMIT = 15 * 60.0
# How long `once` and `snapshot` wait for another run's cycle to end before giving up; `watch`
# waits a moment only, for a reader that looks at the lock.
ONCE_LOCK_WAIT_SECONDS = 5.0
WATCH_LOCK_WAIT_SECONDS = 1.0
# The engine keeps its outbox beside the state file under this suffix.
OUTBOX_SUFFIX = ".outbox.json"

DESCRIPTION = """\
Watch the owner burn rate of every Bittensor subnet through the Taostats API and report
changes beyond a threshold to a Telegram chat.
"""

EPILOG = """\
secrets (never on the command line):
  TAOSTATS_API_KEY      Taostats API key, or --taostats-key-file / TAOSTATS_API_KEY_FILE
  TELEGRAM_BOT_TOKEN    Telegram bot token, or --token-file / TELEGRAM_BOT_TOKEN_FILE

examples:
  emberscope demo
  export TAOSTATS_API_KEY=... TELEGRAM_BOT_TOKEN=... TELEGRAM_CHAT_ID=-1001234567890
  emberscope test-send                       # can the bot post to the chat?
  emberscope watch --threshold 0.05 --interval-minutes 10
  emberscope once --state-file /var/lib/emberscope/state.json --token-file ~/.config/emberscope/bot-token
  emberscope status                          # is it alive, when did it last look?
  emberscope history --netuid 64             # every change seen, with a trend line
  touch ~/.local/state/emberscope/pause      # a running `watch` stops within a second

Run `emberscope COMMAND --help` for the options of a command.
"""

WATCH_EPILOG = """\
examples:
  emberscope watch
  emberscope watch --snapshot --interval-minutes 15 --threshold 0.05
  emberscope watch --pause-file /run/emberscope/pause --token-file /etc/emberscope/bot-token

At start, with values stored by an earlier run, it runs a watch cycle at once: what moved
while it was stopped is alerted (and recorded in the history) like any change. On a first
start (no state file), or with --snapshot, it sends the full start-up list instead, which
becomes the baseline. --no-snapshot does neither and starts with a full interval of waiting.
Then a cycle follows every interval. It ends with exit status 0 when the pause file appears
(seen at once while waiting), when it is started while the pause file exists, and on
SIGTERM or Ctrl-C. Without a Taostats key, a bot token or a chat, or while another `watch`
holds the state file's lock (`state.lock` beside it), it does not start (exit status 2).

While it waits it answers commands in the chat (/burn N, /chart N [days], /changes [hours],
/status, /mute N|all DURATION, /unmute N|all, /help) from the configured chat and the users of
--bot-allow-user, out of the files beside the state; --no-bot switches that off.

Each cycle is recorded in the status file and its changes in the history log, beside the
state file (`emberscope status`, `emberscope history`). With --verbose, or when standard
error is a terminal, a line sums up every cycle. Lines carry the UTC time unless the
journal (JOURNAL_STREAM) adds its own. Under systemd (NOTIFY_SOCKET) it reports READY=1
once started, WATCHDOG=1 while it runs and a STATUS= line about the last cycle.
"""

ONCE_EPILOG = """\
examples:
  emberscope once
  */5 * * * *  emberscope once --threshold 0.05      (crontab)

Exit status 0: the cycle completed (also when nothing changed); 1: the listing failed, the
alert was not delivered, or an error stopped the cycle; 2: a setting is missing or wrong
(nothing ran). While the pause file exists the cycle is skipped (exit status 0). While another
run (a `watch`, an overlapping `once`) holds the state file's lock, it waits a few seconds,
then gives up naming the holder's pid (exit status 1, nothing ran). The cycle is recorded in
the status file; give --interval-minutes your schedule's period so that
`emberscope status` knows when a cycle is overdue.
"""

SNAPSHOT_EPILOG = """\
examples:
  emberscope snapshot
  emberscope snapshot --state-file ./state.json --chat-id @my_channel

Exit status 0: the list was delivered, or the pause file exists (then nothing runs); 1: the
listing failed, the list was not delivered (the baseline is recorded even then), or another
run holds the state file's lock; 2: a setting is missing or wrong.
"""

TEST_SEND_EPILOG = """\
examples:
  emberscope test-send
  emberscope test-send --chat-id @my_channel --token-file /etc/emberscope/bot-token

Prints what Telegram answered: "ok", or its reason for refusing (a wrong token, a chat the
bot is not in). Exit status 0 when the message was accepted, 1 otherwise, 2 without a bot
token or chat.
"""

STATUS_EPILOG = """\
examples:
  emberscope status
  emberscope status --json | jq .healthy
  emberscope status --state-file /var/lib/emberscope/state.json || alert-the-operator

Shows the last cycle (time, outcome, subnets, changes), what waits in the outbox, the next
cycle, then the stored values. Exit status 0: healthy; 1: no state and no cycle recorded
yet, or the state file cannot be read; 3: unhealthy: the last cycle is older than three
intervals or lies in the future (the clock was set back), the last three cycles failed,
`watch` recorded that it stopped or paused, or the `watch` recorded as running is gone
(killed: it no longer holds the state file's lock).
"""

HISTORY_EPILOG = """\
examples:
  emberscope history
  emberscope history --netuid 64 --since 2026-01-01
  emberscope history --json | jq '.changes[-1]'

Every change the monitor reported, oldest first, from the history log beside the state
file, then per subnet its values over time as a line of bars (lowest ▁ to highest █).
"""

CHATS_EPILOG = """\
examples:
  emberscope chats
  emberscope chats --token-file /etc/emberscope/bot-token

Add the bot to the group (or write to it), send a message, then run this: it prints each chat
of the updates Telegram still holds for the bot, without marking them read. Exit status 1 with
Telegram's reason when getUpdates fails: a webhook is set, or a running `watch` reads the
updates (stop it first, or look at its `[bot]` lines).
"""

CONFIG_EPILOG = """\
examples:
  emberscope config check --config /etc/emberscope/emberscope.toml
  EMBERSCOPE_CONFIG=./emberscope.toml emberscope config check

The file names chats and rules, never a secret (the bot token stays in the environment or its
file). Exit status 0: the routes as understood, one line each; 2: the file cannot be used (its
line and key are named), and `watch`, `once` and `snapshot` refuse it the same way.
"""

DEMO_EPILOG = """\
The demo starts Taostats and Telegram stand-ins on 127.0.0.1 in this process and runs
`emberscope watch` against them: the start-up list, a few watch cycles with moving values,
a rate limit, an alert held back by Telegram's flood control and delivered from the outbox,
and the pause file ending the loop. Its clock skips the waits, so it takes a few seconds.
Nothing is read from or written to your state.
"""


class UsageError(Exception):
    """A setting that cannot be used; reported before anything runs."""


class Stopped(BaseException):
    """Raised by the signal handler of `watch`.

    A BaseException, so that the poll loop, which survives the Exception family,
    lets it through and the cycle under way is abandoned.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signame = signal.Signals(signum).name


# A plain record rather than a dataclass: `status` and `history` would pay for loading the
# dataclass machinery (inspect, ast, dis) on every start, without using it.
_SettingsFields = collections.namedtuple(
    "Settings", ["state_path", "threshold", "interval_minutes", "pause_path", "chat_id", "token",
                 "outbox_max_age_hours", "wait_budget_seconds", "config"],
    defaults=[DEFAULT_OUTBOX_MAX_AGE_HOURS, None, None])


class Settings(_SettingsFields):
    """Everything a command hands to the module: state_path, threshold, interval_minutes,
    pause_path, chat_id, token (never shown), outbox_max_age_hours, wait_budget_seconds, and
    config, the routes (from the configuration file, else one to `chat_id` with `threshold`)."""

    __slots__ = ()

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._fields
                          if name != "token")
        return f"Settings({shown})"


# Reading the settings


def _env(name: str) -> str | None:
    value = os.environ.get(name)
    return value if value else None


def _pick(flag_value: str | None, flag: str, env_name: str) -> tuple[str | None, str]:
    """The flag's value, else the environment variable's, with where it came from."""
    if flag_value is not None:
        return flag_value, flag
    value = _env(env_name)
    return value, env_name


def _number(text: str, origin: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise UsageError(f"{origin}: {text!r} is not a number") from None
    if not math.isfinite(value):
        raise UsageError(f"{origin}: {text!r} is not a finite number")
    return value


def _number_setting(flag_value: str | None, flag: str, env_name: str, default: float | None,
                    acceptable: Callable[[float], bool], complaint: str) -> float | None:
    """A number from the flag, else the variable, else `default`; refused unless acceptable."""
    text, origin = _pick(flag_value, flag, env_name)
    if text is None:
        return default
    value = _number(text, origin)
    if not acceptable(value):
        raise UsageError(f"{origin}: {text!r} {complaint}")
    return value


def default_state_path() -> str:
    """$XDG_STATE_HOME/emberscope/state.json, or ~/.local/state/emberscope/state.json."""
    base = os.environ.get("XDG_STATE_HOME", "")
    root = base if os.path.isabs(base) else os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(root, "emberscope", "state.json")


def _state_path(args: argparse.Namespace, create_default: bool) -> str:
    text, origin = _pick(args.state_file, "--state-file", "EMBERSCOPE_STATE_FILE")
    if text is None:
        path = default_state_path()
        if create_default:
            os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
        if os.path.exists(path) and not os.path.isfile(path) and not os.path.isdir(path):
            raise UsageError(f"the state file {path!r} is not a regular file")
        return path
    folder = os.path.dirname(text) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"{origin}: the state directory {folder!r} does not exist")
    if os.path.isdir(text):
        raise UsageError(f"{origin}: {text!r} is a directory, not a file")
    if os.path.exists(text) and not os.path.isfile(text):
        # A pipe would block every save, a device or a socket would swallow the state.
        raise UsageError(f"{origin}: {text!r} is not a regular file")
    return text


def _pause_path(args: argparse.Namespace, state_path: str) -> str:
    if args.pause_file is not None:
        return args.pause_file
    value = os.environ.get("EMBERSCOPE_PAUSE_FILE")
    if value is not None:
        return value  # set but empty: pausing switched off
    return os.path.join(os.path.dirname(state_path), PAUSE_FILE_NAME)


def _own_files(state_path: str, pause_path: str) -> list[str]:
    """Every file a monitoring command opens beside the state file, besides the state file."""
    history = health.history_path(state_path)
    return [health.status_path(state_path), history, history + ".1",
            sibling(state_path, OUTBOX_SUFFIX), lock_path(state_path), pause_path]


def _irregular_files(state_path: str, pause_path: str) -> list[str]:
    """What is wrong with each of those files that is not a regular file (a FIFO blocks)."""
    return [p for p in map(irregular, _own_files(state_path, pause_path)) if p]


def _has_control(value: str) -> bool:
    """True when `value` holds a C0 or C1 control character or DEL."""
    return any(ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F for c in value)


def _secret(file_flag: str | None, flag: str, file_env: str, value_env: str, what: str) -> str:
    """A secret from a file (flag, then environment) or from the environment itself."""
    path, origin = _pick(file_flag, flag, file_env)
    if path is None:
        value = (os.environ.get(value_env) or "").strip()
        if _has_control(value):
            raise UsageError(f"{value_env}: the {what} holds a control character")
        return value
    try:
        value = read_regular(path).decode("utf-8").strip()
    except OSError as e:
        raise UsageError(f"{origin}: cannot read the {what} file {path!r}: {e.strerror}") from None
    except UnicodeDecodeError:
        raise UsageError(f"{origin}: the {what} file {path!r} is not UTF-8 text") from None
    if not value:
        raise UsageError(f"{origin}: the {what} file {path!r} is empty")
    if _has_control(value):
        # A second line, a stray tab or escape: the value would reach a request line or a
        # header. The message never shows the value.
        raise UsageError(f"{origin}: the {what} file {path!r} holds a control character")
    return value


def _config_path(args: argparse.Namespace) -> tuple[str | None, str]:
    return _pick(getattr(args, "config", None), "--config", "EMBERSCOPE_CONFIG")


def _read_config(args: argparse.Namespace, threshold: float, chat_id: str | None) -> Config | None:
    """The configuration file's routes, None without a file; a file that cannot be used is a
    UsageError naming its line and key."""
    path, _ = _config_path(args)
    if path is None:
        return None
    from bittensor_emberscope.config import ConfigError, load_config  # tomllib: for cycles only

    try:
        return load_config(path, default_threshold=threshold, fallback_chat_id=chat_id)
    except ConfigError as e:
        raise UsageError(str(e)) from None


def _threshold(args: argparse.Namespace) -> float:
    """--threshold, else EMBERSCOPE_THRESHOLD, else the default; the file's thresholds override it."""
    return _number_setting(
        args.threshold, "--threshold", "EMBERSCOPE_THRESHOLD", DEFAULT_THRESHOLD,
        lambda v: v >= 0, "is negative; the threshold is a distance between two values")


def _reloaded(args: argparse.Namespace, settings: Settings) -> Settings:
    """The settings with the configuration file read again, as at the start; UsageError when
    there is no file or it cannot be used."""
    threshold = _threshold(args)
    chat_id, _ = _pick(args.chat_id, "--chat-id", "TELEGRAM_CHAT_ID")
    config = _read_config(args, threshold, chat_id)
    if config is None:
        raise UsageError("no configuration file (--config or EMBERSCOPE_CONFIG)")
    first = config.routes[0]
    return settings._replace(config=config, chat_id=first.chat_id,
                             threshold=first.threshold)


def _missing_secrets(key: str, token: str, chat_id: str | None, need_key: bool) -> None:
    """Refuse, naming every one of them, settings without which no cycle can work."""
    missing = []
    if need_key and not key:
        missing.append("the Taostats API key (TAOSTATS_API_KEY, or a file named by "
                       "--taostats-key-file or TAOSTATS_API_KEY_FILE)")
    if not token:
        missing.append("the Telegram bot token (TELEGRAM_BOT_TOKEN, or a file named by "
                       "--token-file or TELEGRAM_BOT_TOKEN_FILE)")
    if not chat_id:
        missing.append("the Telegram chat (--chat-id or TELEGRAM_CHAT_ID)")
    if missing:
        raise UsageError("missing " + "; ".join(missing))


def read_settings(args: argparse.Namespace, need_key: bool = True) -> Settings:
    """Check every setting of a monitoring command; raises UsageError."""
    threshold = _threshold(args)
    interval = _number_setting(
        args.interval_minutes, "--interval-minutes", "EMBERSCOPE_INTERVAL_MINUTES",
        DEFAULT_INTERVAL_MINUTES, lambda v: v >= 1, "is below the shortest interval, 1 minute")
    token = _secret(args.token_file, "--token-file", "TELEGRAM_BOT_TOKEN_FILE",
                    "TELEGRAM_BOT_TOKEN", "bot token")
    key = _secret(args.taostats_key_file, "--taostats-key-file", "TAOSTATS_API_KEY_FILE",
                  "TAOSTATS_API_KEY", "Taostats key")
    chat_id, _ = _pick(args.chat_id, "--chat-id", "TELEGRAM_CHAT_ID")
    config = _read_config(args, threshold, chat_id)
    if config is not None:
        chat_id, threshold = config.routes[0].chat_id, config.routes[0].threshold
    _missing_secrets(key, token, chat_id, need_key)
    if config is None:
        from bittensor_emberscope.config import single_route

        config = single_route(chat_id, threshold)
    state_path = _state_path(args, create_default=True)
    pause_path = _pause_path(args, state_path)
    if problems := _irregular_files(state_path, pause_path):
        raise UsageError("; ".join(problems) + "; the command keeps only regular files there")
    if key:
        # The module reads its key from the environment on every request.
        os.environ["TAOSTATS_API_KEY"] = key
    outbox_max_age = _number_setting(
        args.outbox_max_age_hours, "--outbox-max-age-hours", "EMBERSCOPE_OUTBOX_MAX_AGE_HOURS",
        DEFAULT_OUTBOX_MAX_AGE_HOURS, lambda v: v > 0, "is not a positive number of hours")
    wait_budget = _number_setting(
        args.wait_budget_seconds, "--wait-budget-seconds", "EMBERSCOPE_WAIT_BUDGET_SECONDS",
        None, lambda v: v >= 0, "is negative")
    return Settings(state_path, threshold, interval, pause_path, chat_id or "", token,
                    outbox_max_age, wait_budget, config)


# Console lines


def _say(line: str) -> None:
    sys.stderr.write(line + "\n")


class _Console:
    """Standard error while a command runs, for its own lines and the engine's alike: every line
    starts with the UTC time unless the journal stamps lines itself (JOURNAL_STREAM), a text that
    cannot be encoded is escaped rather than raised, and a standard error that cannot be written
    loses the line, never the monitor. `lines` counts the lines written."""

    def __init__(self, stream) -> None:
        self._stream = stream
        self._at_line_start = True
        self.stamped = not os.environ.get("JOURNAL_STREAM")
        self.lines = 0

    def write(self, text: str) -> int:
        pieces = []
        start = 0
        while start < len(text):
            end = text.find("\n", start)
            piece = text[start:] if end < 0 else text[start:end + 1]
            if self._at_line_start and self.stamped:
                pieces.append(health.format_utc(_utc_now()) + " ")
            pieces.append(piece)
            self._at_line_start = end >= 0
            self.lines += end >= 0
            start += len(piece)
        out = "".join(pieces)
        try:
            try:
                self._stream.write(out)
            except UnicodeEncodeError:
                encoding = getattr(self._stream, "encoding", None) or "utf-8"
                self._stream.write(out.encode(encoding, "backslashreplace").decode(encoding))
            self._stream.flush()
        except (OSError, ValueError):
            pass
        return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except (OSError, ValueError):
            pass

    def __getattr__(self, name: str):
        return getattr(self._stream, name)


@contextlib.contextmanager
def _console() -> Iterator[_Console]:
    """Standard error replaced by a _Console while the block runs (the one in place, if any)."""
    saved = sys.stderr
    if isinstance(saved, _Console):
        yield saved
        return
    console = _Console(saved)
    sys.stderr = console
    try:
        yield console
    finally:
        sys.stderr = saved


def _utc_now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc)


# One cycle, as a report: the monitor engine runs it (outbox, flood control, recovery) and writes
# its own console lines.


def _report(outcome: str, stamp: str, chat_id: str, **values: object) -> dict:
    report = {"outcome": outcome, "detail": "", "updated_at_utc": stamp, "subnets": 0,
              "changes": [], "delivered": 0, "outbox_size": 0, "outbox_oldest_utc": None,
              "invalid_rows": 0, "chat_id": chat_id, "routes": []}
    report.update(values)
    return report


def _engine_settings(settings: Settings) -> dict:
    return {"state_path": settings.state_path, "burn_token": settings.token,
            "burn_chat_id": settings.chat_id, "pause_path": settings.pause_path,
            "interval_seconds": settings.interval_minutes * 60,
            "outbox_max_age_seconds": settings.outbox_max_age_hours * 3600,
            "wait_budget_seconds": settings.wait_budget_seconds,
            "routes": _route_rules(settings) or None,
            "stale_after_minutes": settings.config.stale.after_minutes
            if settings.config and settings.config.stale else None}


def _route_rules(settings: Settings) -> list[dict]:
    """The routes' rules, in the order of the report's routes, for the status file."""
    return [route.as_json() for route in settings.config.routes] if settings.config else []


def _run_cycle(settings: Settings) -> dict:
    """One watch cycle of the engine; its report."""
    return monitor.run_cycle(threshold=settings.threshold,
                             muted=health.muted_netuids(settings.state_path),
                             **_engine_settings(settings))


def _run_snapshot(settings: Settings) -> dict:
    """The start-up snapshot of the engine; its report."""
    return monitor.run_snapshot(**_engine_settings(settings))


def _guarded(run: Callable[[Settings], dict], settings: Settings, say: Callable[[str], None]) -> dict:
    """A cycle whose unexpected error is reported on an error line and in its report."""
    try:
        return run(settings)
    except Exception as e:
        say(f"[burn] error: {e}")
        detail = " ".join(str(e).split()) or type(e).__name__
        return _report("error", health.format_utc(_utc_now()), settings.chat_id, detail=detail)


def _record(say: Callable[[str], None], write: Callable[[], dict]) -> dict | None:
    """Status and history are for the operator: failing to write them never stops the monitor."""
    try:
        return write()
    except OSError as e:
        name = f" {e.filename}" if e.filename else ""
        say(f"[burn] cannot record the cycle{name}: {e.strerror or e}")
    except Exception as e:
        say(f"[burn] cannot record the cycle: {type(e).__name__}: {e}")
    return None


def _exit_status(report: dict) -> int:
    return 0 if report["outcome"] == "ok" else 1


def _lock(settings: Settings, wait_seconds: float) -> tuple[StateLock | None, str]:
    """The state file's lock, or None with the line that says who holds it."""
    lock = StateLock(settings.state_path)
    try:
        lock.acquire(wait_seconds)
    except Busy as busy:
        return None, (f"{PROG}: the state file {settings.state_path} is in use by {busy.holder} "
                      f"(lock file {busy.path})")
    except OSError as e:
        return None, f"{PROG}: cannot lock the state file: {e}"
    return lock, ""


# Commands


def _one_cycle(settings: Settings, run: Callable[[Settings], dict]) -> int:
    """A cycle of `once` or `snapshot`: skipped while paused, run under the state file's lock."""
    if _paused(settings.pause_path):
        _say(PAUSED_LINE)
        return 0
    lock, refusal = _lock(settings, ONCE_LOCK_WAIT_SECONDS)
    if lock is None:
        _say(f"{refusal}; gave up after {ONCE_LOCK_WAIT_SECONDS:g} s, nothing ran")
        return 1
    with lock:
        report = _guarded(run, settings, _say)
        _record(_say, lambda: health.record_cycle(
            settings.state_path, report, interval_seconds=settings.interval_minutes * 60,
            routes=_route_rules(settings)))
    return _exit_status(report)


def cmd_once(settings: Settings, args: argparse.Namespace) -> int:
    return _one_cycle(settings, _run_cycle)


def cmd_snapshot(settings: Settings, args: argparse.Namespace) -> int:
    return _one_cycle(settings, _run_snapshot)


def _paused(pause_path: str) -> bool:
    """True while the pause file exists, by the rule the engine's cycle follows."""
    return monitor.is_paused(pause_path)


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


def _watch(settings: Settings, args: argparse.Namespace, console: _Console) -> int:
    exporter = _metrics_exporter(args, settings)
    say = _say
    verbose = args.verbose or sys.stderr.isatty()
    interval = settings.interval_minutes * 60
    from bittensor_emberscope import bot  # what watch alone needs, loaded by watch alone
    from bittensor_emberscope.notify import CycleWatchdog, Notifier
    from bittensor_emberscope.wakeup import Wakeup

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
            report = _report("error", health.format_utc(_utc_now()), settings.chat_id,
                             detail=detail)
        else:
            with watchdog:
                report = _guarded(run, settings, say)
        next_cycle = _utc_now() + datetime.timedelta(seconds=interval)
        status = _record(say, lambda: health.record_cycle(
            path, report, interval_seconds=interval, next_cycle=next_cycle,
            routes=_route_rules(settings)))
        line = health.summary(status or {
            "last_cycle_utc": report["updated_at_utc"], "outcome": report["outcome"],
            "detail": report["detail"], "subnets": report["subnets"],
            "changes": len(report["changes"]), "outbox_size": report["outbox_size"]})
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
            answering = bot.Bot(token=settings.token, chats=[settings.chat_id], users=bot_users,
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


TEST_MESSAGE = "emberscope: test message. The bot can post to this chat."


def cmd_test_send(args: argparse.Namespace) -> int:
    token = _secret(args.token_file, "--token-file", "TELEGRAM_BOT_TOKEN_FILE",
                    "TELEGRAM_BOT_TOKEN", "bot token")
    chat_id, _ = _pick(args.chat_id, "--chat-id", "TELEGRAM_CHAT_ID")
    _missing_secrets("", token, chat_id, need_key=False)
    stamp = health.format_utc(_utc_now())
    from bittensor_emberscope import emberscope

    try:
        ok, err = emberscope.send_burn_telegram(f"{TEST_MESSAGE} ({stamp})", token, chat_id or "")
    except Exception as e:
        _out(f"telegram: error: {e}\n")
        return 1
    if ok:
        _out(f"telegram: ok (test message sent to chat {chat_id})\n")
        return 0
    _out(f"telegram: {err}\n")
    return 1


# Standard output: a closed pipe ends the command quietly, a failed write with one line.


class _OutputClosed(Exception):
    pass


class _OutputFailed(Exception):
    pass


def _out(text: str) -> None:
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise _OutputClosed() from None
    except OSError as e:
        raise _OutputFailed(e.strerror or str(e)) from None


def _silence_stdout() -> None:
    # What is still buffered would fail again when the interpreter flushes at exit.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _netuid_order(key: str) -> tuple[int, int, str]:
    try:
        return (0, int(key), key)
    except ValueError:
        return (1, 0, key)


def _load_state(path: str) -> tuple[tuple[dict, str | None] | None, str | None]:
    """The stored values and their time stamp, or None with the reason they cannot be shown."""
    try:
        state = monitor.read_state(path)
    except UnicodeDecodeError as e:
        return None, f"cannot read the state file {path}: not UTF-8 ({e})"
    except (OSError, ValueError) as e:
        return None, str(e)
    if state is None:
        return None, f"no state file at {path} yet; `{PROG} snapshot` or `{PROG} once` writes it"
    return state, None


def _refuse_irregular(paths: Sequence[str]) -> bool:
    """Says so and returns True when one of `paths` is there but not a regular file."""
    problems = [p for p in map(irregular, paths) if p]
    for problem in problems:
        _say(f"{PROG}: {problem}; remove it")
    return bool(problems)


def cmd_status(args: argparse.Namespace) -> int:
    path = _state_path(args, create_default=False)
    if _refuse_irregular([health.status_path(path), lock_path(path)]):
        return 1
    state, problem = _load_state(path)
    status = health.read_status(path)
    if state is None and (status is None or not problem.startswith("no state file")):
        _say(f"{PROG}: {problem}")
        return 1
    alive = health.watch_alive(path, status)
    verdict = health.assess(status, watch_alive=alive) if status is not None else None
    code = 3 if verdict and not verdict.ok else 0
    burns, updated_at = state if state else ({}, None)
    if args.json:
        document = {
            "state_file": path,
            "status_file": health.status_path(path),
            "healthy": verdict.ok if verdict else None,
            "problems": list(verdict.problems) if verdict else [],
            "watch_alive": alive,
            "status": status,
            "updated_at_utc": updated_at,
            "owner_burn_rate": {k: burns[k] for k in sorted(burns, key=_netuid_order)},
        }
        _out(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
        return code
    lines = [f"state file  {path}"]
    if status is not None:
        lines += [f"{label:<11} {text}"
                  for label, text in health.describe(status, watch_alive=alive)]
        lines.append("health      " + ("ok" if verdict.ok else "UNHEALTHY: " + "; ".join(verdict.problems)))
    lines += [f"{label:<11} {text}" for label, text in health.describe_mutes(path)]
    if state is None:
        lines.append("values      none stored yet")
        _out("\n".join(lines) + "\n")
        return code
    lines.append(f"updated     {updated_at or '(unknown)'} UTC")
    lines.append(f"subnets     {len(burns)}")
    lines.append("")
    width = max([len("netuid")] + [len(k) for k in burns])
    lines.append(f"{'netuid':>{width}}  {'owner burn':>10}  stored text")
    for key in sorted(burns, key=_netuid_order):
        raw = burns[key]
        lines.append(f"{key:>{width}}  {monitor.format_owner_burn(raw):>10}  {raw}")
    _out("\n".join(lines) + "\n")
    return code


def _since(text: str | None) -> datetime.datetime | None:
    if text is None:
        return None
    moment = health.parse_utc(text)
    if moment is None:
        raise UsageError(f"--since: {text!r} is not a date (YYYY-MM-DD) or a UTC time "
                         "(YYYY-MM-DDTHH:MM:SSZ)")
    return moment


def cmd_history(args: argparse.Namespace) -> int:
    path = _state_path(args, create_default=False)
    since = _since(args.since)
    log = health.history_path(path)
    if _refuse_irregular([log + ".1", log]):
        return 1
    changes, unreadable = health.read_history(path)
    if unreadable:
        _say(f"{PROG}: {unreadable} unreadable line(s) in {health.history_path(path)} skipped")
    if args.netuid is not None:
        changes = [c for c in changes if c.netuid == str(args.netuid)]
    if since is not None:
        changes = [c for c in changes if (c.moment or since) >= since]
    per_subnet: dict[str, list[health.Change]] = {}
    for change in changes:
        per_subnet.setdefault(change.netuid, []).append(change)
    trends = {netuid: [seen[0].old] + [c.new for c in seen]
              for netuid, seen in sorted(per_subnet.items(), key=lambda kv: _netuid_order(kv[0]))}
    if args.json:
        document = {
            "history_file": health.history_path(path),
            "changes": [c.as_json() for c in changes],
            "subnets": {netuid: {"values": values, "sparkline": health.sparkline(values)}
                        for netuid, values in trends.items()},
        }
        _out(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
        return 0
    if not changes:
        _out(f"no changes recorded in {health.history_path(path)}"
             + (" for that selection" if args.netuid is not None or since else "") + "\n")
        return 0
    width = max([len("netuid")] + [len(c.netuid) for c in changes])
    fmt = monitor.format_owner_burn
    lines = [f"{'time (UTC)':<20}  {'netuid':>{width}}  {'old':>10}     {'new':>10}"]
    for c in changes:
        lines.append(f"{c.time_utc:<20}  {c.netuid:>{width}}  {fmt(c.old):>10}  →  {fmt(c.new):>10}")
    lines += ["", f"{'netuid':>{width}}  {'changes':>7}  {'first':>10}     {'last':>10}  trend"]
    for netuid, values in trends.items():
        lines.append(f"{netuid:>{width}}  {len(values) - 1:>7}  {fmt(values[0]):>10}  →  "
                     f"{fmt(values[-1]):>10}  {health.sparkline(values)}")
    _out("\n".join(lines) + "\n")
    return 0


def cmd_chats(args: argparse.Namespace) -> int:
    token = _secret(args.token_file, "--token-file", "TELEGRAM_BOT_TOKEN_FILE",
                    "TELEGRAM_BOT_TOKEN", "bot token")
    if not token:
        raise UsageError("missing the Telegram bot token (TELEGRAM_BOT_TOKEN, or a file named by "
                         "--token-file or TELEGRAM_BOT_TOKEN_FILE)")
    from bittensor_emberscope import bot

    try:
        chats = bot.seen_chats(token)
    except bot.ApiError as e:
        _say(f"{PROG}: getUpdates failed: {e}")
        return 1
    if not chats:
        _out("no chats in the bot's recent updates: send the bot a message (in a group, a "
             "command such as /help) and run this again\n")
        return 0
    width = max(len("id"), *(len(c["id"]) for c in chats))
    kind = max(len("type"), *(len(c["type"]) for c in chats))
    lines = [f"{'id':>{width}}  {'type':<{kind}}  title"]
    lines += [f"{c['id']:>{width}}  {c['type']:<{kind}}  {c['title']}" for c in chats]
    _out("\n".join(lines) + "\n")
    return 0


def cmd_config(args: argparse.Namespace) -> int:
    """`config check`: the routes as understood, one line each; exit 2 for a file that cannot
    be used."""
    from bittensor_emberscope.config import describe, single_route

    threshold = _threshold(args)
    chat_id, _ = _pick(args.chat_id, "--chat-id", "TELEGRAM_CHAT_ID")
    config = _read_config(args, threshold, chat_id)
    if config is None:
        if not chat_id:
            raise UsageError("no configuration file (--config or EMBERSCOPE_CONFIG) and no chat "
                             "(--chat-id or TELEGRAM_CHAT_ID): there is no route")
        config = single_route(chat_id, threshold)
    _out("\n".join(describe(config)) + "\n")
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from bittensor_emberscope import demo

    return demo.run_demo(sys.stdout)


# The parser


def _monitor_options() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    g = p.add_argument_group("settings (flag, else environment variable, else default)")
    g.add_argument("--state-file", metavar="PATH",
                   help="JSON file with the last seen values [EMBERSCOPE_STATE_FILE; default "
                        "$XDG_STATE_HOME/emberscope/state.json or ~/.local/state/emberscope/state.json]")
    g.add_argument("--threshold", metavar="NUMBER",
                   help="report a subnet whose owner burn value moved by more than this, in the "
                        f"units of the values [EMBERSCOPE_THRESHOLD; default {DEFAULT_THRESHOLD:g}]")
    g.add_argument("--interval-minutes", metavar="MINUTES",
                   help="wait between watch cycles, at least 1 [EMBERSCOPE_INTERVAL_MINUTES; "
                        f"default {DEFAULT_INTERVAL_MINUTES:g}]")
    g.add_argument("--outbox-max-age-hours", metavar="HOURS",
                   help="undelivered messages older than this are dropped from the outbox, with a "
                        "line [EMBERSCOPE_OUTBOX_MAX_AGE_HOURS; default "
                        f"{DEFAULT_OUTBOX_MAX_AGE_HOURS:g}]")
    g.add_argument("--wait-budget-seconds", metavar="SECONDS",
                   help="most seconds one cycle spends waiting on flood control and repeats; what "
                        "does not fit stays in the outbox [EMBERSCOPE_WAIT_BUDGET_SECONDS; default "
                        "a quarter of the interval]")
    g.add_argument("--pause-file", metavar="PATH",
                   help="while this file exists, monitoring is paused; '' switches pausing off "
                        "[EMBERSCOPE_PAUSE_FILE; default: 'pause' beside the state file]")
    g.add_argument("--chat-id", metavar="ID",
                   help="Telegram chat identifier, e.g. -1001234567890 or @channel [TELEGRAM_CHAT_ID]")
    g.add_argument("--config", metavar="PATH",
                   help="TOML file of routes (several chats, each with its subnets, threshold, "
                        "quiet hours) and the stale-data alert; see `emberscope config check` "
                        "[EMBERSCOPE_CONFIG; default none: one route to the chat above]")
    g.add_argument("--token-file", metavar="PATH",
                   help="file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; "
                        "else the token itself in TELEGRAM_BOT_TOKEN]")
    g.add_argument("--taostats-key-file", metavar="PATH",
                   help="file holding the Taostats API key [TAOSTATS_API_KEY_FILE; "
                        "else the key itself in TAOSTATS_API_KEY]")
    return p


def _terminal_columns() -> int:
    """The terminal's width as shutil finds it (COLUMNS, then standard output's terminal, else
    80), without loading shutil and the compression modules it brings."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns or 80
        except (AttributeError, ValueError, OSError):
            columns = 80
    return columns


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's own, its width found by _terminal_columns: argparse makes one for every
    parser it builds, and would load shutil for it."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position,
                         _terminal_columns() - 2 if width is None else width)


def build_parser() -> argparse.ArgumentParser:
    fmt = _Formatter
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=fmt, allow_abbrev=False)
    sub = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)
    common = [_monitor_options()]

    def add(name: str, summary: str, epilog: str, parents: list) -> argparse.ArgumentParser:
        command = sub.add_parser(name, help=summary, description=summary, epilog=epilog,
                                 parents=parents, formatter_class=fmt, allow_abbrev=False)
        command.set_defaults(command_parser=command)  # for the usage line of its errors
        return command

    watch = add("watch", "report what changed since the last run (the start-up list on a first "
                         "start), then run a watch cycle every interval until the pause file "
                         "appears or the process is stopped (SIGTERM, Ctrl-C)",
                WATCH_EPILOG, common)
    first = watch.add_mutually_exclusive_group()
    first.add_argument("--snapshot", action="store_true",
                       help="send the start-up list (a fresh baseline) even when values are stored")
    first.add_argument("--no-snapshot", action="store_true",
                       help="no start-up list and no cycle at start; start with the first wait")
    watch.add_argument("--verbose", action="store_true",
                       help="a line after every cycle, also when standard error is not a terminal")
    watch.add_argument("--no-bot", action="store_true",
                       help="do not answer commands in the chat (/burn, /chart, ...)")
    watch.add_argument("--bot-allow-user", action="append", metavar="ID",
                       help="also answer this Telegram user id, in any chat (repeatable) "
                            "[EMBERSCOPE_BOT_ALLOW_USERS, comma-separated]")
    watch.add_argument("--metrics-listen", metavar="ADDRESS:PORT",
                       help="serve Prometheus metrics (/metrics) and health (/healthz) over HTTP "
                            "at this address; a bare PORT or :PORT listens on 127.0.0.1 only "
                            "[EMBERSCOPE_METRICS_LISTEN; default off]")
    add("once", "run one watch cycle (for cron or a systemd timer)", ONCE_EPILOG, common)
    add("snapshot", "record every subnet's value as the baseline and send the full list",
        SNAPSHOT_EPILOG, common)
    test_send = add("test-send", "post one short test message to the chat and print what "
                                 "Telegram answered", TEST_SEND_EPILOG, [])
    g = test_send.add_argument_group("settings (flag, else environment variable)")
    g.add_argument("--chat-id", metavar="ID",
                   help="Telegram chat identifier [TELEGRAM_CHAT_ID]")
    g.add_argument("--token-file", metavar="PATH",
                   help="file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; "
                        "else the token itself in TELEGRAM_BOT_TOKEN]")
    state_help = ("the state file; the status file and the history log lie beside it "
                  "[EMBERSCOPE_STATE_FILE; default $XDG_STATE_HOME/emberscope/state.json]")
    status = add("status", "is it alive: the last cycle, its outcome, the outbox, the next "
                           "cycle, then every stored value (no network)", STATUS_EPILOG, [])
    status.add_argument("--state-file", metavar="PATH", help=state_help)
    status.add_argument("--json", action="store_true", help="one JSON object, for scripts")
    history = add("history", "every change the monitor reported, and a trend line per subnet "
                             "(no network)", HISTORY_EPILOG, [])
    history.add_argument("--state-file", metavar="PATH", help=state_help)
    history.add_argument("--netuid", metavar="N", type=int, help="only this subnet")
    history.add_argument("--since", metavar="DATE",
                         help="only changes at or after DATE (YYYY-MM-DD, or YYYY-MM-DDTHH:MM:SSZ)")
    history.add_argument("--json", action="store_true", help="one JSON object, for scripts")
    config = add("config", "the configuration file (routes, quiet hours, stale-data alert)",
                 CONFIG_EPILOG, [])
    config_sub = config.add_subparsers(title="commands", dest="config_command", metavar="COMMAND",
                                       required=True)
    check = config_sub.add_parser("check", help="read the file and print the routes as "
                                                "understood, or what is wrong and where",
                                  description="read the configuration file and print the routes "
                                              "as understood, or what is wrong and where",
                                  epilog=CONFIG_EPILOG, formatter_class=fmt, allow_abbrev=False)
    check.set_defaults(command_parser=check)
    g = check.add_argument_group("settings (flag, else environment variable, else default)")
    g.add_argument("--config", metavar="PATH", help="the file [EMBERSCOPE_CONFIG]")
    g.add_argument("--threshold", metavar="NUMBER",
                   help="threshold of routes that do not set one [EMBERSCOPE_THRESHOLD; "
                        f"default {DEFAULT_THRESHOLD:g}]")
    g.add_argument("--chat-id", metavar="ID",
                   help="the chat of a file without routes [TELEGRAM_CHAT_ID]")
    add("demo", "run the monitor end to end against local stand-ins (no network, no keys)",
        DEMO_EPILOG, [])
    chats = add("chats", "list the chats the bot has seen in recent updates (id, type, title), "
                         "to find the chat id", CHATS_EPILOG, [])
    g = chats.add_argument_group("settings (flag, else environment variable)")
    g.add_argument("--token-file", metavar="PATH",
                   help="file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; "
                        "else the token itself in TELEGRAM_BOT_TOKEN]")
    return parser


COMMANDS: dict[str, Callable[[Settings, argparse.Namespace], int]] = {
    "watch": cmd_watch,
    "once": cmd_once,
    "snapshot": cmd_snapshot,
}
OTHER_COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "status": cmd_status,
    "history": cmd_history,
    "test-send": cmd_test_send,
    "demo": cmd_demo,
    "chats": cmd_chats,
    "config": cmd_config,
}


def _run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command = args.command
    try:
        if command in OTHER_COMMANDS:
            with _console():
                return OTHER_COMMANDS[command](args)
    except UsageError as e:
        args.command_parser.error(str(e))
    try:
        settings = read_settings(args)
    except UsageError as e:
        args.command_parser.error(str(e))
    with _console():
        try:
            return COMMANDS[command](settings, args)
        except KeyboardInterrupt:  # Ctrl-C during `once` or `snapshot`
            _say("[burn] stopped (SIGINT)")
            return 130


def _escape_unencodable_output() -> None:
    # A value from the network may hold what the output's encoding cannot (a lone surrogate):
    # it is written escaped rather than ending the command.
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None:
        try:
            reconfigure(errors="backslashreplace")
        except (OSError, ValueError):
            pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's arguments); the exit status."""
    _escape_unencodable_output()
    try:
        code = _run(argv)
        _out("")  # what is still buffered, so that a failure to write it is reported here
        return code
    except SystemExit as e:  # argparse: --help, usage errors
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _silence_stdout()
        except OSError as failure:
            _silence_stdout()
            _say(f"{PROG}: cannot write to standard output: {failure.strerror or failure}")
            return 1
        raise e
    except (_OutputClosed, BrokenPipeError):
        _silence_stdout()
        return 1
    except _OutputFailed as e:
        _silence_stdout()
        _say(f"{PROG}: cannot write to standard output: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
