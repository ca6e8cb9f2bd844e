"""Loopback stand-ins for the services the monitor talks to.

Each stand-in is a small HTTP server on 127.0.0.1 with an ephemeral port, run in a
daemon thread. It records every request it receives and answers either with a
scripted `Answer` (one per request, in the order queued) or with its own realistic
default. Use it as a context manager::

    with TaostatsStandIn() as api:
        api.script(Answer.text("Rate Limited", 429))
        ... point the client at api.base_url ...
        assert api.requests[0].query == "limit=1024&order=netuid_asc"

Only the standard library is used, so the stand-ins run wherever the package does.
"""

from __future__ import annotations

import collections
import dataclasses
import http
import http.server
import json
import socketserver
import threading
from collections.abc import Mapping, Sequence

__all__ = [
    "Answer",
    "Recorded",
    "StandIn",
    "TaostatsStandIn",
    "TelegramRecorded",
    "TelegramStandIn",
    "odd_rows",
    "realistic_rows",
]


def _phrase(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Unknown"


@dataclasses.dataclass(frozen=True)
class Answer:
    """One scripted answer.

    `reason` replaces the reason phrase of the status line; `body` is sent as-is
    (None sends no body and no Content-Length, b"" an empty body with
    Content-Length 0); `headers` are sent in order after the status line; `delay`
    waits that many seconds first; `drop` closes the connection without a status
    line; `hang` never answers and closes the connection only when the stand-in
    closes; `drip` sends the body one byte at a time, that many seconds apart (a
    server that keeps every single wait short but the exchange endless); `cut`
    sends the headers (Content-Length announcing the whole body) and only the first
    `cut` bytes of the body, then closes the connection.
    """

    status: int = 200
    reason: str | None = None
    body: bytes | None = b""
    headers: Mapping[str, str] | Sequence[tuple[str, str]] | None = None
    delay: float = 0.0
    drop: bool = False
    hang: bool = False
    drip: float = 0.0
    cut: int | None = None

    @classmethod
    def json(cls, obj: object, status: int = 200, **kw) -> Answer:
        """A JSON body made by json.dumps, with an application/json content type."""
        body = json.dumps(obj).encode("utf-8")
        return cls(status, body=body, headers=[("Content-Type", "application/json")], **kw)

    @classmethod
    def text(cls, text: str, status: int = 200, **kw) -> Answer:
        """A plain UTF-8 text body."""
        headers = [("Content-Type", "text/plain; charset=utf-8")]
        return cls(status, body=text.encode("utf-8"), headers=headers, **kw)

    @classmethod
    def html(cls, status: int = 502, **kw) -> Answer:
        """The kind of HTML error page a proxy in front of an API serves."""
        line = f"{status} {_phrase(status)}"
        page = (f"<html>\r\n<head><title>{line}</title></head>\r\n<body>\r\n"
                f"<center><h1>{line}</h1></center>\r\n<hr><center>nginx</center>\r\n"
                "</body>\r\n</html>\r\n")
        headers = [("Content-Type", "text/html")]
        return cls(status, body=page.encode("ascii"), headers=headers, **kw)

    @classmethod
    def rate_limited(cls, **kw) -> Answer:
        """A 429 whose JSON message names the rate limit, as the Taostats API sends it."""
        return cls.json({"message": "Rate Limited"}, 429, **kw)

    @classmethod
    def telegram_error(cls, error_code: int, description: str, **kw) -> Answer:
        """A Bot API failure: the status is the error code, the body its JSON record."""
        body = {"ok": False, "error_code": error_code, "description": description}
        return cls.json(body, error_code, **kw)

    @classmethod
    def flood(cls, retry_after: int = 41, header: bool = True, in_body: bool = True,
              **kw) -> Answer:
        """The Bot API's flood-control answer: the wait in "parameters" and, as the official
        server sends it, in a Retry-After header."""
        body: dict = {"ok": False, "error_code": 429,
                      "description": f"Too Many Requests: retry after {retry_after}"}
        if in_body:
            body["parameters"] = {"retry_after": retry_after}
        headers = [("Content-Type", "application/json")]
        if header:
            headers.append(("Retry-After", str(retry_after)))
        return cls(429, body=json.dumps(body).encode("utf-8"), headers=headers, **kw)

    @classmethod
    def migrated(cls, new_chat_id: int = -1001234567890, **kw) -> Answer:
        """The answer for a group upgraded to a supergroup: the chat lives on as `new_chat_id`."""
        body = {"ok": False, "error_code": 400,
                "description": "Bad Request: group chat was upgraded to a supergroup chat",
                "parameters": {"migrate_to_chat_id": new_chat_id}}
        return cls.json(body, 400, **kw)

    def header_pairs(self) -> list[tuple[str, str]]:
        if self.headers is None:
            return []
        if isinstance(self.headers, Mapping):
            return list(self.headers.items())
        return list(self.headers)


@dataclasses.dataclass(frozen=True)
class Recorded:
    """One request as received: `path` and `query` are the raw texts around the
    first "?" of the request target, `headers` the header lines in received order."""

    method: str
    path: str
    query: str
    headers: list[tuple[str, str]]
    body: bytes

    def header(self, name: str) -> str | None:
        """The first value of header `name` (any case), or None when it was not sent."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


@dataclasses.dataclass(frozen=True)
class TelegramRecorded(Recorded):
    """A Bot API request, with the token taken from the path and the decoded form."""

    token: str | None
    form: list[tuple[str, str]]
    text: str | None
    api_method: str = "sendMessage"
    files: dict[str, tuple[str, bytes]] = dataclasses.field(default_factory=dict)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def server_bind(self) -> None:
        # HTTPServer.server_bind resolves the host's name; a loopback stand-in needs
        # neither the delay nor the lookup traffic.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address) -> None:
        # Clients that give up (time-outs, closed sockets) are part of the tests.
        pass


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30  # an idle connection must not pin a handler thread forever

    def _serve(self) -> None:
        self.server.standin._serve(self)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = _serve

    def log_message(self, format, *args) -> None:
        pass


def _read_body(handler: http.server.BaseHTTPRequestHandler) -> bytes:
    if handler.headers.get("Transfer-Encoding", "").lower() == "chunked":
        parts = []
        while True:
            size = int(handler.rfile.readline().split(b";")[0].strip() or b"0", 16)
            if size == 0:
                while handler.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return b"".join(parts)
            parts.append(handler.rfile.read(size))
            handler.rfile.readline()
    try:
        length = int(handler.headers.get("Content-Length", "0"))
    except ValueError:
        length = 0
    return handler.rfile.read(length) if length > 0 else b""


class StandIn:
    """Shared machinery: server thread, answer queue, request log and shutdown.

    Scripted answers take precedence over everything else, routing and key checks
    included; `default`, when set, replaces the built-in default answer.
    """

    def __init__(self) -> None:
        self.default: Answer | None = None
        self._lock = threading.Condition()
        self._closing = threading.Event()
        self._answers: collections.deque[Answer] = collections.deque()
        self._requests: list[Recorded] = []
        self._in_flight = 0
        self._closed = False
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.standin = self
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
            name=type(self).__name__, daemon=True)
        self._thread.start()

    # Life cycle

    @property
    def port(self) -> int:
        return self._server.server_address[1]

    @property
    def base_url(self) -> str:
        """The origin to point a client at, e.g. http://127.0.0.1:40123 (no trailing "/")."""
        return f"http://127.0.0.1:{self.port}"

    def close(self) -> None:
        """Stop serving. Delayed and hanging answers end at once by closing their
        connection; waits briefly for handlers still running. Safe to call twice."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._closing.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        with self._lock:
            self._lock.wait_for(lambda: self._in_flight == 0, timeout=2.0)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # Scripting and inspection

    def script(self, *answers: Answer) -> None:
        """Queue answers for the next requests, one per request, in this order."""
        with self._lock:
            self._answers.extend(answers)

    @property
    def pending(self) -> int:
        """How many scripted answers have not been used yet."""
        with self._lock:
            return len(self._answers)

    @property
    def requests(self) -> list[Recorded]:
        """A copy of the requests received so far, in arrival order."""
        with self._lock:
            return list(self._requests)

    def wait_for_requests(self, count: int, timeout: float = 5.0) -> bool:
        """Block until at least `count` requests arrived; False on time-out."""
        with self._lock:
            return self._lock.wait_for(lambda: len(self._requests) >= count, timeout)

    def clear(self) -> None:
        """Forget recorded requests and unused scripted answers."""
        with self._lock:
            self._requests.clear()
            self._answers.clear()

    # Hooks for the concrete stand-ins

    def _record(self, method: str, path: str, query: str,
                headers: list[tuple[str, str]], body: bytes) -> Recorded:
        return Recorded(method, path, query, headers, body)

    def _default_answer(self, rec: Recorded) -> Answer:
        raise NotImplementedError

    def _answer_aside(self, rec: Recorded) -> Answer | None:
        """An answer for a request kept out of the request log and the scripted answers (a
        background poll that would otherwise take the answers scripted for other requests);
        None for an ordinary request."""
        return None

    # Request handling (runs on a handler thread)

    def _serve(self, handler: _Handler) -> None:
        handler.close_connection = True
        with self._lock:
            self._in_flight += 1
        try:
            path, _, query = handler.path.partition("?")
            body = _read_body(handler)
            rec = self._record(handler.command, path, query, list(handler.headers.items()), body)
            aside = self._answer_aside(rec)
            if aside is not None:
                self._deliver(handler, aside)
                return
            with self._lock:
                self._requests.append(rec)
                self._lock.notify_all()
                scripted = self._answers.popleft() if self._answers else None
            answer = scripted if scripted is not None else self.default
            if answer is None:
                answer = self._default_answer(rec)
            self._deliver(handler, answer)
        except OSError:
            pass  # the client went away
        finally:
            with self._lock:
                self._in_flight -= 1
                self._lock.notify_all()

    def _deliver(self, handler: _Handler, answer: Answer) -> None:
        if answer.delay > 0 and self._closing.wait(answer.delay):
            return
        if answer.hang:
            self._closing.wait()
            return
        if answer.drop or self._closing.is_set():
            return
        handler.send_response(answer.status, answer.reason)
        names = set()
        for name, value in answer.header_pairs():
            handler.send_header(name, value)
            names.add(name.lower())
        if answer.body is not None and "content-length" not in names:
            handler.send_header("Content-Length", str(len(answer.body)))
        if "connection" not in names:
            handler.send_header("Connection", "close")
        handler.end_headers()
        if answer.body and answer.cut is not None:
            handler.wfile.write(answer.body[:answer.cut])
            handler.wfile.flush()
        elif answer.body and answer.drip > 0:
            for i in range(len(answer.body)):
                handler.wfile.write(answer.body[i:i + 1])
                handler.wfile.flush()
                if self._closing.wait(answer.drip):
                    return
        elif answer.body:
            handler.wfile.write(answer.body)
        handler.close_connection = True


from .listings import odd_rows, realistic_rows  # noqa: E402
from .taostats import TaostatsStandIn  # noqa: E402
from .telegram import TelegramStandIn  # noqa: E402
