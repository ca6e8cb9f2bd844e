"""A loopback stand-in for the Taostats subnet listing.

Serves GET /api/subnet/latest/v1 from `rows`, which a test may change between
requests. Like the real API it pages the rows with `limit` (default 50) and `page`
(default 1), so a client that forgets limit=1024 sees only part of the network; with
`max_limit` it caps `limit` as the real server may (its documentation says "max is
200"), so a client must follow `pagination.next_page` to see every subnet.
"""

from __future__ import annotations

import json
import math
import urllib.parse

from . import Answer, Recorded, StandIn
from .listings import realistic_rows

__all__ = ["TaostatsStandIn", "Answer", "Recorded", "LISTING_PATH"]

LISTING_PATH = "/api/subnet/latest/v1"
DEFAULT_LIMIT = 50


def _positive_int(values: list[str], default: int) -> int:
    if values and values[-1].isascii() and values[-1].isdigit() and int(values[-1]) > 0:
        return int(values[-1])
    return default


class TaostatsStandIn(StandIn):
    """Taostats API on 127.0.0.1.

    `rows` defaults to realistic_rows(). With `require_key`, a request whose
    Authorization header is not exactly that text gets a 401. `max_limit` caps the
    rows of a page whatever `limit` asks for (None: no cap). Unknown paths get
    404 {"message": "Not Found"}, other methods on the listing 405.
    """

    def __init__(self, rows: list[dict] | None = None, require_key: str | None = None,
                 max_limit: int | None = None) -> None:
        self.rows: list[dict] = realistic_rows() if rows is None else rows
        self.require_key = require_key
        self.max_limit = max_limit
        super().__init__()

    @property
    def listing_url(self) -> str:
        """The listing address without a query."""
        return self.base_url + LISTING_PATH

    def set_burn(self, netuid: int, value: object) -> None:
        """Set the "incentive_burn" of the row for `netuid` (number or text as sent)."""
        with self._lock:
            self._row(netuid)["incentive_burn"] = value

    def clear_burn(self, netuid: int) -> None:
        """Leave "incentive_burn" out of the row for `netuid`."""
        with self._lock:
            self._row(netuid).pop("incentive_burn", None)

    def _row(self, netuid: int) -> dict:
        for row in self.rows:
            if row.get("netuid") == netuid:
                return row
        raise KeyError(f"no row with netuid {netuid!r}")

    def listing(self, query: str = "limit=1024") -> dict:
        """The object the default answer serialises for this query text."""
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
        limit = _positive_int(params.get("limit", []), DEFAULT_LIMIT)
        if self.max_limit is not None:
            limit = min(limit, self.max_limit)
        page = _positive_int(params.get("page", []), 1)
        with self._lock:
            rows = list(self.rows)
        total = len(rows)
        pages = max(1, math.ceil(total / limit))
        return {
            "pagination": {
                "current_page": page,
                "per_page": limit,
                "total_items": total,
                "total_pages": pages,
                "next_page": page + 1 if page < pages else None,
                "prev_page": page - 1 if page > 1 else None,
            },
            "data": rows[(page - 1) * limit: page * limit],
        }

    def _default_answer(self, rec: Recorded) -> Answer:
        if self.require_key is not None and rec.header("Authorization") != self.require_key:
            return Answer.json({"message": "Unauthorized"}, 401)
        if rec.path != LISTING_PATH:
            return Answer.json({"message": "Not Found"}, 404)
        if rec.method != "GET":
            return Answer.json({"message": "Method Not Allowed"}, 405)
        with self._lock:
            body = json.dumps(self.listing(rec.query))
        headers = [("Content-Type", "application/json; charset=utf-8")]
        return Answer(200, body=body.encode("utf-8"), headers=headers)
