"""A loopback stand-in for the Telegram Bot API's sendMessage method.

Serves /bot<token>/sendMessage at `base_url`, the way a self-hosted Bot API server
does at its own origin. The default answer accepts the message like Telegram does,
or refuses it with Telegram's own description when the chat id or text is empty or
the text is too long.
"""

from __future__ import annotations

import re
import time
import urllib.parse

from . import Answer, Recorded, StandIn, TelegramRecorded

__all__ = ["TelegramStandIn", "Answer", "TelegramRecorded", "FALLBACK_CHAT_ID"]

_PREFIX, _SUFFIX = "/bot", "/sendMessage"
FALLBACK_CHAT_ID = -1001234567890  # reported for a chat given by @name


def _form(text: str) -> list[tuple[str, str]]:
    return urllib.parse.parse_qsl(text, keep_blank_values=True)


class TelegramStandIn(StandIn):
    """Telegram Bot API on 127.0.0.1.

    With `token`, requests for any other token get 401 "Unauthorized". Texts longer
    than `max_text_length` code points are refused (None accepts any length).
    Unknown paths get 404 "Not Found".
    """

    def __init__(self, token: str | None = None, max_text_length: int | None = 4096,
                 keep_alive: bool = False) -> None:
        self.token = token
        self.max_text_length = max_text_length
        self._accepted: list[str] = []
        super().__init__(keep_alive=keep_alive)

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

    def send_message_url(self, token: str) -> str:
        return f"{self.base_url}{_PREFIX}{token}{_SUFFIX}"

    def _record(self, method: str, path: str, query: str,
                headers: list[tuple[str, str]], body: bytes) -> Recorded:
        token = None
        if path.startswith(_PREFIX) and path.endswith(_SUFFIX) and len(path) > len(_PREFIX) + len(_SUFFIX):
            token = path[len(_PREFIX):-len(_SUFFIX)]
        # The Bot API takes its fields from the query as well as from a form body.
        form = _form(query) + _form(body.decode("utf-8", "replace"))
        text = next((value for name, value in form if name == "text"), None)
        return TelegramRecorded(method, path, query, headers, body, token, form, text)

    def _default_answer(self, rec: TelegramRecorded) -> Answer:
        if rec.token is None:
            return Answer.telegram_error(404, "Not Found")
        if self.token is not None and rec.token != self.token:
            return Answer.telegram_error(401, "Unauthorized")
        fields = dict(reversed(rec.form))  # the first occurrence of a name wins
        chat_id, text = fields.get("chat_id", ""), fields.get("text", "")
        if not chat_id:
            return Answer.telegram_error(400, "Bad Request: chat_id is empty")
        if not text:
            return Answer.telegram_error(400, "Bad Request: message text is empty")
        if self.max_text_length is not None and len(text) > self.max_text_length:
            return Answer.telegram_error(400, "Bad Request: message is too long")
        with self._lock:
            self._accepted.append(text)
            message_id = len(self._accepted)
        numeric = re.fullmatch(r"-?[0-9]+", chat_id)
        chat = {"id": int(chat_id) if numeric else FALLBACK_CHAT_ID,
                "type": "supergroup", "title": "emberscope"}
        result = {"message_id": message_id, "date": int(time.time()), "chat": chat, "text": text}
        return Answer.json({"ok": True, "result": result})
