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
    "delivered", "outbox_size", "outbox_oldest_utc", "invalid_rows" and "chat_id".

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

def format_owner_burn(value: str) -> str:
    """The display form of an owner burn text (4 decimals), as the engine's messages show it; a text that is not a number as it is."""

def _http_exchange(
    url: str,
    *,
    timeout: int,
    body_limit: int,
    deadline_seconds: float,
    method: str = "GET",
    body: str = "",
    authorization: str = "",
    redirects: str = "follow",
    error_body_limit: int = -1,
) -> tuple[int, bytes, bool]:
    """One exchange: (status, body read, longer than its limit).

    The command's own HTTP client: a deadline raises TimeoutError, any other transport failure
    OSError. A limit below 0 is none; redirects is "follow", "keep_credentials_on_origin" or
    "none"; authorization, when not empty, is sent as the Authorization header.
    """
