"""Bittensor subnet owner burn rate monitoring via Taostats."""

import json as json
import os as os
import sys as sys
import time as time
import urllib as urllib
from datetime import datetime as datetime
from datetime import timezone as timezone
from typing import Any as Any

OWNER_BURN_DECIMALS: int

def api_base() -> str:
    """The Taostats origin: TAOSTATS_API_BASE or the public API, trailing "/" removed."""

def request_headers(auth: str) -> dict[str, str]:
    """The four request headers, "Authorization" first."""

def taostats_auth() -> str | None:
    """TAOSTATS_API_KEY without surrounding white space, or None when nothing is left."""

def http_get_json(path: str, params: dict[str, Any], auth: str) -> dict[str, Any] | None:
    """One GET: the decoded object, an error record with an "error" member, or None."""

def is_rate_limited(payload: dict[str, Any]) -> bool:
    """Whether a decoded answer says the API refused the request for rate limiting."""

def with_retries(
    path: str, params: dict[str, Any], auth: str, *, max_retries: int = 6
) -> dict[str, Any] | None:
    """`http_get_json`, repeated with growing sleeps while the answer is rate-limited."""

def fetch_all_subnets_latest(auth: str) -> list[dict[str, Any]] | dict[str, Any]:
    """The latest row of every subnet, or an error record "no_subnet_rows"."""

def owner_burn_from_row(row: dict[str, Any]) -> str:
    """The row's "incentive_burn" as text, "0" when missing or empty."""

def format_owner_burn(value: str) -> str:
    """The four-decimal display form of an owner burn text; other texts unchanged."""

def owner_burn_changed(old: str, new: str, threshold: float) -> bool:
    """Whether two owner burn texts differ by more than `threshold`."""

def load_burn_state(path: str) -> dict[str, str]:
    """The stored netuid → owner burn map; empty for a missing or malformed file."""

def save_burn_state(path: str, burns: dict[str, str], updated_at: str) -> None:
    """Store the map and its time stamp, replacing the file atomically."""

def diff_burns(
    prev: dict[str, str], current: dict[str, str], threshold: float
) -> list[tuple[str, str, str]]:
    """(netuid, old, new) for subnets in both maps that moved, in netuid order."""

def format_burn_alert(changes: list[tuple[str, str, str]], updated_at: str) -> str:
    """The alert text for a list of changes."""

def format_burn_snapshot(rows: list[dict[str, Any]], updated_at: str) -> str:
    """The start-up list of every subnet's owner burn rate."""

def _chunk_text(text: str, max_len: int = 3900) -> list[str]:
    """Split a report into chunks of at most `max_len` characters that repeat its header."""

def send_burn_telegram_messages(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    """Post a text as one or more numbered messages: (ok, error text)."""

def send_burn_telegram(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    """Post a text as one message: (ok, error text)."""

def run_emberscope_once(
    *, state_path: str, threshold: float, burn_token: str, burn_chat_id: str
) -> int:
    """One watch cycle; 0 when it completed, 1 for no key, a failed listing or delivery."""

def run_burn_startup_snapshot(*, state_path: str, burn_token: str, burn_chat_id: str) -> int:
    """Fetch all subnets and send full burn-rate snapshot to burn Telegram."""

def _burn_is_paused(pause_path: str) -> bool:
    """Whether `pause_path` is non-empty and names an existing regular file."""

def _sleep_until_interval(interval_seconds: float, pause_path: str) -> bool:
    """Sleep in 1s steps. Returns False if paused before interval elapsed."""

def run_burn_poll_loop(
    *,
    state_path: str,
    threshold: float,
    interval_minutes: float,
    burn_token: str,
    burn_chat_id: str,
    pause_path: str = "",
) -> None:
    """Run a watch cycle every interval until the pause file appears."""

def _http_exchange(url: str, *, timeout: int, body_limit: int, deadline_seconds: float) -> tuple[int, bytes | None, bool]:
    """One GET: (status, body read, longer than body_limit)."""
