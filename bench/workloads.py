"""Listings and their derived inputs for the Python-facing benchmarks and the soak.

A listing of N rows is what the Taostats stand-in would serve for N subnets: the rows of
`realistic_rows` (reals, zeros, absent fields, a few texts). Its second version moves the owner
burn value of every third subnet, so that a watch cycle alternating between the two versions
alerts on a third of the network, over several Telegram messages.
"""

from __future__ import annotations

import dataclasses
import functools
import importlib.util
import json
import os
import sys
import urllib.request
from collections.abc import Callable, Iterator
from contextlib import contextmanager


def _load_module_override() -> None:
    """EMBERSCOPE_BENCH_MODULE names another build of the module (an unstripped one, for the
    profiler) to load in place of the installed one."""
    path = os.environ.get("EMBERSCOPE_BENCH_MODULE")
    if not path:
        return
    import bittensor_emberscope
    name = "bittensor_emberscope.emberscope"
    location = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(location)
    sys.modules[name] = module
    location.loader.exec_module(module)
    bittensor_emberscope.emberscope = module


_load_module_override()
from bittensor_emberscope import emberscope as es  # noqa: E402
from bittensor_emberscope.testing import realistic_rows

UPDATED_AT = "2026-03-01T12:00:00Z"
LISTING_PATH = "/api/subnet/latest/v1"
LISTING_PARAMS = {"limit": 1024, "order": "netuid_asc"}
THRESHOLD = 0.001
TELEGRAM_OK = json.dumps({
    "ok": True,
    "result": {"message_id": 1, "date": 1772366400,
               "chat": {"id": -1001234567890, "type": "supergroup", "title": "emberscope"},
               "text": "..."},
}).encode()


def listing_body(rows: list[dict]) -> bytes:
    """The listing's JSON body as the API pages it, with every row on the one page."""
    pagination = {"current_page": 1, "per_page": 1024, "total_items": len(rows),
                  "total_pages": 1, "next_page": None, "prev_page": None}
    return json.dumps({"pagination": pagination, "data": rows}).encode()


def moved(value: object) -> float:
    """A value that differs from `value` by far more than the threshold."""
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        number = 0.0
    return 0.0123 if number >= 0.5 else 0.9876


@dataclasses.dataclass
class Listing:
    size: int
    rows: list[dict]
    rows_moved: list[dict]
    texts: list[str]
    current: dict[str, str]
    previous: dict[str, str]
    changes: list[tuple[str, str, str]]

    @functools.cached_property
    def body(self) -> bytes:
        return PreDecoded(listing_body(self.rows))

    @functools.cached_property
    def body_moved(self) -> bytes:
        return PreDecoded(listing_body(self.rows_moved))

    @functools.cached_property
    def snapshot_text(self) -> str:
        return es.format_burn_snapshot(self.rows, UPDATED_AT)

    @functools.cached_property
    def alert_text(self) -> str:
        """The alert a cycle sends when it goes from `rows` to `rows_moved`."""
        return es.format_burn_alert(self.changes, UPDATED_AT)


@functools.cache
def listing(size: int, seed: int = 0) -> Listing:
    rows = realistic_rows(size, seed)
    rows_moved = []
    for row in rows:
        copy = dict(row)
        if row["netuid"] % 3 == 0:
            copy["incentive_burn"] = moved(row.get("incentive_burn"))
        rows_moved.append(copy)
    texts = [es.owner_burn_from_row(row) for row in rows]
    current = {str(row["netuid"]): text for row, text in zip(rows, texts)}
    moved_texts = {str(row["netuid"]): es.owner_burn_from_row(row) for row in rows_moved}
    changes = [(k, current[k], moved_texts[k]) for k in current
               if es.owner_burn_changed(current[k], moved_texts[k], THRESHOLD)]
    return Listing(size, rows, rows_moved, texts, current, moved_texts, changes)


class FakeResponse:
    """A response already read off the wire: what urlopen returns, minus the network."""

    def __init__(self, body: bytes) -> None:
        self._body = body

    def read(self) -> bytes:
        return self._body

    def close(self) -> None:
        pass


class PreDecoded(bytes):
    """A body whose UTF-8 decoding was done once, ahead: decode() hands out the same text
    object every time, so the host's decoding and hashing of it are not paid again."""

    def decode(self, encoding: str = "utf-8", errors: str = "strict") -> str:  # noqa: ARG002
        try:
            return self._text  # type: ignore[has-type]
        except AttributeError:
            self._text = bytes.decode(self, "utf-8")
            return self._text


TELEGRAM_OK_HELD = PreDecoded(TELEGRAM_OK)


@contextmanager
def host_json_held(bodies: list[bytes]) -> Iterator[None]:
    """Takes the host's JSON decoding out of a cycle: the module's `json` answers loads() of
    the listing and Telegram bodies, and load() of the state file, from decodings made once
    ahead (the file is still opened and read), and its clock stands still, so that the state
    file's text repeats. What a cycle costs then is the module's own work."""
    import datetime as host_datetime
    cache: dict[str, object] = {}
    for body in bodies:
        text = body.decode()
        cache[text] = json.loads(text)

    class HeldJson:
        JSONDecodeError = json.JSONDecodeError
        dumps = staticmethod(json.dumps)

        @staticmethod
        def loads(text, *args, **kw):
            try:
                return cache[text]
            except KeyError:
                value = cache[text] = json.loads(text, *args, **kw)
                return value

        @staticmethod
        def load(fp, *args, **kw):
            return HeldJson.loads(fp.read(), *args, **kw)

    class StillClock(host_datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return host_datetime.datetime(2026, 3, 1, 12, 0, 0, tzinfo=tz)

    saved = es.json, es.datetime
    es.json, es.datetime = HeldJson, StillClock
    try:
        yield
    finally:
        es.json, es.datetime = saved


@contextmanager
def in_memory_transport(listing_body_now: Callable[[], bytes]) -> Iterator[dict[str, int]]:
    """Answers every request without a network: the listing from `listing_body_now()`, every
    Telegram message with an "ok" answer. Yields the counts of requests by kind ("listing",
    "message"); nothing else is kept, so a long run holds no more memory than a short one."""
    counts = {"listing": 0, "message": 0}
    original = urllib.request.urlopen

    def urlopen(request, timeout=None):  # noqa: ARG001 - the module passes its time-out
        if request.full_url.endswith("/sendMessage"):
            counts["message"] += 1
            return FakeResponse(TELEGRAM_OK_HELD)
        counts["listing"] += 1
        return FakeResponse(listing_body_now())

    urllib.request.urlopen = urlopen
    try:
        yield counts
    finally:
        urllib.request.urlopen = original


@contextmanager
def no_sleep() -> Iterator[list[float]]:
    """Replaces the host's time.sleep (the module looks it up at call time) by a recorder."""
    import time
    calls: list[float] = []
    original = time.sleep
    time.sleep = calls.append
    try:
        yield calls
    finally:
        time.sleep = original


@contextmanager
def quiet_stderr() -> Iterator[list[str]]:
    """Collects the console lines instead of printing them."""
    import sys
    lines: list[str] = []

    class Sink:
        def write(self, text: str) -> int:
            lines.append(text)
            return len(text)

        def flush(self) -> None:
            pass

    original = sys.stderr
    sys.stderr = Sink()
    try:
        yield lines
    finally:
        sys.stderr = original
