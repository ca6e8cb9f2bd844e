"""The Taostats client over loopback HTTP: settings, one JSON GET, retries and the listing."""

from __future__ import annotations

import http.client
import json
import os
import urllib.error

import pytest
from hypothesis import given, strategies as st

from bittensor_emberscope import emberscope
from conftest import closed_port
from bittensor_emberscope.testing import Answer

LISTING = "/api/subnet/latest/v1"
AGENT = ("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/131.0.0.0 Safari/537.36")
UNBOUND = "cannot access local variable 'payload' where it is not associated with a value"
RATE = Answer.rate_limited


def delays(count):
    """The host's own arithmetic for the retry waits."""
    out, d = [], 2.0
    for _ in range(count):
        out.append(d)
        d = min(d * 1.8, 120.0)
    return out


def decoder_error(text):
    try:
        json.loads(text)
    except json.JSONDecodeError as e:
        return str(e)
    raise AssertionError("valid JSON")



@pytest.mark.parametrize("value, base", [
    (None, "https://api.taostats.io"), ("http://h:1", "http://h:1"), ("http://h:1///", "http://h:1"),
    ("http://h/a//b/", "http://h/a//b"), ("/", ""), ("", ""),
])
def test_api_base(es, clean_env, value, base):
    if value is not None:
        clean_env.setenv("TAOSTATS_API_BASE", value)
    assert es.api_base() == base and es.taostats_auth() is None


SPACES = "".join(chr(c) for c in range(0x3001) if chr(c).isspace()) + "\u200b\ufeff"


@given(st.text(st.sampled_from(SPACES + "ab \u00e9"), max_size=8))
def test_taostats_auth_strips_as_the_host_does(value):
    os.environ["TAOSTATS_API_KEY"] = value
    try:
        assert emberscope.taostats_auth() == (value.strip() or None)
    finally:
        del os.environ["TAOSTATS_API_KEY"]


@pytest.mark.parametrize("agent", [None, "", "  spaced agent  "])
def test_request_headers(es, clean_env, agent):
    if agent is not None:
        clean_env.setenv("TAOSTATS_USER_AGENT", agent)
    assert list(es.request_headers(" k\n").items()) == [
        ("Authorization", " k\n"), ("User-Agent", AGENT if agent is None else agent),
        ("Accept", "application/json, text/plain, */*"), ("Accept-Language", "en-US,en;q=0.9")]


def test_headers_and_target_as_received(es, taostats):
    rows = es.fetch_all_subnets_latest("test-key")
    assert rows == taostats.rows and len(rows) == 129
    (rec,) = taostats.requests
    assert (rec.method, rec.path, rec.query, rec.body) == ("GET", LISTING, "limit=1024&order=netuid_asc", b"")
    assert rec.headers == [
        ("Accept-Encoding", "identity"), ("Host", f"127.0.0.1:{taostats.port}"),
        ("Authorization", "test-key"), ("User-Agent", AGENT),
        ("Accept", "application/json, text/plain, */*"), ("Accept-Language", "en-US,en;q=0.9"),
        ("Connection", "close")]


@pytest.mark.parametrize("params, query", [
    ({"limit": 1024, "order": "netuid_asc"}, "limit=1024&order=netuid_asc"),
    ({}, None), ({"a": None, "b": ""}, None),
    ({"q": "a&b=c", "skip": None, "n": 0, "f": False, "x": 1.5, "big": 10**20},
     "q=a&b=c&n=0&f=False&x=1.5&big=100000000000000000000"),
])
def test_query_is_verbatim(es, taostats, params, query):
    es.http_get_json("/p", params, "k")
    rec = taostats.requests[0]
    assert rec.path == "/p" and rec.query == ("" if query is None else query)


def test_query_with_a_space_reaches_the_client_unescaped(es, taostats):
    with pytest.raises(http.client.InvalidURL, match="q=a b"):
        es.http_get_json("/p", {"q": "a b"}, "k")


@pytest.mark.parametrize("answer, expected", [
    (Answer.json({"a": 1, "data": []}), {"a": 1, "data": []}),
    (Answer(200, body=b"null"), None),
    (Answer.text("Rate Limited", 429), {"status_code": 429, "message": "Rate Limited", "http_status": 429}),
    (Answer(500, body=b""), {"status_code": 500, "message": "Internal Server Error", "http_status": 500}),
    (Answer(503, reason="Back Soon", body=None), {"status_code": 503, "message": "Back Soon", "http_status": 503}),
    (Answer.json({"message": "Not Found"}, 404), {"message": "Not Found", "http_status": 404}),
    (Answer.json({"http_status": 1, "x": 2}, 418), {"http_status": 418, "x": 2}),
    (Answer.text("é" * 1000, 500), {"status_code": 500, "message": "é" * 1000, "http_status": 500}),
    (Answer.html(502), {"status_code": 502, "message": Answer.html(502).body.decode(), "http_status": 502}),
    (Answer.text("x" * 501), {"parse_error": decoder_error("x"), "raw": "x" * 500}),
    (Answer.text("é" * 600), {"parse_error": decoder_error("é"), "raw": "é" * 500}),
    (Answer.text("<p>short</p>"), {"parse_error": decoder_error("<p>"), "raw": "<p>short</p>"}),
    (Answer(200, body=b""), {"parse_error": decoder_error(""), "raw": ""}),
    (Answer(200, body=b" \n\t"), {"parse_error": decoder_error(" \n\t"), "raw": " \n\t"}),
    (Answer(200, body=b"\xef\xbb\xbf{}"), {"parse_error": decoder_error("\ufeff{}"), "raw": "\ufeff{}"}),
])
def test_answers_and_error_records(es, taostats, opened, answer, expected):
    taostats.script(answer)
    got = es.http_get_json(LISTING, {}, "k")
    assert got == expected and (got is None or list(got) == list(expected))
    assert opened["timeouts"] == [60] and all(s.closed for s in opened["streams"])


def _typeerror_of_setting(value):
    try:
        value["http_status"] = 400
    except TypeError as e:
        return str(e)


@pytest.mark.parametrize("answer, error, message", [
    (Answer(200, body=b"[1]"), TypeError, "Expected dict, got list"),
    (Answer(200, body=b'"s"'), TypeError, "Expected dict, got str"),
    (Answer(200, body=b"7"), TypeError, "Expected dict, got int"),
    (Answer(200, body=b"1.5"), TypeError, "Expected dict, got float"),
    (Answer(200, body=b"true"), TypeError, "Expected dict, got bool"),
    (Answer(400, body=b"[1]"), TypeError, _typeerror_of_setting([1])),
    (Answer(400, body=b'"s"'), TypeError, _typeerror_of_setting("s")),
    (Answer(400, body=b"null"), TypeError, _typeerror_of_setting(None)),
    (Answer(200, body=b"{\xff}"), UnicodeDecodeError, "invalid start byte"),
    (Answer(500, body=b"\xc3("), UnicodeDecodeError, "invalid continuation byte"),
])
def test_raised_for_bodies(es, taostats, opened, answer, error, message):
    taostats.script(answer)
    with pytest.raises(error) as info:
        es.http_get_json(LISTING, {}, "k")
    assert type(info.value) is error and message in str(info.value)
    assert all(s.closed for s in opened["streams"])


@pytest.mark.parametrize("base, answer, error, message", [
    (lambda api: f"http://127.0.0.1:{closed_port()}", None, urllib.error.URLError, "Connection refused"),
    (lambda api: api.base_url, Answer(drop=True), ConnectionError, "Remote end closed connection"),
    (lambda api: api.base_url, Answer(hang=True), TimeoutError, "timed out"),
    (lambda api: "", None, ValueError, f"unknown url type: '{LISTING}?limit=1024&order=netuid_asc'"),
])
def test_transport_failures_are_thrown(es, taostats, clean_env, opened, sleeps, base, answer, error, message):
    opened["use_timeout"] = 0.5
    clean_env.setenv("TAOSTATS_API_BASE", base(taostats))
    taostats.script(*[answer] if answer else [])
    with pytest.raises(error) as info:
        es.fetch_all_subnets_latest("k")
    assert message in str(info.value) and sleeps == []
    assert opened["timeouts"] == ([] if error is ValueError else [60])


def test_default_base_is_used_when_unset(es, monkeypatch):
    urls = []

    def offline(request, timeout):
        urls.append(request.full_url)
        raise urllib.error.URLError("offline")

    monkeypatch.setattr(es.urllib.request, "urlopen", offline)
    with pytest.raises(urllib.error.URLError):
        es.fetch_all_subnets_latest("k")
    assert urls == ["https://api.taostats.io/api/subnet/latest/v1?limit=1024&order=netuid_asc"]


@pytest.mark.parametrize("payload, limited", [
    ({"status_code": 429}, True), ({"status_code": 429.0}, True), ({"status_code": "429"}, False),
    ({"status_code": True}, False), ({"status_code": None}, False), ({"status_code": 429.5}, False),
    ({"status_code": 2**70}, False), ({"http_status": 429}, False), ({}, False),
    ({"message": "API Rate Limited, slow down"}, True), ({"message": "rate limited"}, False),
    ({"status_code": 200, "message": "Rate Limited"}, True), ({"message": ["Rate Limited"]}, True),
    ({"message": {"why": "Rate Limited"}}, True), ({"message": None}, False), ({"message": 429}, False),
])
def test_is_rate_limited(es, payload, limited):
    assert es.is_rate_limited(payload) is limited


@pytest.mark.parametrize("answers, kwargs, requests, slept, result", [
    ([Answer.json({"ok": 1})], {}, 1, 0, {"ok": 1}),
    ([RATE(), RATE(), Answer.json({"ok": 1})], {}, 3, 2, {"ok": 1}),
    ([RATE()] * 6, {}, 6, 5, {"message": "Rate Limited", "http_status": 429}),
    ([RATE()] * 10, {"max_retries": 10}, 10, 9, {"message": "Rate Limited", "http_status": 429}),
    ([RATE()] * 3, {"max_retries": 2.9}, 2, 1, {"message": "Rate Limited", "http_status": 429}),
    ([RATE()], {"max_retries": 1}, 1, 0, {"message": "Rate Limited", "http_status": 429}),
    ([Answer(500, body=b""), RATE()], {}, 1, 0, {"status_code": 500, "message": "Internal Server Error", "http_status": 500}),
    ([Answer.text("oops"), RATE()], {}, 1, 0, {"parse_error": decoder_error("oops"), "raw": "oops"}),
    ([Answer.json({"status_code": 429}), Answer.json({"ok": 1})], {}, 2, 1, {"ok": 1}),
])
def test_retry_schedule(es, taostats, sleeps, answers, kwargs, requests, slept, result):
    taostats.script(*answers)
    assert es.with_retries(LISTING, {}, "k", **kwargs) == result
    assert len(taostats.requests) == requests and sleeps == delays(slept)
    assert all(type(s) is float for s in sleeps)


@pytest.mark.parametrize("answers, kwargs, error, message, requests", [
    ([Answer(200, body=b"null")], {}, TypeError, "is_rate_limited() argument 'payload' must be dict, not None", 1),
    ([RATE(), Answer(drop=True)], {}, http.client.RemoteDisconnected, "Remote end closed", 2),
    ([], {"max_retries": 0}, UnboundLocalError, UNBOUND, 0),
    ([], {"max_retries": -3}, UnboundLocalError, UNBOUND, 0),
])
def test_retry_failures(es, taostats, sleeps, answers, kwargs, error, message, requests):
    taostats.script(*answers)
    with pytest.raises(error) as info:
        es.with_retries(LISTING, {}, "k", **kwargs)
    assert type(info.value) is error and message in str(info.value)
    assert len(taostats.requests) == requests and sleeps == delays(max(requests - 1, 0))


@pytest.mark.parametrize("answers, response, slept", [
    *[([Answer.json(body)], body, 0) for body in
      ({"data": []}, {"pagination": {}}, {"data": None}, {"data": 0}, {"data": ""}, {"data": {}})],
    ([Answer(500, body=b"")], {"status_code": 500, "message": "Internal Server Error", "http_status": 500}, 0),
    ([RATE()] * 6, {"message": "Rate Limited", "http_status": 429}, 5),
])
def test_listing_failures_wrap_the_record(es, taostats, sleeps, answers, response, slept):
    taostats.script(*answers)
    got = es.fetch_all_subnets_latest("k")
    assert json.dumps(got) == json.dumps({"error": "no_subnet_rows", "response": response})
    assert sleeps == delays(slept)


@pytest.mark.parametrize("data", [[{"netuid": 3}, {"netuid": 1}, {"netuid": 2}], {"odd": True}, "rows"])
def test_listing_rows_returned_as_received(es, taostats, data):
    taostats.script(Answer.json({"data": data}))
    assert es.fetch_all_subnets_latest("k") == data


@pytest.mark.parametrize("call, message", [
    (lambda es: es.request_headers(None), "request_headers() argument 'auth' must be str, not None"),
    (lambda es: es.http_get_json("/p", None, "k"), "http_get_json() argument 'params' must be dict, not None"),
    (lambda es: es.with_retries("/p", {}, "k", 6), "with_retries() takes 3 positional arguments but 4 were given"),
    (lambda es: es.with_retries("/p", {}, "k", max_retries="6"),
     "with_retries() argument 'max_retries' must be a number, not str"),
    (lambda es: es.fetch_all_subnets_latest(None), "fetch_all_subnets_latest() argument 'auth' must be str, not None"),
])
def test_argument_checks_come_before_any_request(es, taostats, call, message):
    with pytest.raises(TypeError) as info:
        call(es)
    assert str(info.value) == message and taostats.requests == []


def test_environment_is_read_at_every_call(es, taostats, clean_env):
    es.http_get_json("/first", {}, "k")
    clean_env.setenv("TAOSTATS_USER_AGENT", "agent-2")
    clean_env.setenv("TAOSTATS_API_BASE", taostats.base_url + "/v2/")
    es.http_get_json("/second", {}, "k")
    assert [(r.path, r.header("User-Agent")) for r in taostats.requests] == [
        ("/first", AGENT), ("/v2/second", "agent-2")]
