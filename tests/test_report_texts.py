"""Alert and snapshot texts, byte for byte, and the chunker at its boundary."""

from __future__ import annotations

import math

import pytest

STAMP = "2026-03-01T12:00:00Z"
SNAPSHOT_HEAD = "Subnet owner burn rates (startup)\n2026-03-01T12:00:00Z UTC\n"


def test_worked_examples(es):
    assert es.format_burn_alert([("3", "0.18", "0.25"), ["12", "0", "1"]], STAMP) == (
        "Owner burn rate changed\n2026-03-01T12:00:00Z UTC\n\n"
        "SN3: 0.1800 \u2192 0.2500\nSN12: 0.0000 \u2192 1.0000")
    rows = [{"netuid": 12, "incentive_burn": 0.25}, {"netuid": 3, "incentive_burn": "0.18"}, {"netuid": 7}]
    copy = [dict(r) for r in rows]
    assert es.format_burn_snapshot(rows, STAMP) == (
        SNAPSHOT_HEAD + "3 subnets\n\nSN3: 0.1800\nSN7: 0.0000\nSN12: 0.2500")
    assert rows == copy


@pytest.mark.parametrize("changes, body", [
    ([], ""),
    ([("5", "n/a", "0.2")], "\nSN5: n/a \u2192 0.2000"),
    ([("1", "0.1", "0.2")], "\nSN1: 0.1000 \u2192 0.2000"),
    ([("010", " 7 ", "1e400"), ("2", "", "-0")], "\nSN010: 7.0000 \u2192 inf\nSN2:  \u2192 -0.0000"),
])
def test_alert_lines(es, changes, body):
    assert es.format_burn_alert(changes, STAMP) == "Owner burn rate changed\n2026-03-01T12:00:00Z UTC\n" + body


@pytest.mark.parametrize("changes, message", [
    (["1"], "0 of 'changes' must be a tuple or list of 3 str, not str"),
    ([("1", "2", "3"), None], "1 of 'changes' must be a tuple or list of 3 str, not None"),
    ([("1", "2")], "0 of 'changes' must be a tuple or list of 3 str, not tuple of length 2"),
    ([["1", "2", "3", "4"]], "0 of 'changes' must be a tuple or list of 3 str, not list of length 4"),
    ([(1, "0.1", "0.2")], "0 of 'changes' must be a tuple or list of 3 str, not one holding int"),
    ([("1", type("Text", (str,), {})("0.1"), "0.2")],
     "0 of 'changes' must be a tuple or list of 3 str, not one holding Text"),
])
def test_alert_refuses_anything_but_triples_of_texts(es, changes, message):
    with pytest.raises(TypeError) as info:
        es.format_burn_alert(changes, STAMP)
    assert str(info.value) == "format_burn_alert() item " + message


def body_of(text):
    head, _, body = text.partition("\n\n")
    return body.split("\n") if body else []


@pytest.mark.parametrize("netuids, lines", [
    ([100, 9, 10], ["SN9", "SN10", "SN100"]),
    (["10", 9, " 012 ", "+11"], ["SN9", "SN10", "SN+11", "SN 012 "]),
    ([10.5, 10, -0.5, True, False], ["SN-0.5", "SNFalse", "SNTrue", "SN10.5", "SN10"]),
    ([1, None, -1], ["SN-1", "SN?", "SN1"]),  # None here: the row has no netuid at all
    (["\u0663", "1_0", 2], ["SN2", "SN\u0663", "SN1_0"]),
    ([10**30, -10**30, 0], ["SN-" + "1" + "0" * 30, "SN0", "SN1" + "0" * 30]),
])
def test_snapshot_order_and_labels(es, netuids, lines):
    rows = [{"incentive_burn": "1"} if n is None else {"netuid": n, "incentive_burn": "1"} for n in netuids]
    text = es.format_burn_snapshot(rows, STAMP)
    assert text.startswith(SNAPSHOT_HEAD + f"{len(rows)} subnets\n\n")
    assert body_of(text) == [label + ": 1.0000" for label in lines]


def test_snapshot_counts_and_keeps_input_order_for_equal_netuids(es):
    rows = [{"netuid": 4, "incentive_burn": "b"}, {"netuid": 3}, {"netuid": "4", "incentive_burn": "a"},
            {"netuid": 4.9, "incentive_burn": "c"}]
    assert body_of(es.format_burn_snapshot(rows, STAMP)) == ["SN3: 0.0000", "SN4: b", "SN4: a", "SN4.9: c"]
    assert es.format_burn_snapshot([], STAMP) == SNAPSHOT_HEAD + "0 subnets\n"
    assert es.format_burn_snapshot([{}], STAMP) == SNAPSHOT_HEAD + "1 subnets\n\nSN?: 0.0000"


@pytest.mark.parametrize("netuid", [None, "abc", "5.0", "", [], {}, math.nan, math.inf, "1" * 5000])
def test_snapshot_fails_as_the_host_int_fails(es, netuid):
    with pytest.raises(Exception) as expected:
        int(netuid)
    rows = [{"netuid": 1}, {"netuid": netuid}]
    with pytest.raises(type(expected.value)) as got:
        es.format_burn_snapshot(rows, STAMP)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("row, given", [([], "list"), (None, "None"), ("x", "str")])
def test_snapshot_rows_must_be_dicts(es, row, given):
    with pytest.raises(TypeError) as info:
        es.format_burn_snapshot([{"netuid": 1}, row], STAMP)
    assert str(info.value) == f"owner_burn_from_row() argument 'row' must be dict, not {given}"


def test_chunker_default_limit_and_truncated_limit(es):
    head = SNAPSHOT_HEAD + "2 subnets\n\n"
    first = "SN1: " + "a" * (3900 - len(head) - len("SN1: ") - len("\nSN2: b"))
    exact = head + first + "\nSN2: b"
    assert len(exact) == 3900 and es._chunk_text(exact) == [exact]
    over = exact + "c"
    assert es._chunk_text(over) == [head + first, head + "SN2: bc"]
    assert es._chunk_text(over, 3901.9) == [over]
    snapshot = SNAPSHOT_HEAD + "3 subnets\n\nSN1: 0.1000\nSN2: 0.2000\nSN3: 0.3000"
    assert es._chunk_text(snapshot, 90.5) == [SNAPSHOT_HEAD + f"3 subnets\n\nSN{n}: 0.{n}000" for n in (1, 2, 3)]


def test_chunker_keeps_every_line_of_a_long_alert(es):
    changes = [(str(n), "0.1", "0.2") for n in range(300)]
    alert = es.format_burn_alert(changes, STAMP)
    chunks = es._chunk_text(alert)
    assert len(chunks) > 1 and all(len(c) <= 3900 for c in chunks)
    lines = [line for c in chunks for line in c.split("\n") if line.startswith("SN")]
    assert lines == alert.split("\n")[3:]
    assert all(c.startswith("Owner burn rate changed\n2026-03-01T12:00:00Z UTC\n\nSN") for c in chunks)
