"""The emberscope command's monitor engine: watch cycles with an outbox, Telegram flood control and recovery from bad listings and state files."""

from typing import Any

def run_cycle(
    *,
    state_path: str,
    threshold: float,
    burn_token: str,
    burn_chat_id: str,
    pause_path: str,
    interval_seconds: float,
    outbox_max_age_seconds: float = 86400,
    wait_budget_seconds: float | None = None,
    exchange_deadline_seconds: float | None = None,
) -> dict[str, Any]:
    """One watch cycle with outbox, flood control and recovery; returns its report.

    The report holds "outcome" ("ok", "no_api_key", "fetch_failed", "telegram_failed",
    "error"), "detail", "updated_at_utc", "subnets", "changes" ([netuid, old, new] texts),
    "delivered", "telegram_failure" ("refused" when Telegram declined a message, "failed" when
    delivery stopped for want of a usable answer in time, else ""), "outbox_size",
    "outbox_oldest_utc", "invalid_rows" and "chat_id".

    Each HTTP exchange (the listing, each Telegram message) ends after twice its time-out at
    most, however slowly a server sends; exchange_deadline_seconds sets a shorter bound for
    all of them (tests use it).
    """

def run_snapshot(
    *,
    state_path: str,
    burn_token: str,
    burn_chat_id: str,
    pause_path: str,
    interval_seconds: float = 300,
    outbox_max_age_seconds: float = 86400,
    wait_budget_seconds: float | None = None,
    exchange_deadline_seconds: float | None = None,
) -> dict[str, Any]:
    """Record a fresh baseline and deliver the start-up list through the outbox; returns its report."""

def read_state(state_path: str) -> tuple[dict[str, str], str | None] | None:
    """The stored values and their time stamp, as the engine reads the state file.

    None when there is no state file; ValueError with the reason when it cannot be used.
    """

def _http_exchange(url: str, *, timeout: int, body_limit: int, deadline_seconds: float) -> tuple[int, bytes | None, bool]:
    """One GET: (status, body read, longer than body_limit)."""
