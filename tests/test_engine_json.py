"""The monitor engine's JSON reader against the host's own json.loads, on generated documents.

The engine reads the state file with it: monitor.read_state opens the file as UTF-8 text (the
host decodes it and translates line ends) and gives str() of each member of the
"owner_burn_rate" object, or the reason the file cannot be used (the host decoder's message for a
document it refuses). Each generated file is compared with what the same opening and json.loads
make of it. Documents are written by hand rather than by json.dumps so that they can repeat keys,
spell strings with escapes (surrogate pairs, lone surrogates) or raw, and lay out white space
freely; mutated copies (bytes cut, inserted, replaced) exercise the refusals.
"""

from __future__ import annotations

import json
import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bittensor_emberscope import monitor

CHECKS = settings(max_examples=600, deadline=None, database=None,
                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
BURNS = "owner_burn_rate"
STAMP = "updated_at_utc"


class Obj(list):
    """An object as its written members, repeats included."""


class Token(str):
    """A number written as it is spelled."""


# Texts inside containers are shown through repr(): quotes, backslashes, the usual controls and
# printable characters often, any other character (unassigned, private use, format, surrogates)
# now and then.
NESTED_TEXT = st.text(alphabet=st.one_of(
    st.sampled_from(list("ab z09'\"\\\t\n\r/") + ["\u00e9", "\u6d4b", "\U0001f525", "\u03c4"]),
    st.characters(), st.sampled_from(["\ue003", "\u0a0b", "\U000f0000", "\u00ad", "\ud800", "\x7f"])),
    max_size=12)
# Texts at the top of a member and keys: anything, lone surrogates and controls included.
ANY_TEXT = st.text(alphabet=st.one_of(
    st.characters(), st.sampled_from(["\ud800", "\udbff", "\udc00", "\udfff", "\x00", "\x1f", "\x7f"])),
    max_size=24)
KEYS = st.one_of(st.sampled_from(["0", "7", "64", "a", "", "netuid"]), ANY_TEXT)
NUMBERS = st.one_of(
    st.integers(min_value=-(10 ** 40), max_value=10 ** 40),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(["0.0", "-0", "-0.0", "1e400", "-1e400", "1e-400", "-1e-400", "1E+2", "0.1e1",
                     "5e-324", "2.4703282292062328e-324", "1.7976931348623159e308",
                     "9007199254740993.0", "123456789012345678901234567890.25", "1" * 300,
                     "0." + "0" * 200 + "7e200", "0.18", "-0.0001", "1.0"]).map(Token),
)
SCALARS = st.one_of(st.none(), st.booleans(), NUMBERS)
NESTED = st.recursive(
    st.one_of(SCALARS, NESTED_TEXT),
    lambda inner: st.one_of(st.lists(inner, max_size=5),
                            st.lists(st.tuples(NESTED_TEXT, inner), max_size=5).map(Obj)),
    max_leaves=12)
# Members of the burns object; keys repeat often (few distinct keys) or rarely, in small objects
# and in objects past the size where the reader indexes their keys.
MEMBERS = st.one_of(
    st.lists(st.tuples(st.sampled_from(["0", "1", "2", "a"]), st.one_of(ANY_TEXT, NESTED)), max_size=8),
    st.lists(st.tuples(KEYS, st.one_of(ANY_TEXT, NESTED)), max_size=40),
)


def write(value, rng: random.Random) -> str:
    """`value` as JSON text, with random white space and string spellings."""
    def gap() -> str:
        return rng.choice(["", "", " ", "\n", "\t", " \r\n  "])

    if isinstance(value, Obj):
        members = [f"{gap()}{write_text(k, rng)}{gap()}:{gap()}{write(v, rng)}{gap()}"
                   for k, v in value]
        return "{" + ",".join(members) + gap() + "}"
    if isinstance(value, list):
        return "[" + ",".join(gap() + write(v, rng) + gap() for v in value) + gap() + "]"
    if isinstance(value, Token):
        return str(value)
    if isinstance(value, str):
        return write_text(value, rng)
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    return json.dumps(value)


def write_text(text: str, rng: random.Random) -> str:
    """A JSON string for `text`: escaped as json.dumps does, every character as a \\u escape
    (surrogate pairs for the others), or raw where JSON allows it."""
    how = rng.random()
    if how < 0.3:
        return json.dumps(text)
    if how < 0.45:
        return '"' + "".join(f"\\u{ord(c):04X}" if ord(c) < 0x10000 else json.dumps(c)[1:-1]
                             for c in text) + '"'
    return json.dumps(text, ensure_ascii=False)


def document(members, stamp, rng: random.Random) -> str:
    parts = [f'"{BURNS}": {write(Obj(members), rng)}']
    if stamp is not None:
        parts.append(f'"{STAMP}": {write(stamp, rng)}')
    rng.shuffle(parts)
    return "{" + ", ".join(parts) + "}"


def encode(text: str) -> bytes:
    # Raw lone surrogates are written as their three-byte forms, which no strict decoder accepts.
    return text.encode("utf-8", "surrogatepass")


UNDECODABLE = "(the host's decoder refused the file)"


def expected(raw: bytes):
    """What read_state gives for `raw`: (values, stamp) or the reason it refuses it."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return UNDECODABLE
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    try:
        parsed = json.loads(text)
    except json.JSONDecodeError as error:
        return str(error)
    if not isinstance(parsed, dict):
        return "the top level is not a JSON object"
    burns = parsed.get(BURNS)
    if not isinstance(burns, dict):
        return f'no "{BURNS}" object'
    stamp = parsed.get(STAMP)
    return {key: str(value) for key, value in burns.items()}, stamp if isinstance(stamp, str) else None


def engine(path):
    """What read_state gives for the file at `path`: (values, stamp) or the reason."""
    try:
        return monitor.read_state(str(path))
    except UnicodeDecodeError:
        return UNDECODABLE
    except ValueError as error:
        prefix = f"cannot read the state file {path}: "
        assert str(error).startswith(prefix), str(error)
        return str(error)[len(prefix):]


def same(a, b) -> bool:
    # Texts of NaN compare as texts; only the dicts' order needs its own check.
    return a == b and (not isinstance(a, tuple) or list(a[0]) == list(b[0]))


@CHECKS
@given(members=MEMBERS, stamp=st.one_of(st.none(), ANY_TEXT, NESTED), seed=st.integers(0, 2 ** 32))
def test_documents_read_like_json_loads(tmp_path, members, stamp, seed):
    rng = random.Random(seed)
    path = tmp_path / "state.json"
    raw = encode(document(members, stamp, rng))
    path.write_bytes(raw)
    want, got = expected(raw), engine(path)
    assert same(got, want), (raw, got, want)


MUTATIONS = ['"', "\\", ",", ":", "{", "}", "[", "]", "\t", "\x01", "\x1f", " ", "x", "0", "-",
             ".", "e", "N", "I", "\\u", "\\ud800", "\\x", "\u00e9", "\U0001f525", "\ufeff"]
BAD_BYTES = [b"\x80", b"\xbf", b"\xc0\x80", b"\xc2", b"\xe0\x80\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
             b"\xf0\x9f\x98", b"\xff", b"\xef\xbb\xbf"]


@CHECKS
@given(members=MEMBERS, seed=st.integers(0, 2 ** 32), edits=st.integers(1, 3))
def test_damaged_documents_are_refused_like_json_loads(tmp_path, members, seed, edits):
    rng = random.Random(seed)
    raw = encode(document(members, "2026-12-08T00:00:00Z", rng))
    for _ in range(edits):
        at = rng.randrange(len(raw) + 1)
        how = rng.random()
        if how < 0.25:
            raw = raw[:at]
        elif how < 0.45:
            raw = raw[:at] + raw[at + 1:]
        elif how < 0.85:
            raw = raw[:at] + rng.choice(MUTATIONS).encode() + raw[at:]
        else:
            raw = raw[:at] + rng.choice(BAD_BYTES) + raw[at:]
    path = tmp_path / "state.json"
    path.write_bytes(raw)
    want, got = expected(raw), engine(path)
    assert same(got, want), (raw, got, want)


@pytest.mark.parametrize("raw", [
    b'\xef\xbb\xbf{"owner_burn_rate": {}}',
    b'{"owner_burn_rate": {"a": 1, "a": 2, "b": [1, {"c": 3, "c": 4}]}}',
    b'{"owner_burn_rate": {"\\ud800": "\\udc00x", "\\ud83d\\ude00": "\\ud83d\\ude00"}}',
    b'{"owner_burn_rate": {"k": "' + b"a" * 37 + b'\\n' + b"\xc3\xa9" * 9 + b'"}}',
    b'{"owner_burn_rate": {"k": "' + b"a" * 37 + b'\x1f"}}',
    b'{"owner_burn_rate": {"k": "' + b"a" * 37 + b'\xed\xa0\x80"}}',
    b'{"owner_burn_rate": {"k": NaN, "l": -Infinity, "m": 1e400, "n": -0, "o": -0.0}}',
    b'{"owner_burn_rate": {' + b", ".join(b'"%d": %d' % (k % 23, k) for k in range(100)) + b"}}",
])
def test_chosen_documents_read_like_json_loads(tmp_path, raw):
    path = tmp_path / "state.json"
    path.write_bytes(raw)
    want, got = expected(raw), engine(path)
    assert same(got, want), (got, want)
