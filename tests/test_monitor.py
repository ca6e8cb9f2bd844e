"""The monitor engine the command runs, end to end over loopback against the stand-ins."""

from __future__ import annotations

import ast
import dataclasses
import inspect
import json
import math
import os
import random
import re
from pathlib import Path

import pytest

import bittensor_emberscope
from bittensor_emberscope import emberscope, monitor
from bittensor_emberscope.testing import Answer

TOKEN = "123456:TEST-token-abcdef"
CHAT = "-1001"
REPORT_KEYS = ["outcome", "detail", "updated_at_utc", "subnets", "changes", "delivered",
               "telegram_failure", "outbox_size", "outbox_oldest_utc", "invalid_rows", "chat_id", "routes"]
HTML_502 = ("<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n"
            "<center><h1>502 Bad Gateway</h1></center>\r\n<hr><center>nginx</center>\r\n"
            "</body>\r\n</html>\r\n")


@pytest.fixture
def sleeps(monkeypatch):
    """Records the engine's sleeps instead of sleeping; its monotonic clock moves with them."""
    calls: list[float] = []
    now = [1000.0]

    def sleep(seconds):
        calls.append(seconds)
        now[0] += seconds

    monkeypatch.setattr(monitor.time, "sleep", sleep)
    monkeypatch.setattr(monitor.time, "monotonic", lambda: now[0])
    return calls


@pytest.fixture
def paths(tmp_path):
    return {"state": tmp_path / "state.json", "outbox": tmp_path / "state.outbox.json",
            "pause": tmp_path / "pause"}


@pytest.fixture
def cycle(paths, sleeps):
    def run(**kw):
        args = dict(state_path=str(paths["state"]), threshold=0.05, burn_token=TOKEN,
                    burn_chat_id=CHAT, pause_path=str(paths["pause"]), interval_seconds=600)
        args.update(kw)
        return monitor.run_cycle(**args)
    return run


def rows(values: dict[int, object]) -> list[dict]:
    return [{"netuid": n, "incentive_burn": v} for n, v in values.items()]


def err_lines(capfd) -> list[str]:
    return capfd.readouterr().err.splitlines(keepends=True)


def baseline(taostats, cycle, capfd, values):
    taostats.rows = rows(values)
    report = cycle()
    assert report["outcome"] == "ok" and report["changes"] == []
    capfd.readouterr()


def test_report_has_exactly_the_promised_keys(taostats, telegram, cycle, capfd):
    baseline(taostats, cycle, capfd, {1: 0.1, 2: 0.5})
    taostats.rows = rows({1: 0.3, 2: 0.5})
    report = cycle()
    assert list(report) == REPORT_KEYS
    assert report["outcome"] == "ok" and report["detail"] == ""
    assert report["changes"] == [["1", "0.1", "0.3"]]
    assert (report["subnets"], report["delivered"], report["outbox_size"]) == (2, 1, 0)
    assert report["telegram_failure"] == ""
    assert report["outbox_oldest_utc"] is None and report["chat_id"] == CHAT
    assert report["routes"] == [{"chat_id": CHAT, "thread_id": None, "queued": 0, "delivered": 1,
                                 "held": 0, "telegram_failure": "", "last_failure": ""}]
    assert telegram.messages == [
        f"Owner burn rate changed\n{report['updated_at_utc']} UTC\n\nSN1: 0.1000 → 0.3000"]
    assert err_lines(capfd) == ["[burn] alert sent (1 subnet(s))\n"]


@pytest.mark.parametrize("answer, waited", [
    (Answer.flood(retry_after=7), 7),
    (Answer.flood(retry_after=3, in_body=False), 3),
])
def test_flood_control_is_waited_out_and_the_alert_delivered(taostats, telegram, cycle, capfd,
                                                             sleeps, answer, waited):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    telegram.script(answer)
    report = cycle()
    assert report["outcome"] == "ok"
    assert len(telegram.requests) == 2 and len(telegram.messages) == 1
    assert sleeps == [1.0] * waited
    assert err_lines(capfd) == ["[burn] alert sent (1 subnet(s))\n"]


def test_passing_failures_are_repeated_then_kept_for_the_next_cycle(taostats, telegram, cycle,
                                                                      capfd, paths, sleeps):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    telegram.script(Answer.telegram_error(500, "Internal Server Error: restart"),
                    Answer(drop=True),
                    Answer(502, body=HTML_502.encode(), headers=[("Content-Type", "text/html")]))
    report = cycle()
    assert report["outcome"] == "telegram_failed"
    assert report["outbox_size"] == 1 and "\n" not in report["detail"]
    assert telegram.messages == [] and len(telegram.requests) == 3
    assert sleeps == [1.0] * 7
    lines = err_lines(capfd)
    assert lines[0] == "[burn] telegram failed: HTTP 502 Bad Gateway: " + " ".join(HTML_502.split()) + "\n"
    assert lines[1].startswith("[burn] outbox: 1 message(s) waiting for delivery, oldest queued ")
    queued = json.loads(paths["outbox"].read_text())["messages"]
    assert [(m["kind"], m["part"], m["total"]) for m in queued] == [("alert", 1, 1)]

    report = cycle()  # nothing new: the queued alert goes out
    assert report["outcome"] == "ok" and report["delivered"] == 1 and report["changes"] == []
    assert len(telegram.messages) == 1 and telegram.messages[0].endswith("SN1: 0.1000 → 0.3000")
    assert err_lines(capfd) == ["[burn] alert sent (1 subnet(s))\n"]
    assert not paths["outbox"].exists()


def test_html_with_status_200_is_repeated_not_lost(taostats, telegram, cycle, capfd):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    telegram.script(Answer(200, body=b"<html><body>maintenance</body></html>"))
    assert cycle()["outcome"] == "ok"
    assert len(telegram.messages) == 1
    assert err_lines(capfd) == ["[burn] alert sent (1 subnet(s))\n"]


def test_parts_after_a_failed_part_are_sent_next_cycle_in_order(taostats, telegram, cycle, capfd):
    before = {n: 0.1 for n in range(1024)}
    baseline(taostats, cycle, capfd, before)
    taostats.rows = rows({n: 0.9 for n in range(1024)})
    telegram.script(Answer.json({"ok": True, "result": {}}),
                    Answer.telegram_error(403, "Forbidden: bot was kicked from the supergroup chat"))
    report = cycle()
    assert report["outcome"] == "telegram_failed" and report["delivered"] == 1
    assert report["telegram_failure"] == "refused"
    total = report["outbox_size"] + 1
    assert total >= 4
    assert err_lines(capfd)[0] == (
        "[burn] telegram failed: HTTP 403 Forbidden: bot was kicked from the supergroup chat\n")
    report = cycle()
    assert report["outcome"] == "ok" and report["delivered"] == total - 1
    got = [m.split("\n", 1)[0] for m in telegram.messages]
    assert got == [f"({i}/{total})" for i in range(2, total + 1)]
    assert err_lines(capfd) == ["[burn] alert sent (1024 subnet(s))\n"]


def test_migrated_chat_is_followed_and_remembered(taostats, telegram, cycle, capfd, paths):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    telegram.script(Answer.migrated(-1009999))
    report = cycle()
    assert report["outcome"] == "ok" and report["chat_id"] == "-1009999"
    chats = [dict(r.form)["chat_id"] for r in telegram.requests]
    assert chats == [CHAT, "-1009999"]
    assert err_lines(capfd) == [
        "[burn] telegram chat -1001 was upgraded to a supergroup, now -1009999: sending there; "
        "update TELEGRAM_CHAT_ID to -1009999\n",
        "[burn] alert sent (1 subnet(s))\n"]
    assert json.loads(paths["outbox"].read_text())["chat_migrations"] == {CHAT: "-1009999"}
    taostats.rows = rows({1: 0.9})
    assert cycle()["chat_id"] == "-1009999"
    assert dict(telegram.requests[-1].form)["chat_id"] == "-1009999"


def test_invalid_netuids_are_left_out_and_the_rest_watched(taostats, telegram, cycle, capfd):
    baseline(taostats, cycle, capfd, {1: 0.1, 2: 0.5})
    bad = [{"netuid": v, "incentive_burn": 0.7} for v in (None, True, 1.5, "sn7", "", {"a": 1})]
    taostats.rows = bad + rows({1: 0.3, 2: 0.5})
    report = cycle()
    assert report["outcome"] == "ok" and report["invalid_rows"] == 6
    assert report["changes"] == [["1", "0.1", "0.3"]]
    assert err_lines(capfd) == [
        '[burn] listing: 6 row(s) without a valid netuid left out (first: null, true, 1.5, "sn7", "")\n',
        "[burn] alert sent (1 subnet(s))\n"]
    report = cycle()  # and on every later cycle
    assert report["outcome"] == "ok" and report["invalid_rows"] == 6


@pytest.mark.parametrize("data, detail", [
    ([None], "taostats: no row with a valid netuid (1 row(s))"),
    ([{"name": "x"}], "taostats: no row with a valid netuid (1 row(s))"),
    ([], "taostats: no subnet rows in the listing"),
])
def test_a_listing_without_usable_rows_fails_and_keeps_the_state(taostats, telegram, cycle, capfd,
                                                                 paths, data, detail):
    baseline(taostats, cycle, capfd, {1: 0.1})
    saved = paths["state"].read_bytes()
    taostats.script(Answer.json({"data": data}))
    report = cycle()
    assert report["outcome"] == "fetch_failed"
    assert paths["state"].read_bytes() == saved
    assert report["detail"] == detail
    assert err_lines(capfd)[-1] == f"[burn] fetch failed: {detail}\n"
    taostats.rows = rows({1: 0.3})
    assert cycle()["changes"] == [["1", "0.1", "0.3"]]  # the next real change is still alerted


@pytest.mark.parametrize("content", [
    b"\xff\xfe{}", b"[]", b'"text"', b"null", b"[" * 100000,
    b'{"owner_burn_rate": {"1": ' + b"9" * 5000 + b"}}",
])
def test_a_corrupt_state_file_is_moved_aside_and_monitoring_goes_on(taostats, telegram, cycle,
                                                                      capfd, paths, content):
    paths["state"].write_bytes(content)
    taostats.rows = rows({1: 0.3})
    report = cycle()
    assert report["outcome"] == "ok" and report["changes"] == []
    moved = [p for p in paths["state"].parent.iterdir() if ".corrupt-" in p.name]
    assert [p.read_bytes() for p in moved] == [content]
    lines = err_lines(capfd)
    assert len(lines) == 1
    assert lines[0].startswith(f"[burn] state file {paths['state']} unreadable (")
    assert lines[0].endswith(f"): moved to {moved[0]}, recording a fresh baseline\n")
    assert json.loads(paths["state"].read_text())["owner_burn_rate"] == {"1": "0.3"}
    taostats.rows = rows({1: 0.9})
    assert cycle()["changes"] == [["1", "0.3", "0.9"]]
    assert telegram.messages


def test_a_stop_signal_during_a_wait_propagates_with_the_outbox_saved(taostats, telegram, cycle,
                                                                        capfd, paths, monkeypatch):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    telegram.script(Answer.flood(retry_after=30))

    def interrupted(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(monitor.time, "sleep", interrupted)
    with pytest.raises(KeyboardInterrupt):
        cycle()
    queued = json.loads(paths["outbox"].read_text())["messages"]
    assert len(queued) == 1 and queued[0]["text"].endswith("SN1: 0.1000 → 0.3000")


def test_the_pause_file_ends_a_wait_at_once(taostats, telegram, cycle, capfd, paths, monkeypatch):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    telegram.script(Answer.flood(retry_after=100))
    slept = []

    def sleep(seconds):
        slept.append(seconds)
        paths["pause"].write_text("")

    monkeypatch.setattr(monitor.time, "sleep", sleep)
    report = cycle()
    assert slept == [1.0]
    assert report["outcome"] == "telegram_failed" and report["outbox_size"] == 1


def test_snapshot_goes_through_the_outbox(taostats, telegram, paths, sleeps, capfd):
    taostats.rows = rows({n: 0.25 for n in range(1024)})
    report = monitor.run_snapshot(state_path=str(paths["state"]), burn_token=TOKEN,
                                  burn_chat_id=CHAT, pause_path="")
    assert report["outcome"] == "ok" and report["subnets"] == 1024
    n = len(telegram.messages)
    assert n >= 4 and telegram.messages[0].startswith(f"(1/{n})\nSubnet owner burn rates (startup)")
    assert sleeps == [1.0] * (n - 1)  # a second between two messages
    assert err_lines(capfd) == ["[burn] startup snapshot sent (1024 subnets)\n"]


def test_secrets_stay_out_of_console_and_report(taostats, cycle, capfd, monkeypatch):
    baseline(taostats, cycle, capfd, {1: 0.1})
    taostats.rows = rows({1: 0.3})
    monkeypatch.setenv("TELEGRAM_API_BASE", "http://127.0.0.1:1")  # nothing listens there
    report = cycle()
    out = capfd.readouterr().err
    assert report["outcome"] == "telegram_failed"
    assert TOKEN not in out and TOKEN not in json.dumps(report)
    assert "test-key" not in out


@pytest.mark.parametrize("kw, error", [
    ({"wait_budget_seconds": -1}, "wait_budget_seconds must be a finite number >= 0, not -1.0"),
    ({"interval_seconds": 0}, "interval_seconds must be a finite number > 0, not 0.0"),
    ({"outbox_max_age_seconds": float("nan")}, "outbox_max_age_seconds must be a finite number > 0, not nan"),
])
def test_settings_are_checked_before_anything_is_done(cycle, paths, kw, error):
    with pytest.raises(ValueError) as e:
        cycle(**kw)
    assert str(e.value) == error
    assert not paths["state"].exists()


def _number_tokens(rng: random.Random) -> list[str]:
    fixed = ["0", "-0", "0.0", "-0.0", "1", "3", "0.18", "1e-05", "1E400", "-1e400", "1e16",
             "0.1e1", "5E-1", "123456789012345678901234567890", "1.0000000000000000000001",
             "2.5e-308", "4.9e-324", "1e-400", "1.7976931348623157e308", "100.0", "NaN",
             "Infinity", "-Infinity"]
    out = list(fixed)
    for _ in range(400):
        kind = rng.randrange(4)
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 40)))
        digits = digits.lstrip("0") or "0"
        sign = rng.choice(["", "-"])
        if kind == 0:
            out.append(sign + digits)
        elif kind == 1:
            out.append(f"{sign}{digits}.{rng.randrange(10**rng.randrange(1, 18))}")
        else:
            frac = f".{rng.randrange(1, 10**6)}" if kind == 3 else ""
            out.append(f"{sign}{digits[:3]}{frac}e{rng.choice(['', '+', '-'])}{rng.randrange(0, 330)}")
    return out


def _structures() -> list[str]:
    return ['[0.5]', '{"a": 1, "b": [true, null]}', '"it\'s"', '["it\'s", "say \\"x\\""]',
            '{"k": "line\\nbreak\\ttab"}', '["\\u00e9\\u4e2d", "\\ud83d\\ude00"]', '"0.50"',
            '[1e400, -0.0, 5E-1]', '{"a": 1, "a": 2}', '["\\u0007", "\\u007f"]']


def test_owner_burn_texts_are_the_hosts_str_of_the_decoded_value(taostats, cycle, paths):
    tokens = _number_tokens(random.Random(13)) + _structures()
    body = '{"data": [' + ", ".join(
        f'{{"netuid": {i}, "incentive_burn": {t}}}' for i, t in enumerate(tokens)) + "]}"
    taostats.script(Answer(200, body=body.encode()))
    report = cycle()
    # A reading that is not a finite number is no reading: its row is left out.
    readings = [not isinstance(json.loads(t), float) or math.isfinite(json.loads(t)) for t in tokens]
    assert report["outcome"] == "ok" and report["subnets"] == sum(readings)
    assert report["invalid_rows"] == len(tokens) - sum(readings) > 0
    saved = json.loads(paths["state"].read_text())["owner_burn_rate"]
    for i, token in enumerate(tokens):
        value = json.loads(token)
        expected = (str(value) if value else "0") if readings[i] else None
        assert saved.get(str(i)) == expected, token


def test_stub_matches_the_module():
    stub = Path(bittensor_emberscope.__file__).parent / "monitor.pyi"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    # The engine one cycle at a time, and what its benchmarks and tests read around it.
    assert [fn.name for fn in functions] == ["run_cycle", "run_snapshot", "read_state", "_http_exchange"]
    assert [fn.name for fn in functions] == [
        name for name, value in vars(monitor).items()
        if inspect.isbuiltin(value) and getattr(value, "__module__", None) == monitor.__name__]
    constants = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert constants == {name for name, value in vars(monitor).items()
                         if name.isupper() and isinstance(value, (str, float, int))}
    for fn in functions:
        actual = inspect.signature(getattr(monitor, fn.name))
        expected = [(p.name, p.default, p.kind) for p in actual.parameters.values()]
        declared = [(a.arg, inspect.Parameter.empty, inspect.Parameter.POSITIONAL_OR_KEYWORD)
                    for a in fn.args.args]
        declared += [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d),
                      inspect.Parameter.KEYWORD_ONLY)
                     for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults)]
        assert declared == expected
        assert ast.get_docstring(fn).startswith(inspect.getdoc(getattr(monitor, fn.name)))


@pytest.mark.parametrize("content, outcome", [
    (None, None),
    ('{"owner_burn_rate": {"7": "0.5", "64": 1.5}, "updated_at_utc": "2026-12-08T00:00:00Z"}',
     ({"7": "0.5", "64": "1.5"}, "2026-12-08T00:00:00Z")),
    ('{"owner_burn_rate": {}}', ({}, None)),
    ('{"updated_at_utc": "x"}', 'no "owner_burn_rate" object'),
    ("[1]", "the top level is not a JSON object"),
    ("[" * 100_000, "cannot read the state file"),
])
def test_read_state_gives_values_and_stamp_or_the_reason(tmp_path, content, outcome):
    path = tmp_path / "state.json"
    if content is not None:
        path.write_text(content)
    if isinstance(outcome, str):
        with pytest.raises(ValueError, match=re.escape(outcome)):
            monitor.read_state(str(path))
    else:
        assert monitor.read_state(str(path)) == outcome


def test_read_state_reads_what_the_module_saves(tmp_path):
    path = str(tmp_path / "state.json")
    values = {"0": "0", "7": "0.25", "12": "1e-3", "64": "sn\u00e9\n"}
    emberscope.save_burn_state(path, values, "2026-12-08T01:02:03Z")
    assert monitor.read_state(path) == (values, "2026-12-08T01:02:03Z")


def test_the_outbox_default_is_the_engines():
    # The program's default is checked against the same constant: SettingsTest.DefaultsMakeOneRouteToTheChat.
    default = monitor.DEFAULT_OUTBOX_MAX_AGE_SECONDS
    assert default == 24 * 3600.0
    for operation in (monitor.run_cycle, monitor.run_snapshot):
        assert inspect.signature(operation).parameters["outbox_max_age_seconds"].default == default


def test_routes_each_get_their_selection_with_their_options_on_the_wire(taostats, telegram, cycle,
                                                                         capfd):
    routes = [{"chat_id": "-1001", "threshold": 0.01},
              {"chat_id": "-2002", "threshold": 0.1, "netuids": [2], "silent": True,
               "thread_id": 42, "min_relative_change": 0.0, "quiet_hours": None}]
    baseline(taostats, cycle, capfd, {1: 0.1, 2: 0.5})
    taostats.rows = rows({1: 0.13, 2: 0.9})
    report = cycle(routes=routes)
    assert report["outcome"] == "ok" and len(report["changes"]) == 2
    forms = [dict(r.form) for r in telegram.requests]
    assert [(f["chat_id"], f.get("disable_notification"), f.get("message_thread_id"))
            for f in forms] == [("-1001", None, None), ("-2002", "true", "42")]
    assert "SN1" in forms[0]["text"] and "SN2" in forms[0]["text"]
    assert forms[1]["text"].endswith("\n\nSN2: 0.5000 → 0.9000")
    assert [(r["chat_id"], r["thread_id"], r["delivered"], r["queued"]) for r in report["routes"]] == [
        ("-1001", None, 1, 0), ("-2002", 42, 1, 0)]
    assert report["delivered"] == 2 and report["chat_id"] == "-1001"


@pytest.mark.parametrize("routes, error, text", [
    ([], ValueError, "routes must not be empty"),
    (["-1001"], TypeError, "routes[0] must be a dict, not str"),
    ([{"threshold": 0.1}], ValueError, 'routes[0] has no "chat_id"'),
    ([{"chat_id": -1001}], TypeError, "routes[0]['chat_id'] must be a str, not int"),
    ([{"chat_id": "1", "netuid": [1]}], ValueError, "routes[0] has an unknown key 'netuid'"),
    ([{"chat_id": "1", "netuids": [1, "2"]}], TypeError, "routes[0]['netuids'][1] must be an int"),
    ([{"chat_id": "1", "threshold": -1}], ValueError, "must be a finite number >= 0"),
    ([{"chat_id": "1", "silent": 1}], TypeError, "routes[0]['silent'] must be a bool, not int"),
    ([{"chat_id": "1", "quiet_hours": "22-07"}], ValueError, "must be \"HH:MM-HH:MM\""),
    ([{"chat_id": "1"}, {"chat_id": "2", "thread_id": 2**70}], ValueError,
     "routes[1]['thread_id'] is out of range"),
])
def test_routes_that_cannot_be_followed_are_refused_before_anything_runs(cycle, paths, routes,
                                                                         error, text):
    with pytest.raises(error) as raised:
        cycle(routes=routes)
    assert text in str(raised.value)
    assert not paths["state"].exists()


