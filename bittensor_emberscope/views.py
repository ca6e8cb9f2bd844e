"""What the `emberscope` command shows an operator: `status`, `history`, `chats` and
`config check`."""

from __future__ import annotations

import argparse
import datetime
import json
from collections.abc import Sequence

from bittensor_emberscope import monitor, health
from bittensor_emberscope.console import PROG, _out, _say
from bittensor_emberscope.localfiles import irregular, lock_path
from bittensor_emberscope.settings import (UsageError, _pick, _read_config, _secret, _state_path,
                                           _threshold)


def _load_state(path: str) -> tuple[tuple[dict, str | None] | None, str | None]:
    """The stored values and their time stamp, or None with the reason they cannot be shown."""
    try:
        state = monitor.read_state(path)
    except UnicodeDecodeError as e:
        return None, f"cannot read the state file {path}: not UTF-8 ({e})"
    except (OSError, ValueError) as e:
        return None, str(e)
    if state is None:
        return None, f"no state file at {path} yet; `{PROG} snapshot` or `{PROG} once` writes it"
    return state, None


def _refuse_irregular(paths: Sequence[str]) -> bool:
    """Says so and returns True when one of `paths` is there but not a regular file."""
    problems = [p for p in map(irregular, paths) if p]
    for problem in problems:
        _say(f"{PROG}: {problem}; remove it")
    return bool(problems)


def cmd_status(args: argparse.Namespace) -> int:
    path = _state_path(args, create_default=False)
    if _refuse_irregular([health.status_path(path), lock_path(path), health.mutes_path(path)]):
        return 1
    state, problem = _load_state(path)
    status = health.read_status(path)
    if state is None and (status is None or not problem.startswith("no state file")):
        _say(f"{PROG}: {problem}")
        return 1
    alive = health.watch_alive(path, status)
    verdict = health.assess(status, watch_alive=alive) if status is not None else None
    code = 3 if verdict and not verdict.ok else 0
    burns, updated_at = state if state else ({}, None)
    if args.json:
        document = {
            "state_file": path,
            "status_file": health.status_path(path),
            "healthy": verdict.ok if verdict else None,
            "problems": list(verdict.problems) if verdict else [],
            "watch_alive": alive,
            "status": status,
            "updated_at_utc": updated_at,
            "owner_burn_rate": {k: burns[k] for k in sorted(burns, key=health.netuid_order)},
        }
        _out(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
        return code
    lines = [f"state file  {path}"]
    if status is not None:
        lines += [f"{label:<11} {text}"
                  for label, text in health.describe(status, watch_alive=alive)]
        lines.append("health      " + ("ok" if verdict.ok else "UNHEALTHY: " + "; ".join(verdict.problems)))
    lines += [f"{label:<11} {text}" for label, text in health.describe_mutes(path)]
    if state is None:
        lines.append("values      none stored yet")
        _out("\n".join(lines) + "\n")
        return code
    lines.append(f"updated     {updated_at or '(unknown)'} UTC")
    lines.append(f"subnets     {len(burns)}")
    lines.append("")
    width = max([len("netuid")] + [len(k) for k in burns])
    lines.append(f"{'netuid':>{width}}  {'owner burn':>10}  stored text")
    for key in sorted(burns, key=health.netuid_order):
        raw = burns[key]
        lines.append(f"{key:>{width}}  {monitor.format_owner_burn(raw):>10}  {raw}")
    _out("\n".join(lines) + "\n")
    return code


def _since(text: str | None) -> datetime.datetime | None:
    if text is None:
        return None
    moment = health.parse_utc(text)
    if moment is None:
        raise UsageError(f"--since: {text!r} is not a date (YYYY-MM-DD) or a UTC time "
                         "(YYYY-MM-DDTHH:MM:SSZ)")
    return moment


def cmd_history(args: argparse.Namespace) -> int:
    path = _state_path(args, create_default=False)
    since = _since(args.since)
    if _refuse_irregular([health.rotated_history_path(path), health.history_path(path)]):
        return 1
    changes, unreadable = health.read_history(path)
    if unreadable:
        _say(f"{PROG}: {unreadable} unreadable line(s) in {health.history_path(path)} skipped")
    if args.netuid is not None:
        changes = [c for c in changes if c.netuid == str(args.netuid)]
    if since is not None:
        changes = [c for c in changes if (c.moment or since) >= since]
    per_subnet: dict[str, list[health.Change]] = {}
    for change in changes:
        per_subnet.setdefault(change.netuid, []).append(change)
    trends = {netuid: [seen[0].old] + [c.new for c in seen]
              for netuid, seen in sorted(per_subnet.items(), key=lambda kv: health.netuid_order(kv[0]))}
    if args.json:
        document = {
            "history_file": health.history_path(path),
            "changes": [c.as_json() for c in changes],
            "subnets": {netuid: {"values": values, "sparkline": health.sparkline(values)}
                        for netuid, values in trends.items()},
        }
        _out(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
        return 0
    if not changes:
        _out(f"no changes recorded in {health.history_path(path)}"
             + (" for that selection" if args.netuid is not None or since else "") + "\n")
        return 0
    width = max([len("netuid")] + [len(c.netuid) for c in changes])
    fmt = monitor.format_owner_burn
    lines = [f"{'time (UTC)':<20}  {'netuid':>{width}}  {'old':>10}     {'new':>10}"]
    for c in changes:
        lines.append(f"{c.time_utc:<20}  {c.netuid:>{width}}  {fmt(c.old):>10}  →  {fmt(c.new):>10}")
    lines += ["", f"{'netuid':>{width}}  {'changes':>7}  {'first':>10}     {'last':>10}  trend"]
    for netuid, values in trends.items():
        lines.append(f"{netuid:>{width}}  {len(values) - 1:>7}  {fmt(values[0]):>10}  →  "
                     f"{fmt(values[-1]):>10}  {health.sparkline(values)}")
    _out("\n".join(lines) + "\n")
    return 0


def cmd_chats(args: argparse.Namespace) -> int:
    token = _secret(args.token_file, "--token-file", "TELEGRAM_BOT_TOKEN_FILE",
                    "TELEGRAM_BOT_TOKEN", "bot token")
    if not token:
        raise UsageError("missing the Telegram bot token (TELEGRAM_BOT_TOKEN, or a file named by "
                         "--token-file or TELEGRAM_BOT_TOKEN_FILE)")
    from bittensor_emberscope import bot

    try:
        chats = bot.seen_chats(token)
    except bot.ApiError as e:
        _say(f"{PROG}: getUpdates failed: {e}")
        return 1
    if not chats:
        _out("no chats in the bot's recent updates: send the bot a message (in a group, a "
             "command such as /help) and run this again\n")
        return 0
    width = max(len("id"), *(len(c["id"]) for c in chats))
    kind = max(len("type"), *(len(c["type"]) for c in chats))
    lines = [f"{'id':>{width}}  {'type':<{kind}}  title"]
    lines += [f"{c['id']:>{width}}  {c['type']:<{kind}}  {c['title']}" for c in chats]
    _out("\n".join(lines) + "\n")
    return 0


def cmd_config(args: argparse.Namespace) -> int:
    """`config check`: the routes as understood, one line each; exit 2 for a file that cannot
    be used."""
    from bittensor_emberscope.config import describe, single_route

    threshold = _threshold(args)
    chat_id, _ = _pick(args.chat_id, "--chat-id", "TELEGRAM_CHAT_ID")
    config = _read_config(args, threshold, chat_id)
    if config is None:
        if not chat_id:
            raise UsageError("no configuration file (--config or EMBERSCOPE_CONFIG) and no chat "
                             "(--chat-id or TELEGRAM_CHAT_ID): there is no route")
        config = single_route(chat_id, threshold)
    _out("\n".join(describe(config)) + "\n")
    return 0
