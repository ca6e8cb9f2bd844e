"""Hostile servers over loopback: redirects to other origins, endless bodies, slow drips."""

from __future__ import annotations

import os
import signal
import socket
import threading
import time

import pytest

from bittensor_emberscope import monitor
from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn

KEY = "tao-KEY-0123456789"
TOKEN = "123456789:AAH-SECRET"
CHAT = "-1001"
MiB = 1 << 20
REDIRECTS = [(301, "Moved Permanently"), (302, "Found"), (303, "See Other"),
             (307, "Temporary Redirect"), (308, "Permanent Redirect")]


def _read_request(conn):
    """The whole request, body included: a close with unread data would reset the connection."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        piece = conn.recv(65536)
        if not piece:
            return
        body += piece


class Streamer:
    """A raw HTTP server on 127.0.0.1 that answers every request with `status` and a body of
    `size` bytes made on the fly, `piece` bytes at a time, `pause` seconds apart (headers
    first). Counts the bytes of body it managed to send before the client went away."""

    def __init__(self, status=200, size=0, length=False, piece=64 * 1024, pause=0.0,
                 byte=b"x"):
        self.status, self.size, self.length, self.piece, self.pause = status, size, length, piece, pause
        self.byte = byte
        self.sent = 0
        self.done = threading.Event()
        self._sock = socket.create_server(("127.0.0.1", 0))
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self._sock.getsockname()[1]}"

    def _serve(self):
        try:
            conn, _ = self._sock.accept()
        except OSError:
            return
        with conn:
            _read_request(conn)
            head = f"HTTP/1.1 {self.status} X\r\nConnection: close\r\n"
            if self.length:
                head += f"Content-Length: {self.size}\r\n"
            try:
                conn.sendall((head + "\r\n").encode())
                chunk = self.byte * self.piece
                while self.sent < self.size:
                    n = min(self.piece, self.size - self.sent)
                    conn.sendall(chunk[:n])
                    self.sent += n
                    if self.pause:
                        time.sleep(self.pause)
            except OSError:
                pass
        self.done.set()

    def close(self):
        self._sock.close()


@pytest.fixture
def streamers():
    made = []
    yield lambda **kw: made.append(Streamer(**kw)) or made[-1]
    for s in made:
        s.close()


# Redirects


@pytest.mark.parametrize("status, reason", REDIRECTS)
def test_the_key_never_follows_a_redirect_to_another_origin(es, monkeypatch, status, reason):
    with TaostatsStandIn() as home, TaostatsStandIn() as other:
        # 127.0.0.1 and localhost: the same machine, two host names, two origins
        elsewhere = f"http://localhost:{other.port}/api/subnet/latest/v1?limit=1024&order=netuid_asc"
        home.script(Answer(status, body=b"", headers=[("Location", elsewhere)]))
        monkeypatch.setenv("TAOSTATS_API_BASE", home.base_url)
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        rows = es.fetch_all_subnets_latest(KEY)
        assert isinstance(rows, list) and rows
        (first,) = home.requests
        (followed,) = other.requests
        assert first.header("Authorization") == KEY and followed.header("Authorization") is None
        assert followed.method == "GET"


@pytest.mark.parametrize("status, reason", REDIRECTS)
def test_the_key_follows_a_redirect_within_its_origin(es, monkeypatch, status, reason):
    with TaostatsStandIn() as home:
        home.script(Answer(status, body=b"", headers=[("Location", "/api/subnet/latest/v1?limit=1024&order=netuid_asc")]))
        monkeypatch.setenv("TAOSTATS_API_BASE", home.base_url)
        rows = es.fetch_all_subnets_latest(KEY)
        assert isinstance(rows, list) and rows
        assert [r.header("Authorization") for r in home.requests] == [KEY, KEY]


@pytest.mark.parametrize("status, reason", REDIRECTS)
def test_a_redirected_telegram_message_is_not_delivered(es, monkeypatch, status, reason):
    with TelegramStandIn() as bot, TelegramStandIn() as other:
        bot.script(Answer(status, body=b"", headers=[("Location", other.send_message_url(TOKEN))]))
        other.script(Answer.json({"ok": True}))
        monkeypatch.setenv("TELEGRAM_API_BASE", bot.base_url)
        assert es.send_burn_telegram("x", TOKEN, CHAT) == (False, f"HTTP Error {status}: {reason}")
        assert len(bot.requests) == 1 and other.requests == []


# Bounded reads


@pytest.mark.parametrize("length", [False, True], ids=["close-delimited", "content-length"])
def test_a_taostats_body_over_64_mib_is_refused(es, monkeypatch, streamers, length):
    # Far more than the limit: the loopback's socket buffers (several MiB each way) take what is
    # sent past the client's last read, and under load 16 MiB more was once all taken.
    server = streamers(size=160 * MiB, length=length, piece=MiB)
    monkeypatch.setenv("TAOSTATS_API_BASE", server.url)
    record = es.http_get_json("/api", {}, KEY)
    assert record == {"parse_error": "body longer than 64 MiB (67108864 bytes)",
                      "raw": "" if length else "x" * 500}
    assert server.done.wait(10) and server.sent < 160 * MiB  # the rest was never read


@pytest.mark.parametrize("op, status, expected", [
    ("taostats", 502, {"status_code": 502, "message": "body longer than 1 MiB (1048576 bytes)", "http_status": 502}),
    ("telegram", 200, (False, "body longer than 1 MiB (1048576 bytes)")),
    ("telegram", 502, (False, "body longer than 1 MiB (1048576 bytes)")),
])
def test_error_and_telegram_bodies_over_1_mib_are_refused(es, monkeypatch, streamers, op, status, expected):
    server = streamers(status=status, size=40 * MiB, piece=MiB)
    if op == "taostats":
        monkeypatch.setenv("TAOSTATS_API_BASE", server.url)
        assert es.http_get_json("/api", {}, KEY) == expected
    else:
        monkeypatch.setenv("TELEGRAM_API_BASE", server.url)
        assert es.send_burn_telegram("x", TOKEN, CHAT) == expected
    assert server.done.wait(10) and server.sent < 40 * MiB  # kernel buffers hold a few MiB at most


def test_a_body_of_exactly_the_limit_is_read(es, monkeypatch, streamers):
    server = streamers(status=400, size=MiB, byte=b"y")
    monkeypatch.setenv("TELEGRAM_API_BASE", server.url)
    assert es.send_burn_telegram("x", TOKEN, CHAT) == (False, "y" * MiB)


# The whole-exchange deadline


@pytest.mark.parametrize("size", [100, 0])
def test_a_drip_cannot_hold_an_exchange_past_its_deadline(streamers, size):
    # one byte every 0.5 s: no single wait comes near the 5 s time-out
    server = streamers(size=size, length=True, piece=1, pause=0.5) if size else None
    if server is None:  # headers never complete: a server that accepts and then drips nothing
        listener = socket.create_server(("127.0.0.1", 0))
        url = f"http://127.0.0.1:{listener.getsockname()[1]}"
    else:
        url = server.url
    started = time.monotonic()
    with pytest.raises(TimeoutError) as info:
        monitor._http_exchange(url, timeout=5, body_limit=-1, deadline_seconds=1.5)
    assert str(info.value) == "the exchange took longer than its deadline of 1.5 s"
    assert 1.4 < time.monotonic() - started < 4.5
    if server is None:
        listener.close()


def _threads_taking(signum: int) -> list[str]:
    """The process's threads whose signal mask lets `signum` through."""
    taking = []
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/status") as f:
            blocked = next(int(line.split()[1], 16) for line in f if line.startswith("SigBlk:"))
        if not blocked & (1 << (signum - 1)):
            taking.append(tid)
    return taking


def test_the_deadline_thread_takes_no_signal():
    # A stop signal taken by the deadline's native thread would not interrupt the main thread's
    # wait for an answer: the command would sit out the whole time-out before it stops.
    listener = socket.create_server(("127.0.0.1", 0))
    url = f"http://127.0.0.1:{listener.getsockname()[1]}"
    seen = []

    def look():
        time.sleep(0.4)  # the exchange is waiting for headers by now
        seen.append(_threads_taking(signal.SIGTERM))

    before = len(_threads_taking(signal.SIGTERM))
    looker = threading.Thread(target=look)
    looker.start()
    with pytest.raises(TimeoutError):
        monitor._http_exchange(url, timeout=5, body_limit=-1, deadline_seconds=1.0)
    looker.join()
    listener.close()
    # The main thread, this looker and whatever ran before: no thread of the exchange's own.
    assert len(seen[0]) == before + 1


def test_an_exchange_within_its_deadline_is_untouched(streamers):
    server = streamers(size=3, length=True, piece=1, pause=0.1)
    assert monitor._http_exchange(server.url, timeout=5, body_limit=-1, deadline_seconds=5) == (200, b"xxx", False)
    server = streamers(size=10, piece=4)
    assert monitor._http_exchange(server.url, timeout=5, body_limit=5, deadline_seconds=0) == (200, b"xxxxx", True)



def test_a_drip_cannot_hold_the_engine_cycle_past_its_deadline(monkeypatch, capfd, tmp_path):
    # the listing dripped one byte every 0.2 s: about 10 s in all, each wait far below the time-out
    with TaostatsStandIn() as api:
        api.script(Answer.json({"data": [{"netuid": 1, "incentive_burn": 0.5}]}, drip=0.2))
        monkeypatch.setenv("TAOSTATS_API_BASE", api.base_url)
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        started = time.monotonic()
        report = monitor.run_cycle(state_path=str(tmp_path / "s.json"), threshold=0.1,
                                   burn_token=TOKEN, burn_chat_id=CHAT, pause_path="",
                                   interval_seconds=300, exchange_deadline_seconds=1.0)
        elapsed = time.monotonic() - started
        port = api.port
    assert report["outcome"] == "fetch_failed"
    assert report["detail"] == f"taostats: no complete answer within 1 s (127.0.0.1:{port})"
    assert capfd.readouterr().err == f"[burn] error: {report['detail']}\n"
    assert 0.9 < elapsed < 4.0
    assert not (tmp_path / "s.json").exists()  # nothing half-read was saved


@pytest.mark.parametrize("value", [0, -1, float("inf"), float("nan")])
def test_an_exchange_deadline_that_is_no_bound_is_refused(tmp_path, value):
    with pytest.raises(ValueError, match="exchange_deadline_seconds must be a finite number > 0"):
        monitor.run_cycle(state_path=str(tmp_path / "s.json"), threshold=0.1, burn_token=TOKEN,
                          burn_chat_id=CHAT, pause_path="", interval_seconds=300,
                          exchange_deadline_seconds=value)


# One console line per event


@pytest.mark.parametrize("body, line", [
    (b"busy\n[burn] alert sent (3 subnet(s))",
     "[burn] startup telegram failed: busy\\n[burn] alert sent (3 subnet(s))\n"),
    (b"<html>\r\n<h1>502</h1>\r\n</html>\r\n",
     "[burn] startup telegram failed: <html>\\r\\n<h1>502</h1>\\r\\n</html>\\r\\n\n"),
])
def test_a_body_cannot_forge_or_break_console_lines(es, taostats, telegram, capsys, tmp_path, body, line):
    telegram.script(Answer(502, body=body))
    assert es.run_burn_startup_snapshot(state_path=str(tmp_path / "s.json"), burn_token=TOKEN,
                                        burn_chat_id=CHAT) == 1
    assert capsys.readouterr().err == line


# A stop (Ctrl-C, SIGTERM's exception in the command) is never absorbed by a clean-up


class _Stopping:
    """A response whose read fails or whose headers cannot be listed, and whose clean-up is
    where a stop arrives."""

    def __init__(self, read_fails: bool) -> None:
        self.read_fails = read_fails

    def read(self, *args):
        if self.read_fails:
            raise OSError("connection reset by peer")
        return b'{"data": []}'

    def close(self):
        if self.read_fails:
            raise KeyboardInterrupt

    @property
    def headers(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("read_fails", [True, False])
def test_a_stop_during_a_clean_up_is_not_absorbed(es, monkeypatch, read_fails):
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://127.0.0.1:9")
    monkeypatch.setattr(es.urllib.request, "urlopen", lambda request, timeout: _Stopping(read_fails))
    with pytest.raises(KeyboardInterrupt):
        es.http_get_json("/api", {}, KEY)
