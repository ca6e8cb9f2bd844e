"""The bot of `emberscope watch`: operators ask in the chat, the monitor answers.

While `watch` waits between cycles, a background thread long-polls Telegram's getUpdates and
hands each batch of updates to the main thread, waking its wait (`wake`), which answers them
and waits on (so a cycle still starts on time, and the pause file and SIGTERM still end the
wait at once). Answers come from the files beside the state (values, history, status, mutes), never
from Taostats. The next update id to ask for is kept in `state.bot-offset.json`, written after
each update is answered, so a restart neither skips a question nor answers one twice.

Only configured chats and listed users are answered, one command a second per chat; everything
else is ignored without an answer. Answers are plain text (no parse mode) or a PNG chart drawn
by a child process (`python -m bittensor_emberscope.chart`), so the plotting library never
enters this process. Answers never go through the alert outbox: one held back by flood control
waits in memory for its `retry_after`, and is dropped if the process ends first.

The command's parser, access list, cooldown and offset rules are the monitor module's own
(`monitor.bot_*`).
"""

from __future__ import annotations

import datetime as _dt
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Callable, Sequence

from bittensor_emberscope import health, monitor

__all__ = ["Bot", "TelegramApi", "ApiError", "Answers", "render_chart", "seen_chats",
           "allowed_users", "CHART_TIMEOUT"]

# Telegram's public Bot API origin (the engine's); TELEGRAM_API_BASE points elsewhere (a
# self-hosted server).
DEFAULT_API_BASE = monitor.DEFAULT_TELEGRAM_API_BASE
# How long one getUpdates waits for an update: Telegram answers at once when one arrives, so this
# sets only how often an idle poller wakes; 50 s is the most Telegram honours, and stays under the
# 60 s a proxy commonly allows a quiet connection.
POLL_SECONDS = 50
# Waits after a failed poll: doubling from the first to the last.
RETRY_FIRST, RETRY_LAST = 5.0, 300.0
# After a 409 (another poller, or a webhook): that one waits a while before asking again.
CONFLICT_RETRY = 60.0
CHART_TIMEOUT = 60.0
LAST_CHANGES = 5
MESSAGE_LIMIT = 4096  # code points of one message
CAPTION_LIMIT = 1024
HELD_ANSWERS_MAX = 20
SEND_TIMEOUT = 30.0


def api_base() -> str:
    """The Bot API origin by the engine's rule: TELEGRAM_API_BASE when set, trailing "/" removed."""
    base = os.environ.get("TELEGRAM_API_BASE")
    return (DEFAULT_API_BASE if base is None else base).rstrip("/")


# Talking to the Bot API


class ApiError(Exception):
    """A Bot API call that did not succeed: Telegram's refusal, or no answer at all
    (`status` 0), in the engine's words ("telegram: HTTP 403 Forbidden: ..."), which never hold
    the token. `retry_after` is the flood-control wait Telegram asked for, None otherwise."""

    def __init__(self, status: int, description: str, retry_after: float | None = None) -> None:
        super().__init__(description)
        self.status = status
        self.description = description
        self.retry_after = retry_after

    def __str__(self) -> str:
        return self.description


def _multipart(fields: dict[str, str], files: dict[str, tuple[str, str, bytes]]) -> tuple[bytes, str]:
    boundary = "emberscope-" + uuid.uuid4().hex
    out = bytearray()
    for name, value in fields.items():
        out += (f"--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"\r\n\r\n"
                ).encode() + value.encode("utf-8") + b"\r\n"
    for name, (filename, content_type, data) in files.items():
        out += (f"--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"; "
                f"filename=\"{filename}\"\r\nContent-Type: {content_type}\r\n\r\n").encode()
        out += data + b"\r\n"
    out += f"--{boundary}--\r\n".encode()
    return bytes(out), f"multipart/form-data; boundary={boundary}"


class TelegramApi:
    """Bot API calls over the monitor's own HTTP client (libcurl; proxies and certificates as the
    cycle's), each answer judged by the engine as every Telegram answer is; each returns the
    answer's `result`, or raises ApiError. A byte written to `cancel_fd` ends a call under way (a
    long poll, say) within a tenth of a second."""

    def __init__(self, token: str, base: str | None = None, cancel_fd: int = -1) -> None:
        self._token = token
        self.base = base or api_base()
        self.cancel_fd = cancel_fd

    def call(self, method: str, fields: dict[str, str] | None = None, *, timeout: float = SEND_TIMEOUT,
             files: dict[str, tuple[str, str, bytes]] | None = None) -> object:
        from urllib.parse import urlencode  # the parser alone: no HTTP client, no TLS

        fields = fields or {}
        if files:
            body, content_type = _multipart(fields, files)
        else:
            body = urlencode(fields).encode("ascii")
            content_type = "application/x-www-form-urlencoded"
        verdict = monitor._bot_exchange(
            f"{self.base}/bot{self._token}/{method}", body=body.decode("latin-1"),
            content_type=content_type, timeout=float(timeout), body_limit=8 << 20,
            token=self._token, cancel_fd=self.cancel_fd)
        if verdict["kind"] != "delivered":
            raise ApiError(verdict["status"], verdict["error"], verdict["retry_after"])
        return None if verdict["result"] is None else json.loads(verdict["result"])


# Answers, from the files beside the state


def _ago(seconds: float) -> str:
    seconds = max(0, int(seconds))
    if seconds < 120:
        return f"{seconds} s"
    if seconds < 7200:
        return f"{seconds // 60} min"
    if seconds < 172800:
        return f"{seconds // 3600} h"
    return f"{seconds // 86400} d"


def _hours(seconds: float) -> str:
    """A period asked for in hours, as asked: "24 h", or "30 min" below an hour."""
    return f"{seconds / 3600:g} h" if seconds >= 3600 else f"{seconds / 60:g} min"


def _days(seconds: float) -> str:
    days = seconds / 86400
    return f"{days:g} day" + ("" if days == 1 else "s")


def _fmt(raw: str) -> str:
    return monitor.format_owner_burn(raw)


def _number(raw: str) -> float | None:
    try:
        value = float(raw)
    except (TypeError, ValueError):
        return None
    return value if value == value and abs(value) != float("inf") else None


class Answers:
    """What the bot answers, read from the files beside `state_path` at `now` (UTC)."""

    def __init__(self, state_path: str, now: Callable[[], _dt.datetime] | None = None) -> None:
        self.state_path = state_path
        self._now = now or (lambda: _dt.datetime.now(_dt.timezone.utc))

    def _state(self) -> tuple[dict[str, str], str | None] | None:
        try:
            return monitor.read_state(self.state_path)
        except (OSError, ValueError, UnicodeDecodeError):
            return None

    def _changes(self, netuid: str | None = None) -> list[health.Change]:
        changes, _ = health.read_history(self.state_path)
        if netuid is not None:
            changes = [c for c in changes if c.netuid == netuid]
        return [c for c in changes if c.moment is not None]

    def help(self) -> str:
        lines = ["I answer, from what the monitor stored (no live lookup):"]
        for name, arguments, description in monitor.bot_commands():
            lines.append(f"/{name}{' ' + arguments if arguments else ''}: {description}")
        return "\n".join(lines)

    def burn(self, netuid: str) -> str:
        state = self._state()
        if state is None:
            return "No values stored yet: the monitor's first cycle records them."
        burns, updated = state
        if netuid not in burns:
            return (f"SN{netuid} is not among the {len(burns)} stored subnets"
                    + (f" (as of {updated})." if updated else "."))
        now = self._now()
        lines = [f"SN{netuid} owner burn: {_fmt(burns[netuid])}"]
        changes = self._changes(netuid)
        if changes:
            last = changes[-1]
            lines.append(f"changed {last.time_utc} ({_ago((now - last.moment).total_seconds())} ago)")
            lines.append(f"last {min(LAST_CHANGES, len(changes))} change(s):")
            for c in changes[-LAST_CHANGES:]:
                lines.append(f"{c.time_utc}  {_fmt(c.old)} → {_fmt(c.new)}")
        else:
            lines.append("no change recorded since the monitor began")
        until = health.read_mutes(self.state_path, now)
        muted = until.get(netuid) or until.get(health.ALL_SUBNETS)
        if muted:
            lines.append(f"alerts muted until {health.format_utc(muted)}")
        if updated:
            lines.append(f"values as of {updated}")
        return "\n".join(lines)

    def changes(self, seconds: float) -> str:
        now = self._now()
        since = now - _dt.timedelta(seconds=seconds)
        changes = [c for c in self._changes() if c.moment >= since]
        period = _hours(seconds)
        if not changes:
            return f"No changes in the last {period}."
        head = f"{len(changes)} change(s) in the last {period}:"
        lines = [f"{c.time_utc}  SN{c.netuid}  {_fmt(c.old)} → {_fmt(c.new)}" for c in changes]
        # The newest that fit into one message.
        kept: list[str] = []
        size = len(head) + 200
        for line in reversed(lines):
            if size + len(line) + 1 > MESSAGE_LIMIT:
                break
            kept.append(line)
            size += len(line) + 1
        kept.reverse()
        if len(kept) < len(lines):
            head += (f"\n(the oldest {len(lines) - len(kept)} left out; `emberscope history` "
                     "lists them all)")
        return "\n".join([head, *kept])

    def status(self) -> str:
        status = health.read_status(self.state_path)
        now = self._now()
        lines = []
        if status is None:
            lines.append("No cycle recorded yet.")
        else:
            verdict = health.assess(status, now)
            lines += [f"{label}: {text}" for label, text in health.describe(status, now)]
            lines.append("health: " + ("ok" if verdict.ok else "UNHEALTHY: " + "; ".join(verdict.problems)))
        lines += [f"{label}: {text}" for label, text in health.describe_mutes(self.state_path, now)]
        state = self._state()
        if state is not None:
            lines.append(f"values: {len(state[0])} subnets" + (f" as of {state[1]}" if state[1] else ""))
        return "\n".join(lines)

    def mute(self, target: str, seconds: float) -> str:
        now = self._now()
        mutes = health.read_mutes(self.state_path, now)
        until = now.replace(microsecond=0) + _dt.timedelta(seconds=seconds)
        mutes[target] = until
        health.write_mutes(self.state_path, mutes)
        who = "Every subnet" if target == health.ALL_SUBNETS else f"SN{target}"
        return (f"{who} muted until {health.format_utc(until)}: changes are still recorded, "
                "but not alerted. /unmute ends it sooner.")

    def unmute(self, target: str) -> str:
        now = self._now()
        mutes = health.read_mutes(self.state_path, now)
        if target == health.ALL_SUBNETS:
            if not mutes:
                return "Nothing is muted."
            health.write_mutes(self.state_path, {})
            return "Every mute lifted: alerts for all subnets again."
        if target not in mutes:
            still = " (every subnet is muted: /unmute all)" if health.ALL_SUBNETS in mutes else ""
            return f"SN{target} was not muted{still}."
        del mutes[target]
        health.write_mutes(self.state_path, mutes)
        return f"SN{target} unmuted: its changes are alerted again."

    def chart_points(self, netuid: str, seconds: float) -> tuple[list[list[float]], str] | str:
        """The points of SN `netuid`'s chart over the period and its caption, or the text that
        answers instead when there is nothing to draw."""
        state = self._state()
        current = state[0].get(netuid) if state else None
        changes = self._changes(netuid)
        if current is None and not changes:
            return f"No values stored for SN{netuid}."
        now = self._now()
        start = now - _dt.timedelta(seconds=seconds)
        before = [c for c in changes if c.moment < start]
        inside = [c for c in changes if c.moment >= start]
        if before:
            first = before[-1].new
        elif inside:
            first = inside[0].old
        else:
            first = current
        last = current if current is not None else changes[-1].new
        raw = [(start, first)] + [(c.moment, c.new) for c in inside] + [(now, last)]
        points = [[moment.timestamp(), value] for moment, text in raw
                  if (value := _number(text)) is not None]
        if not points:
            return f"SN{netuid}'s stored values are not numbers; nothing to draw."
        caption = f"SN{netuid} owner burn, last {_days(seconds)}: now {_fmt(last)}"
        if changes:
            caption += f" (since {changes[-1].time_utc})"
        return points, caption[:CAPTION_LIMIT]


def render_chart(title: str, points: Sequence[Sequence[float]], *, cache_dir: str | None = None,
                 timeout: float = CHART_TIMEOUT) -> bytes:
    """The PNG of the chart, drawn by a child process; RuntimeError with its reason when the
    child fails. `cache_dir` keeps the plotting library's font cache between charts when
    MPLCONFIGDIR is not set (a service user's home may not be writable; without a cache each
    chart would rebuild it, seconds each time)."""
    document = json.dumps({"title": title, "points": [list(p) for p in points]})
    env = {**os.environ, "MPLBACKEND": "Agg"}
    if cache_dir and not env.get("MPLCONFIGDIR"):
        env["MPLCONFIGDIR"] = cache_dir
    with tempfile.TemporaryDirectory(prefix="emberscope-chart-") as folder:
        out = os.path.join(folder, "chart.png")
        done = subprocess.run([sys.executable, "-m", "bittensor_emberscope.chart", out],
                              input=document, capture_output=True, text=True, timeout=timeout,
                              env=env)
        if done.returncode != 0:
            reason = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
            raise RuntimeError(f"the chart could not be drawn: {reason}")
        with open(out, "rb") as f:
            return f.read()


# The bot


# How long close() waits for the poller to end.
CLOSE_WAIT = 2.0


class Bot:
    """The bot of one `watch` process. `start()` begins polling in the background; the poller
    calls `wake()` when the main thread has something to do, which then calls `serve()` (and
    again when `due()` says a held answer is due); `close()` ends polling."""

    def __init__(self, *, token: str, chats: Sequence[str], users: Sequence[str], state_path: str,
                 say: Callable[[str], None], base: str | None = None,
                 poll_seconds: int = POLL_SECONDS, verbose: bool = False,
                 wake: Callable[[], None] | None = None) -> None:
        self.api = TelegramApi(token, base)
        self.chats = [c for c in chats if c]
        self.users = list(users)
        self.state_path = state_path
        self.answers = Answers(state_path)
        self.say = say
        self.poll_seconds = poll_seconds
        self.verbose = verbose
        self._wake = wake or (lambda: None)
        self.name: str | None = None
        self._offset_path = health.bot_offset_path(state_path)
        self._chart_cache = os.path.join(os.path.dirname(os.path.abspath(state_path)),
                                         "chart-cache")
        self._offset = 0
        self._inbox: queue.Queue[list[dict]] = queue.Queue(maxsize=1)
        self._handled = threading.Event()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._cancel: tuple[int, int] = (-1, -1)
        self._note: str | None = None      # what the status file should say; set by the poller
        self._noted: str | None = None     # what it says
        self._held: list[tuple[float, str, str, dict, dict | None]] = []
        self._blocked_until: dict[str, float] = {}
        self._offset_failed = False

    # Life cycle

    def start(self) -> None:
        self._offset = monitor.bot_load_offset(self._offset_path)
        # A byte in this pipe ends the poller's exchange under way: close() does not wait out
        # a long poll, and the process never exits while libcurl is inside a TLS exchange.
        self._cancel = os.pipe()
        self.api.cancel_fd = self._cancel[0]
        self._thread = threading.Thread(target=self._poll, name="emberscope-bot", daemon=True)
        self._thread.start()

    def close(self) -> None:
        """End polling; the status file no longer claims the bot answers."""
        self._stop.set()
        self._handled.set()
        if self._thread is not None:
            os.write(self._cancel[1], b"x")  # ends a long poll under way
            self._thread.join(CLOSE_WAIT)
            if not self._thread.is_alive():
                for fd in self._cancel:
                    os.close(fd)
        if self._noted:
            try:
                health.record_bot(self.state_path, None)
            except OSError:
                pass

    # The poller thread

    def _poll(self) -> None:
        failing: str | None = None  # the kind of the failure under way, said once
        retry = RETRY_FIRST
        while not self._stop.is_set():
            try:
                if self.name is None:
                    self._introduce()
                updates = self.api.call("getUpdates", {
                    "offset": str(self._offset), "timeout": str(self.poll_seconds),
                    "allowed_updates": json.dumps(["message"])}, timeout=self.poll_seconds + 15)
            except ApiError as e:
                if self._stop.is_set():
                    return
                conflict = e.status == 409
                kind = "conflict" if conflict else f"{e.status}"
                wait = CONFLICT_RETRY if conflict else retry
                if failing != kind:
                    if conflict:
                        self.say(f"[bot] not answering commands: {e} (another program reads "
                                 "this bot's updates, or a webhook is set); alerts continue; "
                                 f"asking again every {CONFLICT_RETRY:g} s")
                    else:
                        self.say(f"[bot] not answering commands: {e}; alerts continue; asking "
                                 "again later")
                    self._note = f"not answering: {e} (since {_stamp()})"
                    self._wake()
                failing = kind
                retry = min(retry * 2, RETRY_LAST)
                self._stop.wait(wait)
                continue
            except Exception as e:  # an answer that is not what the Bot API sends
                if failing != "odd":
                    self.say(f"[bot] not answering commands: {type(e).__name__}: {e}")
                failing = "odd"
                self._stop.wait(retry)
                retry = min(retry * 2, RETRY_LAST)
                continue
            if failing is not None:
                self.say(f"[bot] answering commands again as @{self.name}")
                self._note = f"answering as @{self.name}"
                self._wake()
                failing, retry = None, RETRY_FIRST
            batch = [u for u in updates if isinstance(u, dict)] if isinstance(updates, list) else []
            if updates and not batch:
                self._stop.wait(RETRY_FIRST)  # nothing usable came back at once: no busy loop
            if batch:
                self._handled.clear()
                self._inbox.put(batch)
                self._wake()
                while not self._handled.wait(1.0):
                    if self._stop.is_set():
                        return

    def _introduce(self) -> None:
        me = self.api.call("getMe")
        name = me.get("username") if isinstance(me, dict) else None
        if not isinstance(name, str) or not name:
            raise ApiError(0, "getMe gave no user name")
        commands = [{"command": n, "description": d} for n, _, d in monitor.bot_commands()]
        try:
            self.api.call("setMyCommands", {"commands": json.dumps(commands)})
        except ApiError as e:
            if self._stop.is_set():
                return  # closing cancelled the call: nothing went wrong
            self.say(f"[bot] the command menu was not set: {e}")
        self.name = name
        self._note = f"answering as @{name}"
        self._wake()
        if self.verbose:
            self.say(f"[bot] answering commands as @{name} in {len(self.chats)} chat(s)"
                     + (f" and from {len(self.users)} user(s)" if self.users else ""))

    # The main thread

    def serve(self) -> float:
        """Answer what has arrived and what flood control held back; the seconds it took."""
        began = time.monotonic()
        if self._note != self._noted:
            note = self._note
            try:
                health.record_bot(self.state_path, note)
                self._noted = note
            except OSError as e:
                self._noted = note
                self.say(f"[bot] cannot record the bot's state: {e.strerror or e}")
        self._send_held()
        try:
            batch = self._inbox.get_nowait()
        except queue.Empty:
            return time.monotonic() - began
        try:
            for update in batch:
                try:
                    self._answer(update)
                except Exception as e:  # never a reason to stop watching
                    self.say(f"[bot] an update was not answered: {type(e).__name__}: {e}")
                update_id = update.get("update_id")
                if isinstance(update_id, int) and not isinstance(update_id, bool):
                    self._offset = max(self._offset, update_id + 1)
                    self._save_offset()
        finally:
            self._handled.set()
        return time.monotonic() - began

    def due(self) -> float | None:
        """Seconds until an answer held back by flood control is due, None without one."""
        if not self._held:
            return None
        return min(h[0] for h in self._held) - time.monotonic()

    def _save_offset(self) -> None:
        try:
            monitor.bot_save_offset(self._offset_path, self._offset)
            self._offset_failed = False
        except OSError as e:
            if not self._offset_failed:
                self.say(f"[bot] cannot write {self._offset_path}: {e.strerror or e}; a restart "
                         "may answer some commands again")
            self._offset_failed = True

    def _answer(self, update: dict) -> None:
        message = update.get("message")
        if not isinstance(message, dict) or not isinstance(message.get("text"), str):
            return
        chat = message.get("chat") if isinstance(message.get("chat"), dict) else {}
        sender = message.get("from") if isinstance(message.get("from"), dict) else {}
        parsed = monitor.bot_parse(message["text"], self.name or "")
        if parsed["kind"] == "ignored":
            return
        chat_id = str(chat.get("id", ""))
        allowed = monitor.bot_allowed(
            chats=self.chats, users=self.users, chat_id=chat_id,
            chat_username=str(chat.get("username") or ""), user_id=str(sender.get("id", "")))
        if not allowed or not chat_id or not monitor.bot_admit(chat_id, time.monotonic()):
            return
        extra = {}
        if isinstance(message.get("message_thread_id"), int):
            extra["message_thread_id"] = str(message["message_thread_id"])
        if parsed["kind"] == "usage":
            self._send(chat_id, "sendMessage", {"text": parsed["usage"], **extra})
            return
        name, netuid, seconds = parsed["name"], parsed["netuid"], parsed["period_seconds"]
        try:
            if name == "chart":
                drawn = self.answers.chart_points(netuid, seconds)
                if isinstance(drawn, str):
                    text = drawn
                else:
                    points, caption = drawn
                    png = render_chart(f"SN{netuid} owner burn, last {_days(seconds)}", points,
                                       cache_dir=self._chart_cache)
                    self._send(chat_id, "sendPhoto", {"caption": caption, **extra},
                               {"photo": (f"sn{netuid}.png", "image/png", png)})
                    return
            elif name == "burn":
                text = self.answers.burn(netuid)
            elif name == "changes":
                text = self.answers.changes(seconds)
            elif name == "status":
                text = self.answers.status()
            elif name == "mute":
                text = self.answers.mute(netuid, seconds)
            elif name == "unmute":
                text = self.answers.unmute(netuid)
            else:
                text = self.answers.help()
        except (OSError, RuntimeError, subprocess.TimeoutExpired) as e:
            self.say(f"[bot] /{name} failed: {e}")
            text = f"Sorry, /{name} failed: {e}"
        except Exception as e:  # a fault of the bot's own: the monitor carries on
            self.say(f"[bot] /{name} failed: {type(e).__name__}: {e}")
            text = f"Sorry, /{name} failed."
        self._send(chat_id, "sendMessage", {"text": text[:MESSAGE_LIMIT], **extra})

    def _send(self, chat_id: str, method: str, fields: dict, files: dict | None = None) -> None:
        if time.monotonic() < self._blocked_until.get(chat_id, 0):
            self._hold(self._blocked_until[chat_id], chat_id, method, fields, files)
            return
        try:
            self.api.call(method, {"chat_id": chat_id, **fields}, files=files)
        except ApiError as e:
            if e.retry_after is not None:  # flood control
                until = time.monotonic() + e.retry_after
                self._blocked_until[chat_id] = until
                self._hold(until, chat_id, method, fields, files)
            else:
                self.say(f"[bot] the answer to chat {chat_id} was not delivered: {e}")

    def _hold(self, until: float, chat_id: str, method: str, fields: dict, files: dict | None) -> None:
        if len(self._held) >= HELD_ANSWERS_MAX:
            self.say(f"[bot] flood control: an answer to chat {chat_id} dropped")
            return
        self._held.append((until, chat_id, method, fields, files))

    def _send_held(self) -> None:
        now = time.monotonic()
        due = [h for h in self._held if h[0] <= now]
        if not due:
            return
        self._held = [h for h in self._held if h[0] > now]
        for _, chat_id, method, fields, files in due:
            self._send(chat_id, method, fields, files)


def _stamp() -> str:
    return health.format_utc(_dt.datetime.now(_dt.timezone.utc))


def allowed_users(flag_values: Sequence[str] | None) -> list[str]:
    """User ids from --bot-allow-user (repeatable, each may hold a comma-separated list), else
    EMBERSCOPE_BOT_ALLOW_USERS; ValueError naming one that is not a user id."""
    if flag_values:
        origin, texts = "--bot-allow-user", list(flag_values)
    else:
        origin, texts = "EMBERSCOPE_BOT_ALLOW_USERS", [os.environ.get("EMBERSCOPE_BOT_ALLOW_USERS", "")]
    users: list[str] = []
    for text in texts:
        try:
            users += monitor.bot_user_ids(text)
        except ValueError as e:
            raise ValueError(f"{origin}: {e}") from None
    return users


# `emberscope chats`


def seen_chats(token: str, base: str | None = None) -> list[dict]:
    """The chats of the updates Telegram holds for the bot, without confirming any:
    [{"id", "type", "title"}], in order of first appearance. ApiError when getUpdates fails."""
    updates = TelegramApi(token, base).call("getUpdates", {"timeout": "0"}, timeout=SEND_TIMEOUT)
    chats: dict[str, dict] = {}
    for update in updates if isinstance(updates, list) else []:
        if not isinstance(update, dict):
            continue
        for kind in ("message", "edited_message", "channel_post", "edited_channel_post",
                     "my_chat_member"):
            chat = update.get(kind, {}).get("chat") if isinstance(update.get(kind), dict) else None
            if isinstance(chat, dict) and "id" in chat:
                title = chat.get("title") or " ".join(
                    str(chat[k]) for k in ("first_name", "last_name") if chat.get(k)) or ""
                if chat.get("username"):
                    title = (title + " " if title else "") + "@" + str(chat["username"])
                chats.setdefault(str(chat["id"]), {"id": str(chat["id"]),
                                                   "type": str(chat.get("type", "")),
                                                   "title": title})
    return list(chats.values())
