"""The owner burn operations against the interpreter's own float(), int(), format() and repr().

Inputs mix float reprs and printf forms, digit strings with underscores, decimal digits of other
scripts, Unicode white space, signs, inf/nan spellings and garbage; every expected value is
computed by the interpreter itself.
"""

from __future__ import annotations

import math
import random
import struct
import sys
import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bittensor_emberscope import emberscope

CHECKS = settings(max_examples=3000, deadline=None, database=None,
                  suppress_health_check=[HealthCheck.too_slow])

UNICODE_DIGITS = {}
for _cp in range(0x80, sys.maxunicode + 1):
    _value = unicodedata.decimal(chr(_cp), -1)
    if _value >= 0:
        UNICODE_DIGITS.setdefault(_value, []).append(chr(_cp))
SPACES = [chr(cp) for cp in range(sys.maxunicode + 1) if chr(cp).isspace()]
# Look-alikes that are not digits, signs or points to the host, lone surrogates, control bytes.
DECOYS = ["\u00b2", "\u00bd", "\u2460", "\u0f33", "\u1369", "\u2212", "\uff0b", "\uff0e", "\ud800",
          "\udfff", "\x00", "\x7f", "\x1c", ",", "%", "x", "\u00e9", "\u0301"]
SPELLINGS = ["inf", "infinity", "nan", "in", "infin", "infinit", "infinityy", "nan(1)", "snan",
             "none", "true", "0x10", "0b1", "1e", "1e+", ".", ".e1", "--1", "+-1", "0,5", "5%", "e5"]


# --- references: the interpreter's own rules ---------------------------------------------------

def ref_format(value: str) -> str:
    try:
        return format(float(value), ".4f")
    except ValueError:
        return value


def ref_changed(old: str, new: str, threshold: float) -> bool:
    try:
        return abs(float(old) - float(new)) > threshold
    except ValueError:
        return old != new


def ref_from_real(x: float) -> str:
    return "0" if x == 0 else repr(x)


def ref_diff(prev: dict, current: dict, threshold: float) -> list:
    ordered = sorted(current.items(), key=lambda item: int(item[0]))
    return [(k, prev[k], v) for k, v in ordered if k in prev and ref_changed(prev[k], v, threshold)]


# --- generated texts -----------------------------------------------------------------------------

any_float = st.floats(allow_nan=True, allow_infinity=True)
digit_run = st.text(alphabet="0123456789", min_size=1, max_size=25)


@st.composite
def float_spelling(draw):
    x = draw(any_float)
    style = draw(st.sampled_from(["repr", "g", "e", "f", "upper"]))
    if style == "repr" or not math.isfinite(x):
        return repr(x)
    if style == "g":
        return "%.*g" % (draw(st.integers(1, 25)), x)
    if style == "e":
        return "%.*e" % (draw(st.integers(0, 30)), x)
    if style == "f":
        return "%.*f" % (draw(st.integers(0, 30)), x) if abs(x) < 1e30 else repr(x)
    return repr(x).upper()


@st.composite
def digit_numeral(draw):
    """Digit groups joined by underscores, mostly single ones, with optional point and exponent."""
    def grouped():
        groups = draw(st.lists(digit_run, min_size=1, max_size=4))
        return draw(st.sampled_from(["_", "_", "_", "__", ""])).join(groups)
    text = grouped() if draw(st.booleans()) else ""
    if draw(st.booleans()) or not text:
        text += "." + (grouped() if draw(st.booleans()) else "")
    if draw(st.booleans()):
        text += draw(st.sampled_from("eE")) + draw(st.sampled_from(["", "+", "-"])) + grouped()
    return text


@st.composite
def spelling(draw):
    word = draw(st.sampled_from(SPELLINGS))
    return "".join(c.upper() if draw(st.booleans()) else c for c in word)


@st.composite
def decorated(draw, body):
    """Signs, other scripts' digits, white space, stray underscores and decoys around a body."""
    text = draw(body)
    if draw(st.booleans()):
        text = "".join(draw(st.sampled_from(UNICODE_DIGITS[int(c)])) if c.isascii() and c.isdigit()
                       and draw(st.booleans()) else c for c in text)
    text = draw(st.sampled_from(["", "", "+", "-"])) + text
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(text)))
        extra = draw(st.sampled_from(["_", "_", " ", "."] + DECOYS + SPACES))
        text = text[:at] + extra + text[at:]
    space = st.text(alphabet=st.sampled_from(SPACES), max_size=2)
    return draw(space) + text + draw(space)


owner_burn_texts = st.one_of(
    decorated(float_spelling()), decorated(digit_numeral()), decorated(spelling()),
    st.text(max_size=12), st.text(alphabet="0123456789_.eE+- \t", max_size=12),
)


@st.composite
def netuid_text(draw):
    """Mostly integer texts as int() reads them; one in twenty carries something it refuses."""
    digits = "0" * draw(st.integers(0, 2)) + draw(st.from_regex(r"\A[0-9](_?[0-9]){0,3}\Z"))
    if draw(st.integers(0, 3)) == 0:
        digits = "".join(draw(st.sampled_from(UNICODE_DIGITS[int(c)])) if c.isdigit() else c
                         for c in digits)
    space = st.text(alphabet=st.sampled_from(SPACES), max_size=1)
    text = draw(space) + draw(st.sampled_from(["", "", "", "+", "-"])) + digits + draw(space)
    if draw(st.integers(0, 19)) == 0:
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(["_", ".", "e", "x"] + DECOYS)) + text[at:]
    return text


thresholds = st.one_of(st.sampled_from([0.0, -1.0, 0.1, 0.25, 1e300, math.inf, math.nan]),
                       st.floats(allow_nan=False))


# --- properties ----------------------------------------------------------------------------------

@CHECKS
@given(owner_burn_texts)
def test_display_form_matches_format_of_float(value):
    assert emberscope.format_owner_burn(value) == ref_format(value)


@CHECKS
@given(owner_burn_texts, owner_burn_texts, thresholds)
def test_change_matches_float_difference_or_text_inequality(old, new, threshold):
    assert emberscope.owner_burn_changed(old, new, threshold) is ref_changed(old, new, threshold)


@CHECKS
@given(owner_burn_texts, thresholds)
def test_change_of_a_text_against_itself_and_its_neighbours(value, threshold):
    assert emberscope.owner_burn_changed(value, value, threshold) is ref_changed(value, value, threshold)
    padded = " " + value + "\u3000"
    assert emberscope.owner_burn_changed(value, padded, threshold) is ref_changed(value, padded, threshold)


@CHECKS
@given(any_float)
def test_real_field_gives_repr(x):
    assert emberscope.owner_burn_from_row({"incentive_burn": x}) == ref_from_real(x)


@settings(CHECKS, max_examples=300)
@given(st.dictionaries(netuid_text(), owner_burn_texts, max_size=4),
       st.dictionaries(netuid_text(), owner_burn_texts, max_size=12), thresholds, st.randoms())
def test_diff_order_follows_int_of_netuid(prev, current, threshold, rnd):
    # Most subnets of the current map were seen before, with the same or another text.
    for key in current:
        if rnd.random() < 0.8:
            prev[key] = rnd.choice([current[key], prev.get(key, "0"), "0.5", " " + current[key]])
    try:
        want = ref_diff(prev, current, threshold)
    except ValueError:
        with pytest.raises(ValueError):
            emberscope.diff_burns(prev, current, threshold)
        return
    got = [tuple(change) for change in emberscope.diff_burns(prev, current, threshold)]
    assert got == want


def test_seeded_corpus_of_exact_ties_and_bit_patterns():
    """Halfway decimals between neighbouring doubles and random bit patterns, 20000 texts."""
    from decimal import Decimal, getcontext

    getcontext().prec = 1200
    rnd = random.Random(20260301)
    texts = []
    for _ in range(10000):
        x = struct.unpack("<d", struct.pack("<Q", rnd.getrandbits(64)))[0]
        if not math.isfinite(x):
            x = rnd.uniform(-1, 1)
        mid = (Decimal(x) + Decimal(math.nextafter(x, math.inf))) / 2
        tail = rnd.choice(["", "", "0", "1", "000000001"])
        texts.append(format(mid, "f") + tail if abs(x) < 1e30 else format(mid, "e"))
        texts.append(repr(x) if rnd.random() < 0.5 else "%.*e" % (rnd.randint(0, 20), x))
    for value in texts:
        assert emberscope.format_owner_burn(value) == ref_format(value), value
    for old, new in zip(texts[::2], texts[1::2]):
        assert emberscope.owner_burn_changed(old, new, 0.0) is ref_changed(old, new, 0.0), (old, new)
