"""The command's own HTTP client (libcurl) against loopback servers this file starts: compressed
answers, limits on decoded bytes, kept connections, proxies from the environment, certificates
from SSL_CERT_FILE, time-outs, redirects and answers cut off halfway."""

from __future__ import annotations

import gzip
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time
from collections.abc import Callable

import pytest

from bittensor_emberscope import monitor
from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn

KEY = "tao-KEY-0123456789"
TOKEN = "123456789:AAH-SECRET"
CHAT = "-1001"
MiB = 1 << 20


class RawServer:
    """A loopback server answering each accepted connection with `answer(conn, request)`, one
    connection at a time, at most `connections` of them. Records each request's head."""

    def __init__(self, answer: Callable[[socket.socket, bytes], None], connections: int = 4,
                 tls: ssl.SSLContext | None = None) -> None:
        self.answer = answer
        self.heads: list[bytes] = []
        self._sock = socket.create_server(("127.0.0.1", 0))
        self._tls = tls
        self._thread = threading.Thread(target=self._serve, args=(connections,), daemon=True)
        self._thread.start()

    @property
    def port(self) -> int:
        return self._sock.getsockname()[1]

    @property
    def url(self) -> str:
        return f"{'https' if self._tls else 'http'}://127.0.0.1:{self.port}"

    def _serve(self, connections: int) -> None:
        for _ in range(connections):
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            conn.settimeout(10)
            try:
                if self._tls is not None:
                    conn = self._tls.wrap_socket(conn, server_side=True)
                with conn:
                    head = read_head(conn)
                    if head:
                        self.heads.append(head)
                        self.answer(conn, head)
            except OSError:
                pass

    def close(self) -> None:
        try:
            self._sock.shutdown(socket.SHUT_RDWR)  # wakes the accept that waits
        except OSError:
            pass
        self._sock.close()
        self._thread.join(10)


def read_head(conn: socket.socket) -> bytes:
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = next((int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")
                   if line.lower().startswith(b"content-length:")), 0)
    while len(body) < length:
        piece = conn.recv(65536)
        if not piece:
            break
        body += piece
    return head


def header(head: bytes, name: str) -> str | None:
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name.lower().encode():
            return value.strip().decode()
    return None


def reply(status: int, body: bytes, *headers: str, length: int | None = None) -> Callable:
    def answer(conn: socket.socket, head: bytes) -> None:
        lines = [f"HTTP/1.1 {status} Reason Here", "Connection: close",
                 f"Content-Length: {len(body) if length is None else length}", *headers]
        conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
    return answer


@pytest.fixture
def server():
    made: list[RawServer] = []

    def make(answer, **kw) -> RawServer:
        made.append(RawServer(answer, **kw))
        return made[-1]

    yield make
    for s in made:
        s.close()


def exchange(url: str, **kw):
    args = dict(timeout=5, body_limit=-1, deadline_seconds=20)
    args.update(kw)
    return monitor._http_exchange(url, **args)


# Compressed answers: asked for, decoded, and limited by what they decode to


def test_gzip_is_offered_and_decoded(server):
    plain = json.dumps({"data": [{"netuid": n, "incentive_burn": 0.5} for n in range(300)]}).encode()
    s = server(reply(200, gzip.compress(plain), "Content-Encoding: gzip"))
    assert exchange(s.url + "/x") == (200, plain, False)
    assert "gzip" in header(s.heads[0], "Accept-Encoding")


@pytest.mark.parametrize("status, limits, over", [
    (200, {"body_limit": MiB}, True),
    (502, {"error_body_limit": MiB}, True),
    (200, {"body_limit": 64 * MiB}, False),
])
def test_a_gzip_bomb_is_cut_at_the_limit_on_decoded_bytes(server, status, limits, over):
    # 32 MiB of zeros fold into about 32 KiB: a limit on the compressed bytes would let it through.
    bomb = gzip.compress(b"\0" * (32 * MiB), compresslevel=9)
    assert len(bomb) < MiB // 8
    s = server(reply(status, bomb, "Content-Encoding: gzip"))
    got_status, body, got_over = exchange(s.url, **limits)
    assert (got_status, got_over) == (status, over)
    assert body == b"\0" * (MiB if over else 32 * MiB)


def test_the_listing_crosses_the_wire_compressed(monkeypatch, tmp_path, capfd):
    with TaostatsStandIn() as api, TelegramStandIn() as bot:
        monkeypatch.setenv("TAOSTATS_API_BASE", api.base_url)
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        monkeypatch.setenv("TELEGRAM_API_BASE", bot.base_url)
        monkeypatch.setattr(monitor.time, "sleep", lambda seconds: None)
        report = monitor.run_snapshot(state_path=str(tmp_path / "s.json"), burn_token=TOKEN,
                                      burn_chat_id=CHAT, pause_path="",
                                      exchange_deadline_seconds=5)
        plain = len(json.dumps(api.listing("limit=1024")).encode())
        assert report["subnets"] == len([r for r in api.rows if "incentive_burn" in r])
        assert 0 < api.body_bytes_sent < plain // 3


# One connection per host, kept between exchanges


def test_one_connection_serves_every_cycle(monkeypatch, tmp_path, capfd):
    with TaostatsStandIn(keep_alive=True) as api, TelegramStandIn(keep_alive=True) as bot:
        monkeypatch.setenv("TAOSTATS_API_BASE", api.base_url)
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        monkeypatch.setenv("TELEGRAM_API_BASE", bot.base_url)
        for value in (0.1, 0.5, 0.9):
            api.rows = [{"netuid": 1, "incentive_burn": value}]
            report = monitor.run_cycle(state_path=str(tmp_path / "s.json"), threshold=0.05,
                                       burn_token=TOKEN, burn_chat_id=CHAT, pause_path="",
                                       interval_seconds=300)
            assert report["outcome"] == "ok"
        assert len(api.requests) == 3 and len(bot.messages) == 2
        assert (api.connections, bot.connections) == (1, 1)


# Proxies, as the host's client reads them from the environment


def proxy_answer(conn: socket.socket, head: bytes) -> None:
    if head.startswith(b"CONNECT "):
        conn.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
    else:
        reply(200, b"via proxy")(conn, head)


@pytest.mark.parametrize("env, via_proxy", [
    ({"http_proxy": "{proxy}"}, True),
    ({"HTTP_PROXY": "{proxy}"}, True),
    ({"http_proxy": "{proxy}", "no_proxy": "localhost,127.0.0.1"}, False),
    ({"HTTP_PROXY": "{proxy}", "NO_PROXY": "*"}, False),
    ({"HTTP_PROXY": "{proxy}", "http_proxy": ""}, False),
    ({"ALL_PROXY": "{proxy}", "all_proxy": "{proxy}"}, False),
    ({"HTTP_PROXY": "{proxy}", "REQUEST_METHOD": "GET"}, False),
    ({"https_proxy": "{proxy}"}, False),
])
def test_proxy_variables_are_honoured_as_the_host_honours_them(server, monkeypatch, env, via_proxy):
    proxy = server(proxy_answer)
    target = server(reply(200, b"direct"))
    for name in list(os.environ):
        if name.lower().endswith("_proxy") or name == "REQUEST_METHOD":
            monkeypatch.delenv(name)
    for name, value in env.items():
        monkeypatch.setenv(name, value.format(proxy=f"http://127.0.0.1:{proxy.port}"))
    status, body, _ = exchange(target.url + "/listing?limit=1024", authorization="k")
    assert (status, body) == (200, b"via proxy" if via_proxy else b"direct")
    if via_proxy:
        assert proxy.heads[0].split(b"\r\n")[0] == (
            f"GET {target.url}/listing?limit=1024 HTTP/1.1".encode())
    else:
        assert proxy.heads == []


def test_https_goes_through_the_proxy_in_a_tunnel(server, monkeypatch):
    proxy = server(proxy_answer)
    monkeypatch.setenv("HTTPS_PROXY", f"127.0.0.1:{proxy.port}")
    monkeypatch.delenv("NO_PROXY", raising=False)
    monkeypatch.delenv("no_proxy", raising=False)
    with pytest.raises(OSError):
        exchange("https://api.example.invalid/v1", authorization="k")
    assert proxy.heads[0].split(b"\r\n")[0] == b"CONNECT api.example.invalid:443 HTTP/1.1"
    assert header(proxy.heads[0], "Authorization") is None  # the key stays inside the tunnel


# Certificates from SSL_CERT_FILE


@pytest.fixture(scope="module")
def self_signed(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed: no certificate can be made")
    d = tmp_path_factory.mktemp("tls")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    # what the host's strict verification asks of a certificate that is its own CA
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,digitalSignature,keyCertSign",
                    "-keyout", str(d / "key.pem"), "-out", str(d / "cert.pem")],
                   check=True, capture_output=True, timeout=60)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(d / "cert.pem", d / "key.pem")
    return d / "cert.pem", context


@pytest.mark.parametrize("trust", [None, "file", "dir"])
def test_ssl_cert_file_and_dir_are_the_trusted_certificates(server, monkeypatch, self_signed, trust,
                                                            tmp_path):
    cert, context = self_signed
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    monkeypatch.delenv("SSL_CERT_DIR", raising=False)
    if trust == "file":
        monkeypatch.setenv("SSL_CERT_FILE", str(cert))
    elif trust == "dir":
        # A directory of certificates named by their subject's hash, as c_rehash makes it.
        digest = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in", str(cert)],
                                check=True, capture_output=True, text=True).stdout.strip()
        shutil.copy(cert, tmp_path / f"{digest}.0")
        monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path))
    s = server(reply(200, b"secure"), connections=1, tls=context)
    if trust is None:
        with pytest.raises(OSError, match="certificate"):
            exchange(s.url)
    else:
        assert exchange(s.url) == (200, b"secure", False)


# Time-outs and the whole-exchange deadline


def test_a_server_that_never_answers_fails_after_the_time_out(server):
    released = threading.Event()
    s = server(lambda conn, head: released.wait(30), connections=1)
    started = time.monotonic()
    try:
        with pytest.raises(OSError) as info:
            exchange(s.url, timeout=1, deadline_seconds=0)
        elapsed = time.monotonic() - started
    finally:
        released.set()
    assert not isinstance(info.value, TimeoutError)  # the wait's own time-out, not the deadline
    assert elapsed < 20  # without a bound on the wait it would end only when the server lets go


def test_a_slow_drip_ends_at_the_deadline(server):
    def drip(conn, head):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")
        for _ in range(100):
            conn.sendall(b"x")
            time.sleep(0.2)

    s = server(drip, connections=1)
    started = time.monotonic()
    with pytest.raises(TimeoutError) as info:
        exchange(s.url, timeout=5, deadline_seconds=1.5)
    assert str(info.value) == "the exchange took longer than its deadline of 1.5 s"
    assert 1.4 < time.monotonic() - started < 5


# Redirects, each rule


def redirect_to(location: str, status: int = 302) -> Callable:
    return reply(status, b"", f"Location: {location}")


@pytest.mark.parametrize("rule, method, same_origin, final, authorization", [
    ("follow", "GET", False, 200, "k"),
    ("keep_credentials_on_origin", "GET", False, 200, None),
    ("keep_credentials_on_origin", "GET", True, 200, "k"),
    ("none", "GET", False, 302, None),
    ("follow", "POST", False, 302, None),
])
def test_redirects_follow_their_rule(server, rule, method, same_origin, final, authorization):
    target = server(reply(200, b"moved here"))
    if same_origin:
        def here_then_there(conn, head):
            first = head.startswith(b"GET /here ")
            (redirect_to("/there") if first else reply(200, b"moved here"))(conn, head)

        s = server(here_then_there)
        expected_heads = s.heads
    else:
        s = server(redirect_to(target.url + "/there"))
        expected_heads = target.heads
    status, body, _ = exchange(s.url + "/here", authorization="k", redirects=rule, method=method,
                               body="a=1" if method == "POST" else "")
    assert status == final
    if final == 200:
        assert body == b"moved here"
        second = expected_heads[-1]
        assert second.split(b"\r\n")[0] == b"GET /there HTTP/1.1"
        assert header(second, "Authorization") == authorization
    else:
        assert target.heads == [] and len(s.heads) == 1


def test_a_post_is_never_resent_as_a_get(server):
    target = server(reply(200, b"no"))
    for status in (301, 302, 303, 307, 308):
        s = server(redirect_to(target.url, status), connections=1)
        assert exchange(s.url, method="POST", body="x=1")[0] == status
    assert target.heads == []


# Limits and answers cut off halfway


@pytest.mark.parametrize("status, limits, body, over", [
    (200, {"body_limit": 5}, b"01234", True),
    (200, {"body_limit": 10}, b"0123456789", False),
    (404, {"body_limit": 2, "error_body_limit": 4}, b"0123", True),
    (404, {"body_limit": 2}, b"0123456789", False),
])
def test_body_limits_by_status(server, status, limits, body, over):
    s = server(reply(status, b"0123456789"))
    assert exchange(s.url, **limits) == (status, body, over)


@pytest.mark.parametrize("answer", [
    reply(200, b"0123456789", length=100),              # fewer bytes than announced
    lambda c, h: c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"),
    lambda c, h: None,                                     # closed before any answer
    lambda c, h: c.sendall(b"HTTP/1.1 200 OK\r\nContent-Le"),  # closed inside the headers
])
def test_an_answer_cut_off_is_a_transport_failure(server, answer):
    s = server(answer, connections=1)
    with pytest.raises(OSError) as info:
        exchange(s.url)
    assert not isinstance(info.value, TimeoutError)


def test_a_cut_off_listing_fails_the_cycle_and_keeps_the_state(server, monkeypatch, tmp_path, capfd):
    state = tmp_path / "s.json"
    state.write_text('{"owner_burn_rate": {"1": "0.1"}, "updated_at_utc": "2026-01-01T00:00:00Z"}')
    s = server(reply(200, b'{"data": [{"netuid": 1, "incentive_burn": 0.9}', length=4000),
               connections=1)
    monkeypatch.setenv("TAOSTATS_API_BASE", s.url)
    monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
    report = monitor.run_cycle(state_path=str(state), threshold=0.05, burn_token=TOKEN,
                               burn_chat_id=CHAT, pause_path="", interval_seconds=300)
    assert report["outcome"] == "fetch_failed" and report["changes"] == []
    assert capfd.readouterr().err.startswith("[burn] error: ")
    assert json.loads(state.read_text())["owner_burn_rate"] == {"1": "0.1"}


# The token travels in Telegram's path: no failure text shows it


def test_a_failure_text_never_shows_the_token(server):
    url = f"http://127.0.0.1:{server(lambda c, h: None, connections=1).port}/bot{TOKEN}/sendMessage"
    with pytest.raises(OSError) as info:
        exchange(url, method="POST", body="chat_id=1")
    assert TOKEN not in str(info.value) and "AAH-SECRET" not in str(info.value)


# The interpreter runs while the engine waits, and its signal handlers end a wait at once


def test_other_threads_run_while_a_cycle_waits_for_an_answer(monkeypatch, tmp_path, capfd):
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.01)

    with TaostatsStandIn() as api:
        api.script(Answer.json({"data": [{"netuid": 1, "incentive_burn": 0.5}]}, delay=1.0))
        monkeypatch.setenv("TAOSTATS_API_BASE", api.base_url)
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        ticker = threading.Thread(target=tick)
        ticker.start()
        before = len(ticks)
        report = monitor.run_cycle(state_path=str(tmp_path / "s.json"), threshold=0.05,
                                   burn_token=TOKEN, burn_chat_id=CHAT, pause_path="",
                                   interval_seconds=300)
        during = len(ticks) - before
        stop.set()
        ticker.join()
    assert report["outcome"] == "ok"
    assert during >= 10  # a held lock would have let none through


class Stop(BaseException):
    pass


@pytest.mark.parametrize("where", ["sleep", "exchange"])
def test_a_signal_handler_ends_the_engine_promptly(monkeypatch, tmp_path, capfd, where):
    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        with TaostatsStandIn() as api, TelegramStandIn() as bot:
            monkeypatch.setenv("TAOSTATS_API_BASE", api.base_url)
            monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
            monkeypatch.setenv("TELEGRAM_API_BASE", bot.base_url)
            args = dict(state_path=str(tmp_path / "s.json"), threshold=0.05, burn_token=TOKEN,
                        burn_chat_id=CHAT, pause_path="", interval_seconds=600)
            api.rows = [{"netuid": 1, "incentive_burn": 0.1}]
            assert monitor.run_cycle(**args)["outcome"] == "ok"
            api.rows = [{"netuid": 1, "incentive_burn": 0.9}]
            if where == "sleep":
                bot.script(Answer.flood(retry_after=60))
            else:
                bot.script(Answer(hang=True))
            signal.setitimer(signal.ITIMER_REAL, 0.5)
            started = time.monotonic()
            with pytest.raises(Stop):
                monitor.run_cycle(**args)
            assert time.monotonic() - started < 10
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    queued = json.loads((tmp_path / "s.outbox.json").read_text())["messages"]
    assert len(queued) == 1 and queued[0]["text"].endswith("SN1: 0.1000 → 0.9000")
