"""What the `emberscope` command records about its cycles, beside the state file.

Two files, named after the state file (for `state.json`: `state.status.json` and
`state.history.jsonl`; a state path that does not end in `.json` gets the suffixes appended):

- the status file: one JSON object about the last cycle, replaced atomically after every cycle
  (and when `watch` starts and stops), so `emberscope status` can tell whether the monitor is
  alive, when it last looked, whether it failed and what waits to be delivered;
- the history log: one JSON line per change the monitor detected, appended, bounded in size by
  rotation to one older generation (`.1`), which the readers here take into account;
- the mutes file (`state.mutes.json`): the subnets whose alerts an operator held back through
  the bot, each until a time; replaced atomically.

Every key of both files is written and read in this module only.
"""

from __future__ import annotations

import collections
import datetime as _dt
import json
import math
import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence

from bittensor_emberscope import monitor
from bittensor_emberscope.localfiles import lock_holder, open_regular, read_regular, sibling

__all__ = [
    "CYCLE_OUTCOMES",
    "OUTCOME_ERROR",
    "OUTCOME_OK",
    "FAILING_AFTER",
    "HISTORY_MAX_BYTES",
    "STALE_AFTER_INTERVALS",
    "Change",
    "Health",
    "assess",
    "format_utc",
    "history_path",
    "outbox_path",
    "rotated_history_path",
    "bot_offset_path",
    "describe_mutes",
    "muted_netuids",
    "mutes_path",
    "netuid_order",
    "read_mutes",
    "record_bot",
    "write_mutes",
    "parse_utc",
    "read_history",
    "read_status",
    "record_cycle",
    "record_loop",
    "sparkline",
    "status_path",
]

UTC_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
# The outcomes of a cycle's report: the engine's, "error" also for a cycle the command saw fail.
OUTCOME_OK, OUTCOME_ERROR = monitor.OUTCOME_OK, monitor.OUTCOME_ERROR
CYCLE_OUTCOMES = (OUTCOME_OK, monitor.OUTCOME_NO_API_KEY, monitor.OUTCOME_FETCH_FAILED,
                  monitor.OUTCOME_TELEGRAM_FAILED, OUTCOME_ERROR)
HISTORY_MAX_BYTES = 8 * 1024 * 1024
STALE_AFTER_INTERVALS = 3
FAILING_AFTER = 3
STATUS_FORMAT = 1
# A recorded time this far ahead of the clock means the clock was set back since.
FUTURE_SLACK_SECONDS = 60

# Keys of the status file.
K_FORMAT = "format"
K_WRITTEN = "written_utc"
K_LAST_CYCLE = "last_cycle_utc"
K_OUTCOME = "outcome"
K_DETAIL = "detail"
K_SUBNETS = "subnets"
K_CHANGES = "changes"
K_DELIVERED = "delivered"
K_OUTBOX_SIZE = "outbox_size"
K_OUTBOX_OLDEST = "outbox_oldest_utc"
K_INVALID_ROWS = "invalid_rows"
K_CHAT_ID = "chat_id"
K_FAILURES = "consecutive_failures"
K_LAST_OK = "last_ok_utc"
K_INTERVAL = "interval_seconds"
K_NEXT_CYCLE = "next_cycle_utc"
K_LOOP = "loop"
K_PID = "pid"
K_STARTED = "started_utc"
K_BOT = "bot"
K_ROUTES = "routes"
# Keys of one route in the status file.
R_CHAT, R_THREAD, R_SUBNETS, R_THRESHOLD = "chat_id", "thread_id", "netuids", "threshold"
R_QUEUED, R_HELD, R_FAILURE = "queued", "held", "telegram_failure"
R_LAST_DELIVERY, R_LAST_REFUSAL, R_REFUSAL = "last_delivery_utc", "last_refusal_utc", "last_refusal"

# Keys of a history line.
H_TIME = "time_utc"
H_NETUID = "netuid"
H_OLD = "old"
H_NEW = "new"

LOOP_RUNNING, LOOP_PAUSED, LOOP_STOPPED = monitor.LOOP_RUNNING, monitor.LOOP_PAUSED, monitor.LOOP_STOPPED
LOOP_STATES = (LOOP_RUNNING, LOOP_PAUSED, LOOP_STOPPED)


# Names and times


def status_path(state_path: str) -> str:
    return sibling(state_path, ".status.json")


def history_path(state_path: str) -> str:
    return sibling(state_path, ".history.jsonl")


def rotated_history_path(state_path: str) -> str:
    """The history log's previous generation, where it goes when it outgrows its size."""
    return history_path(state_path) + ".1"


def outbox_path(state_path: str) -> str:
    """The outbox (messages not yet delivered), written by the monitor module."""
    return sibling(state_path, monitor.OUTBOX_SUFFIX)


def mutes_path(state_path: str) -> str:
    return sibling(state_path, ".mutes.json")


def bot_offset_path(state_path: str) -> str:
    """The bot's offset file (the next Telegram update to read), written by the monitor module."""
    return sibling(state_path, ".bot-offset.json")


def format_utc(moment: _dt.datetime) -> str:
    return moment.astimezone(_dt.timezone.utc).strftime(UTC_FORMAT)


def parse_utc(text: object) -> _dt.datetime | None:
    """A time stamp of these files (or any ISO 8601 text), as an aware UTC time; None if not one."""
    if not isinstance(text, str) or not text:
        return None
    try:
        moment = _dt.datetime.fromisoformat(text)
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=_dt.timezone.utc)
    return moment.astimezone(_dt.timezone.utc)


def _now() -> _dt.datetime:
    return _dt.datetime.now(_dt.timezone.utc)


# Writing


def _replace_atomically(path: str, content: str) -> None:
    """The file replaced as the engine replaces the state file (the monitor module's own)."""
    monitor.replace_file(path, content)


def read_status(state_path: str) -> dict | None:
    """The status file's object; None when there is none or it cannot be used (a FIFO in its
    place is not waited on)."""
    try:
        status = json.loads(read_regular(status_path(state_path)).decode("utf-8"))
    except (OSError, UnicodeDecodeError, ValueError):
        return None
    return status if isinstance(status, dict) else None


def _write_status(state_path: str, status: dict, now: _dt.datetime) -> dict:
    status[K_FORMAT] = STATUS_FORMAT
    status[K_WRITTEN] = format_utc(now)
    _replace_atomically(status_path(state_path), json.dumps(status, indent=2) + "\n")
    return status


def _int(value: object) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


def _route_status(report: Mapping, rules: Sequence[Mapping], previous: Sequence[Mapping],
                  stamp: str) -> list[dict]:
    """Each route as the status keeps it: its chat and filter (from `rules`, the routes of the
    configuration in the report's order), what waits for it, and its last delivery and refusal
    (carried over from `previous` for the same chat and topic while nothing newer happened)."""
    before = {(r.get(R_CHAT), r.get(R_THREAD)): r for r in previous if isinstance(r, Mapping)}
    routes = []
    for i, result in enumerate(report.get(K_ROUTES) or ()):
        rule = rules[i] if i < len(rules) else {}
        old = before.get((result.get("chat_id"), result.get("thread_id")), {})
        refused = result.get("telegram_failure") == "refused"
        routes.append({
            R_CHAT: result.get("chat_id"),
            R_THREAD: result.get("thread_id"),
            R_SUBNETS: rule.get("netuids"),
            R_THRESHOLD: rule.get("threshold"),
            R_QUEUED: _int(result.get("queued")),
            R_HELD: _int(result.get("held")),
            R_FAILURE: result.get("telegram_failure") or "",
            R_LAST_DELIVERY: stamp if _int(result.get("delivered")) else old.get(R_LAST_DELIVERY),
            R_LAST_REFUSAL: stamp if refused else old.get(R_LAST_REFUSAL),
            R_REFUSAL: result.get("last_failure") if refused else old.get(R_REFUSAL),
        })
    return routes


def record_cycle(state_path: str, report: Mapping, *, interval_seconds: float,
                 next_cycle: _dt.datetime | None = None, now: _dt.datetime | None = None,
                 history_max_bytes: int = HISTORY_MAX_BYTES,
                 routes: Sequence[Mapping] = ()) -> dict:
    """Record one cycle's report: append its changes to the history, then replace the status.

    `report` is the cycle's account: "outcome", "detail", "updated_at_utc", "subnets", "changes"
    (list of [netuid, old, new]), "delivered", "outbox_size", "outbox_oldest_utc",
    "invalid_rows", "chat_id", and "routes" (per route: "chat_id", "thread_id", "queued",
    "held", "delivered", "telegram_failure", "last_failure"), whose rules (netuids, threshold)
    `routes` gives in the same order. Returns the status written. Raises OSError when a file cannot
    be written; the history is appended first, so a change is never lost from it because the
    status could not be written.
    """
    now = now or _now()
    stamp = report.get("updated_at_utc") or format_utc(now)
    changes = [list(c) for c in report.get("changes") or ()]
    if changes:
        append_history(state_path, stamp, changes, max_bytes=history_max_bytes)
    previous = read_status(state_path) or {}
    outcome = report.get("outcome") or OUTCOME_ERROR
    failures = 0 if outcome == OUTCOME_OK else _int(previous.get(K_FAILURES)) + 1
    status = {
        K_LAST_CYCLE: stamp,
        K_OUTCOME: outcome,
        K_DETAIL: report.get("detail") or "",
        K_SUBNETS: _int(report.get("subnets")),
        K_CHANGES: len(changes),
        K_DELIVERED: _int(report.get("delivered")),
        K_OUTBOX_SIZE: _int(report.get("outbox_size")),
        K_OUTBOX_OLDEST: report.get("outbox_oldest_utc"),
        K_INVALID_ROWS: _int(report.get("invalid_rows")),
        K_CHAT_ID: report.get("chat_id") or previous.get(K_CHAT_ID) or "",
        K_FAILURES: failures,
        K_LAST_OK: stamp if outcome == OUTCOME_OK else previous.get(K_LAST_OK),
        K_INTERVAL: float(interval_seconds),
        K_NEXT_CYCLE: format_utc(next_cycle) if next_cycle else None,
        K_LOOP: previous.get(K_LOOP) if next_cycle else None,
        K_PID: previous.get(K_PID) if next_cycle else os.getpid(),
        K_STARTED: previous.get(K_STARTED) if next_cycle else None,
    }
    if next_cycle and previous.get(K_BOT):
        status[K_BOT] = previous[K_BOT]
    previous_routes = previous.get(K_ROUTES) if isinstance(previous.get(K_ROUTES), list) else []
    if report.get(K_ROUTES):
        status[K_ROUTES] = _route_status(report, routes, previous_routes, stamp)
    elif previous_routes:
        # A cycle that ended before the engine ran (an error): what was known stays.
        status[K_ROUTES] = previous_routes
    return _write_status(state_path, status, now)


def record_loop(state_path: str, loop: str, *, interval_seconds: float,
                next_cycle: _dt.datetime | None = None, now: _dt.datetime | None = None) -> dict:
    """Record that `watch` started ("running"), or ended ("paused", "stopped").

    The last cycle's values stay as they were.
    """
    assert loop in LOOP_STATES, loop
    now = now or _now()
    status = read_status(state_path) or {}
    status[K_LOOP] = loop
    status[K_INTERVAL] = float(interval_seconds)
    status[K_PID] = os.getpid()
    if loop == LOOP_RUNNING:
        status[K_STARTED] = format_utc(now)
        status[K_NEXT_CYCLE] = format_utc(next_cycle) if next_cycle else None
    else:
        status[K_NEXT_CYCLE] = None
    return _write_status(state_path, status, now)


def record_bot(state_path: str, note: str | None, *, now: _dt.datetime | None = None) -> dict:
    """Record what the bot of `watch` is doing ("answering as @name", a conflict); None removes
    the note. The last cycle's values stay as they were."""
    now = now or _now()
    status = read_status(state_path) or {}
    if note:
        status[K_BOT] = note
    else:
        status.pop(K_BOT, None)
    return _write_status(state_path, status, now)


# The mutes file

M_MUTED = "muted"
ALL_SUBNETS = "all"


def read_mutes(state_path: str, now: _dt.datetime | None = None) -> dict[str, _dt.datetime]:
    """The mutes still in force at `now`: {netuid or "all": until}. A missing or unreadable file
    mutes nothing (alerts are never held back by accident)."""
    now = now or _now()
    try:
        document = json.loads(read_regular(mutes_path(state_path)).decode("utf-8"))
    except (OSError, UnicodeDecodeError, ValueError):
        return {}
    muted = document.get(M_MUTED) if isinstance(document, dict) else None
    if not isinstance(muted, dict):
        return {}
    out = {}
    for key, until_text in muted.items():
        until = parse_utc(until_text)
        if isinstance(key, str) and until is not None and until > now:
            out[key] = until
    return out


def write_mutes(state_path: str, mutes: Mapping[str, _dt.datetime]) -> None:
    """Replace the mutes file; an empty mapping removes it."""
    if not mutes:
        try:
            os.unlink(mutes_path(state_path))
        except FileNotFoundError:
            pass
        return
    document = {M_MUTED: {k: format_utc(mutes[k]) for k in sorted(mutes, key=netuid_order)}}
    _replace_atomically(mutes_path(state_path), json.dumps(document, indent=2) + "\n")


def muted_netuids(state_path: str, now: _dt.datetime | None = None) -> str:
    """The subnets muted now, comma-separated ("all" for every one), as the engine takes them."""
    return ",".join(sorted(read_mutes(state_path, now), key=netuid_order))


def describe_mutes(state_path: str, now: _dt.datetime | None = None) -> list[tuple[str, str]]:
    """The mutes in force as a (label, text) row for `emberscope status`; none when none."""
    mutes = read_mutes(state_path, now)
    if not mutes:
        return []
    items = [("every subnet" if k == ALL_SUBNETS else f"SN{k}") + f" until {format_utc(v)}"
             for k, v in sorted(mutes.items(), key=lambda kv: netuid_order(kv[0]))]
    return [("muted", ", ".join(items))]


def netuid_order(key: str) -> tuple[int, int, str]:
    """The sort key of a subnet's key: netuids by number, then any other key by its text."""
    try:
        return (0, int(key), key)
    except ValueError:
        return (1, 0, key)


# The history log


# Plain records rather than dataclasses: `status` and `history` would pay for loading the
# dataclass machinery (inspect, ast, dis) on every start, without using it.
class Change(collections.namedtuple("Change", ["time_utc", "netuid", "old", "new"])):
    __slots__ = ()

    @property
    def moment(self) -> _dt.datetime | None:
        return parse_utc(self.time_utc)

    def as_json(self) -> dict:
        return {H_TIME: self.time_utc, H_NETUID: self.netuid, H_OLD: self.old, H_NEW: self.new}


def append_history(state_path: str, stamp: str, changes: Iterable[Sequence[str]], *,
                   max_bytes: int = HISTORY_MAX_BYTES) -> None:
    """Append one line per change; rotate to `.1` first when the log would outgrow `max_bytes`."""
    path = history_path(state_path)
    # A text from the network may hold what UTF-8 cannot encode (a lone surrogate): it is
    # written as its JSON escape, which reads back as the same text.
    lines = "".join(
        json.dumps({H_TIME: stamp, H_NETUID: str(netuid), H_OLD: str(old), H_NEW: str(new)},
                   ensure_ascii=False) + "\n"
        for netuid, old, new in changes).encode("utf-8", "backslashreplace")
    try:
        size = os.stat(path).st_size
    except FileNotFoundError:
        size = 0
    if size and size + len(lines) > max_bytes:
        os.replace(path, rotated_history_path(state_path))
    fd = open_regular(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    try:
        view = memoryview(lines)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)


def _history_lines(path: str) -> Iterator[str]:
    try:
        fd = open_regular(path, os.O_RDONLY)
    except FileNotFoundError:
        return
    with open(fd, encoding="utf-8", errors="replace") as f:
        yield from f


def read_history(state_path: str) -> tuple[list[Change], int]:
    """Every recorded change, oldest first (the rotated generation, then the current log), and
    the number of lines that could not be read (a line cut short by a crash, say)."""
    path = history_path(state_path)
    changes: list[Change] = []
    unreadable = 0
    for name in (rotated_history_path(state_path), path):
        for line in _history_lines(name):
            if not line.strip():
                continue
            try:
                entry = json.loads(line)
                change = Change(*(entry[k] for k in (H_TIME, H_NETUID, H_OLD, H_NEW)))
            except (ValueError, TypeError, KeyError):
                unreadable += 1
                continue
            if not all(isinstance(v, str) for v in change):
                unreadable += 1
                continue
            changes.append(change)
    return changes, unreadable


SPARK_BARS = "▁▂▃▄▅▆▇█"


def sparkline(values: Sequence[str]) -> str:
    """One bar per value, scaled between the smallest and the largest; a text that is not a
    number shows as a space. Equal values give a row of middle bars."""
    numbers: list[float | None] = []
    for text in values:
        try:
            number = float(text)
        except (TypeError, ValueError):
            number = None
        numbers.append(number if number is not None and math.isfinite(number) else None)
    known = [n for n in numbers if n is not None]
    if not known:
        return " " * len(numbers)
    low, high = min(known), max(known)
    top = len(SPARK_BARS) - 1
    bars = []
    for n in numbers:
        if n is None:
            bars.append(" ")
        elif high == low:
            bars.append(SPARK_BARS[top // 2])
        else:
            bars.append(SPARK_BARS[round((n - low) / (high - low) * top)])
    return "".join(bars)


# Health


class Health(collections.namedtuple("Health", ["ok", "problems"])):
    """ok: a bool; problems: a tuple of texts."""

    __slots__ = ()


def _span(seconds: float) -> str:
    seconds = max(0, int(seconds))
    if seconds < 120:
        return f"{seconds} s"
    if seconds < 7200:
        return f"{seconds // 60} min"
    if seconds < 172800:
        return f"{seconds // 3600} h {seconds % 3600 // 60} min"
    return f"{seconds // 86400} days"


def assess(status: Mapping | None, now: _dt.datetime | None = None, *,
           watch_alive: bool | None = None) -> Health:
    """Healthy unless the last cycle (or the start of `watch`, before its first cycle) is older
    than three intervals or lies in the future, the last three cycles failed, or `watch`
    recorded that it ended. `watch_alive` False (the `watch` recorded as running is gone) is
    unhealthy too; None means it was not checked."""
    if status is None:
        return Health(False, ("no cycle recorded yet",))
    now = now or _now()
    problems = []
    interval = status.get(K_INTERVAL)
    interval = float(interval) if isinstance(interval, (int, float)) and interval > 0 else 300.0
    last = parse_utc(status.get(K_LAST_CYCLE))
    started = parse_utc(status.get(K_STARTED))
    reference = max([t for t in (last, started) if t is not None], default=None)
    if reference is None:
        problems.append("no cycle recorded yet")
    else:
        age = (now - reference).total_seconds()
        if age < -FUTURE_SLACK_SECONDS:
            what = "the last cycle" if reference == last else "the start of watch"
            problems.append(f"clock: {what} is recorded {_span(-age)} in the future "
                            f"({format_utc(reference)}); was the clock set back?")
        elif age > STALE_AFTER_INTERVALS * interval:
            what = "last cycle" if reference == last else "watch started"
            problems.append(f"stale: {what} {_span(age)} ago, more than "
                            f"{STALE_AFTER_INTERVALS} intervals ({_span(STALE_AFTER_INTERVALS * interval)})")
    failures = _int(status.get(K_FAILURES))
    if failures >= FAILING_AFTER:
        problems.append(f"failing: the last {failures} cycles failed "
                        f"({status.get(K_OUTCOME)}: {status.get(K_DETAIL) or 'no detail'})")
    loop = status.get(K_LOOP)
    if loop in (LOOP_PAUSED, LOOP_STOPPED):
        problems.append(f"not running: watch {loop} at {status.get(K_WRITTEN)}")
    elif loop == LOOP_RUNNING and watch_alive is False:
        problems.append(f"not running: watch (pid {status.get(K_PID)}) is gone without recording "
                        "an end (killed or crashed)")
    return Health(not problems, tuple(problems))


def describe(status: Mapping, now: _dt.datetime | None = None, *,
             watch_alive: bool | None = None) -> list[tuple[str, str]]:
    """The status as (label, text) rows for `emberscope status`."""
    now = now or _now()

    def when(key: str, where: Mapping = status) -> str:
        moment = parse_utc(where.get(key))
        if moment is None:
            return "(none)"
        delta = (now - moment).total_seconds()
        relative = f"{_span(delta)} ago" if delta >= 0 else f"in {_span(-delta)}"
        return f"{where.get(key)} ({relative})"

    rows = []
    loop = status.get(K_LOOP)
    if loop == LOOP_RUNNING and watch_alive is False:
        rows.append(("watch", f"gone (pid {status.get(K_PID)} recorded as running, started "
                              f"{status.get(K_STARTED)})"))
    elif loop:
        rows.append(("watch", f"{loop} (pid {status.get(K_PID)}, started {status.get(K_STARTED)})"))
    if status.get(K_LAST_CYCLE):
        outcome = status.get(K_OUTCOME)
        detail = status.get(K_DETAIL)
        rows.append(("last cycle", f"{when(K_LAST_CYCLE)}: {outcome}" + (f": {detail}" if detail else "")))
        rows.append(("seen", f"{_int(status.get(K_SUBNETS))} subnets, {_int(status.get(K_CHANGES))} "
                             f"changed, {_int(status.get(K_DELIVERED))} message(s) delivered"
                     + (f", {_int(status.get(K_INVALID_ROWS))} invalid row(s)"
                        if _int(status.get(K_INVALID_ROWS)) else "")))
        failures = _int(status.get(K_FAILURES))
        if failures:
            rows.append(("failures", f"{failures} in a row; last good cycle {when(K_LAST_OK)}"))
        size = _int(status.get(K_OUTBOX_SIZE))
        rows.append(("outbox", "empty" if not size else
                     f"{size} waiting, oldest {when(K_OUTBOX_OLDEST)}"))
    else:
        rows.append(("last cycle", "(none yet)"))
    if status.get(K_NEXT_CYCLE):
        text = when(K_NEXT_CYCLE)
        rows.append(("next cycle", text.replace("(", "(overdue: due ", 1) if text.endswith(" ago)") else text))
    if status.get(K_CHAT_ID):
        rows.append(("chat", str(status.get(K_CHAT_ID))))
    routes = status.get(K_ROUTES)
    for i, route in enumerate(routes if isinstance(routes, list) else (), 1):
        if isinstance(route, Mapping):
            rows.append((f"route {i}", _describe_route(route, when)))
    if status.get(K_BOT):
        rows.append(("bot", str(status.get(K_BOT))))
    return rows


def _describe_route(route: Mapping, when: Callable[[str, Mapping], str]) -> str:
    chat = f"chat {route.get(R_CHAT)}"
    if route.get(R_THREAD) is not None:
        chat += f" topic {route.get(R_THREAD)}"
    subnets = route.get(R_SUBNETS)
    parts = [chat, "subnets " + ", ".join(str(n) for n in subnets) if isinstance(subnets, list)
             else "every subnet"]
    if isinstance(route.get(R_THRESHOLD), (int, float)):
        parts.append(f"threshold {route.get(R_THRESHOLD):g}")
    text = ", ".join(parts) + f"; {_int(route.get(R_QUEUED))} queued"
    if _int(route.get(R_HELD)):
        text += f", {_int(route.get(R_HELD))} held for the digest"
    text += f"; last delivery {when(R_LAST_DELIVERY, route)}"
    if route.get(R_LAST_REFUSAL):
        text += f"; last refusal {when(R_LAST_REFUSAL, route)}: {route.get(R_REFUSAL)}"
    return text


def summary(status: Mapping) -> str:
    """One line about the last cycle, for systemd's STATUS and the `watch` console."""
    last = status.get(K_LAST_CYCLE)
    if not last:
        return "waiting for the first cycle"
    outcome = status.get(K_OUTCOME)
    if outcome == OUTCOME_OK:
        text = (f"cycle {last}: {_int(status.get(K_SUBNETS))} subnets, "
                f"{_int(status.get(K_CHANGES))} changed")
    else:
        detail = status.get(K_DETAIL)
        text = f"cycle {last}: {outcome}" + (f" ({detail})" if detail else "")
        if _int(status.get(K_FAILURES)) > 1:
            text += f", {_int(status.get(K_FAILURES))} failures in a row"
    if _int(status.get(K_OUTBOX_SIZE)):
        text += f", {_int(status.get(K_OUTBOX_SIZE))} waiting in the outbox"
    return text


def watch_alive(state_path: str, status: Mapping | None) -> bool | None:
    """Whether the `watch` the status records as running is still alive: it holds the lock
    beside the state file. Without a lock file to ask, /proc tells whether its pid is an
    emberscope process. None when no `watch` is recorded as running."""
    if not status or status.get(K_LOOP) != LOOP_RUNNING:
        return None
    pid = status.get(K_PID)
    if not isinstance(pid, int) or isinstance(pid, bool) or pid <= 0:
        return False
    held = lock_holder(state_path)
    if held is not None and held[0] and held[1] == pid:
        return True
    if held is not None and not held[0]:
        return False
    # The lock is held by another run (a `once`), or cannot be read by this user.
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"emberscope" in f.read()
    except OSError:
        return False


def next_cycle_text(status: Mapping) -> str | None:
    moment = parse_utc(status.get(K_NEXT_CYCLE))
    return moment.strftime("%H:%M UTC") if moment else None
