"""The loopback stand-ins, exercised over real HTTP with urllib."""

import json
import re
import threading
import urllib.error
import urllib.request

import pytest

from bittensor_emberscope.testing import (
    Answer, TaostatsStandIn, TelegramStandIn, odd_rows, realistic_rows)
from bittensor_emberscope.testing.listings import BURN_ODDITIES, ABSENT, ss58_encode
from bittensor_emberscope.testing.telegram import FALLBACK_CHAT_ID

LISTING = "/api/subnet/latest/v1"
FORM = "application/x-www-form-urlencoded"


def call(url, data=None, headers=(), method=None, timeout=5):
    """(status, reason, headers, body) of one exchange; HTTP errors are answers too."""
    req = urllib.request.Request(url, data=data, method=method)
    for name, value in headers:
        req.add_header(name, value)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as resp:
            return resp.status, resp.reason, resp.headers, resp.read()
    except urllib.error.HTTPError as err:
        with err:
            return err.code, err.reason, err.headers, err.read()


def burns(rows):
    return [row.get("incentive_burn", ABSENT) for row in rows]


# Taostats

def test_listing_is_the_current_rows_verbatim():
    rows = realistic_rows(5)
    with TaostatsStandIn(rows=rows) as api:
        status, _, headers, body = call(api.listing_url + "?limit=1024&order=netuid_asc")
        pagination = {"current_page": 1, "per_page": 1024, "total_items": 5, "total_pages": 1,
                      "next_page": None, "prev_page": None}
        assert (status, body) == (200, json.dumps({"pagination": pagination, "data": rows}).encode())
        assert headers["Content-Length"] == str(len(body))
        api.set_burn(3, "0.5")
        api.clear_burn(4)
        data = json.loads(call(api.listing_url + "?limit=1024")[3])["data"]
        assert burns(data)[3:] == ["0.5", ABSENT]
        with pytest.raises(KeyError):
            api.set_burn(99, 1.0)


@pytest.mark.parametrize("query, count, page_info", [
    ("", 50, (1, 50, 3, 2, None)),
    ("limit=1024", 129, (1, 1024, 1, None, None)),
    ("limit=50&page=3", 29, (3, 50, 3, None, 2)),
    ("limit=abc&page=0", 50, (1, 50, 3, 2, None)),
])
def test_listing_pages_like_the_api(query, count, page_info):
    with TaostatsStandIn() as api:
        answer = json.loads(call(api.listing_url + "?" + query)[3])
    p = answer["pagination"]
    assert len(answer["data"]) == count and p["total_items"] == 129
    assert (p["current_page"], p["per_page"], p["total_pages"], p["next_page"], p["prev_page"]) == page_info


@pytest.mark.parametrize("path, method, auth, status, body", [
    (LISTING, "GET", "k", 200, None),
    (LISTING, "GET", "other", 401, {"message": "Unauthorized"}),
    (LISTING, "GET", None, 401, {"message": "Unauthorized"}),
    ("/api/subnet/latest/v2", "GET", "k", 404, {"message": "Not Found"}),
    (LISTING, "POST", "k", 405, {"message": "Method Not Allowed"}),
])
def test_taostats_routes_and_key(path, method, auth, status, body):
    with TaostatsStandIn(require_key="k") as api:
        headers = [("Authorization", auth)] if auth is not None else []
        got = call(api.base_url + path, data=b"" if method == "POST" else None,
                   headers=headers, method=method)
    assert got[0] == status
    if body is not None:
        assert json.loads(got[3]) == body


def test_recording_keeps_query_and_headers_as_sent():
    query = "limit=1024&order=netuid_asc&x=a%20b&&y="
    sent = [("Authorization", " key 1 "), ("User-Agent", "UA/1"),
            ("Accept", "application/json, text/plain, */*"), ("Accept-Language", "en-US,en;q=0.9")]
    with TaostatsStandIn() as api:
        call(api.listing_url + "?" + query, headers=sent)
        call(api.listing_url)
        first, second = api.requests
    assert (first.method, first.path, first.query, first.body) == ("GET", LISTING, query, b"")
    ours = [(n.lower(), v) for n, v in first.headers if n.lower() in {s.lower() for s, _ in sent}]
    # The header parser drops the space after the colon; the rest of the value stays.
    assert ours == [(n.lower(), v.lstrip()) for n, v in sent]
    assert first.header("AUTHORIZATION") == "key 1 " and first.header("X-None") is None
    assert second.query == ""


# Scripted answers, shared by both stand-ins

@pytest.mark.parametrize("standin", [TaostatsStandIn, TelegramStandIn])
def test_scripted_answers_in_order_then_default(standin):
    with standin() as srv:
        srv.script(Answer.text("Rate Limited", 429),
                   Answer(503, reason="Slow Down Please", body=None),
                   Answer(500, body=b""),
                   Answer.html(502),
                   Answer(200, body=b"{}", delay=0.05, headers={"X-Trace": "7"}))
        url = srv.base_url + "/anything"
        got = [call(url) for _ in range(6)]
        assert srv.pending == 0 and len(srv.requests) == 6
    assert got[0][0::3] == (429, b"Rate Limited")
    assert got[1][:2] == (503, "Slow Down Please") and got[1][3] == b""
    assert "Content-Length" not in got[1][2] and got[2][2]["Content-Length"] == "0"
    assert got[3][0] == 502 and got[3][3].startswith(b"<html>") and b"502 Bad Gateway" in got[3][3]
    assert (got[4][0], got[4][2]["X-Trace"], got[4][3]) == (200, "7", b"{}")
    assert got[5][0] == 404  # the queue is empty: the stand-in's own answer


def test_default_override_and_clear():
    with TaostatsStandIn() as api:
        api.default = Answer.rate_limited()
        api.script(Answer.json({"a": 1}))
        assert [call(api.listing_url)[0] for _ in range(3)] == [200, 429, 429]
        api.script(Answer(drop=True))
        api.clear()
        assert api.requests == [] and api.pending == 0


def test_drop_closes_without_answer():
    with TaostatsStandIn() as api:
        api.script(Answer(drop=True))
        with pytest.raises((urllib.error.URLError, ConnectionError)):
            call(api.listing_url)
        assert len(api.requests) == 1
        assert call(api.listing_url)[0] == 200


def test_hang_times_the_client_out():
    with TelegramStandIn() as tg:
        tg.script(Answer(hang=True))
        with pytest.raises((TimeoutError, urllib.error.URLError)):
            call(tg.send_message_url("1:A"), data=b"chat_id=1&text=x", timeout=0.5)


@pytest.mark.parametrize("answer", [Answer(hang=True), Answer(delay=600)])
def test_close_cuts_a_waiting_answer_short(answer):
    api = TaostatsStandIn()
    api.script(answer)
    outcome = []

    def client():
        try:
            outcome.append(call(api.listing_url, timeout=600))
        except Exception as err:
            outcome.append(err)

    thread = threading.Thread(target=client, daemon=True)
    thread.start()
    assert api.wait_for_requests(1)
    closer = threading.Thread(target=api.close, daemon=True)
    closer.start()
    closer.join(10)
    thread.join(10)
    assert not closer.is_alive() and not thread.is_alive()
    assert isinstance(outcome[0], ConnectionError)  # disconnected, not answered or timed out
    api.close()  # a second close is harmless


# Telegram

def test_send_message_decodes_form_and_accepts():
    body = b"chat_id=-1001&text=%281%2F2%29%0ASN1%3A+0.1000+%E2%86%92+0.2000&disable_web_page_preview=true"
    with TelegramStandIn(token="123:ABC-def") as tg:
        url = tg.send_message_url("123:ABC-def")
        first = call(url, data=body, headers=[("Content-Type", FORM)])
        second = call(url, data=b"chat_id=%40emberscope&text=two")
        rec = tg.requests[0]
        assert tg.messages == ["(1/2)\nSN1: 0.1000 → 0.2000", "two"]
    assert (rec.method, rec.token, rec.body, rec.header("Content-Type")) == ("POST", "123:ABC-def", body, FORM)
    assert rec.form == [("chat_id", "-1001"), ("text", "(1/2)\nSN1: 0.1000 → 0.2000"),
                        ("disable_web_page_preview", "true")]
    assert rec.text == "(1/2)\nSN1: 0.1000 → 0.2000"
    one, two = json.loads(first[3]), json.loads(second[3])
    assert first[0] == 200 and one["ok"] is True and one["result"]["text"] == rec.text
    assert [one["result"]["message_id"], two["result"]["message_id"]] == [1, 2]
    assert [one["result"]["chat"]["id"], two["result"]["chat"]["id"]] == [-1001, FALLBACK_CHAT_ID]
    assert isinstance(one["result"]["date"], int)


@pytest.mark.parametrize("path, body, status, description", [
    ("/botWRONG/sendMessage", b"chat_id=1&text=x", 401, "Unauthorized"),
    ("/botT/getWebhookInfo", b"", 404, "Not Found"),  # a method the stand-in lacks
    ("/bot/sendMessage", b"chat_id=1&text=x", 404, "Not Found"),
    ("/botT/sendMessage", b"chat_id=1&text=", 400, "Bad Request: message text is empty"),
    ("/botT/sendMessage", b"text=x", 400, "Bad Request: chat_id is empty"),
    ("/botT/sendMessage", b"chat_id=1&text=" + b"x" * 4097, 400, "Bad Request: message is too long"),
    ("/botT/sendMessage", b"chat_id=1&text=" + b"x" * 4096, 200, None),
])
def test_telegram_refusals(path, body, status, description):
    with TelegramStandIn(token="T") as tg:
        got = call(tg.base_url + path, data=body)
        accepted = tg.messages
    answer = json.loads(got[3])
    assert got[0] == status
    if description is None:
        assert answer["ok"] is True and accepted == ["x" * 4096]
    else:
        assert answer == {"ok": False, "error_code": status, "description": description}
        assert accepted == []


def test_telegram_error_helpers_send_the_bot_api_bodies():
    with TelegramStandIn() as tg:
        tg.script(Answer.telegram_error(400, "Bad Request: chat not found"), Answer.flood(retry_after=41))
        url = tg.send_message_url("1:A")
        got = [call(url, data=b"chat_id=1&text=x") for _ in range(2)]
        assert tg.messages == []
    assert got[0][0::3] == (400, b'{"ok": false, "error_code": 400, "description": "Bad Request: chat not found"}')
    assert got[1][0::3] == (429, b'{"ok": false, "error_code": 429, "description": "Too Many Requests: '
                                 b'retry after 41", "parameters": {"retry_after": 41}}')


# Listings

@pytest.mark.parametrize("seed", [0, 1, 7])
def test_realistic_rows_mix(seed):
    rows = realistic_rows(seed=seed)
    assert rows == realistic_rows(seed=seed) and rows != realistic_rows(seed=seed + 100)
    assert [row["netuid"] for row in rows] == list(range(129))
    values = burns(rows)
    numbers = [v for v in values if isinstance(v, (int, float))]
    share = lambda n: n / len(rows)
    assert 0.28 < share(sum(1 for v in numbers if v == 0)) < 0.38
    assert 0.35 < share(sum(1 for v in numbers if v == 1.0)) < 0.45
    assert any(0 < v < 1 for v in numbers)
    assert 1 <= sum(isinstance(v, str) for v in values) <= 6
    assert 1 <= values.count(ABSENT) <= 6
    for row in rows:
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", row["timestamp"])
        assert all(type(row[k]) is int for k in ("block_number", "max_neurons", "active_validators",
                                                 "active_miners", "tempo"))
        assert all(row[k].isdigit() for k in ("emission", "min_burn", "max_burn", "recycled_24_hours"))
        assert re.fullmatch(r"0x[0-9a-f]{64}", row["owner"]["hex"])
        assert row["owner"]["ss58"] == ss58_encode(bytes.fromhex(row["owner"]["hex"][2:]))
    json.dumps(rows, allow_nan=False)


def test_ss58_known_address():
    alice = bytes.fromhex("d43593c715fdd31c61141abd04a99fd6822c8558854ccde39a5684e7a56da27d")
    assert ss58_encode(alice) == "5GrwvaEF5zXb26Fz9rcQpDWS57CtERHpNehXCPcNoHGKutQY"


def test_odd_rows_cover_every_oddity_and_survive_the_wire():
    rows = odd_rows()
    assert rows == odd_rows() and len(rows) == 1024
    values = burns(rows)
    for odd in BURN_ODDITIES:
        assert any(v is odd if odd is ABSENT else (type(v), v) == (type(odd), odd) for v in values), odd
    assert sum("netuid" not in row for row in rows) >= 10
    assert sum(isinstance(row.get("netuid"), str) for row in rows) >= 10
    assert any(not row["name"].isascii() for row in rows)
    with TaostatsStandIn(rows=rows) as api:
        assert json.loads(call(api.listing_url + "?limit=1024")[3])["data"] == rows


def test_telegram_take_messages_hands_over_and_forgets():
    with TelegramStandIn() as tg:
        url = tg.send_message_url("1:A")
        call(url, data=b"chat_id=1&text=a")
        call(url, data=b"chat_id=1&text=b")
        assert tg.take_messages() == ["a", "b"]
        assert tg.take_messages() == [] and tg.messages == []


def test_telegram_get_updates_is_a_long_poll_that_an_offset_confirms():
    import time
    with TelegramStandIn(token="T") as tg:
        url = tg.base_url + "/botT/getUpdates"
        began = time.monotonic()
        got = call(url, data=b"timeout=1&offset=0", timeout=10)
        assert (got[0], json.loads(got[3])) == (200, {"ok": True, "result": []})
        assert time.monotonic() - began >= 0.9  # held open for its timeout
        # An update arriving during the poll ends it at once.
        threading.Timer(0.2, tg.push_message, args=("/help",)).start()
        began = time.monotonic()
        [update] = json.loads(call(url, data=b"timeout=20", timeout=30)[3])["result"]
        assert time.monotonic() - began < 15
        assert update["message"]["text"] == "/help"
        # Until an offset past it confirms it, it is handed out again; then never.
        again = json.loads(call(url, data=b"timeout=0")[3])["result"]
        assert [u["update_id"] for u in again] == [update["update_id"]]
        offset = f"offset={update['update_id'] + 1}&timeout=0".encode()
        assert json.loads(call(url, data=offset)[3])["result"] == []
        assert tg.pending_updates == 0
        assert tg.requests == []  # background calls are kept apart
        assert [m for m, _ in tg.bot_calls] == ["getUpdates"] * 4
