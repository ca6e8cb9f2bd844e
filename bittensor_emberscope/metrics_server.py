"""A small HTTP/1.1 server for the metrics of `watch`: GET and HEAD only, one request per
connection, served from one thread with a selector.

It is built so that no client can stall the monitor or make it grow: the request head is read
up to a fixed size, every connection has a deadline from its first byte to its last, only a few
connections are served at once (more are closed as soon as they are accepted), and each answer
is produced whole by a handler before it is sent.
"""

from __future__ import annotations

import dataclasses
import errno
import selectors
import socket
import threading
import time
from collections.abc import Callable

__all__ = ["MetricsServer", "Response"]

MAX_CONNECTIONS = 8
HEAD_LIMIT = 8 * 1024
HEAD_SECONDS = 5.0
SEND_SECONDS = 10.0
# After an answer, what the client still sends is read and dropped for a moment, so that
# closing does not reset the connection before the client has read the answer.
LINGER_SECONDS = 1.0
LINGER_BYTES = 64 * 1024
READ_SIZE = 4096
METHODS = (b"GET", b"HEAD")
REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
           414: "URI Too Long", 431: "Request Header Fields Too Large", 503: "Service Unavailable",
           500: "Internal Server Error"}
# The characters of an HTTP method (a token).
TOKEN = frozenset(b"!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")


@dataclasses.dataclass(frozen=True)
class Response:
    status: int
    body: bytes
    content_type: str = "text/plain; charset=utf-8"


Handler = Callable[[str], Response]


class _Connection:
    __slots__ = ("sock", "head", "out", "deadline", "phase", "dropped")

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        self.sock = sock
        self.head = bytearray()
        self.out = memoryview(b"")
        self.deadline = deadline
        self.phase = "head"  # then "send", then "linger"
        self.dropped = 0


def _error(status: int, text: str) -> Response:
    return Response(status, text.encode() + b"\n")


def _request_target(head: bytes) -> tuple[bytes, str] | Response:
    """(method, path) of a complete request head, or the error answer."""
    line = head.split(b"\n", 1)[0].rstrip(b"\r")
    parts = line.split(b" ")
    if len(parts) != 3 or not parts[0] or not set(parts[0]) <= TOKEN \
            or not parts[2].startswith(b"HTTP/1.") or not parts[1]:
        return _error(400, "bad request")
    method, target = parts[0], parts[1]
    if method not in METHODS:
        return _error(405, "only GET and HEAD")
    path = target.split(b"?", 1)[0]
    try:
        return method, path.decode("ascii")
    except UnicodeDecodeError:
        return _error(400, "bad request")


def _render(response: Response, with_body: bool) -> bytes:
    reason = REASONS.get(response.status, "")
    lines = [f"HTTP/1.1 {response.status} {reason}",
             f"Content-Type: {response.content_type}",
             f"Content-Length: {len(response.body)}",
             "Cache-Control: no-store",
             "Connection: close"]
    if response.status == 405:
        lines.append("Allow: GET, HEAD")
    head = ("\r\n".join(lines) + "\r\n\r\n").encode("ascii")
    return head + response.body if with_body else head


class MetricsServer:
    """Serves `handler(path)` for GET and HEAD requests at `address` from a thread of its own."""

    def __init__(self, address: tuple[str, int], handler: Handler, *,
                 max_connections: int = MAX_CONNECTIONS, head_limit: int = HEAD_LIMIT,
                 head_seconds: float = HEAD_SECONDS, send_seconds: float = SEND_SECONDS,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self._requested = address
        self._handler = handler
        self.max_connections = max_connections
        self.head_limit = head_limit
        self.head_seconds = head_seconds
        self.send_seconds = send_seconds
        self._clock = clock
        self._listener: socket.socket | None = None
        self._selector: selectors.BaseSelector | None = None
        self._wake_r: socket.socket | None = None
        self._wake_w: socket.socket | None = None
        self._thread: threading.Thread | None = None
        self._stopping = False
        self._connections: dict[socket.socket, _Connection] = {}
        # Counts for the tests and the bench: connections closed at once for want of room,
        # and closed at their deadline.
        self.turned_away = 0
        self.timed_out = 0

    @property
    def address(self) -> tuple[str, int]:
        """The address listened on (with the port the system picked for port 0)."""
        assert self._listener is not None
        name = self._listener.getsockname()
        return name[0], name[1]

    def start(self) -> None:
        """Bind, listen and start serving; OSError when the address cannot be used."""
        host, port = self._requested
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            listener.bind((host, port))
            listener.listen(16)
            listener.setblocking(False)
        except OSError:
            listener.close()
            raise
        self._listener = listener
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(listener, selectors.EVENT_READ, "listen")
        self._selector.register(self._wake_r, selectors.EVENT_READ, "wake")
        self._thread = threading.Thread(target=self._serve, name="emberscope-metrics", daemon=True)
        self._thread.start()

    def stop(self, timeout: float = 5.0) -> None:
        """Stop serving and close every socket; waits for the thread at most `timeout` seconds."""
        if self._thread is None:
            return
        self._stopping = True
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass
        self._thread.join(timeout)
        self._thread = None

    # The loop

    def _serve(self) -> None:
        selector = self._selector
        try:
            while not self._stopping:
                for key, events in selector.select(self._next_timeout()):
                    if key.data == "listen":
                        self._accept()
                    elif key.data == "wake":
                        self._drain_wake()
                    else:
                        self._step(key.data, events)
                self._expire()
        finally:
            for conn in list(self._connections.values()):
                self._close(conn)
            selector.close()
            for sock in (self._listener, self._wake_r, self._wake_w):
                sock.close()

    def _next_timeout(self) -> float:
        if not self._connections:
            return 1.0
        soonest = min(c.deadline for c in self._connections.values())
        return min(1.0, max(0.0, soonest - self._clock()))

    def _drain_wake(self) -> None:
        try:
            while self._wake_r.recv(64):
                pass
        except OSError:
            pass

    def _accept(self) -> None:
        while True:
            try:
                sock, _ = self._listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                if e.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM,
                               errno.ECONNABORTED):
                    return  # the next round tries again
                raise
            if len(self._connections) >= self.max_connections:
                self.turned_away += 1
                sock.close()
                continue
            sock.setblocking(False)
            conn = _Connection(sock, self._clock() + self.head_seconds)
            self._connections[sock] = conn
            self._selector.register(sock, selectors.EVENT_READ, conn)

    def _expire(self) -> None:
        now = self._clock()
        for conn in [c for c in self._connections.values() if c.deadline <= now]:
            if conn.phase != "linger":
                self.timed_out += 1
            self._close(conn)

    def _close(self, conn: _Connection) -> None:
        self._connections.pop(conn.sock, None)
        try:
            self._selector.unregister(conn.sock)
        except (KeyError, ValueError):
            pass
        conn.sock.close()

    def _step(self, conn: _Connection, events: int) -> None:
        try:
            if conn.phase == "head":
                self._read_head(conn)
            elif conn.phase == "send":
                self._send(conn)
            else:
                self._linger(conn)
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            self._close(conn)

    def _read_head(self, conn: _Connection) -> None:
        data = conn.sock.recv(READ_SIZE)
        if not data:
            self._close(conn)  # the client gave up before its request was complete
            return
        start = max(0, len(conn.head) - 3)
        conn.head += data
        end = conn.head.find(b"\r\n\r\n", start)
        if end < 0:
            end = conn.head.find(b"\n\n", max(0, start - 1))
        if 0 <= end < self.head_limit:
            self._answer(conn, bytes(conn.head[:end]))
        elif len(conn.head) >= self.head_limit:
            whole_line = b"\n" in conn.head[:self.head_limit]
            status = 431 if whole_line else 414
            self._respond(conn, _error(status, "request head over "
                                       f"{self.head_limit} bytes"), with_body=True)

    def _answer(self, conn: _Connection, head: bytes) -> None:
        target = _request_target(head)
        if isinstance(target, Response):
            self._respond(conn, target, with_body=True)
            return
        method, path = target
        try:
            response = self._handler(path)
        except Exception:  # a fault of the exporter answers 500; the server goes on
            response = _error(500, "internal error")
        self._respond(conn, response, with_body=method == b"GET")

    def _respond(self, conn: _Connection, response: Response, with_body: bool) -> None:
        conn.head = bytearray()
        conn.out = memoryview(_render(response, with_body))
        conn.phase = "send"
        conn.deadline = self._clock() + self.send_seconds
        self._selector.modify(conn.sock, selectors.EVENT_WRITE, conn)
        self._send(conn)

    def _send(self, conn: _Connection) -> None:
        while conn.out:
            sent = conn.sock.send(conn.out)
            conn.out = conn.out[sent:]
        conn.sock.shutdown(socket.SHUT_WR)
        conn.phase = "linger"
        conn.deadline = self._clock() + LINGER_SECONDS
        self._selector.modify(conn.sock, selectors.EVENT_READ, conn)

    def _linger(self, conn: _Connection) -> None:
        data = conn.sock.recv(READ_SIZE)
        conn.dropped += len(data)
        if not data or conn.dropped > LINGER_BYTES:
            self._close(conn)
