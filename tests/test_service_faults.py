"""The monitor engine against services that misbehave as the real ones do, over loopback:
long flood-control pauses, capped pages, rate limits, answers cut off halfway, huge error pages,
and failure texts that name the service and the cause."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import threading
import urllib.parse

import pytest

from test_cli import unstamp_all

from bittensor_emberscope import monitor
from bittensor_emberscope.testing import Answer, TaostatsStandIn
from conftest import closed_port
from test_monitor import baseline, err_lines, paths, rows  # noqa: F401 (paths: a fixture)

TOKEN = "123456:AAE-realistic-token-0123456789abcdefghijklm"
KEY = "tao-key-0123456789abcdef"
CHAT = "-1001"
BUDGET = 150  # a quarter of the 600 s interval


@pytest.fixture
def clock(monkeypatch):
    """The engine's clocks: its sleeps advance both the monotonic and the wall clock."""
    now = {"wall": 1_765_152_000.0, "mono": 1000.0, "sleeps": []}

    def sleep(seconds):
        now["sleeps"].append(seconds)
        now["wall"] += seconds
        now["mono"] += seconds

    monkeypatch.setattr(monitor.time, "sleep", sleep)
    monkeypatch.setattr(monitor.time, "monotonic", lambda: now["mono"])
    monkeypatch.setattr(monitor.time, "time", lambda: now["wall"])
    return now


@pytest.fixture
def cycle(paths, clock, taostats, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_KEY", KEY)

    def run(**kw):
        args = dict(state_path=str(paths["state"]), threshold=0.05, burn_token=TOKEN,
                    burn_chat_id=CHAT, pause_path=str(paths["pause"]), interval_seconds=600)
        args.update(kw)
        return monitor.run_cycle(**args)
    return run


def page_of(query: str) -> str | None:
    return dict(urllib.parse.parse_qsl(query)).get("page")


# Telegram's flood control: a pause it asks for holds the chat across cycles and processes.

def test_a_long_retry_after_holds_the_chat_until_it_passes(taostats, telegram, cycle, capsys,
                                                           paths, clock):
    baseline(taostats, cycle, capsys, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    telegram.script(Answer.flood(retry_after=3600))
    report = cycle()
    assert report["outcome"] == "telegram_failed"
    assert report["detail"] == "telegram: rate limited (HTTP 429, retry after 3600 s)"
    assert len(telegram.requests) == 1 and clock["sleeps"] == []
    saved = json.loads(paths["outbox"].read_text())
    assert saved["telegram_not_before"] == {CHAT: clock["wall"] + 3600}

    # Later cycles (each as a new process would run it: all they know is in the files) post
    # nothing to the chat inside the window, though new changes keep coming.
    for step in range(1, 6):
        clock["wall"] += 600
        taostats.rows = rows({1: 0.3 + step / 10})
        report = cycle()
        assert report["outcome"] == "telegram_failed"
        assert report["detail"].startswith("telegram: rate limited (HTTP 429), no message to this "
                                           "chat before ")
        assert len(telegram.requests) == 1
    assert report["outbox_size"] == 6

    clock["wall"] += 600  # the hour is over
    report = cycle()
    assert report["outcome"] == "ok" and report["delivered"] == 6
    assert len(telegram.messages) == 6
    assert not paths["outbox"].exists()


def test_an_outbox_of_the_previous_version_still_loads(taostats, telegram, cycle, capsys, paths):
    paths["outbox"].write_text(json.dumps({
        "chat_migrations": {},
        "messages": [{"count": 1, "kind": "alert", "part": 1, "queued_at": 1765151000.0,
                      "stamp": "2025-12-07T23:43:20Z", "text": "queued before", "total": 1}],
        "version": 1}, indent=2, sort_keys=True) + "\n")
    baseline(taostats, cycle, capsys, {1: 0.1})
    assert telegram.messages == ["queued before"]


# Pages: a server that caps `limit` must not cost subnets.

def test_a_capped_listing_is_read_page_by_page(telegram, cycle, capsys, monkeypatch):
    with TaostatsStandIn(rows=rows({n: 0.1 for n in range(256)}), max_limit=200) as capped:
        monkeypatch.setenv("TAOSTATS_API_BASE", capped.base_url)
        report = cycle()
        assert report["outcome"] == "ok" and report["subnets"] == 256
        assert [page_of(r.query) for r in capped.requests] == ["1", "2"]
        # Every subnet asked for in one page; the server's cap is followed through its pages.
        assert all(dict(urllib.parse.parse_qsl(r.query))["limit"] == "1024" for r in capped.requests)
        capped.set_burn(250, 0.9)
        report = cycle()
        assert report["changes"] == [["250", "0.1", "0.9"]]
        assert telegram.messages[-1].endswith("SN250: 0.1000 → 0.9000")


def page_answer(rows_: list[dict], page: int, total: int, next_page: int | None) -> Answer:
    return Answer.json({"pagination": {"current_page": page, "per_page": 200, "total_items": total,
                                       "total_pages": 2, "next_page": next_page,
                                       "prev_page": page - 1 or None},
                        "data": rows_})


FIRST = rows({n: 0.1 for n in range(200)})
SECOND = rows({n: 0.1 for n in range(200, 256)})


@pytest.mark.parametrize("answers, detail", [
    ([page_answer(FIRST, 1, 256, None)],
     "taostats: listing not read whole: 200 of 256 rows (total_items)"),
    ([page_answer(FIRST, 1, 256, 2), Answer.html(502)],
     "taostats: HTTP 502 Bad Gateway: <html> <head><title>502 Bad Gateway</title></head> <body> "
     "<center><h1>502 Bad Gateway</h1></center> <hr><center>nginx</center> </body> </html>"),
    ([page_answer(FIRST, 1, 256, 2), page_answer(FIRST, 1, 256, 2)],
     "taostats: listing not read whole: asked for page 2, got page 1"),
    ([page_answer(FIRST, 1, 256, 2), page_answer(FIRST, 2, 256, None)],
     "taostats: listing not read whole: page 2 repeats page 1"),
    ([page_answer(FIRST, 1, 256, 2), page_answer(SECOND, 2, 300, None)],
     "taostats: listing not read whole: total_items went from 256 to 300 at page 2"),
])
def test_a_listing_that_cannot_be_read_whole_is_a_fetch_failure(taostats, telegram, cycle, capsys,
                                                                paths, answers, detail):
    baseline(taostats, cycle, capsys, {n: 0.5 for n in range(256)})
    saved = paths["state"].read_text()
    taostats.script(*answers)
    report = cycle()
    assert report["outcome"] == "fetch_failed" and report["detail"] == detail
    assert err_lines(capsys) == [f"[burn] fetch failed: {detail}\n"]
    assert paths["state"].read_text() == saved  # no partial baseline
    assert telegram.requests == []


def test_an_answer_without_pagination_is_the_whole_listing(taostats, cycle):
    taostats.script(Answer.json({"data": rows({1: 0.1, 2: 0.2})}))
    report = cycle()
    assert report["outcome"] == "ok" and report["subnets"] == 2
    assert len(taostats.requests) == 1


# Taostats rate limits: recognised by status, Retry-After honoured, remembered past the cycle.

def too_many(retry_after: int) -> Answer:
    """Taostats' flood answer with a JSON body."""
    return Answer(429, body=json.dumps({"error": "Too Many Requests"}).encode(),
                  headers=[("Content-Type", "application/json"), ("Retry-After", str(retry_after))])


@pytest.mark.parametrize("answer", [
    too_many(30),
    Answer(429, body=b"Too Many Requests", headers=[("Retry-After", "30")]),
])
def test_a_rate_limit_is_waited_out_as_the_server_asks(taostats, cycle, clock, answer):
    taostats.script(answer)
    report = cycle()
    assert report["outcome"] == "ok"
    assert len(taostats.requests) == 2
    assert clock["sleeps"] == [1.0] * 30


def test_a_rate_limit_longer_than_the_budget_is_remembered(taostats, cycle, clock, capsys, paths):
    taostats.script(too_many(900))
    report = cycle()
    assert report["outcome"] == "fetch_failed"
    assert report["detail"] == "taostats: rate limited (HTTP 429, retry after 900 s)"
    assert err_lines(capsys) == ["[burn] fetch failed: taostats: rate limited (HTTP 429, "
                                 "retry after 900 s)\n"]
    assert len(taostats.requests) == 1 and clock["sleeps"] == []
    assert json.loads(paths["outbox"].read_text())["taostats_not_before"] == clock["wall"] + 900

    clock["wall"] += 600  # the next cycle, inside the window: the service is not asked
    report = cycle()
    assert report["outcome"] == "fetch_failed" and len(taostats.requests) == 1
    assert report["detail"].startswith("taostats: rate limited (HTTP 429), no request before ")

    clock["wall"] += 200  # 100 s left: within the budget, waited out, then asked
    report = cycle()
    assert report["outcome"] == "ok" and len(taostats.requests) == 2
    assert clock["sleeps"] == [1.0] * 100
    assert not paths["outbox"].exists()


# Answers cut off halfway are transport failures, repeated like a dropped connection.

def test_a_telegram_answer_cut_off_is_repeated_like_a_dropped_connection(taostats, telegram, cycle,
                                                                        capsys, clock):
    baseline(taostats, cycle, capsys, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    body = json.dumps({"ok": True, "result": {"message_id": 1}}).encode()
    telegram.script(*[Answer(200, body=body, cut=10)] * 3)
    report = cycle()
    assert report["outcome"] == "telegram_failed"
    assert len(telegram.requests) == 3
    port = telegram.port
    assert report["detail"] == (f"telegram: answer cut off (transfer closed with {len(body) - 10} "
                                f"bytes remaining to read) (127.0.0.1:{port})")


@pytest.fixture
def not_http():
    """A loopback server that answers each connection with a line that is not HTTP, then closes."""
    server = socket.create_server(("127.0.0.1", 0))
    server.settimeout(0.2)
    stop = threading.Event()
    seen = {"port": server.getsockname()[1], "connections": 0}

    def serve():
        while not stop.is_set():
            try:
                conn, _ = server.accept()
            except TimeoutError:
                continue
            seen["connections"] += 1
            with conn:
                conn.settimeout(5)
                try:
                    conn.recv(65536)
                    conn.sendall(b"SSH-2.0-OpenSSH_9.6\r\n")
                except OSError:
                    pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield seen
    stop.set()
    thread.join(timeout=5)
    server.close()


def test_an_answer_that_is_not_http_is_a_transport_failure(taostats, cycle, capsys, paths,
                                                            monkeypatch, not_http):
    baseline(taostats, cycle, capsys, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    monkeypatch.setenv("TELEGRAM_API_BASE", f"http://127.0.0.1:{not_http['port']}")
    report = cycle()
    assert report["outcome"] == "telegram_failed" and report["outbox_size"] == 1
    assert not_http["connections"] == 3
    assert report["detail"] == ("telegram: answer is not HTTP (Received HTTP/0.9 when not allowed) "
                                f"(127.0.0.1:{not_http['port']})")


def test_a_taostats_answer_cut_off_is_a_fetch_failure(taostats, cycle, capsys):
    body = json.dumps({"data": rows({1: 0.1})}).encode()
    taostats.script(Answer(200, body=body, cut=7))
    report = cycle()
    assert report["outcome"] == "fetch_failed"
    assert report["detail"] == (f"taostats: answer cut off (transfer closed with {len(body) - 7} "
                                f"bytes remaining to read) (127.0.0.1:{taostats.port})")
    assert err_lines(capsys) == [f"[burn] error: {report['detail']}\n"]


# Excerpts: one short line, secrets masked before the cut.

def test_a_huge_error_page_is_quoted_in_one_short_line(taostats, telegram, cycle, capsys):
    baseline(taostats, cycle, capsys, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    # The token straddles the 200th character: cut first, its first characters would show.
    page = ("<html>\r\n" + "x" * 180 + " " + TOKEN + " " + "y" * 300_000 + "\r\n</html>\r\n")
    telegram.script(Answer(403, body=page.encode()))
    report = cycle()
    prefix = "telegram: HTTP 403 Forbidden: "
    assert report["detail"] == prefix + "<html> " + "x" * 180 + " <token> y..."
    assert len(report["detail"]) - len(prefix) == 200
    line = err_lines(capsys)[0]
    assert line == "[burn] telegram failed: " + report["detail"][len("telegram: "):] + "\n"
    assert TOKEN[:8] not in line


# Say who failed, and why.

def test_a_wrong_taostats_key_is_named(cycle, capsys, monkeypatch):
    with TaostatsStandIn(require_key="the-right-key-0000") as api:
        monkeypatch.setenv("TAOSTATS_API_BASE", api.base_url)
        report = cycle()
    assert report["detail"] == "taostats: HTTP 401 Unauthorized (check TAOSTATS_API_KEY)"
    assert err_lines(capsys) == ["[burn] fetch failed: taostats: HTTP 401 Unauthorized (check "
                                 "TAOSTATS_API_KEY)\n"]


def test_an_unreachable_taostats_is_named(cycle, capsys, monkeypatch):
    port = closed_port()
    monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{port}")
    report = cycle()
    assert report["outcome"] == "fetch_failed"
    assert report["detail"] == f"taostats: connection refused (127.0.0.1:{port})"


def test_telegram_through_a_dead_proxy_is_named(taostats, telegram, cycle, capsys, monkeypatch):
    baseline(taostats, cycle, capsys, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    proxy = closed_port()
    monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{proxy}")
    monkeypatch.setenv("no_proxy", f"127.0.0.1:{taostats.port}")
    report = cycle()
    assert report["outcome"] == "telegram_failed"
    assert report["detail"] == f"telegram: connection refused (proxy 127.0.0.1:{proxy})"
    assert telegram.requests == []
    assert err_lines(capsys)[0] == (f"[burn] telegram failed: connection refused (proxy "
                                    f"127.0.0.1:{proxy})\n")


# The pauses outlive the process: `emberscope once` in one process after another.

def run_once(env: dict[str, str]) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "bittensor_emberscope", "once"], env=env,
                          capture_output=True, text=True, timeout=60)


@pytest.fixture
def command_env(tmp_path, taostats, telegram):
    (tmp_path / "home").mkdir()
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_"))
           and k not in ("XDG_STATE_HOME", "JOURNAL_STREAM", "NOTIFY_SOCKET")
           and not k.lower().endswith("_proxy")}
    env.update(HOME=str(tmp_path / "home"), TAOSTATS_API_BASE=taostats.base_url,
               TAOSTATS_API_KEY=KEY, TELEGRAM_API_BASE=telegram.base_url,
               TELEGRAM_BOT_TOKEN=TOKEN, TELEGRAM_CHAT_ID=CHAT,
               EMBERSCOPE_STATE_FILE=str(tmp_path / "state.json"))
    return env


def test_pauses_hold_in_the_next_process(taostats, telegram, command_env):
    taostats.rows = rows({1: 0.1})
    assert run_once(command_env).returncode == 0  # the baseline
    taostats.rows = rows({1: 0.3})
    telegram.script(Answer.flood(retry_after=3600))
    done = run_once(command_env)
    assert done.returncode == 1
    assert unstamp_all(done.stderr).startswith("[burn] telegram failed: rate limited (HTTP 429, retry after "
                                  "3600 s)\n")
    taostats.rows = rows({1: 0.5})
    taostats.script(Answer(429, body=b"Too Many Requests", headers=[("Retry-After", "3000")]))
    done = run_once(command_env)
    held, fetched = unstamp_all(done.stderr).splitlines()[:2]
    assert held.startswith("[burn] telegram failed: rate limited (HTTP 429), no message to this "
                           "chat before ")  # the queued alert, still held
    assert fetched == "[burn] fetch failed: taostats: rate limited (HTTP 429, retry after 3000 s)"
    # Both pauses hold in another process: neither service is asked.
    asked = (len(taostats.requests), len(telegram.requests))
    done = run_once(command_env)
    assert done.returncode == 1
    assert (len(taostats.requests), len(telegram.requests)) == asked
    assert "no request before" in done.stderr and "no message to this chat before" in done.stderr
