"""Settings of the `emberscope` command: flags, each with an environment variable behind it,
secret files and the configuration file, checked before anything runs.

The Taostats key and the Telegram bot token come from the environment or from a file named by a
flag, never as a value on the command line, which every user of the machine can read.
"""

from __future__ import annotations

import argparse
import collections
import math
import os
from collections.abc import Callable

from bittensor_emberscope import monitor, health
from bittensor_emberscope.localfiles import irregular, lock_path, read_regular

TYPE_CHECKING = False  # typing's own flag, without loading typing
if TYPE_CHECKING:
    from bittensor_emberscope.config import Config

DEFAULT_THRESHOLD = 0.01
DEFAULT_INTERVAL_MINUTES = 5.0
DEFAULT_OUTBOX_MAX_AGE_HOURS = monitor.DEFAULT_OUTBOX_MAX_AGE_SECONDS / 3600
PAUSE_FILE_NAME = "pause"


class UsageError(Exception):
    """A setting that cannot be used; reported before anything runs."""


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
    return [health.status_path(state_path), health.history_path(state_path),
            health.rotated_history_path(state_path), health.outbox_path(state_path),
            health.mutes_path(state_path), health.bot_offset_path(state_path),
            lock_path(state_path), pause_path]


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


def _check_api_bases() -> None:
    """An API base the command would send nothing useful to (set but empty, or not an http(s)
    address) is refused before anything runs: every cycle would fail, or every alert."""
    for name in ("TAOSTATS_API_BASE", "TELEGRAM_API_BASE"):
        value = os.environ.get(name)
        if value is None:
            continue
        if not value.rstrip("/").lower().startswith(("http://", "https://")):
            raise UsageError(f"{name}: {value!r} is not an http:// or https:// address (unset it "
                             "for the public service)")


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
    _check_api_bases()
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
