"""The metrics of `watch`: what each cycle's report adds up to, and the exposition's bytes."""

from __future__ import annotations

import datetime as dt
import json

import pytest

from bittensor_emberscope import health, metrics

T0 = "2026-03-01T12:00:00Z"
T0_SECONDS = 1772366400.0


def write_state(tmp_path, burns: dict[str, str]) -> str:
    path = tmp_path / "state.json"
    path.write_text(json.dumps({"owner_burn_rate": burns, "updated_at_utc": T0}), encoding="utf-8")
    return str(path)


def report(outcome="ok", **values) -> dict:
    out = {"outcome": outcome, "detail": "", "updated_at_utc": T0, "subnets": 0, "changes": [],
           "delivered": 0, "telegram_failure": "", "outbox_size": 0, "outbox_oldest_utc": None,
           "invalid_rows": 0, "chat_id": "-1001"}
    out.update(values)
    return out


def samples(m: metrics.Metrics) -> dict[tuple[str, tuple], float]:
    from prometheus_client.parser import text_string_to_metric_families

    out = {}
    for family in text_string_to_metric_families(m.exposition().decode()):
        for s in family.samples:
            out[(s.name, tuple(sorted(s.labels.items())))] = s.value
    return out


@pytest.mark.parametrize("text, address", [
    ("9101", ("127.0.0.1", 9101)),
    (":9101", ("127.0.0.1", 9101)),
    ("localhost:9101", ("127.0.0.1", 9101)),
    ("0.0.0.0:80", ("0.0.0.0", 80)),
    ("192.168.1.5:65535", ("192.168.1.5", 65535)),
    ("[::1]:9101", ("::1", 9101)),
    ("[::]:9101", ("::", 9101)),
    ("127.0.0.1:0", ("127.0.0.1", 0)),
])
def test_listen_addresses(text, address):
    assert metrics.parse_listen(text) == address


@pytest.mark.parametrize("text, reason", [
    ("", "does not end in a port number from 0 to 65535"),
    ("127.0.0.1", "does not end in a port number from 0 to 65535"),
    ("127.0.0.1:", "does not end in a port number from 0 to 65535"),
    ("127.0.0.1:65536", "does not end in a port number from 0 to 65535"),
    ("127.0.0.1:-1", "does not end in a port number from 0 to 65535"),
    ("127.0.0.1:9101x", "does not end in a port number from 0 to 65535"),
    ("127.0.0.1:٩١", "does not end in a port number from 0 to 65535"),
    ("metrics.example:9101", "has 'metrics.example', not an IP address"),
    ("300.1.1.1:9101", "has '300.1.1.1', not an IP address"),
    ("::1:9101", "holds an IPv6 address without brackets; write [ADDRESS]:PORT"),
    ("[::1]", "is not [IPV6-ADDRESS]:PORT"),
    ("[::1]9101", "is not [IPV6-ADDRESS]:PORT"),
])
def test_listen_addresses_refused(text, reason):
    with pytest.raises(ValueError) as e:
        metrics.parse_listen(text)
    assert str(e.value) == reason


def test_the_cycles_add_up(tmp_path):
    state = write_state(tmp_path, {"0": "0", "1": "0.5", "12": "1", "3": "n/a", "4": "nan"})
    clock = [T0_SECONDS + 100]
    m = metrics.Metrics(state, clock=lambda: clock[0], process=False)
    m.observe(report(changes=[["1", "0.2", "0.5"], ["12", "0", "1"]], delivered=1, subnets=5))
    later = "2026-03-01T12:05:00Z"
    m.observe(report("telegram_failed", updated_at_utc=later, changes=[["0", "1", "0"]],
                     delivered=2, telegram_failure="refused", outbox_size=3,
                     outbox_oldest_utc="2026-03-01T12:01:00Z", invalid_rows=2))
    m.observe(report("telegram_failed", updated_at_utc="2026-03-01T12:10:00Z",
                     telegram_failure="failed", outbox_size=3,
                     outbox_oldest_utc="2026-03-01T12:01:00Z"))
    m.observe(report("fetch_failed", updated_at_utc="2026-03-01T12:15:00Z", outbox_size=3,
                     outbox_oldest_utc="2026-03-01T12:01:00Z"))
    clock[0] = T0_SECONDS + 20 * 60
    got = samples(m)
    assert got == {
        ("emberscope_cycles_total", (("outcome", "ok"),)): 1,
        ("emberscope_cycles_total", (("outcome", "no_api_key"),)): 0,
        ("emberscope_cycles_total", (("outcome", "fetch_failed"),)): 1,
        ("emberscope_cycles_total", (("outcome", "telegram_failed"),)): 2,
        ("emberscope_cycles_total", (("outcome", "error"),)): 0,
        ("emberscope_changes_total", ()): 3,
        ("emberscope_telegram_messages_total", (("result", "sent"),)): 3,
        ("emberscope_telegram_messages_total", (("result", "refused"),)): 1,
        ("emberscope_telegram_messages_total", (("result", "failed"),)): 1,
        ("emberscope_last_cycle_timestamp_seconds", ()): T0_SECONDS + 15 * 60,
        ("emberscope_last_success_timestamp_seconds", ()): T0_SECONDS,
        ("emberscope_outbox_messages", ()): 3,
        ("emberscope_invalid_rows", ()): 0,
        ("emberscope_owner_burn", (("netuid", "0"),)): 0.0,
        ("emberscope_owner_burn", (("netuid", "1"),)): 0.5,
        ("emberscope_owner_burn", (("netuid", "12"),)): 1.0,
        ("emberscope_subnets", ()): 5,
        # Oldest queued at 12:01, scraped at 12:20.
        ("emberscope_outbox_oldest_age_seconds", ()): 19 * 60,
    }


def test_a_restart_starts_from_what_the_files_tell(tmp_path):
    state = write_state(tmp_path, {"7": "0.25"})
    health.record_cycle(state, report(), interval_seconds=300)
    health.record_cycle(state, report("fetch_failed", updated_at_utc="2026-03-01T12:05:00Z",
                                      outbox_size=1, outbox_oldest_utc=T0),
                        interval_seconds=300)
    m = metrics.Metrics(state, clock=lambda: T0_SECONDS + 600, process=False)
    got = samples(m)
    assert got[("emberscope_last_success_timestamp_seconds", ())] == T0_SECONDS
    assert got[("emberscope_last_cycle_timestamp_seconds", ())] == T0_SECONDS + 300
    assert got[("emberscope_outbox_messages", ())] == 1
    assert got[("emberscope_outbox_oldest_age_seconds", ())] == 600
    assert got[("emberscope_owner_burn", (("netuid", "7"),))] == 0.25
    # Counters are this process's own: they start at zero.
    assert got[("emberscope_cycles_total", (("outcome", "ok"),))] == 0


def test_an_unreadable_state_keeps_the_values_last_read(tmp_path):
    state = write_state(tmp_path, {"7": "0.25"})
    m = metrics.Metrics(state, process=False)
    (tmp_path / "state.json").write_text("{not json", encoding="utf-8")
    m.observe(report("error"))
    assert samples(m)[("emberscope_owner_burn", (("netuid", "7"),))] == 0.25


NOW = dt.datetime(2026, 3, 1, 12, 10, tzinfo=dt.timezone.utc)


@pytest.mark.parametrize("status, code, body", [
    (None, 503, b"unhealthy: no cycle recorded yet\n"),
    ({"last_cycle_utc": "2026-03-01T12:05:00Z", "interval_seconds": 300.0,
      "consecutive_failures": 0, "loop": "running"}, 200, b"ok\n"),
    ({"last_cycle_utc": "2026-03-01T12:05:00Z", "interval_seconds": 300.0, "outcome": "fetch_failed",
      "detail": "taostats: HTTP 502\nBad Gateway", "consecutive_failures": 3, "loop": "running"},
     503, b"unhealthy: failing: the last 3 cycles failed (fetch_failed: taostats: HTTP 502 "
          b"Bad Gateway)\n"),
    ({"last_cycle_utc": "2026-03-01T11:00:00Z", "interval_seconds": 300.0,
      "consecutive_failures": 0, "loop": "running"},
     503, b"unhealthy: stale: last cycle 70 min ago, more than 3 intervals (15 min)\n"),
])
def test_health_answers_as_status_judges(status, code, body):
    answer = metrics.health_response(status, NOW)
    assert (answer.status, answer.body) == (code, body)
