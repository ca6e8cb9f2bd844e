"""The `emberscope` command: a thin host program over the extension module.

Settings come from flags, each with an environment variable behind it. The Taostats
key and the Telegram bot token come from the environment or from a file named by a
flag, never as a value on the command line, which every user of the machine can read.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import os
import signal
import sys
from collections.abc import Callable, Sequence
from pathlib import Path

from bittensor_emberscope import emberscope

__all__ = ["main", "Settings", "Stopped"]

PROG = "emberscope"
DEFAULT_THRESHOLD = 0.01
DEFAULT_INTERVAL_MINUTES = 5.0
PAUSE_FILE_NAME = "pause"

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
  emberscope watch --threshold 0.05 --interval-minutes 10
  emberscope once --state-file /var/lib/emberscope/state.json --token-file ~/.config/emberscope/bot-token
  emberscope status
  touch ~/.local/state/emberscope/pause      # a running `watch` stops within a second

Run `emberscope COMMAND --help` for the options of a command.
"""

WATCH_EPILOG = """\
examples:
  emberscope watch
  emberscope watch --no-snapshot --interval-minutes 15 --threshold 0.05
  emberscope watch --pause-file /run/emberscope/pause --token-file /etc/emberscope/bot-token

The loop waits one full interval before its first cycle. It ends with exit status 0 when
the pause file appears (checked every second while waiting) and on SIGTERM or Ctrl-C.
"""

ONCE_EPILOG = """\
examples:
  emberscope once
  */5 * * * *  emberscope once --threshold 0.05      (crontab)

Exit status 0: the cycle completed (also when nothing changed); 1: no Taostats key, the
listing failed, the alert was not delivered, or an error stopped the cycle. While the
pause file exists the cycle is skipped (exit status 0).
"""

SNAPSHOT_EPILOG = """\
examples:
  emberscope snapshot
  emberscope snapshot --state-file ./state.json --chat-id @my_channel

Exit status 0: the list was delivered; 1: no Taostats key, the listing failed, or the
list was not delivered (the baseline is recorded even then).
"""

STATUS_EPILOG = """\
examples:
  emberscope status
  emberscope status --state-file /var/lib/emberscope/state.json

Exit status 1 when there is no state file yet or it cannot be read.
"""

DEMO_EPILOG = """\
The demo starts Taostats and Telegram stand-ins on 127.0.0.1 in this process and runs
the real module against them: the start-up snapshot, a few watch cycles with moving
values and a Telegram failure, and the pause file ending the loop. Its clock skips the
waits, so it takes a few seconds. Nothing is read from or written to your state.
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


@dataclasses.dataclass(frozen=True)
class Settings:
    """Everything a command hands to the module."""

    state_path: str
    threshold: float
    interval_minutes: float
    pause_path: str
    chat_id: str
    token: str = dataclasses.field(repr=False)


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


def _threshold(args: argparse.Namespace) -> float:
    text, origin = _pick(args.threshold, "--threshold", "EMBERSCOPE_THRESHOLD")
    if text is None:
        return DEFAULT_THRESHOLD
    value = _number(text, origin)
    if value < 0:
        raise UsageError(f"{origin}: {text!r} is negative; the threshold is a distance between two values")
    return value


def _interval(args: argparse.Namespace) -> float:
    text, origin = _pick(args.interval_minutes, "--interval-minutes", "EMBERSCOPE_INTERVAL_MINUTES")
    if text is None:
        return DEFAULT_INTERVAL_MINUTES
    value = _number(text, origin)
    if value < 1:
        raise UsageError(f"{origin}: {text!r} is below the shortest interval, 1 minute")
    return value


def default_state_path() -> Path:
    """$XDG_STATE_HOME/emberscope/state.json, or ~/.local/state/emberscope/state.json."""
    base = os.environ.get("XDG_STATE_HOME", "")
    root = Path(base) if os.path.isabs(base) else Path.home() / ".local" / "state"
    return root / "emberscope" / "state.json"


def _state_path(args: argparse.Namespace, create_default: bool) -> str:
    text, origin = _pick(args.state_file, "--state-file", "EMBERSCOPE_STATE_FILE")
    if text is None:
        path = default_state_path()
        if create_default:
            path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        if path.exists() and not path.is_file() and not path.is_dir():
            raise UsageError(f"the state file {str(path)!r} is not a regular file")
        return str(path)
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
        with open(path, encoding="utf-8") as f:
            value = f.read().strip()
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


def read_settings(args: argparse.Namespace) -> Settings:
    """Check every setting of a monitoring command; raises UsageError."""
    threshold = _threshold(args)
    interval = _interval(args)
    token = _secret(args.token_file, "--token-file", "TELEGRAM_BOT_TOKEN_FILE",
                    "TELEGRAM_BOT_TOKEN", "bot token")
    key = _secret(args.taostats_key_file, "--taostats-key-file", "TAOSTATS_API_KEY_FILE",
                  "TAOSTATS_API_KEY", "Taostats key")
    chat_id, _ = _pick(args.chat_id, "--chat-id", "TELEGRAM_CHAT_ID")
    state_path = _state_path(args, create_default=True)
    pause_path = _pause_path(args, state_path)
    if key:
        # The module reads its key from the environment on every request.
        os.environ["TAOSTATS_API_KEY"] = key
    return Settings(state_path, threshold, interval, pause_path, chat_id or "", token)


# Commands


def _say(line: str) -> None:
    sys.stderr.write(line + "\n")


def cmd_once(settings: Settings, args: argparse.Namespace) -> int:
    if emberscope._burn_is_paused(settings.pause_path):
        _say("[burn] monitoring paused")
        return 0
    try:
        return emberscope.run_emberscope_once(
            state_path=settings.state_path, threshold=settings.threshold,
            burn_token=settings.token, burn_chat_id=settings.chat_id)
    except Exception as e:
        _say(f"[burn] error: {e}")
        return 1


def cmd_snapshot(settings: Settings, args: argparse.Namespace) -> int:
    try:
        return emberscope.run_burn_startup_snapshot(
            state_path=settings.state_path, burn_token=settings.token,
            burn_chat_id=settings.chat_id)
    except Exception as e:
        _say(f"[burn] error: {e}")
        return 1


def _raise_stopped(signum: int, frame: object) -> None:
    # One stop is enough: a second signal must not interrupt the way out.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise Stopped(signum)


def cmd_watch(settings: Settings, args: argparse.Namespace) -> int:
    previous = {s: signal.signal(s, _raise_stopped) for s in (signal.SIGTERM, signal.SIGINT)}
    try:
        _say(f"[burn] watching every {settings.interval_minutes:g} min, threshold "
             f"{settings.threshold:g}, state file {settings.state_path}, pause file "
             f"{settings.pause_path or '(none)'}")
        if not args.no_snapshot and not emberscope._burn_is_paused(settings.pause_path):
            try:
                emberscope.run_burn_startup_snapshot(
                    state_path=settings.state_path, burn_token=settings.token,
                    burn_chat_id=settings.chat_id)
            except Exception as e:
                # Like a failed cycle: reported, and monitoring goes on.
                _say(f"[burn] error: {e}")
        emberscope.run_burn_poll_loop(
            state_path=settings.state_path, threshold=settings.threshold,
            interval_minutes=settings.interval_minutes, burn_token=settings.token,
            burn_chat_id=settings.chat_id, pause_path=settings.pause_path)
        return 0
    except Stopped as stop:
        _say(f"[burn] stopped ({stop.signame})")
        return 0
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def _netuid_order(key: str) -> tuple[int, int, str]:
    try:
        return (0, int(key), key)
    except ValueError:
        return (1, 0, key)


def cmd_status(args: argparse.Namespace) -> int:
    path = _state_path(args, create_default=False)
    try:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
    except FileNotFoundError:
        _say(f"{PROG}: no state file at {path} yet; `{PROG} snapshot` or `{PROG} once` writes it")
        return 1
    except (OSError, UnicodeDecodeError, ValueError) as e:
        _say(f"{PROG}: cannot read the state file {path}: {e}")
        return 1
    burns = state.get("owner_burn_rate") if isinstance(state, dict) else None
    if not isinstance(burns, dict):
        _say(f"{PROG}: {path} is not a state file of the monitor (no \"owner_burn_rate\" object)")
        return 1
    out = sys.stdout
    out.write(f"state file  {path}\n")
    out.write(f"updated     {state.get('updated_at_utc', '(unknown)')} UTC\n")
    out.write(f"subnets     {len(burns)}\n\n")
    width = max([len("netuid")] + [len(k) for k in burns])
    out.write(f"{'netuid':>{width}}  {'owner burn':>10}  stored text\n")
    for key in sorted(burns, key=_netuid_order):
        raw = burns[key] if isinstance(burns[key], str) else json.dumps(burns[key])
        out.write(f"{key:>{width}}  {emberscope.format_owner_burn(raw):>10}  {raw}\n")
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
    g.add_argument("--pause-file", metavar="PATH",
                   help="while this file exists, monitoring is paused; '' switches pausing off "
                        "[EMBERSCOPE_PAUSE_FILE; default: 'pause' beside the state file]")
    g.add_argument("--chat-id", metavar="ID",
                   help="Telegram chat identifier, e.g. -1001234567890 or @channel [TELEGRAM_CHAT_ID]")
    g.add_argument("--token-file", metavar="PATH",
                   help="file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; "
                        "else the token itself in TELEGRAM_BOT_TOKEN]")
    g.add_argument("--taostats-key-file", metavar="PATH",
                   help="file holding the Taostats API key [TAOSTATS_API_KEY_FILE; "
                        "else the key itself in TAOSTATS_API_KEY]")
    return p


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=fmt, allow_abbrev=False)
    sub = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)
    common = [_monitor_options()]

    def add(name: str, summary: str, epilog: str, parents: list) -> argparse.ArgumentParser:
        command = sub.add_parser(name, help=summary, description=summary, epilog=epilog,
                                 parents=parents, formatter_class=fmt, allow_abbrev=False)
        command.set_defaults(command_parser=command)  # for the usage line of its errors
        return command

    watch = add("watch", "send the start-up list, then run a watch cycle every interval until "
                         "the pause file appears or the process is stopped (SIGTERM, Ctrl-C)",
                WATCH_EPILOG, common)
    watch.add_argument("--no-snapshot", action="store_true",
                       help="skip the start-up list; start with the first wait")
    add("once", "run one watch cycle (for cron or a systemd timer)", ONCE_EPILOG, common)
    add("snapshot", "record every subnet's value as the baseline and send the full list",
        SNAPSHOT_EPILOG, common)
    status = add("status", "print the state file: its time stamp and every subnet's value "
                           "(no network)", STATUS_EPILOG, [])
    status.add_argument("--state-file", metavar="PATH",
                        help="the state file [EMBERSCOPE_STATE_FILE; default "
                             "$XDG_STATE_HOME/emberscope/state.json]")
    add("demo", "run the monitor end to end against local stand-ins (no network, no keys)",
        DEMO_EPILOG, [])
    return parser


COMMANDS: dict[str, Callable[[Settings, argparse.Namespace], int]] = {
    "watch": cmd_watch,
    "once": cmd_once,
    "snapshot": cmd_snapshot,
}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's arguments); the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    command = args.command
    try:
        if command == "status":
            return cmd_status(args)
        if command == "demo":
            return cmd_demo(args)
        settings = read_settings(args)
    except UsageError as e:
        args.command_parser.error(str(e))
    try:
        return COMMANDS[command](settings, args)
    except KeyboardInterrupt:  # Ctrl-C during `once` or `snapshot`
        _say("[burn] stopped (SIGINT)")
        return 130


if __name__ == "__main__":
    sys.exit(main())
