"""A watch cycle reads a plain listing without the host's decoder: the same outcome, line and
state file as when the host decodes it, on generated listings and on broken ones."""

from __future__ import annotations

import datetime
import json
import random

import pytest

from bittensor_emberscope.testing.host_json import CountingDecoder

STAMP_TIME = datetime.datetime(2026, 3, 1, 12, 0, 0)


class FixedClock(datetime.datetime):
    @classmethod
    def now(cls, tz=None):
        return STAMP_TIME.replace(tzinfo=tz)


class Answer:
    def __init__(self, body: bytes) -> None:
        self.body = body

    def read(self, *args) -> bytes:
        return self.body

    def close(self) -> None:
        pass


@pytest.fixture
def cycle(es, monkeypatch, tmp_path, capsys, sleeps):
    monkeypatch.setattr(es, "datetime", FixedClock)
    monkeypatch.setenv("TAOSTATS_API_KEY", "test-key-0000")
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://127.0.0.1:9")
    served = {}
    monkeypatch.setattr(es.urllib.request, "urlopen", lambda request, timeout: Answer(served["body"]))
    counting = CountingDecoder()
    monkeypatch.setattr(json, "_default_decoder", counting)
    real_loads = json.loads

    def run(body: bytes, previous: bytes, name: str, host_decodes: bool):
        served["body"] = body
        state = tmp_path / name
        state.write_bytes(previous)
        counting.texts.clear()
        if host_decodes:
            monkeypatch.setattr(json, "loads", lambda s, **kw: real_loads(s, **kw))
        try:
            outcome = es.run_emberscope_once(state_path=str(state), threshold=0.01,
                                             burn_token="", burn_chat_id="")
        except Exception as e:  # noqa: BLE001 - the outcome is compared, whatever it is
            outcome = (type(e), str(e))
        finally:
            monkeypatch.setattr(json, "loads", real_loads)
        listing_decoded = any(t == body.decode("utf-8", "replace") for t in counting.texts)
        return outcome, capsys.readouterr(), state.read_bytes(), listing_decoded

    return run


PREVIOUS = (json.dumps({"owner_burn_rate": {"1": "0.5", "2": "0", "3": "n/a"},
                        "updated_at_utc": "2026-02-01T00:00:00Z"}, indent=2, sort_keys=True)
            + "\n").encode()

BURNS = [0, 0.0, -0.0, 1, -7, 1.0, 0.25, 1e-05, 1e16, 1.5e300, 123456789012345678901234, True,
         False, None, "", "0.0", " 0.5 ", "n/a", "ünï", [], {}, float("inf"), float("-inf"),
         float("nan"), 0.1 + 0.2, 5e-324]
ODD_BURNS = [[0], {"a": 1}, "tab\there", "\ud800"]
NETUIDS = [0, 1, 2, 3, 17, 128, -1, "5", "", "x y"]
ODD_NETUIDS = [1.5, True, None, [1], {"a": 2}, "é\n"]


def random_row(rng: random.Random, odd: bool) -> dict:
    row: dict = {}
    extras = [("block_number", rng.randrange(10**7)), ("name", rng.choice(["a", "ß", "\"q\""])),
              ("owner", {"ss58": "5E7", "hex": "0x5a"}), ("emission", "16862918"),
              ("flags", [True, None, 1.5, [], {}])]
    rng.shuffle(extras)
    for key, value in extras[:rng.randrange(len(extras) + 1)]:
        row[key] = value
    if rng.random() < 0.9:
        row["netuid"] = rng.choice(ODD_NETUIDS if odd and rng.random() < 0.3 else NETUIDS)
    if rng.random() < 0.9:
        row["incentive_burn"] = rng.choice(ODD_BURNS if odd and rng.random() < 0.3 else BURNS)
    items = list(row.items())
    rng.shuffle(items)
    return dict(items)


def listing(rng: random.Random, odd: bool) -> bytes:
    rows = [random_row(rng, odd) for _ in range(rng.randrange(1, 12))]
    document = {"pagination": {"next_page": None}, "data": rows}
    if odd and rng.random() < 0.3:
        document[rng.choice(["status_code", "message", "error"])] = rng.choice([429, "Rate Limited", 0])
    text = json.dumps(document, ensure_ascii=rng.random() < 0.5,
                      indent=rng.choice([None, 1, "\t"]))
    return text.encode("utf-8", "surrogatepass")


def broken(rng: random.Random, body: bytes) -> bytes:
    """The body with one byte changed, dropped or added."""
    i = rng.randrange(len(body))
    b = bytes([rng.choice(b'{}[]",:0-.eE \\\n\x00\xc3\xff')])
    return rng.choice([body[:i] + b + body[i + 1:], body[:i] + body[i + 1:], body[:i] + b + body[i:]])


def test_plain_listings_are_read_without_the_host_decoder_and_end_the_same(cycle):
    rng = random.Random(20261208)
    scanned = 0
    for n in range(300):
        body = listing(rng, odd=False)
        own = cycle(body, PREVIOUS, "own.json", host_decodes=False)
        host = cycle(body, PREVIOUS, "host.json", host_decodes=True)
        assert own[:3] == host[:3], body
        assert host[3], "the host's way decodes the listing"
        scanned += not own[3]
    # Texts with lone surrogates and control characters are escaped, and left to the host.
    assert scanned >= 240


def test_odd_and_broken_listings_end_exactly_as_the_host_ends_them(cycle):
    rng = random.Random(8122026)
    host_way = 0
    for n in range(500):
        body = listing(rng, odd=True)
        if n % 2:
            body = broken(rng, body)
        own = cycle(body, PREVIOUS, "own.json", host_decodes=False)
        host = cycle(body, PREVIOUS, "host.json", host_decodes=True)
        assert own[:3] == host[:3], body
        host_way += own[3]
    assert host_way >= 250


@pytest.mark.parametrize("body, line", [
    (b'{"data": [{"netuid": 1, "incentive_burn": 0.5}], "message": "Rate Limited"}', None),
    (b'{"data": []}', '[burn] fetch failed: {"error": "no_subnet_rows", "response": {"data": []}}\n'),
])
def test_answers_the_scan_leaves_go_the_hosts_way(cycle, body, line):
    outcome, out, _, decoded = cycle(body, PREVIOUS, "s.json", host_decodes=False)
    assert decoded
    if line is not None:
        assert outcome == 1 and out.err == line


def test_a_byte_order_mark_is_the_host_decoders_refusal(cycle):
    outcome, out, state, _ = cycle(b'\xef\xbb\xbf{"data": [{"netuid": 1}]}', PREVIOUS, "s.json",
                                   host_decodes=False)
    assert outcome == 1 and state == PREVIOUS
    assert out.err.startswith('[burn] fetch failed: {"error": "no_subnet_rows", "response": '
                              '{"parse_error": "Unexpected UTF-8 BOM')


def test_a_substituted_json_loads_is_called(cycle, monkeypatch):
    seen = []
    real = json.loads
    monkeypatch.setattr(json, "loads", lambda s, **kw: seen.append(s) or real(s, **kw))
    outcome, _, state, decoded = cycle(b'{"data": [{"netuid": 4}]}', b"", "s.json",
                                       host_decodes=False)
    assert outcome == 0 and decoded
    assert seen[0] == '{"data": [{"netuid": 4}]}'
    assert json.loads(state)["owner_burn_rate"] == {"4": "0"}
