"""The exporter's HTTP server over loopback: its answers byte for byte, and clients that would
hold it up."""

from __future__ import annotations

import socket
import threading
import time
import tracemalloc

import pytest

from bittensor_emberscope import health, metrics
from bittensor_emberscope.metrics_server import MetricsServer, Response

HEAD = b"Content-Type: text/plain; charset=utf-8\r\nContent-Length: %d\r\nCache-Control: no-store\r\nConnection: close\r\n"


def answer(status_line: bytes, body: bytes, extra: bytes = b"", with_body: bool = True) -> bytes:
    return (b"HTTP/1.1 " + status_line + b"\r\n" + HEAD % len(body) + extra + b"\r\n"
            + (body if with_body else b""))


@pytest.fixture
def exporter(tmp_path):
    state = str(tmp_path / "state.json")
    health.record_loop(state, "running", interval_seconds=300)
    e = metrics.Exporter(state, ("127.0.0.1", 0), head_seconds=1.0).start()
    yield e
    e.stop()


def connect(server) -> socket.socket:
    return socket.create_connection(server.address, timeout=10)


def exchange(server, raw: bytes) -> bytes:
    with connect(server) as s:
        s.sendall(raw)
        s.shutdown(socket.SHUT_WR)
        return read_all(s)


def read_all(s: socket.socket) -> bytes:
    out = b""
    while chunk := s.recv(65536):
        out += chunk
    return out


def closed_by_peer(s: socket.socket) -> bool:
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True


NOT_FOUND = b"not found: try /metrics or /healthz\n"
ALLOW = b"Allow: GET, HEAD\r\n"


@pytest.mark.parametrize("request_bytes, expected", [
    (b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", answer(b"200 OK", b"ok\n")),
    (b"HEAD /healthz HTTP/1.1\r\n\r\n", answer(b"200 OK", b"ok\n", with_body=False)),
    (b"GET /healthz?verbose=1 HTTP/1.0\n\n", answer(b"200 OK", b"ok\n")),
    (b"GET /nowhere HTTP/1.1\r\n\r\n", answer(b"404 Not Found", NOT_FOUND)),
    (b"GET /metrics/ HTTP/1.1\r\n\r\n", answer(b"404 Not Found", NOT_FOUND)),
    (b"HEAD / HTTP/1.1\r\n\r\n", answer(b"404 Not Found", NOT_FOUND, with_body=False)),
    (b"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi",
     answer(b"405 Method Not Allowed", b"only GET and HEAD\n", ALLOW)),
    (b"DELETE /healthz HTTP/1.1\r\n\r\n", answer(b"405 Method Not Allowed", b"only GET and HEAD\n", ALLOW)),
    (b"get /healthz HTTP/1.1\r\n\r\n", answer(b"405 Method Not Allowed", b"only GET and HEAD\n", ALLOW)),
    (b"GET\r\n\r\n", answer(b"400 Bad Request", b"bad request\n")),
    (b"GET /healthz SPDY/3\r\n\r\n", answer(b"400 Bad Request", b"bad request\n")),
    (b"GET  /healthz HTTP/1.1\r\n\r\n", answer(b"400 Bad Request", b"bad request\n")),
    (b"G(T /healthz HTTP/1.1\r\n\r\n", answer(b"400 Bad Request", b"bad request\n")),
    (b"GET /h\xc3\xa9 HTTP/1.1\r\n\r\n", answer(b"400 Bad Request", b"bad request\n")),
    (b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\n\r\n",
     answer(b"414 URI Too Long", b"request head over 8192 bytes\n")),
    (b"GET / HTTP/1.1\r\nCookie: " + b"a" * 9000 + b"\r\n\r\n",
     answer(b"431 Request Header Fields Too Large", b"request head over 8192 bytes\n")),
])
def test_answers(exporter, request_bytes, expected):
    assert exchange(exporter, request_bytes) == expected


# Clients that would hold the server up


def test_a_slow_client_is_closed_at_its_deadline_and_others_are_served(exporter):
    with connect(exporter) as slow:
        slow.settimeout(0.05)
        slow.sendall(b"GET /healthz HTTP/1.1\r\n")
        started = time.monotonic()
        closed = False
        while not closed and time.monotonic() - started < 20:
            try:
                slow.sendall(b"X")  # a byte at a time, never the end of the head
                closed = closed_by_peer(slow)
            except socket.timeout:
                pass
            except OSError:
                closed = True
            assert exchange(exporter, b"GET /healthz HTTP/1.1\r\n\r\n") == answer(b"200 OK", b"ok\n")
        assert closed
    assert exporter.server.timed_out == 1


def test_connections_beyond_the_limit_are_closed_at_once(tmp_path):
    # Held connections would keep their places for a minute: any connection beyond the eight
    # that is not closed at once fails the test by the time-out of its read.
    e = metrics.Exporter(str(tmp_path / "state.json"), ("127.0.0.1", 0), head_seconds=60).start()
    held = [connect(e) for _ in range(8)]
    try:
        time.sleep(0.2)  # accepted and held, waiting for their requests
        extra = [connect(e) for _ in range(92)]
        try:
            for s in extra:
                s.settimeout(10)
                assert closed_by_peer(s)
        finally:
            for s in extra:
                s.close()
        assert (e.server.turned_away, e.server.timed_out) == (92, 0)
        for s in held[:1]:
            s.close()
        reply = wait_for_reply(e, b"GET /nowhere HTTP/1.1\r\n\r\n")
        assert reply == answer(b"404 Not Found", NOT_FOUND)
    finally:
        for s in held:
            s.close()
        e.stop()


def wait_for_reply(server, raw: bytes) -> bytes:
    """The answer to `raw` once the server has room for it (it closes the connection until then)."""
    deadline = time.monotonic() + 30
    while True:
        try:
            reply = exchange(server, raw)
        except ConnectionResetError:
            reply = b""
        if reply or time.monotonic() > deadline:
            return reply
        time.sleep(0.05)


def test_a_megabyte_request_line_is_cut_short_without_being_kept(exporter):
    line = memoryview(b"GET /" + b"a" * (1 << 20))
    s = connect(exporter)

    def send():
        view = line
        try:
            while view:
                view = view[s.send(view[:65536]):]
        except OSError:
            pass  # the server closed the connection: the rest was never read

    tracemalloc.start()
    try:
        sender = threading.Thread(target=send)
        sender.start()
        try:
            reply = read_all(s)
        except ConnectionResetError:
            reply = b""  # the reset overtook the answer
        sender.join(30)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        s.close()
    assert reply in (b"", answer(b"414 URI Too Long", b"request head over 8192 bytes\n"))
    # What this process allocated meanwhile, the server's buffers included: far below the line.
    assert peak < 256 * 1024
    assert exchange(exporter, b"GET /healthz HTTP/1.1\r\n\r\n") == answer(b"200 OK", b"ok\n")


def test_stop_closes_the_listening_socket(tmp_path):
    server = MetricsServer(("127.0.0.1", 0), lambda path: Response(200, b""))
    server.start()
    address = server.address
    held = socket.create_connection(address, timeout=10)
    server.stop()
    assert closed_by_peer(held)
    held.close()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(address, timeout=10)
