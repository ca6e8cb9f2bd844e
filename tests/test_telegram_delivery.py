"""Telegram delivery over loopback HTTP: requests, numbered parts, failures and token masking."""

from __future__ import annotations

import http.client
import json
import urllib.error

import pytest

from conftest import closed_port
from bittensor_emberscope.testing import Answer, TelegramStandIn

TOKEN = "123456:AAH-secret_token"
CHAT = "-1001"
NOT_CONFIGURED = (False, "burn telegram not configured")



def report(lines, width=60):
    """A snapshot-shaped text: three header lines, an empty line, `lines` subnet lines."""
    head = ["Owner burn rates", "2025-01-01T00:00:00Z UTC", f"{lines} subnets", ""]
    return "\n".join(head + [f"SN{i}: " + "9" * width for i in range(lines)])


def test_request_byte_for_byte(es, telegram, sleeps):
    text = "(1/2)\nSN1: 0.1000 → 0.2000"
    assert es.send_burn_telegram(text, TOKEN, CHAT) == (True, "")
    (rec,) = telegram.requests
    assert (rec.method, rec.path, rec.query) == ("POST", f"/bot{TOKEN}/sendMessage", "")
    assert rec.body == (b"chat_id=-1001&text=%281%2F2%29%0ASN1%3A+0.1000+%E2%86%92+0.2000"
                        b"&disable_web_page_preview=true")
    assert rec.headers == [
        ("Accept-Encoding", "identity"), ("Content-Length", "93"), ("Host", f"127.0.0.1:{telegram.port}"),
        ("User-Agent", "Python-urllib/3.13"), ("Content-Type", "application/x-www-form-urlencoded"),
        ("Connection", "close")]
    assert telegram.messages == [text] and sleeps == []


@pytest.mark.parametrize("op", ["send_burn_telegram", "send_burn_telegram_messages"])
@pytest.mark.parametrize("token, chat", [("", CHAT), (TOKEN, ""), ("", "")])
def test_not_configured_sends_nothing(es, telegram, op, token, chat):
    assert getattr(es, op)("text", token, chat) == NOT_CONFIGURED
    assert telegram.requests == []


BIG_JSON = json.dumps({"ok": False, "detail": "é" * 990})
BIG_PAGE = "<html>" + "x" * 994


@pytest.mark.parametrize("answer, result", [
    (Answer.json({"ok": True}), (True, "")),
    (Answer.json({"ok": 1}), (True, "")),
    (Answer.json({"ok": False}), (False, "{'ok': False}")),
    (Answer.json({}), (False, "{}")),
    (Answer.json({"ok": 0, "r": [None, "é", 1.5, True]}), (False, "{'ok': 0, 'r': [None, 'é', 1.5, True]}")),
    (Answer.telegram_error(400, "Bad Request: chat not found"), (False, "Bad Request: chat not found")),
    (Answer.flood(), (False, "Too Many Requests: retry after 41")),
    (Answer.json({"description": 5}, 400), (False, "5")),
    (Answer.json({"description": {"a": "b"}}, 400), (False, "{'a': 'b'}")),
    (Answer(400, body=b'{"ok":false}'), (False, '{"ok":false}')),
    (Answer.json({"ok": False, "description": ""}, 400), (False, '{"ok": false, "description": ""}')),
    (Answer(400, body=BIG_JSON.encode()), (False, BIG_JSON[:300])),
    (Answer(502, body=BIG_PAGE.encode()), (False, BIG_PAGE)),
    (Answer.text("é" * 400, 400), (False, "é" * 400)),
    (Answer.html(502), (False, Answer.html(502).body.decode())),
    (Answer(404, body=b""), (False, "HTTP Error 404: Not Found")),
    (Answer(500, reason="Custom Reason", body=b""), (False, "HTTP Error 500: Custom Reason")),
    (Answer(401, body=None), (False, "HTTP Error 401: Unauthorized")),
])
def test_one_message_outcomes(es, telegram, opened, answer, result):
    telegram.script(answer)
    assert es.send_burn_telegram("hello", TOKEN, CHAT) == result
    assert len(telegram.requests) == 1 and opened["timeouts"] == [30]
    assert all(s.closed for s in opened["streams"])


@pytest.mark.parametrize("answer, error", [
    (Answer(200, body=b"\xff"), UnicodeDecodeError),
    (Answer(200, body=b"nope"), json.JSONDecodeError),
    (Answer(200, body=b"[1]"), AttributeError),
    (Answer(400, body=b"\xc3("), UnicodeDecodeError),
    (Answer(400, body=b"[]"), AttributeError),
    (Answer(400, body=b'"text"'), AttributeError),
])
def test_raised_outcomes(es, telegram, opened, answer, error):
    telegram.script(answer)
    with pytest.raises(error):
        es.send_burn_telegram("hello", TOKEN, CHAT)
    assert all(s.closed for s in opened["streams"])


@pytest.mark.parametrize("base, answer, error", [
    (lambda bot: f"http://127.0.0.1:{closed_port()}", None, "<urlopen error [Errno 111] Connection refused>"),
    (lambda bot: bot.base_url, Answer(drop=True), "Remote end closed connection without response"),
    (lambda bot: bot.base_url, Answer(hang=True), "timed out"),
])
def test_transport_failures_are_returned(es, telegram, opened, clean_env, sleeps, base, answer, error):
    opened["use_timeout"] = 0.5
    clean_env.setenv("TELEGRAM_API_BASE", base(telegram))
    if answer:
        telegram.script(answer)
    assert es.send_burn_telegram_messages(report(200), TOKEN, CHAT) == (False, error)
    assert opened["timeouts"] == [30] and sleeps == []


def test_endpoint_read_at_every_call(es, telegram, clean_env):
    with TelegramStandIn() as second:
        es.send_burn_telegram("one", TOKEN, CHAT)
        clean_env.setenv("TELEGRAM_API_BASE", second.base_url + "///")
        es.send_burn_telegram("two", TOKEN, CHAT)
        assert (telegram.messages, second.messages) == (["one"], ["two"])
        assert second.requests[0].path == f"/bot{TOKEN}/sendMessage"


def test_default_endpoint(es, monkeypatch):
    urls = []

    def offline(request, timeout):
        urls.append((request.get_method(), request.full_url))
        raise urllib.error.URLError("offline")

    monkeypatch.setattr(es.urllib.request, "urlopen", offline)
    assert es.send_burn_telegram("x", TOKEN, CHAT) == (False, "<urlopen error offline>")
    assert urls == [("POST", f"https://api.telegram.org/bot{TOKEN}/sendMessage")]


@pytest.mark.parametrize("text, parts", [
    ("", [""]), ("é" * 3900, ["é" * 3900]), (report(3), [report(3)]),
])
def test_short_texts_are_one_unnumbered_message(es, telegram, sleeps, text, parts):
    telegram.max_text_length = None
    es.send_burn_telegram_messages(text, TOKEN, CHAT)
    assert [r.text for r in telegram.requests] == parts and sleeps == []


def test_long_text_is_numbered_and_paced(es, telegram, sleeps):
    text = report(150)
    assert es.send_burn_telegram_messages(text, TOKEN, CHAT) == (True, "")
    sent = telegram.messages
    assert [m.split("\n", 1)[0] for m in sent] == ["(1/3)", "(2/3)", "(3/3)"]
    header = "\n".join(text.split("\n")[:4])
    bodies = [m.split("\n", 1)[1] for m in sent]
    assert all(b.startswith(header + "\n") and len(b) <= 3900 for b in bodies)
    assert [line for b in bodies for line in b.split("\n")[4:]] == text.split("\n")[4:]
    assert sleeps == [0.4, 0.4]


@pytest.mark.parametrize("second, result", [
    (Answer.telegram_error(400, "D"), (False, "D")),
    (Answer(500, body=b""), (False, "HTTP Error 500: Internal Server Error")),
])
def test_failure_on_part_two_of_three_stops(es, telegram, sleeps, second, result):
    telegram.script(Answer.json({"ok": True}), second)
    assert es.send_burn_telegram_messages(report(150), TOKEN, CHAT) == result
    assert len(telegram.requests) == 2 and sleeps == [0.4]


def test_raised_failure_on_part_two_leaves_part_one_sent(es, telegram, sleeps):
    telegram.script(Answer.json({"ok": True}), Answer(200, body=b"<html>"))
    with pytest.raises(json.JSONDecodeError):
        es.send_burn_telegram_messages(report(150), TOKEN, CHAT)
    assert len(telegram.requests) == 2 and sleeps == [0.4]


@pytest.mark.parametrize("base, token, error, message", [
    ("", TOKEN, ValueError, "unknown url type: '/bot<token>/sendMessage'"),
    ("api.telegram.org/", TOKEN, ValueError, "unknown url type: 'api.telegram.org/bot<token>/sendMessage'"),
    (None, "123456:a b", http.client.InvalidURL,
     "URL can't contain control characters. '/bot<token>/sendMessage' (found at least ' ')"),
])
@pytest.mark.parametrize("op", ["send_burn_telegram", "send_burn_telegram_messages"])
def test_token_masked_in_raised_errors(es, telegram, clean_env, op, base, token, error, message):
    if base is not None:
        clean_env.setenv("TELEGRAM_API_BASE", base)
    with pytest.raises(error) as info:
        getattr(es, op)("x", token, CHAT)
    e = info.value
    assert type(e) is error and str(e) == message and token not in repr(e.args)
    assert e.__cause__ is None and e.__context__ is None


@pytest.mark.parametrize("base, answer, error", [
    (lambda tmp, bot: f"file://{tmp}/missing", None,
     lambda tmp: f"<urlopen error [Errno 2] No such file or directory: '{tmp}/missing/bot<token>/sendMessage'>"),
    (lambda tmp, bot: bot.base_url, Answer.telegram_error(401, f"Unauthorized: {TOKEN} revoked"),
     lambda tmp: "Unauthorized: <token> revoked"),
    (lambda tmp, bot: bot.base_url, Answer(400, body=f"bad {TOKEN}!".encode()),
     lambda tmp: "bad <token>!"),
])
def test_token_masked_in_returned_errors(es, telegram, clean_env, tmp_path, base, answer, error):
    clean_env.setenv("TELEGRAM_API_BASE", base(tmp_path, telegram))
    if answer:
        telegram.script(answer)
    assert es.send_burn_telegram_messages("x", TOKEN, CHAT) == (False, error(tmp_path))


@pytest.mark.parametrize("call, message", [
    (lambda es: es.send_burn_telegram(None, TOKEN, CHAT), "send_burn_telegram() argument 'text' must be str, not None"),
    (lambda es: es.send_burn_telegram_messages("x", TOKEN),
     "send_burn_telegram_messages() missing 1 required positional argument: 'chat_id'"),
])
def test_argument_checks(es, telegram, call, message):
    with pytest.raises(TypeError) as info:
        call(es)
    assert str(info.value) == message and telegram.requests == []
