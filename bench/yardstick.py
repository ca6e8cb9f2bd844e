"""The module's documented operations written the plain way, in Python with the standard library.

This is a yardstick for the benchmarks, not a product: the code a user would write instead of
importing the module, straightforward, with no tricks to make it slower or faster. It follows the
documented behaviour on ordinary inputs (the benchmark's listings); the module's mends (atomic
state-file replacement, the alert layout of the chunker, and so on) are not copied, so where the
module does more work for safety the yardstick does not.

Host services are looked up at call time through this module's names (`urllib.request.urlopen`,
`time.sleep`, `json`), as the module looks them up, so the benchmark's substitutions reach both.
"""

from __future__ import annotations

import json
import os
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from datetime import datetime, timezone
from typing import Any

OWNER_BURN_DECIMALS = 4

DEFAULT_API_BASE = "http://127.0.0.1:9"
DEFAULT_USER_AGENT = ("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                      "Chrome/131.0.0.0 Safari/537.36")
DEFAULT_TELEGRAM_API = "http://127.0.0.1:9"
LISTING_PATH = "/api/subnet/latest/v1"


# Taostats client -------------------------------------------------------------------------------

def api_base() -> str:
    return os.environ.get("TAOSTATS_API_BASE", DEFAULT_API_BASE).rstrip("/")


def taostats_auth() -> str | None:
    key = os.environ.get("TAOSTATS_API_KEY", "").strip()
    return key or None


def request_headers(auth: str) -> dict[str, str]:
    return {
        "Authorization": auth,
        "User-Agent": os.environ.get("TAOSTATS_USER_AGENT", DEFAULT_USER_AGENT),
        "Accept": "application/json, text/plain, */*",
        "Accept-Language": "en-US,en;q=0.9",
    }


def http_get_json(path: str, params: dict[str, Any], auth: str) -> dict[str, Any] | None:
    query = "&".join(f"{k}={v}" for k, v in params.items() if v is not None and v != "")
    url = api_base() + path + ("?" + query if query else "")
    request = urllib.request.Request(url, headers=request_headers(auth))
    try:
        response = urllib.request.urlopen(request, timeout=60)
        try:
            text = response.read().decode("utf-8")
        finally:
            response.close()
    except urllib.error.HTTPError as e:
        body = e.read().decode("utf-8") if e.fp is not None else ""
        try:
            record = json.loads(body)
        except json.JSONDecodeError:
            record = {"status_code": e.code, "message": body or e.reason}
        record["http_status"] = e.code
        return record
    try:
        payload = json.loads(text)
    except json.JSONDecodeError as e:
        return {"parse_error": str(e), "raw": text[:500]}
    if payload is not None and not isinstance(payload, dict):
        raise TypeError(f"Expected dict, got {type(payload).__name__}")
    return payload


def is_rate_limited(payload: dict[str, Any]) -> bool:
    if payload.get("status_code") == 429:
        return True
    message = payload.get("message", "")
    return "Rate Limited" in (message if isinstance(message, str) else str(message))


def with_retries(path: str, params: dict[str, Any], auth: str, *, max_retries: int = 6):
    delay = 2.0
    for attempt in range(max_retries):
        payload = http_get_json(path, params, auth)
        if not is_rate_limited(payload):
            return payload
        if attempt == max_retries - 1:
            return payload
        time.sleep(delay)
        delay = min(delay * 1.8, 120.0)
    raise UnboundLocalError("no payload was assigned")


def fetch_all_subnets_latest(auth: str):
    payload = with_retries(LISTING_PATH, {"limit": 1024, "order": "netuid_asc"}, auth)
    rows = payload.get("data") or []
    if not rows:
        return {"error": "no_subnet_rows", "response": payload}
    return rows


# Burn tracking ---------------------------------------------------------------------------------

def owner_burn_from_row(row: dict[str, Any]) -> str:
    value = row.get("incentive_burn")
    if not value:
        return "0"
    return value if isinstance(value, str) else str(value)


def _to_float(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


def format_owner_burn(value: str) -> str:
    number = _to_float(value)
    if number is None:
        return value
    return format(number, "." + str(OWNER_BURN_DECIMALS) + "f")


def owner_burn_changed(old: str, new: str, threshold: float) -> bool:
    a, b = _to_float(old), _to_float(new)
    if a is not None and b is not None:
        return abs(a - b) > threshold
    return old != new


def load_burn_state(path: str) -> dict[str, str]:
    if not os.path.isfile(path):
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
    except (OSError, json.JSONDecodeError):
        return {}
    burns = document.get("owner_burn_rate")
    if not isinstance(burns, dict):
        return {}
    return {k: (v if isinstance(v, str) else str(v)) for k, v in burns.items()}


def save_burn_state(path: str, burns: dict[str, str], updated_at: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"updated_at_utc": updated_at, "owner_burn_rate": burns}, f, indent=2,
                  sort_keys=True)
        f.write("\n")


def diff_burns(prev: dict[str, str], current: dict[str, str], threshold: float):
    changes = []
    for netuid, new in sorted(current.items(), key=lambda item: int(item[0])):
        old = prev.get(netuid)
        if old is None:
            continue
        if owner_burn_changed(old, new, threshold):
            changes.append((netuid, old, new))
    return changes


# Reports and Telegram delivery -----------------------------------------------------------------

def format_burn_alert(changes, updated_at: str) -> str:
    lines = ["Owner burn rate changed", f"{updated_at} UTC", ""]
    for netuid, old, new in changes:
        lines.append(f"SN{netuid}: {format_owner_burn(old)} → {format_owner_burn(new)}")
    return "\n".join(lines)


def format_burn_snapshot(rows, updated_at: str) -> str:
    lines = ["Subnet owner burn rates (startup)", f"{updated_at} UTC", f"{len(rows)} subnets", ""]
    for row in sorted(rows, key=lambda r: int(r.get("netuid", 0))):
        lines.append(f"SN{row.get('netuid')}: {format_owner_burn(owner_burn_from_row(row))}")
    return "\n".join(lines)


def _chunk_text(text: str, max_len: int = 3900) -> list[str]:
    if len(text) <= max_len:
        return [text]
    lines = text.split("\n")
    # The snapshot's layout: three header lines, an empty fourth line, the body. An alert has its
    # empty line in third place; its first change line must not be lost (the module's mend).
    header, body = lines[:3], lines[4:]
    if len(lines) >= 4 and lines[3] != "":
        body = lines[3:]
        if lines[0] != "" and lines[1] == "":
            header, body = lines[:1], lines[2:]
        elif lines[0] != "" and lines[2] == "":
            header, body = lines[:2], lines[3:]
    chunks = []
    current = header + ([""] if body else [])
    for line in body:
        candidate = "\n".join(current + [line])
        if len(candidate) > max_len and len(current) > len(header) + 1:
            chunks.append("\n".join(current))
            current = header + ["", line]
        else:
            current.append(line)
    chunks.append("\n".join(current))
    return chunks


def send_burn_telegram(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    if not token or not chat_id:
        return False, "burn telegram not configured"
    url = f"{os.environ.get('TELEGRAM_API_BASE', DEFAULT_TELEGRAM_API)}/bot{token}/sendMessage"
    body = urllib.parse.urlencode(
        {"chat_id": chat_id, "text": text, "disable_web_page_preview": "true"}).encode("utf-8")
    request = urllib.request.Request(
        url, data=body, headers={"Content-Type": "application/x-www-form-urlencoded"},
        method="POST")
    try:
        response = urllib.request.urlopen(request, timeout=30)
        try:
            answer = json.loads(response.read().decode("utf-8"))
        finally:
            response.close()
        if answer.get("ok"):
            return True, ""
        return False, str(answer)
    except urllib.error.HTTPError as e:
        raw = e.read().decode("utf-8") if e.fp is not None else ""
        try:
            data = json.loads(raw)
        except json.JSONDecodeError:
            return False, raw or str(e)
        return False, str(data.get("description") or raw[:300])
    except OSError as e:
        return False, str(e)


def send_burn_telegram_messages(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    parts = _chunk_text(text)
    total = len(parts)
    for index, part in enumerate(parts, 1):
        message = part if total == 1 else f"({index}/{total})\n{part}"
        ok, err = send_burn_telegram(message, token, chat_id)
        if not ok:
            return False, err
        if index < total:
            time.sleep(0.4)
    return True, ""


# Watch driver ----------------------------------------------------------------------------------

def _current_map(rows) -> dict[str, str]:
    current = {}
    for row in rows:
        if "netuid" in row:
            current[str(row["netuid"])] = owner_burn_from_row(row)
    return current


def _listing(failed_prefix: str):
    """The cycle's time stamp and rows, or None after the failure line."""
    auth = taostats_auth()
    if not auth:
        sys.stderr.write("[burn] taostats API not available (must be bundled in package defaults)\n")
        return None
    updated_at = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    result = fetch_all_subnets_latest(auth)
    if isinstance(result, dict) and result.get("error"):
        sys.stderr.write(f"{failed_prefix}{json.dumps(result)}\n")
        return None
    return updated_at, result


def run_emberscope_once(*, state_path: str, threshold: float, burn_token: str,
                        burn_chat_id: str) -> int:
    listing = _listing("[burn] fetch failed: ")
    if listing is None:
        return 1
    updated_at, result = listing
    current = _current_map(result)
    prev = load_burn_state(state_path)
    changes = diff_burns(prev, current, threshold) if prev else []
    save_burn_state(state_path, current, updated_at)
    if not changes:
        return 0
    ok, err = send_burn_telegram_messages(format_burn_alert(changes, updated_at), burn_token,
                                          burn_chat_id)
    if ok:
        sys.stderr.write(f"[burn] alert sent ({len(changes)} subnet(s))\n")
        return 0
    sys.stderr.write(f"[burn] telegram failed: {err}\n")
    return 1


def run_burn_startup_snapshot(*, state_path: str, burn_token: str, burn_chat_id: str) -> int:
    listing = _listing("[burn] startup fetch failed: ")
    if listing is None:
        return 1
    updated_at, result = listing
    save_burn_state(state_path, _current_map(result), updated_at)
    ok, err = send_burn_telegram_messages(format_burn_snapshot(result, updated_at), burn_token,
                                          burn_chat_id)
    if ok:
        sys.stderr.write(f"[burn] startup snapshot sent ({len(result)} subnets)\n")
        return 0
    sys.stderr.write(f"[burn] startup telegram failed: {err}\n")
    return 1
