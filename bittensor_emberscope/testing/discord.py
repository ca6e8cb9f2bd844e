"""Loopback stand-ins for Discord webhooks and for an operator's own webhook receiver.

`DiscordStandIn` serves POST /api/webhooks/<id>/<token> as Discord documents it: with
`?wait=true` the answer is the created message (200), without it 204; a hook that was deleted
answers 404 {"message": "Unknown Webhook", "code": 10015}, a wrong token 401
{"message": "Invalid Webhook Token", "code": 50027}; an empty or over-long content 400.
`rate_limited` builds a 429 as Discord sends it (a float `retry_after`, `global`, the
X-RateLimit-* headers).

`WebhookReceiver` accepts JSON bodies whose X-Emberscope-Signature is the HMAC-SHA256 of the
body under its key (401 otherwise) and keeps them parsed, in order.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import re
import urllib.parse

from . import Answer, Recorded, StandIn

__all__ = ["DiscordStandIn", "WebhookReceiver"]

_HOOK = re.compile(r"/api/webhooks/(\d+)/([A-Za-z0-9_-]+)")
MAX_CONTENT = 2000


class DiscordStandIn(StandIn):
    """Discord's webhook endpoint on 127.0.0.1, for hooks registered with `add_hook`."""

    def __init__(self) -> None:
        self._hooks: dict[str, str] = {}
        self._posted: list[dict] = []
        self._next_id = 1180000000000000000
        super().__init__()

    def add_hook(self, hook_id: str, token: str) -> str:
        """Registers a hook; its URL."""
        with self._lock:
            self._hooks[hook_id] = token
        return f"{self.base_url}/api/webhooks/{hook_id}/{token}"

    def delete_hook(self, hook_id: str) -> None:
        with self._lock:
            self._hooks.pop(hook_id, None)

    @property
    def posted(self) -> list[dict]:
        """The messages created, in order: the request's JSON body and its query fields."""
        with self._lock:
            return list(self._posted)

    @staticmethod
    def rate_limited(retry_after: float = 0.75, is_global: bool = False,
                     scope: str = "user") -> Answer:
        headers = [("Retry-After", str(max(1, round(retry_after)))),
                   ("X-RateLimit-Limit", "5"), ("X-RateLimit-Remaining", "0"),
                   ("X-RateLimit-Reset-After", f"{retry_after:.3f}"),
                   ("X-RateLimit-Bucket", "abcd1234"), ("X-RateLimit-Scope", scope)]
        if is_global:
            headers.append(("X-RateLimit-Global", "true"))
        body = {"message": "You are being rate limited.", "retry_after": retry_after,
                "global": is_global}
        return Answer(429, body=json.dumps(body).encode("utf-8"),
                      headers=[("Content-Type", "application/json"), *headers])

    def _default_answer(self, rec: Recorded) -> Answer:
        match = _HOOK.fullmatch(rec.path)
        if rec.method != "POST" or not match:
            return Answer.json({"message": "404: Not Found", "code": 0}, status=404)
        hook_id, token = match.groups()
        with self._lock:
            known = self._hooks.get(hook_id)
        if known is None:
            return Answer.json({"message": "Unknown Webhook", "code": 10015}, status=404)
        if known != token:
            return Answer.json({"message": "Invalid Webhook Token", "code": 50027}, status=401)
        try:
            body = json.loads(rec.body)
        except ValueError:
            return Answer.json({"message": "Cannot send an empty message", "code": 50006}, status=400)
        content = body.get("content") if isinstance(body, dict) else None
        if not content:
            return Answer.json({"message": "Cannot send an empty message", "code": 50006}, status=400)
        if len(content) > MAX_CONTENT:
            return Answer.json({"message": "Invalid Form Body", "code": 50035, "errors": {
                "content": {"_errors": [{"code": "BASE_TYPE_MAX_LENGTH",
                                         "message": "Must be 2000 or fewer in length."}]}}},
                               status=400)
        query = dict(urllib.parse.parse_qsl(rec.query))
        with self._lock:
            self._next_id += 1
            message = {"id": str(self._next_id), "type": 0, "content": content,
                       "channel_id": query.get("thread_id", "1100000000000000001"),
                       "webhook_id": hook_id, "flags": body.get("flags", 0)}
            self._posted.append({"body": body, "query": query})
        if query.get("wait") == "true":
            return Answer.json(message)
        return Answer(status=204, body=None)


class WebhookReceiver(StandIn):
    """An operator's receiver that checks the signature of every body under `key`."""

    def __init__(self, key: str | None = None) -> None:
        self.key = key
        self._bodies: list[dict] = []
        super().__init__()

    @property
    def url(self) -> str:
        return f"{self.base_url}/hook"

    @property
    def bodies(self) -> list[dict]:
        """The accepted bodies, parsed, in order."""
        with self._lock:
            return list(self._bodies)

    def signature_of(self, body: bytes) -> str:
        return "sha256=" + hmac.new(self.key.encode(), body, hashlib.sha256).hexdigest()

    def _default_answer(self, rec: Recorded) -> Answer:
        if rec.method != "POST" or rec.path != "/hook":
            return Answer.text("not found", status=404)
        if self.key is not None and not hmac.compare_digest(
                rec.header("X-Emberscope-Signature") or "", self.signature_of(rec.body)):
            return Answer.text("bad signature", status=401)
        if (rec.header("Content-Type") or "") != "application/json":
            return Answer.text("not JSON", status=415)
        with self._lock:
            self._bodies.append(json.loads(rec.body))
        return Answer(status=204, body=None)
