"""One cycle at a time: the engine's cycle and snapshot as reports, recorded for the operator
under the state file's lock; the `once`, `snapshot` and `test-send` commands."""

from __future__ import annotations

import argparse
from collections.abc import Callable

from bittensor_emberscope import monitor, health
from bittensor_emberscope.console import PROG, _out, _say, _utc_now
from bittensor_emberscope.localfiles import Busy, StateLock
from bittensor_emberscope.settings import Settings, _missing_secrets, _pick, _secret

# The module's own line for the same event; the command writes it when it sees the pause file.
PAUSED_LINE = "[burn] monitoring paused"
# How long `once` and `snapshot` wait for another run's cycle to end before giving up.
ONCE_LOCK_WAIT_SECONDS = 5.0


# One cycle, as a report: the monitor engine runs it (outbox, flood control, recovery) and writes
# its own console lines.


def _report(outcome: str, stamp: str, chat_id: str, **values: object) -> dict:
    report = {"outcome": outcome, "detail": "", "updated_at_utc": stamp, "subnets": 0,
              "changes": [], "delivered": 0, "outbox_size": 0, "outbox_oldest_utc": None,
              "invalid_rows": 0, "chat_id": chat_id, "routes": []}
    report.update(values)
    return report


def _engine_settings(settings: Settings) -> dict:
    return {"state_path": settings.state_path, "burn_token": settings.token,
            "burn_chat_id": settings.chat_id, "pause_path": settings.pause_path,
            "interval_seconds": settings.interval_minutes * 60,
            "outbox_max_age_seconds": settings.outbox_max_age_hours * 3600,
            "wait_budget_seconds": settings.wait_budget_seconds,
            "routes": _route_rules(settings) or None,
            "stale_after_minutes": settings.config.stale.after_minutes
            if settings.config and settings.config.stale else None}


def _route_rules(settings: Settings) -> list[dict]:
    """The routes' rules, in the order of the report's routes, for the status file."""
    return [route.as_json() for route in settings.config.routes] if settings.config else []


def _run_cycle(settings: Settings) -> dict:
    """One watch cycle of the engine; its report."""
    return monitor.run_cycle(threshold=settings.threshold,
                             muted=health.muted_netuids(settings.state_path),
                             **_engine_settings(settings))


def _run_snapshot(settings: Settings) -> dict:
    """The start-up snapshot of the engine; its report."""
    return monitor.run_snapshot(**_engine_settings(settings))


def _guarded(run: Callable[[Settings], dict], settings: Settings, say: Callable[[str], None]) -> dict:
    """A cycle whose unexpected error is reported on an error line and in its report."""
    try:
        return run(settings)
    except Exception as e:
        say(f"[burn] error: {e}")
        detail = " ".join(str(e).split()) or type(e).__name__
        return _report(health.OUTCOME_ERROR, health.format_utc(_utc_now()), settings.chat_id, detail=detail)


def _record(say: Callable[[str], None], write: Callable[[], dict]) -> dict | None:
    """Status and history are for the operator: failing to write them never stops the monitor."""
    try:
        return write()
    except OSError as e:
        name = f" {e.filename}" if e.filename else ""
        say(f"[burn] cannot record the cycle{name}: {e.strerror or e}")
    except Exception as e:
        say(f"[burn] cannot record the cycle: {type(e).__name__}: {e}")
    return None


def _exit_status(report: dict) -> int:
    return 0 if report["outcome"] == health.OUTCOME_OK else 1


def _lock(settings: Settings, wait_seconds: float) -> tuple[StateLock | None, str]:
    """The state file's lock, or None with the line that says who holds it."""
    lock = StateLock(settings.state_path)
    try:
        lock.acquire(wait_seconds)
    except Busy as busy:
        return None, (f"{PROG}: the state file {settings.state_path} is in use by {busy.holder} "
                      f"(lock file {busy.path})")
    except OSError as e:
        return None, f"{PROG}: cannot lock the state file: {e}"
    return lock, ""


# Commands


def _one_cycle(settings: Settings, run: Callable[[Settings], dict]) -> int:
    """A cycle of `once` or `snapshot`: skipped while paused, run under the state file's lock."""
    if _paused(settings.pause_path):
        _say(PAUSED_LINE)
        return 0
    lock, refusal = _lock(settings, ONCE_LOCK_WAIT_SECONDS)
    if lock is None:
        _say(f"{refusal}; gave up after {ONCE_LOCK_WAIT_SECONDS:g} s, nothing ran")
        return 1
    with lock:
        report = _guarded(run, settings, _say)
        _record(_say, lambda: health.record_cycle(
            settings.state_path, report, interval_seconds=settings.interval_minutes * 60,
            routes=_route_rules(settings)))
    return _exit_status(report)


def cmd_once(settings: Settings, args: argparse.Namespace) -> int:
    return _one_cycle(settings, _run_cycle)


def cmd_snapshot(settings: Settings, args: argparse.Namespace) -> int:
    return _one_cycle(settings, _run_snapshot)


def _paused(pause_path: str) -> bool:
    """True while the pause file exists, by the rule the engine's cycle follows."""
    return monitor.is_paused(pause_path)


TEST_MESSAGE = "emberscope: test message. The bot can post to this chat."


def cmd_test_send(args: argparse.Namespace) -> int:
    token = _secret(args.token_file, "--token-file", "TELEGRAM_BOT_TOKEN_FILE",
                    "TELEGRAM_BOT_TOKEN", "bot token")
    chat_id, _ = _pick(args.chat_id, "--chat-id", "TELEGRAM_CHAT_ID")
    _missing_secrets("", token, chat_id, need_key=False)
    stamp = health.format_utc(_utc_now())
    from bittensor_emberscope import emberscope

    try:
        ok, err = emberscope.send_burn_telegram(f"{TEST_MESSAGE} ({stamp})", token, chat_id or "")
    except Exception as e:
        _out(f"telegram: error: {e}\n")
        return 1
    if ok:
        _out(f"telegram: ok (test message sent to chat {chat_id})\n")
        return 0
    _out(f"telegram: {err}\n")
    return 1
