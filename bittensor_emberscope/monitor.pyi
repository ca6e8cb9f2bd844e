"""The emberscope command's monitor engine: watch cycles with an outbox, Telegram flood control and recovery from bad listings and state files."""

from typing import Any

# The age after which an undelivered message is dropped from the outbox unless a cycle is told
# otherwise (outbox_max_age_seconds), in seconds.
DEFAULT_OUTBOX_MAX_AGE_SECONDS: float
# Where the engine's Telegram requests go unless TELEGRAM_API_BASE says otherwise.
DEFAULT_TELEGRAM_API_BASE: str
# The outbox's name beside the state file.
OUTBOX_SUFFIX: str
# How a cycle's report ends ("outcome"): everything delivered, no Taostats key, no usable
# listing, messages left undelivered, an unexpected error.
OUTCOME_OK: str
OUTCOME_NO_API_KEY: str
OUTCOME_FETCH_FAILED: str
OUTCOME_TELEGRAM_FAILED: str
OUTCOME_ERROR: str

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
    muted: str = '',
    routes: list[dict[str, Any]] | None = None,
    stale_after_minutes: float | None = None,
) -> dict[str, Any]:
    """One watch cycle with outbox, flood control and recovery; returns its report.

    The report holds "outcome" ("ok", "no_api_key", "fetch_failed", "telegram_failed",
    "error"), "detail", "updated_at_utc", "subnets", "changes" ([netuid, old, new] texts),
    "delivered", "telegram_failure" ("refused" when Telegram declined a message, "failed" when
    delivery stopped for want of a usable answer in time, else ""), "outbox_size",
    "outbox_oldest_utc", "invalid_rows", "chat_id" (the first route's chat, after any
    migration) and "routes": per route, {"chat_id", "thread_id", "queued" (messages waiting
    for it), "delivered", "held" (changes held for its quiet-hours digest), "telegram_failure",
    "last_failure" (its text, "" when none)}.

    Each HTTP exchange (the listing, each Telegram message) ends after twice its time-out at
    most, however slowly a server sends; exchange_deadline_seconds sets a shorter bound for
    all of them (tests use it). The subnets in muted (comma-separated; "all" for every one)
    are left out of the alert; their changes are still reported and stored.

    routes, when given, replaces the one route to burn_chat_id with threshold: a list of dicts
    {"chat_id": str, "threshold": float (default: threshold), "netuids": list[int] | None,
    "min_relative_change": float, "silent": bool, "thread_id": int | None, "quiet_hours":
    "HH:MM-HH:MM" | None}. Changes are found with the smallest threshold and against the stored
    values; each route is told those its rules select, as if it were the only one. Inside a
    route's quiet hours (UTC) its changes are held in the outbox file; the first cycle after the
    window queues them as one digest (each subnet once, first old and last new value). Each route's
    messages are queued and delivered on their own: a chat that refuses or is held does not hold
    back another.

    stale_after_minutes, when given, sends one message to every route once no good listing has
    been read for that long ("emberscope: no good listing from Taostats for N min (last good at
    YYYY-MM-DD HH:MM UTC)"), and one when a good listing comes back ("emberscope: listings from
    Taostats are back after N min"); the last good listing's time is kept in the outbox file.
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
    routes: list[dict[str, Any]] | None = None,
    stale_after_minutes: float | None = None,
) -> dict[str, Any]:
    """Record a fresh baseline and deliver the start-up list through the outbox; returns its report.

    routes (as for run_cycle): each route is sent the list of the subnets it hears.
    stale_after_minutes: as for run_cycle.
    """

def read_state(state_path: str) -> tuple[dict[str, str], str | None] | None:
    """The stored values and their time stamp, as the engine reads the state file.

    None when there is no state file; the OSError when it exists but cannot be read (a
    directory or another file that is not a regular one: ValueError); UnicodeDecodeError when it
    is not UTF-8; ValueError with the reason when it cannot be used.
    """

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


