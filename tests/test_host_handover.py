"""Where the operations read host values directly (exact types, the interpreter's own UTF-8 and
code-point length) and where they hand over to the general reading: both sides give the same
results as the host's own rules."""

from __future__ import annotations

import decimal
import enum

import pytest


class Text(str):
    pass


class Whole(int):
    pass


class Decimals(enum.IntEnum):
    TWO = 2


class Real(float):
    pass


def reference_burn_text(value):
    return "0" if not value else str(value)


@pytest.mark.parametrize("value", [
    "0.25", "", Text("0.5"), Text(""), "\udcff", "a\U0001f600", 0, 0.0, -0.0, 1.0, -3.0, 1e15, 1e16,
    9007199254740993.0, 0.18, 5e-324, float("inf"), float("nan"), 7, -7, 2**70, True, False,
    Whole(5), None, [], [0],
    Whole(0), Decimals.TWO, Real(0.5), Real(-0.0), -(2**63), 2**63 - 1, 2**63, -(2**64), -(10**40),
    {}, {"a": 1}, (), (0,), decimal.Decimal("0"), decimal.Decimal("-0.00"), decimal.Decimal("1.50"),
])
def test_row_owner_burn_is_a_plain_text_equal_to_the_host_rule(es, value):
    got = es.owner_burn_from_row({"incentive_burn": value})
    assert type(got) is str
    assert got == reference_burn_text(value)


def test_absent_owner_burn(es):
    assert es.owner_burn_from_row({"netuid": 1}) == "0"


class Refuses:
    def __bool__(self):
        raise ArithmeticError("no truth value")

    def __str__(self):
        raise AssertionError("str() after a failed truth test")


def test_an_error_of_the_values_truth_test_passes_through(es):
    with pytest.raises(ArithmeticError, match="no truth value"):
        es.owner_burn_from_row({"incentive_burn": Refuses()})


@pytest.mark.parametrize("decimals", [True, Whole(3), Decimals.TWO, 2.0, "4", None])
def test_decimals_other_than_a_plain_int_go_to_the_host_formatter(es, monkeypatch, decimals):
    monkeypatch.setattr(es, "OWNER_BURN_DECIMALS", decimals)
    try:
        expected = format(0.123456, "." + str(decimals) + "f")
    except ValueError as e:
        with pytest.raises(ValueError, match=str(e)):
            es.format_owner_burn("0.123456")
        return
    assert es.format_owner_burn("0.123456") == expected
    assert es.format_burn_snapshot([{"netuid": 1, "incentive_burn": 0.123456}], "t").endswith(
        "SN1: " + expected)


@pytest.mark.parametrize("text", [
    "\U0001f600" * 7, "a\nb\nc\n\nSN1: \U0001f600\nSN2: \U0001f600", "\udcff\n" * 6, "", "abc",
])
def test_a_text_is_measured_in_code_points(es, text):
    # The interpreter's length, not the UTF-8 size, decides whether the text is its own chunk.
    assert es._chunk_text(text, len(text)) == [text]
    if len(text) > 1 and "\n" in text:
        parts = es._chunk_text(text, len(text) - 1)
        assert parts != [text]
        assert all(p.split("\n")[:3] == text.split("\n")[:3] for p in parts)


@pytest.mark.parametrize("max_len", [0, -1, -(2**70)])
def test_limits_below_one_still_chunk_every_text(es, max_len):
    assert es._chunk_text("", max_len) == [""]
    assert es._chunk_text("abc", max_len) == ["abc"]


def reference_diff(es, prev, current, threshold):
    return [(k, prev[k], v) for k, v in sorted(current.items(), key=lambda kv: int(kv[0]))
            if k in prev and es.owner_burn_changed(prev[k], v, threshold)]


@pytest.mark.parametrize("prev, current", [
    # Plain texts only, then one entry on either side that the direct reading hands over.
    ({"1": "0.1", "2": "0.5"}, {"2": "0.9", "1": "0.1"}),
    ({"1": "0.1", "2": "\udcff"}, {"2": "0.9", "1": "0.3"}),
    ({"1": "0.1", "\udcff9": "0.5"}, {"1": "0.3"}),
    ({"1": "0.1", Text("2"): "0.5"}, {"2": "0.9", "1": "0.3"}),
    ({"1": "0.1", "3": Text("0.5")}, {"1": "0.3"}),
    ({"1": "0.1"}, {Text("1"): "0.3", "2": "0.9"}),
])
def test_diff_is_the_same_whichever_way_the_maps_are_read(es, prev, current):
    got = es.diff_burns(prev, current, 0.01)
    assert got == reference_diff(es, prev, current, 0.01)
    for (k, old, new) in got:
        assert old is prev[k] and new is current[k]


def test_a_text_subclass_fails_when_compared(es):
    with pytest.raises(TypeError, match="argument 'old' must be str, not Text"):
        es.diff_burns({"1": Text("0.1")}, {"1": "0.3"}, 0.01)


@pytest.mark.parametrize("netuid, label", [
    (7, "7"), (True, "True"), (2**70, str(2**70)), (Whole(9), "9"), ("07", "07"), (3.0, "3.0"),
])
def test_snapshot_labels(es, netuid, label):
    text = es.format_burn_snapshot([{"netuid": netuid, "incentive_burn": 0.5}], "t")
    assert text.endswith(f"\nSN{label}: 0.5000")


def test_snapshot_of_rows_out_of_order_is_sorted_stably(es):
    rows = [{"netuid": n, "incentive_burn": b} for n, b in
            [(3, 1.0), ("1", "0.5"), (2, -0.0), (1, 0.25), (0, None), (10, 2**70)]]
    body = es.format_burn_snapshot(rows, "t").split("\n")[4:]
    assert body == ["SN0: 0.0000", "SN1: 0.5000", "SN1: 0.2500", "SN2: 0.0000", "SN3: 1.0000",
                    "SN10: " + format(float(2**70), ".4f")]


@pytest.mark.parametrize("decimals", [4, 0, 12, Whole(3)])
@pytest.mark.parametrize("burn", [
    -0.0, 0.0, 0.5, -1e-7, 1e16, float("nan"), float("-inf"), 0, -3, 2**70, "", " 0.5 ", "abc", None,
    False, True, [], Decimals.TWO,
])
def test_a_snapshot_shows_the_display_form_of_the_rows_owner_burn_text(es, monkeypatch, decimals, burn):
    monkeypatch.setattr(es, "OWNER_BURN_DECIMALS", decimals)
    row = {"netuid": 1, "incentive_burn": burn}
    shown = es.format_owner_burn(es.owner_burn_from_row(row))
    assert es.format_burn_snapshot([row], "t").endswith("\nSN1: " + shown)
