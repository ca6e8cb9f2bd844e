"""The watch cycle and the start-up snapshot end to end over loopback HTTP."""

from __future__ import annotations

import datetime
import json

import pytest

from bittensor_emberscope.testing import Answer

STAMP = "2026-03-01T12:00:00Z"
TOKEN = "123456:secret-token"
CHAT = "-1001"


class FixedClock(datetime.datetime):
    reads = 0

    @classmethod
    def now(cls, tz=None):
        FixedClock.reads += 1
        return datetime.datetime(2026, 3, 1, 12, 0, 0, tzinfo=tz)


@pytest.fixture
def clock(es, monkeypatch):
    FixedClock.reads = 0
    monkeypatch.setattr(es, "datetime", FixedClock)
    return FixedClock


@pytest.fixture
def state(tmp_path):
    return tmp_path / "state.json"


def state_bytes(burns: dict[str, str], stamp: str = STAMP) -> bytes:
    doc = {"owner_burn_rate": burns, "updated_at_utc": stamp}
    return (json.dumps(doc, indent=2, sort_keys=True) + "\n").encode()


def rows_of(burns: dict[int, object]) -> list[dict]:
    return [{"netuid": n, "incentive_burn": v, "name": f"subnet {n}"} for n, v in burns.items()]


def once(es, state, threshold=0.01, token=TOKEN, chat=CHAT):
    return es.run_emberscope_once(state_path=str(state), threshold=threshold,
                                  burn_token=token, burn_chat_id=chat)


def test_first_run_records_silently_then_changes_are_alerted(es, taostats, telegram, clock,
                                                             state, capsys):
    taostats.rows = rows_of({0: 0, 3: 0.18, 12: 0, 7: "0.5"})
    assert once(es, state) == 0
    assert capsys.readouterr() == ("", "")
    assert state.read_bytes() == state_bytes({"0": "0", "3": "0.18", "12": "0", "7": "0.5"})
    assert telegram.requests == []
    assert [r.query for r in taostats.requests] == ["limit=1024&order=netuid_asc"]

    taostats.set_burn(3, 0.25)
    taostats.set_burn(12, 1)
    taostats.set_burn(7, "0.505")  # below the threshold
    assert once(es, state) == 0
    assert capsys.readouterr() == ("", "[burn] alert sent (2 subnet(s))\n")
    assert telegram.messages == [
        "Owner burn rate changed\n2026-03-01T12:00:00Z UTC\n\nSN3: 0.1800 → 0.2500\nSN12: 0.0000 → 1.0000"
    ]
    sent = telegram.requests[0]
    assert sent.token == TOKEN and dict(sent.form)["chat_id"] == CHAT
    assert state.read_bytes() == state_bytes({"0": "0", "3": "0.25", "12": "1", "7": "0.505"})
    assert clock.reads == 2


def test_identical_values_rewrite_the_stamp_and_send_nothing(es, taostats, telegram, clock,
                                                             state, capsys):
    taostats.rows = rows_of({1: 0.5})
    state.write_bytes(state_bytes({"1": "0.5"}, "2020-01-01T00:00:00Z"))
    assert once(es, state) == 0
    assert state.read_bytes() == state_bytes({"1": "0.5"})
    assert capsys.readouterr().err == "" and telegram.requests == []


@pytest.mark.parametrize(
    "answer, error",
    [
        (Answer.telegram_error(400, "Bad Request: chat not found"), "Bad Request: chat not found"),
        (Answer.html(502), None),
        (Answer.flood(retry_after=41), "Too Many Requests: retry after 41"),
        (Answer(drop=True), None),
    ],
)
def test_telegram_down_keeps_the_state_and_never_alerts_twice(es, taostats, telegram, clock,
                                                               state, capsys, answer, error):
    taostats.rows = rows_of({5: 0.1})
    assert once(es, state) == 0
    taostats.set_burn(5, 0.9)
    telegram.script(answer)
    assert once(es, state) == 1
    line = capsys.readouterr().err
    assert line.startswith("[burn] telegram failed: ") and line.endswith("\n")
    if error is not None:
        assert line == f"[burn] telegram failed: {error}\n"
    assert TOKEN not in line
    assert state.read_bytes() == state_bytes({"5": "0.9"})
    assert once(es, state) == 0  # the same change is not alerted again
    assert capsys.readouterr().err == ""
    assert len(telegram.requests) == 1


def test_unconfigured_telegram_is_a_failed_delivery(es, taostats, telegram, clock, state, capsys):
    taostats.rows = rows_of({5: 0.1})
    once(es, state)
    taostats.set_burn(5, 0.2)
    assert once(es, state, token="") == 1
    assert capsys.readouterr().err == "[burn] telegram failed: burn telegram not configured\n"
    assert state.read_bytes() == state_bytes({"5": "0.2"})


def test_listing_failure_leaves_the_state_untouched(es, taostats, telegram, clock, state, capsys):
    before = state_bytes({"1": "0.5"}, "2020-01-01T00:00:00Z")
    state.write_bytes(before)
    taostats.script(Answer.json({"message": "Internal error ✓"}, 500))
    assert once(es, state) == 1
    record = {"error": "no_subnet_rows",
              "response": {"message": "Internal error ✓", "http_status": 500}}
    assert capsys.readouterr().err == "[burn] fetch failed: " + json.dumps(record) + "\n"
    assert state.read_bytes() == before and telegram.requests == []


def test_empty_listing_is_reported_with_the_whole_answer(es, taostats, clock, state, capsys):
    taostats.rows = []
    assert once(es, state) == 1
    err = capsys.readouterr().err
    assert err.startswith('[burn] fetch failed: {"error": "no_subnet_rows", "response": {"pagination": ')
    assert err.endswith('"data": []}}\n') and not state.exists()


@pytest.mark.parametrize("key", [None, "", "   \t\n"])
def test_no_api_key_touches_nothing(es, taostats, telegram, clock, state, capsys, monkeypatch, key):
    if key is None:
        monkeypatch.delenv("TAOSTATS_API_KEY")
    else:
        monkeypatch.setenv("TAOSTATS_API_KEY", key)
    line = "[burn] taostats API not available (must be bundled in package defaults)\n"
    assert once(es, state) == 1
    assert es.run_burn_startup_snapshot(state_path=str(state), burn_token=TOKEN,
                                        burn_chat_id=CHAT) == 1
    assert capsys.readouterr() == ("", line * 2)
    assert taostats.requests == [] and telegram.requests == [] and not state.exists()
    assert clock.reads == 0


def test_rows_without_netuid_are_skipped_and_repeats_keep_the_later_value(es, taostats, clock,
                                                                         state):
    taostats.rows = [{"netuid": 2, "incentive_burn": 0.1}, {"incentive_burn": 0.7},
                     {"netuid": "1", "incentive_burn": "x"}, {"netuid": 2, "incentive_burn": 0.3}]
    assert once(es, state) == 0
    assert json.loads(state.read_text())["owner_burn_rate"] == {"2": "0.3", "1": "x"}


def test_a_bad_netuid_raises_before_saving(es, taostats, clock, state):
    state.write_bytes(state_bytes({"1": "0.5"}))
    taostats.rows = [{"netuid": "abc", "incentive_burn": 0.1}]
    with pytest.raises(ValueError, match="invalid literal for int"):
        once(es, state)
    assert state.read_bytes() == state_bytes({"1": "0.5"})


def test_data_that_is_not_a_list_is_a_type_error(es, taostats, clock, state):
    taostats.script(Answer.json({"data": {"netuid": 1}}))
    with pytest.raises(TypeError, match=r"^Expected list, got dict$"):
        once(es, state)
    assert not state.exists()


def test_snapshot_of_130_rows_is_split_numbered_and_becomes_the_baseline(es, taostats, telegram,
                                                                        clock, state, capsys):
    # Long burn texts (shown unchanged) make the list longer than one message.
    rows = [{"netuid": n, "incentive_burn": f"not reported ({n:03d}) " + "·" * 30}
            for n in range(128)]
    rows.insert(40, {"name": "no netuid"})
    rows.append({"incentive_burn": 0.5})
    taostats.rows = rows
    state.write_bytes(state_bytes({"1": "0.99"}))
    assert es.run_burn_startup_snapshot(state_path=str(state), burn_token=TOKEN,
                                        burn_chat_id=CHAT) == 0
    assert capsys.readouterr() == ("", "[burn] startup snapshot sent (130 subnets)\n")
    burns = json.loads(state.read_text())["owner_burn_rate"]
    assert len(burns) == 128 and burns["1"].startswith("not reported (001)")
    texts = telegram.messages
    n = len(texts)
    assert n >= 2
    header = "Subnet owner burn rates (startup)\n2026-03-01T12:00:00Z UTC\n130 subnets\n\n"
    body = []
    for i, text in enumerate(texts, 1):
        assert text.startswith(f"({i}/{n})\n" + header)
        body += text.split("\n")[5:]
    assert len(body) == 130
    # Rows without netuid sort as 0, after netuid 0 which comes first in the listing.
    assert body[:4] == ["SN0: " + rows[0]["incentive_burn"], "SN?: 0.0000", "SN?: 0.5000",
                        "SN1: " + rows[1]["incentive_burn"]]
    # A following cycle compares against the snapshot: nothing to report.
    assert once(es, state) == 0 and len(telegram.requests) == n


def test_snapshot_delivery_failure_still_replaces_the_baseline(es, taostats, telegram, clock,
                                                               state, capsys):
    taostats.rows = rows_of({1: 0.2})
    telegram.script(Answer.telegram_error(403, "Forbidden: bot was blocked by the user"))
    assert es.run_burn_startup_snapshot(state_path=str(state), burn_token=TOKEN,
                                        burn_chat_id=CHAT) == 1
    assert capsys.readouterr().err == (
        "[burn] startup telegram failed: Forbidden: bot was blocked by the user\n")
    assert state.read_bytes() == state_bytes({"1": "0.2"})


def test_snapshot_listing_failure(es, taostats, clock, state, capsys):
    taostats.script(Answer.text("upstream down", 503))
    assert es.run_burn_startup_snapshot(state_path=str(state), burn_token=TOKEN,
                                        burn_chat_id=CHAT) == 1
    record = {"error": "no_subnet_rows", "response": {
        "status_code": 503, "message": "upstream down", "http_status": 503}}
    assert capsys.readouterr().err == "[burn] startup fetch failed: " + json.dumps(record) + "\n"
    assert not state.exists()


def test_keyword_only_and_required(es, taostats, state):
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'threshold'"):
        es.run_emberscope_once(state_path=str(state), burn_token="", burn_chat_id="")
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        es.run_burn_startup_snapshot(str(state))
    assert taostats.requests == []
    assert es.run_burn_startup_snapshot.__doc__ == (
        "Fetch all subnets and send full burn-rate snapshot to burn Telegram.")
