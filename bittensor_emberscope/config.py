"""The command's configuration file: routes to several chats, their rules, stale-data alerts.

TOML, read with the standard library. Every key is checked; a wrong key, type or value is
refused with the file, the line and the key named. Secrets never live here: they come from the
environment or from secret files, as for the command line.
"""

from __future__ import annotations

import dataclasses
import math
import re
import tomllib

__all__ = ["ConfigError", "Config", "Route", "Stale", "load_config", "parse_config",
           "single_route", "describe"]

# Netuids are small integers on the chain (128 subnets and the root today); the filter takes any
# that Taostats may list.
NETUID_MAX = 65535
_QUIET = re.compile(r"([01][0-9]|2[0-3]):([0-5][0-9])-([01][0-9]|2[0-3]):([0-5][0-9])")


class ConfigError(Exception):
    """A configuration that cannot be used; its text names the file, the line and the key."""


@dataclasses.dataclass(frozen=True)
class Route:
    chat_id: str
    threshold: float
    netuids: tuple[int, ...] | None = None
    min_relative_change: float = 0.0
    silent: bool = False
    thread_id: int | None = None
    quiet_hours: str | None = None

    def as_json(self) -> dict:
        return dataclasses.asdict(self) | {
            "netuids": list(self.netuids) if self.netuids is not None else None}


@dataclasses.dataclass(frozen=True)
class Stale:
    after_minutes: float


@dataclasses.dataclass(frozen=True)
class Config:
    path: str | None
    threshold: float
    routes: tuple[Route, ...]
    stale: Stale | None = None


def single_route(chat_id: str, threshold: float) -> Config:
    """The configuration without a file: one route to `chat_id` with `threshold`."""
    return Config(None, threshold, (Route(chat_id=chat_id, threshold=threshold),))


class _Lines:
    """Finds the line of a key in the file's text, for messages."""

    def __init__(self, text: str) -> None:
        self.lines = text.splitlines()

    def _headers(self) -> list[tuple[int, str]]:
        found = []
        for number, line in enumerate(self.lines, 1):
            m = re.match(r"\s*(\[\[?)\s*([A-Za-z0-9_.\"' -]+?)\s*\]\]?", line)
            if m:
                found.append((number, m.group(1) + m.group(2)))
        return found

    def _key_in(self, first: int, last: int, key: str) -> int | None:
        pattern = re.compile(r"\s*[\"']?" + re.escape(key) + r"[\"']?\s*=")
        for number in range(first, last + 1):
            if pattern.match(self.lines[number - 1]):
                return number
        return None

    def of(self, table: str | None, index: int | None, key: str | None) -> int | None:
        headers = self._headers()
        if table is None:
            end = headers[0][0] - 1 if headers else len(self.lines)
            return self._key_in(1, end, key) if key else None
        wanted = ("[[" if index is not None else "[") + table
        starts = [n for n, h in headers if h == wanted]
        position = index or 0
        if position >= len(starts):
            return None
        start = starts[position]
        later = [n for n, _ in headers if n > start]
        end = (later[0] - 1) if later else len(self.lines)
        if key is None:
            return start
        return self._key_in(start + 1, end, key) or start


class _Reader:
    def __init__(self, path: str, text: str) -> None:
        self.path = path
        self.lines = _Lines(text)

    def fail(self, where: str, problem: str, table: str | None = None,
             index: int | None = None, key: str | None = None) -> ConfigError:
        line = self.lines.of(table, index, key)
        at = f"{self.path}:{line}" if line else self.path
        return ConfigError(f"{at}: {where}: {problem}")

    def number(self, value: object, where: str, *, positive: bool, **at) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self.fail(where, f"must be a number, not {_shown(value)}", **at)
        number = float(value)
        if not math.isfinite(number) or number < 0 or (positive and number == 0):
            bound = "> 0" if positive else ">= 0"
            raise self.fail(where, f"must be a finite number {bound}, not {_shown(value)}", **at)
        return number

    def unknown(self, mapping: dict, allowed: set[str], where: str, **at) -> None:
        for key in mapping:
            if key not in allowed:
                raise self.fail(f"{where}{key}" if where else key,
                                "unknown key (allowed: " + ", ".join(sorted(allowed)) + ")",
                                key=key, **at)


def _shown(value: object) -> str:
    if isinstance(value, str):
        return repr(value)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (dict, list)):
        return "a table" if isinstance(value, dict) else "an array"
    return str(value)


_TOP = {"threshold", "route", "stale"}
_ROUTE = {"chat_id", "netuids", "threshold", "min_relative_change", "silent", "thread_id",
          "quiet_hours"}
_STALE = {"after_minutes"}


def _route(r: _Reader, raw: object, index: int, default_threshold: float) -> Route:
    name = f"route[{index + 1}]"
    at = {"table": "route", "index": index}
    if not isinstance(raw, dict):
        raise r.fail(name, "must be a table ([[route]])", **at)
    r.unknown(raw, _ROUTE, name + ".", **at)
    if "chat_id" not in raw:
        raise r.fail(f"{name}.chat_id", "missing: every route names its chat", **at)
    chat = raw["chat_id"]
    if isinstance(chat, bool) or not isinstance(chat, (str, int)):
        raise r.fail(f"{name}.chat_id", f"must be a text or an integer, not {_shown(chat)}",
                     key="chat_id", **at)
    chat_id = str(chat).strip()
    if not chat_id or any(ord(c) < 0x20 or ord(c) == 0x7F for c in chat_id):
        raise r.fail(f"{name}.chat_id", f"is not a chat identifier: {_shown(chat)}",
                     key="chat_id", **at)
    netuids = None
    if "netuids" in raw:
        values = raw["netuids"]
        if (not isinstance(values, list) or not values
                or any(isinstance(v, bool) or not isinstance(v, int) for v in values)):
            raise r.fail(f"{name}.netuids", "must be a non-empty array of subnet numbers",
                         key="netuids", **at)
        bad = [v for v in values if not 0 <= v <= NETUID_MAX]
        if bad:
            raise r.fail(f"{name}.netuids", f"{bad[0]} is not a subnet number (0 to {NETUID_MAX})",
                         key="netuids", **at)
        netuids = tuple(dict.fromkeys(values))
    threshold = default_threshold
    if "threshold" in raw:
        threshold = r.number(raw["threshold"], f"{name}.threshold", positive=False,
                             key="threshold", **at)
    relative = 0.0
    if "min_relative_change" in raw:
        relative = r.number(raw["min_relative_change"], f"{name}.min_relative_change",
                            positive=False, key="min_relative_change", **at)
    silent = raw.get("silent", False)
    if not isinstance(silent, bool):
        raise r.fail(f"{name}.silent", f"must be true or false, not {_shown(silent)}",
                     key="silent", **at)
    thread_id = raw.get("thread_id")
    if thread_id is not None and (isinstance(thread_id, bool) or not isinstance(thread_id, int)
                                  or thread_id <= 0):
        raise r.fail(f"{name}.thread_id", f"must be a positive integer, not {_shown(thread_id)}",
                     key="thread_id", **at)
    quiet = raw.get("quiet_hours")
    if quiet is not None:
        m = _QUIET.fullmatch(quiet) if isinstance(quiet, str) else None
        if not m or quiet[:5] == quiet[6:]:
            raise r.fail(f"{name}.quiet_hours",
                         f"must be \"HH:MM-HH:MM\" in UTC with two different times, not "
                         f"{_shown(quiet)}", key="quiet_hours", **at)
    return Route(chat_id=chat_id, threshold=threshold, netuids=netuids,
                 min_relative_change=relative, silent=silent, thread_id=thread_id,
                 quiet_hours=quiet)


def parse_config(text: str, path: str, *, default_threshold: float,
                 fallback_chat_id: str | None = None) -> Config:
    """The configuration in `text` (the content of `path`); ConfigError when it cannot be used.

    A file without routes routes to `fallback_chat_id` (TELEGRAM_CHAT_ID), with the file's
    threshold, else `default_threshold`.
    """
    r = _Reader(path, text)
    try:
        raw = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{path}: not valid TOML: {e}") from None
    r.unknown(raw, _TOP, "")
    threshold = default_threshold
    if "threshold" in raw:
        threshold = r.number(raw["threshold"], "threshold", positive=False, key="threshold")
    routes_raw = raw.get("route", [])
    if not isinstance(routes_raw, list):
        raise r.fail("route", "must be an array of tables ([[route]])", key="route")
    routes = tuple(_route(r, item, i, threshold) for i, item in enumerate(routes_raw))
    if not routes:
        if not fallback_chat_id:
            raise r.fail("route", "no [[route]] in the file and no TELEGRAM_CHAT_ID / --chat-id: "
                                  "there is no chat to send to")
        routes = (Route(chat_id=fallback_chat_id, threshold=threshold),)
    seen: dict[tuple[str, int | None], int] = {}
    for i, route in enumerate(routes):
        key = (route.chat_id, route.thread_id)
        if key in seen:
            raise r.fail(f"route[{i + 1}].chat_id",
                         f"the same chat{' and topic' if route.thread_id else ''} as "
                         f"route[{seen[key] + 1}]; merge them into one route",
                         table="route", index=i, key="chat_id")
        seen[key] = i
    stale = None
    if "stale" in raw:
        table = raw["stale"]
        if not isinstance(table, dict):
            raise r.fail("stale", "must be a table ([stale])", key="stale")
        r.unknown(table, _STALE, "stale.", table="stale")
        if "after_minutes" in table:
            stale = Stale(r.number(table["after_minutes"], "stale.after_minutes", positive=True,
                                   table="stale", key="after_minutes"))
    return Config(path, threshold, routes, stale)


def load_config(path: str, *, default_threshold: float,
                fallback_chat_id: str | None = None) -> Config:
    """The configuration in the file at `path`; ConfigError when it cannot be read or used."""
    import os
    import stat

    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise ConfigError(f"{path}: cannot open the configuration file: {e.strerror}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ConfigError(f"{path}: the configuration file is not a regular file")
        with os.fdopen(fd, "rb", closefd=False) as f:
            data = f.read((1 << 20) + 1)
    except OSError as e:
        raise ConfigError(f"{path}: cannot read the configuration file: {e.strerror}") from None
    finally:
        os.close(fd)
    if len(data) > 1 << 20:
        raise ConfigError(f"{path}: the configuration file is larger than 1 MiB")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise ConfigError(f"{path}: the configuration file is not UTF-8 text") from None
    return parse_config(text, path, default_threshold=default_threshold,
                        fallback_chat_id=fallback_chat_id)


def _number_text(value: float) -> str:
    return f"{value:g}"


def describe(config: Config) -> list[str]:
    """The routes as understood, one line each, for `emberscope config check` and `status`."""
    source = config.path or "(no file: TELEGRAM_CHAT_ID and --threshold)"
    lines = [f"config {source}: {len(config.routes)} route(s), default threshold "
             f"{_number_text(config.threshold)}, "
             + (f"stale-data alert after {_number_text(config.stale.after_minutes)} min"
                if config.stale else "no stale-data alert")]
    for i, route in enumerate(config.routes, 1):
        parts = [f"chat {route.chat_id}"]
        if route.thread_id is not None:
            parts.append(f"topic {route.thread_id}")
        parts.append("subnets " + ", ".join(str(n) for n in route.netuids)
                     if route.netuids is not None else "every subnet")
        parts.append(f"threshold {_number_text(route.threshold)}")
        if route.min_relative_change:
            parts.append(f"and more than {_number_text(route.min_relative_change * 100)}% of "
                         "the old value")
        if route.silent:
            parts.append("silent")
        if route.quiet_hours:
            parts.append(f"quiet {route.quiet_hours} UTC (held, then one digest)")
        lines.append(f"route {i}: " + ", ".join(parts))
    return lines
