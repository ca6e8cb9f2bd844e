"""Change detection: numeric netuid order, exact key matching, and the host's int() for keys."""

from __future__ import annotations

import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bittensor_emberscope import emberscope


def reference_diff(prev, current, threshold):
    """The comparison written with the host's own int() and sorted()."""
    return [(k, prev[k], v) for k, v in sorted(current.items(), key=lambda kv: int(kv[0]))
            if k in prev and emberscope.owner_burn_changed(prev[k], v, threshold)]


@pytest.mark.parametrize("prev, current, threshold, expected", [
    ({}, {"1": "0.3", "2": "0.9"}, 0.1, []),
    ({"3": "0.5"}, {}, 0.1, []),
    ({"1": "0.1", "abc": "1"}, {"1": "0.3", "2": "0.9"}, 0.1, [("1", "0.1", "0.3")]),
    ({"100": "0", "9": "0", "10": "0"}, {"100": "1", "9": "1", "10": "1"}, 0.5,
     [("9", "0", "1"), ("10", "0", "1"), ("100", "0", "1")]),
    ({"05": "0.1"}, {"5": "0.9"}, 0.1, []),
    ({"1": "0.75"}, {"1": "0.5"}, 0.25, []),
    ({"1": "0.75"}, {"1": "0.5"}, 0.24, [("1", "0.75", "0.5")]),
    ({"1": "n/a"}, {"1": "0.1"}, 1e9, [("1", "n/a", "0.1")]),
    ({"1": "0.5"}, {"1": "0.5"}, -1, [("1", "0.5", "0.5")]),
    ({"1": "0"}, {"1": "2"}, 1, [("1", "0", "2")]),  # a whole threshold is used as a real
    ({"5": "0", "05": "0", " 5": "0"}, {"05": "1", "5": "2", " 5": "3"}, 0,  # equal numbers keep their order
     [("05", "0", "1"), ("5", "0", "2"), (" 5", "0", "3")]),
    ({"\u0663": "0", "1_0": "0", "+2": "0", "-1": "0"}, {"1_0": "1", "\u0663": "1", "+2": "1", "-1": "1"}, 0,
     [("-1", "0", "1"), ("+2", "0", "1"), ("\u0663", "0", "1"), ("1_0", "0", "1")]),
    ({5: "0", "5": "0"}, {5: "1", 2.7: "1", True: "1"}, 0, [(5, "0", "1")]),  # other keys: the host's int()
])
def test_diff_table(es, prev, current, threshold, expected):
    got = es.diff_burns(prev, current, threshold)
    assert got == expected == reference_diff(prev, current, threshold)
    assert all(type(change) is tuple for change in got)


def test_triples_carry_the_stored_texts(es):
    old, new = "0.18", "0.2000"
    [(_, got_old, got_new)] = es.diff_burns({"7": old}, {"7": new}, 0.01)
    assert got_old is old and got_new is new


@pytest.mark.parametrize("key", ["abc", "5.0", "", " ", "0x5", "1__0", "_1", "1_", "--1", "\u00b2", "1\x00", None])
def test_a_key_the_host_int_refuses_fails_before_any_comparison(es, key):
    with pytest.raises((ValueError, TypeError)) as expected:
        int(key)
    for prev in ({}, {"1": 0.5}):  # comparing subnet 1 would raise a TypeError
        with pytest.raises(type(expected.value)) as got:
            es.diff_burns(prev, {"1": "5", key: "1"}, 0.1)
        assert str(got.value) == str(expected.value)


def test_huge_keys_follow_the_host_digit_limit(es):
    big, bigger, too_long = "9" * 700, "1" + "0" * 4299, "1" * 5000
    current = {bigger: "1", big: "1", "1": "1"}
    assert [c[0] for c in es.diff_burns(dict.fromkeys(current, "0"), current, 0)] == ["1", big, bigger]
    with pytest.raises(ValueError) as expected:
        int(too_long)
    with pytest.raises(ValueError) as got:
        es.diff_burns({}, {too_long: "1"}, 0)
    assert str(got.value) == str(expected.value) and "4300" in str(got.value)
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert es.diff_burns({too_long: "0", "2": "0"}, {too_long: "1", "2": "1"}, 0) == [
            ("2", "0", "1"), (too_long, "0", "1")]
    finally:
        sys.set_int_max_str_digits(limit)


@pytest.mark.parametrize("prev, current, message", [
    ({"1": 0.5}, {"1": "0.5"}, "'old' must be str, not float"),
    ({"1": "0.5"}, {"1": None}, "'new' must be str, not None"),
    ({"1": None}, {"1": 3}, "'old' must be str, not None"),
    ({"1": "0"}, {"1": type("Text", (str,), {})("1")}, "'new' must be str, not Text"),
])
def test_values_that_are_not_texts_fail_only_when_compared(es, prev, current, message):
    with pytest.raises(TypeError) as info:
        es.diff_burns(prev, current, 0.1)
    assert str(info.value) == "owner_burn_changed() argument " + message
    assert es.diff_burns({"9": "0"}, current, 0.1) == es.diff_burns(prev, {"9": "1"}, 0.1) == []


KEY = st.one_of(st.text(st.sampled_from("0123456789_ +-\t\u0663\u0967\uff15\u00b2x."), max_size=6),
                st.integers(-10**30, 10**30).map(str))
BURN = st.sampled_from(["0", "0.5", "1", "n/a"])


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(prev=st.dictionaries(KEY, BURN, max_size=6), current=st.dictionaries(KEY, BURN, max_size=6),
       threshold=st.sampled_from([0.0, 0.5, -1.0]))
def test_matches_the_host_on_generated_keys(es, prev, current, threshold):
    try:
        expected = reference_diff(prev, current, threshold)
    except ValueError as e:
        with pytest.raises(ValueError) as info:
            es.diff_burns(prev, current, threshold)
        assert str(info.value) == str(e)
    else:
        assert es.diff_burns(prev, current, threshold) == expected
