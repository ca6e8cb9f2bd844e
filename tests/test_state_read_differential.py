"""load_burn_state against the host's own reading of the file, on generated and damaged files.

The module reads a file of the written shape in one pass and leaves every other file to the
host's decoder; either way the map, or the error, must be what opening the file as UTF-8 text
and json.load make of it. Files are spelled by hand around the written layout: escapes in any
case (surrogate pairs, lone and reversed surrogates, short escapes), raw bytes the writer would
escape, numbers and literals at the grammar's edges, white space anywhere, then bytes cut,
inserted or replaced.
"""

from __future__ import annotations

import json
import random

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bittensor_emberscope.testing.host_json import noting_host_decodings

CHECKS = settings(max_examples=500, deadline=None, database=None,
                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])

TEXT = st.text(st.one_of(
    st.sampled_from(list("09az. -eE/") + ["\x7f", "\x00", "\x1f", "\"", "\\", "\n", "\t", "\u00e9",
                                           "\U0001f525", "\ud800", "\udc00", "\ufeff"]),
    st.characters()), max_size=8)
# Values the one-pass reader leaves to the host, spelled as they would be written by hand.
OTHER_VALUES = ["0", "-0", "1.5", "1e400", "-1E-400", "01", "1.", "-", "1e", "1e+", "NaN",
                "-Infinity", "Infinity", "true", "false", "null", "[]", "{}", '[1, "x"]', '{"a": 1}',
                "tru", "nul", '"\\u12"', '"\\x"']


def spell(text: str, rng: random.Random) -> str:
    """A JSON string for `text`, each character written raw or escaped at random."""
    out = ['"']
    for ch in text:
        cp = ord(ch)
        short = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\b": "\\b",
                 "\f": "\\f", "/": "\\/"}.get(ch)
        how = rng.random()
        if short and (how < 0.6 or ch in '"\\'):
            out.append(short)
        elif cp > 0xFFFF and how < 0.7:
            v = cp - 0x10000
            hi, lo = 0xD800 | (v >> 10), 0xDC00 | (v & 0x3FF)
            out.append(rng.choice(["\\u%04x\\u%04x", "\\u%04X\\u%04X"]) % (hi, lo))
        elif (cp < 0x20 or cp >= 0x7F or how < 0.1) and how < 0.8:
            out.append(rng.choice(["\\u%04x", "\\u%04X"]) % cp if cp <= 0xFFFF else ch)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def space(rng: random.Random, written: str) -> str:
    return written if rng.random() < 0.7 else rng.choice(["", " ", "\n", "\t", "\r\n", "  \n    "])


def document(burns: list, stamp: str, rng: random.Random) -> bytes:
    if rng.random() < 0.7:
        # Keys unique and in the written (code point) order, as the one-pass reader wants them.
        burns = sorted(dict(burns).items(), key=lambda kv: kv[0].encode("utf-8", "surrogatepass"))
    members = []
    for key, value in burns:
        if isinstance(value, str):
            value = spell(value, rng)
        members.append(space(rng, "\n    ") + spell(key, rng) + space(rng, "") + ":" +
                       space(rng, " ") + value)
    inner = "{" + ",".join(members) + (space(rng, "\n  ") if members else "") + "}"
    top = [(spell("owner_burn_rate", rng), inner), (spell("updated_at_utc", rng), spell(stamp, rng))]
    if rng.random() < 0.2:
        top.reverse()
    text = ("{" + ",".join(space(rng, "\n  ") + k + ":" + space(rng, " ") + v for k, v in top) +
            space(rng, "\n") + "}" + space(rng, "\n"))
    return text.encode("utf-8", "surrogatepass")


def damaged(body: bytes, rng: random.Random, edits: int) -> bytes:
    for _ in range(edits):
        i = rng.randrange(len(body) + 1)
        b = bytes([rng.choice(b'{}[]",:\\u0123456789abcdefABCDEF-.eE \n\t\x00\x7f\xc3\xa9\xed\xff')])
        body = rng.choice([body[:i] + b + body[i + 1:], body[:i] + body[i + 1:], body[:i] + b + body[i:],
                           body[:i]])
    return body


def host_load(path) -> object:
    """What the host makes of the file: the map, or the error's type and text."""
    try:
        try:
            with open(path, encoding="utf-8") as f:
                document = json.load(f)
        except json.JSONDecodeError:
            return []
        burns = document.get("owner_burn_rate")
        if not isinstance(burns, dict):
            return []
        return list((k, v if isinstance(v, str) else str(v)) for k, v in burns.items())
    except Exception as e:  # noqa: BLE001 - the error is compared, whatever it is
        return (type(e), str(e))


def module_load(es, path) -> object:
    try:
        return list(es.load_burn_state(str(path)).items())
    except Exception as e:  # noqa: BLE001
        return (type(e), str(e))


BURNS = st.lists(st.tuples(TEXT, st.one_of(TEXT, TEXT, st.sampled_from(OTHER_VALUES))), max_size=6)


@CHECKS
@given(burns=BURNS, stamp=TEXT, seed=st.integers(0, 2 ** 32))
def test_hand_spelled_files_load_as_the_host_loads_them(es, tmp_path_factory, burns, stamp, seed):
    rng = random.Random(seed)
    path = tmp_path_factory.mktemp("spelled") / "state.json"
    path.write_bytes(document(burns, stamp, rng))
    assert module_load(es, path) == host_load(path), path.read_bytes()


@CHECKS
@given(burns=BURNS, stamp=TEXT, seed=st.integers(0, 2 ** 32), edits=st.integers(1, 3))
def test_damaged_files_load_or_fail_as_the_host_does(es, tmp_path_factory, burns, stamp, seed, edits):
    rng = random.Random(seed)
    path = tmp_path_factory.mktemp("damaged") / "state.json"
    path.write_bytes(damaged(document(burns, stamp, rng), rng, edits))
    assert module_load(es, path) == host_load(path), path.read_bytes()


def test_most_spelled_files_take_the_one_pass_road_and_agree(es, tmp_path):
    # The generator must reach the module's own reader, not only the host's: files of texts in
    # the written order are read without the host's decoder, and still read as the host reads.
    rng = random.Random(20261208)
    alphabet = list("0123456789.e-") + ["\"", "\\", "/", "\n", "\x7f", "\u00e9", "\U0001f525", "\ud800"]
    own = 0
    for n in range(200):
        burns = [("".join(rng.choices(alphabet, k=rng.randrange(4))),
                  "".join(rng.choices(alphabet, k=rng.randrange(6)))) for _ in range(rng.randrange(8))]
        stamp = "2026-12-06T17:14:%02dZ" % rng.randrange(60)
        path = tmp_path / f"{n}.json"
        path.write_bytes(document(burns, stamp, rng))
        with noting_host_decodings() as counting:
            loaded = module_load(es, path)
        assert loaded == host_load(path), path.read_bytes()
        own += not counting.texts
    assert own >= 60
