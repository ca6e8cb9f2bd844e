"""A loopback stand-in for the Telegram Bot API: sending messages and pictures, and a bot's
side of receiving commands.

Serves /bot<token>/<method> at `base_url`, the way a self-hosted Bot API server does at its own
origin. The default answers accept a message like Telegram does, or refuse it with Telegram's
own description when the chat id or text is empty or the text is too long.

`getMe`, `setMyCommands`, `getUpdates` and `deleteWebhook` are a bot's own background calls:
they are answered aside (kept out of `requests` and of the scripted answers, recorded in
`bot_calls`) so that a bot polling in the background never takes an answer scripted for a
message. `getUpdates` is a long poll: it returns as soon as an update waits at or past the
offset, or after `timeout` seconds with none. With `updates=False` these methods answer 404
"Not Found", as for a bot API without them. `sendPhoto` reads its multipart body.
"""

from __future__ import annotations

import email.parser
import email.policy
import json
import re
import threading
import time
import urllib.parse

from . import Answer, Recorded, StandIn, TelegramRecorded

__all__ = ["TelegramStandIn", "Answer", "TelegramRecorded", "FALLBACK_CHAT_ID"]

_PATH = re.compile(r"/bot([^/]+)/([A-Za-z]+)")
FALLBACK_CHAT_ID = -1001234567890  # reported for a chat given by @name
BOT_METHODS = ("getMe", "setMyCommands", "getUpdates", "deleteWebhook")
CONFLICT_POLLER = "Conflict: terminated by other getUpdates request; make sure that only one bot instance is running"
CONFLICT_WEBHOOK = ("Conflict: can't use getUpdates method while webhook is active; use "
                    "deleteWebhook to delete the webhook first")
_COMMAND_NAME = re.compile(r"[a-z0-9_]{1,32}")


def _form(text: str) -> list[tuple[str, str]]:
    return urllib.parse.parse_qsl(text, keep_blank_values=True)


def _multipart(content_type: str, body: bytes) -> tuple[list[tuple[str, str]], dict]:
    """The text fields and the files ({name: (filename, bytes)}) of a multipart/form-data body."""
    head = f"Content-Type: {content_type}\r\nMIME-Version: 1.0\r\n\r\n".encode("latin-1")
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
    fields, files = [], {}
    if not message.is_multipart():
        return fields, files
    for part in message.iter_parts():
        name = part.get_param("name", header="content-disposition")
        if name is None:
            continue
        payload = part.get_payload(decode=True) or b""
        filename = part.get_filename()
        if filename is not None:
            files[name] = (filename, payload)
        else:
            fields.append((name, payload.decode("utf-8", "replace")))
    return fields, files


class TelegramStandIn(StandIn):
    """Telegram Bot API on 127.0.0.1.

    With `token`, requests for any other token get 401 "Unauthorized". Texts longer
    than `max_text_length` code points are refused (None accepts any length).
    Unknown paths get 404 "Not Found". `bot_username` is what getMe answers.
    """

    def __init__(self, token: str | None = None, max_text_length: int | None = 4096,
                 updates: bool = True, bot_username: str = "emberscope_bot") -> None:
        self.token = token
        self.max_text_length = max_text_length
        self.updates = updates
        self.bot_username = bot_username
        # Set by a test: getUpdates answers 409 as for a second poller, or a webhook.
        self.conflict: str | None = None
        self.commands: list[dict] | None = None
        self._accepted: list[str] = []
        self._photos: list[dict] = []
        self._pending: list[dict] = []  # updates not yet confirmed by an offset past them
        self._next_update_id = 500_000_001
        self._bot_calls: list[tuple[str, dict[str, str]]] = []
        self._aside_answers: list[Answer] = []
        super().__init__()

    @property
    def messages(self) -> list[str]:
        """Texts of the messages that the default answer accepted, in order."""
        with self._lock:
            return list(self._accepted)

    def take_messages(self) -> list[str]:
        """The accepted texts not yet taken, in order; they are then forgotten (a long soak keeps
        its memory flat this way)."""
        with self._lock:
            taken, self._accepted = self._accepted, []
            return taken

    @property
    def photos(self) -> list[dict]:
        """Pictures accepted by sendPhoto: {"chat_id", "caption", "filename", "data"}, in order."""
        with self._lock:
            return list(self._photos)

    def take_photos(self) -> list[dict]:
        """The accepted pictures not yet taken; they are then forgotten."""
        with self._lock:
            taken, self._photos = self._photos, []
            return taken

    @property
    def bot_calls(self) -> list[tuple[str, dict[str, str]]]:
        """The bot's background calls as (method, fields), in arrival order."""
        with self._lock:
            return list(self._bot_calls)

    def script_aside(self, *answers: Answer) -> None:
        """Queue answers for the next background calls (getMe, getUpdates, ...)."""
        with self._lock:
            self._aside_answers.extend(answers)

    def send_message_url(self, token: str) -> str:
        return f"{self.base_url}/bot{token}/sendMessage"

    def push_message(self, text: str, *, chat_id: int = -1001, user_id: int | None = 42,
                     chat_type: str = "supergroup", chat_username: str | None = None,
                     thread_id: int | None = None) -> int:
        """A message from a user, for the bot's next getUpdates; its update_id."""
        chat: dict = {"id": chat_id, "type": chat_type}
        if chat_type == "private":
            chat["first_name"] = "Operator"
        else:
            chat["title"] = f"chat {chat_id}"
        if chat_username:
            chat["username"] = chat_username
        message: dict = {"message_id": 1, "date": int(time.time()), "chat": chat, "text": text}
        if user_id is not None:
            message["from"] = {"id": user_id, "is_bot": False, "first_name": "Operator"}
        if thread_id is not None:
            message["message_thread_id"] = thread_id
        return self.push_update({"message": message})

    def push_update(self, update: dict) -> int:
        with self._lock:
            update_id = self._next_update_id
            self._next_update_id += 1
            self._pending.append({"update_id": update_id, **update})
            self._lock.notify_all()
            return update_id

    @property
    def pending_updates(self) -> int:
        """Updates no getUpdates has confirmed yet."""
        with self._lock:
            return len(self._pending)

    def _record(self, method: str, path: str, query: str,
                headers: list[tuple[str, str]], body: bytes) -> Recorded:
        token, api_method = None, ""
        match = _PATH.fullmatch(path)
        if match:
            token, api_method = match.group(1), match.group(2)
        content_type = next((v for k, v in headers if k.lower() == "content-type"), "")
        files: dict = {}
        if content_type.startswith("multipart/form-data"):
            fields, files = _multipart(content_type, body)
            form = _form(query) + fields
        else:
            # The Bot API takes its fields from the query as well as from a form body.
            form = _form(query) + _form(body.decode("utf-8", "replace"))
        text = next((value for name, value in form if name == "text"), None)
        return TelegramRecorded(method, path, query, headers, body, token, form, text,
                                api_method, files)

    # The bot's background calls

    def _answer_aside(self, rec: TelegramRecorded) -> Answer | None:
        if rec.api_method not in BOT_METHODS:
            return None
        fields = dict(reversed(rec.form))
        with self._lock:
            self._bot_calls.append((rec.api_method, fields))
            self._lock.notify_all()
            scripted = self._aside_answers.pop(0) if self._aside_answers else None
        if scripted is not None:
            return scripted
        if not self.updates:
            return Answer.telegram_error(404, "Not Found")
        if self.token is not None and rec.token != self.token:
            return Answer.telegram_error(401, "Unauthorized")
        if rec.api_method == "getMe":
            return Answer.json({"ok": True, "result": {
                "id": 7000001, "is_bot": True, "first_name": "emberscope",
                "username": self.bot_username, "can_join_groups": True,
                "can_read_all_group_messages": False, "supports_inline_queries": False}})
        if rec.api_method == "setMyCommands":
            return self._set_commands(fields)
        if rec.api_method == "deleteWebhook":
            return Answer.json({"ok": True, "result": True, "description": "Webhook is already deleted"})
        return self._get_updates(fields)

    def _set_commands(self, fields: dict[str, str]) -> Answer:
        try:
            commands = json.loads(fields.get("commands", ""))
        except ValueError:
            return Answer.telegram_error(400, "Bad Request: can't parse commands JSON object")
        if not isinstance(commands, list) or len(commands) > 100:
            return Answer.telegram_error(400, "Bad Request: too many commands specified")
        for c in commands:
            if not isinstance(c, dict) or not _COMMAND_NAME.fullmatch(str(c.get("command", ""))):
                return Answer.telegram_error(400, "Bad Request: BOT_COMMAND_INVALID")
            if not 1 <= len(str(c.get("description", ""))) <= 256:
                return Answer.telegram_error(400, "Bad Request: command description is empty")
        with self._lock:
            self.commands = commands
        return Answer.json({"ok": True, "result": True})

    def _get_updates(self, fields: dict[str, str]) -> Answer:
        if self.conflict is not None:
            return Answer.telegram_error(409, self.conflict)
        try:
            offset = int(fields.get("offset", "0") or 0)
            timeout = max(0.0, float(fields.get("timeout", "0") or 0))
            allowed = json.loads(fields.get("allowed_updates", "null"))
        except ValueError:
            return Answer.telegram_error(400, "Bad Request: wrong parameter")
        deadline = time.monotonic() + timeout
        with self._lock:
            if offset:
                # An offset confirms every update before it: they are gone for good.
                self._pending = [u for u in self._pending if u["update_id"] >= offset]
            while True:
                ready = [u for u in self._pending
                         if allowed is None or any(kind in u for kind in allowed)]
                left = deadline - time.monotonic()
                if ready or left <= 0 or self._closing.is_set():
                    break
                self._lock.wait(min(left, 0.1))
        return Answer.json({"ok": True, "result": ready[:100]})

    # Sending

    def _default_answer(self, rec: TelegramRecorded) -> Answer:
        if rec.token is None or rec.api_method not in ("sendMessage", "sendPhoto"):
            return Answer.telegram_error(404, "Not Found")
        if self.token is not None and rec.token != self.token:
            return Answer.telegram_error(401, "Unauthorized")
        fields = dict(reversed(rec.form))  # the first occurrence of a name wins
        chat_id = fields.get("chat_id", "")
        if not chat_id:
            return Answer.telegram_error(400, "Bad Request: chat_id is empty")
        if rec.api_method == "sendPhoto":
            return self._send_photo(rec, chat_id, fields)
        text = fields.get("text", "")
        if not text:
            return Answer.telegram_error(400, "Bad Request: message text is empty")
        if self.max_text_length is not None and len(text) > self.max_text_length:
            return Answer.telegram_error(400, "Bad Request: message is too long")
        with self._lock:
            self._accepted.append(text)
            message_id = len(self._accepted)
        result = {"message_id": message_id, "date": int(time.time()), "chat": self._chat(chat_id),
                  "text": text}
        return Answer.json({"ok": True, "result": result})

    def _send_photo(self, rec: TelegramRecorded, chat_id: str, fields: dict[str, str]) -> Answer:
        if "photo" not in rec.files:
            return Answer.telegram_error(400, "Bad Request: there is no photo in the request")
        filename, data = rec.files["photo"]
        if not data:
            return Answer.telegram_error(400, "Bad Request: file must be non-empty")
        if len(data) > 10 * 1024 * 1024:
            return Answer.telegram_error(400, "Bad Request: file is too big")
        caption = fields.get("caption", "")
        if len(caption) > 1024:
            return Answer.telegram_error(400, "Bad Request: message caption is too long")
        with self._lock:
            self._photos.append({"chat_id": chat_id, "caption": caption, "filename": filename,
                                 "data": data})
            message_id = 10_000 + len(self._photos)
        result = {"message_id": message_id, "date": int(time.time()), "chat": self._chat(chat_id),
                  "photo": [{"file_id": f"photo-{message_id}", "width": 1000, "height": 500}],
                  "caption": caption}
        return Answer.json({"ok": True, "result": result})

    @staticmethod
    def _chat(chat_id: str) -> dict:
        numeric = re.fullmatch(r"-?[0-9]+", chat_id)
        return {"id": int(chat_id) if numeric else FALLBACK_CHAT_ID,
                "type": "supergroup", "title": "emberscope"}
