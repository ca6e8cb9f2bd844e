"""Texts the module hands out again instead of making them anew: the small numbers and short
texts of a loaded state map, and the owner burn texts of reals. Whatever a table holds, every
result must equal what the host itself makes from the same input, however often it is asked."""

from __future__ import annotations

import gc
import json
import math
import random
import struct
import sys

import pytest

STAMP = "2026-12-06T17:14:27Z"


def host_load(content: bytes) -> dict:
    """What loading means, by the host's own decoder."""
    burns = json.loads(content.decode("utf-8")).get("owner_burn_rate")
    if not isinstance(burns, dict):
        return {}
    return {k: (v if isinstance(v, str) else str(v)) for k, v in burns.items()}


def assert_loads_as_the_host(es, path, content: bytes, times: int = 3) -> None:
    path.write_bytes(content)
    expected = list(host_load(content).items())
    for _ in range(times):  # the first load fills the tables, the next ones read them
        got = list(es.load_burn_state(str(path)).items())
        assert got == expected
        assert all(type(k) is str and type(v) is str for k, v in got)


def written(burns: dict) -> bytes:
    """A state file as the module writes it (the one-pass reader's shape)."""
    return (json.dumps({"owner_burn_rate": burns, "updated_at_utc": STAMP},
                       indent=2, sort_keys=True) + "\n").encode()


# Keys and values around the edges of the tables: the numbers 0 .. 4095 are kept, texts up to
# 24 bytes share a cache, everything else is made anew.
EDGE_TEXTS = [
    "0", "1", "9", "10", "99", "100", "999", "1000", "4094", "4095", "4096", "4097", "9999",
    "10000", "00", "01", "007", "0000", "-0", "-1", "+1", " 1", "1 ", "1.0", "0.0", "0.5", "1e-05",
    "nan", "", "x", "a" * 23, "a" * 24, "a" * 25, "b" * 200, "0" * 24, "4" * 24 + "5",
    "\u00e9", "\u0661", "\u00e90", "0\u00e9", "\ud800", "\U0001f525", "tab\there", 'q"uote',
    "back\\slash", "\u007f", "\x00", "/",
]


@pytest.mark.parametrize("layout", ["written", "escaped", "host"])
def test_keys_and_values_at_the_edges_load_as_the_host_reads_them(es, tmp_path, layout):
    burns = {k: v for k, v in zip(EDGE_TEXTS, reversed(EDGE_TEXTS))}
    burns.update({v: k for k, v in burns.items()})
    if layout == "written":  # read in one pass, texts as views of the file
        content = written(burns)
    elif layout == "escaped":  # every text escaped: read in one pass, texts decoded
        def escaped(text):
            return '"' + "".join(f"\\u{ord(c):04x}" if ord(c) < 0x10000 else c for c in text) + '"'
        members = sorted(burns.items())
        content = ("{\"owner_burn_rate\": {" + ", ".join(
            f"{escaped(k)}: {escaped(v)}" for k, v in members) + "}}").encode("utf-8", "surrogatepass")
        content = content.replace(b"\xf0\x9f\x94\xa5", b"\\ud83d\\udd25")
    else:  # keys out of order and reals: the host's decoder reads it
        content = json.dumps({"owner_burn_rate": {**dict(reversed(burns.items())), "12": 0.5,
                                                  "4095": 1.0, "4096": 0.0}}).encode()
    assert_loads_as_the_host(es, tmp_path / "state.json", content)


def test_more_distinct_texts_than_the_cache_has_places(es, tmp_path):
    # Values that collide in the direct-mapped cache replace each other; every load must still
    # give each key its own value, in the first load and in the ones after.
    rng = random.Random(5)
    values = [f"{rng.random():.{rng.randint(1, 17)}f}" for _ in range(6000)]
    burns = {str(n): values[n] for n in range(6000)}
    assert_loads_as_the_host(es, tmp_path / "state.json", written(burns))
    # The same keys with other values: no value of the previous file comes back.
    shifted = {k: values[(int(k) + 1) % 6000] for k in burns}
    assert_loads_as_the_host(es, tmp_path / "state.json", written(shifted))


def test_loaded_maps_are_the_callers_own(es, tmp_path):
    path = tmp_path / "state.json"
    path.write_bytes(written({"1": "0.5", "2": "1.0"}))
    first = es.load_burn_state(str(path))
    first["1"] = "changed"
    first["3"] = "new"
    assert es.load_burn_state(str(path)) == {"1": "0.5", "2": "1.0"}
    assert es.load_burn_state(str(path)) is not es.load_burn_state(str(path))


def test_loads_keep_no_reference_they_do_not_give_back(es, tmp_path):
    path = tmp_path / "state.json"
    burns = {str(n): f"0.{n}" for n in range(300)}
    burns.update({"5000": "x" * 40, "7": "\u00e9"})
    path.write_bytes(written(burns))
    held = es.load_burn_state(str(path))
    # Texts that share a cache place replace each other on every load: from the second load on,
    # which of the held texts the cache keeps stays the same.
    es.load_burn_state(str(path))
    counts = [(sys.getrefcount(k), sys.getrefcount(v)) for k, v in held.items()]
    for _ in range(50):
        es.load_burn_state(str(path))
    assert [(sys.getrefcount(k), sys.getrefcount(v)) for k, v in held.items()] == counts
    for _ in range(100):
        es.load_burn_state(str(path))
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(1000):
        es.load_burn_state(str(path))
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 300  # a block kept per load would be 1,000


def reals():
    rng = random.Random(11)
    out = [0.18, 0.5, 0.25, 1.0, 0.0, -0.0, 2.0, 1e16, 1e-7, 5e-324, -1e308, 0.1 + 0.2,
           math.inf, -math.inf, math.nan, struct.unpack("<d", struct.pack("<Q", 0x7ff8000000000001))[0]]
    out += [round(rng.uniform(0, 1), rng.randint(1, 6)) for _ in range(3000)]
    out += [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(1000)]
    return out


def test_owner_burn_texts_of_reals_are_those_of_the_host(es):
    values = reals()
    expected = ["0" if x == 0 else repr(x) for x in values]
    rows = [{"incentive_burn": x} for x in values]
    for _ in range(3):  # filling the cache, then reading it, with collisions on the way
        got = [es.owner_burn_from_row(row) for row in rows]
        assert got == expected
        assert all(type(t) is str for t in got)
    # Reals with the bits of another's slot, asked in turn, each get their own text.
    for a, b in zip(values[::2], values[1::2]):
        ra, rb = ("0" if a == 0 else repr(a)), ("0" if b == 0 else repr(b))
        assert (es.owner_burn_from_row({"incentive_burn": a}),
                es.owner_burn_from_row({"incentive_burn": b})) == (ra, rb)


def test_owner_burn_texts_of_reals_keep_no_reference(es):
    row = {"incentive_burn": 0.123}
    text = es.owner_burn_from_row(row)
    count = sys.getrefcount(text)
    for _ in range(100):
        es.owner_burn_from_row(row)
    assert sys.getrefcount(text) == count
    assert es.owner_burn_from_row(row) == "0.123"


def test_texts_that_differ_in_one_byte_are_never_taken_for_each_other(es, tmp_path):
    # The cache compares and places texts eight bytes at a time (the last eight overlapping the
    # ones before): texts of every length up to the cache's limit and one past it, differing in
    # one byte at every place, each load as themselves, whichever of them the cache held before.
    values = []
    for n in range(1, 26):
        base = "0." + "123456789012345678901234"[: max(n - 2, 0)] if n >= 2 else "7"
        base = base[:n]
        values.append(base)
        for i in range(n):
            values.append(base[:i] + ("x" if base[i] != "x" else "y") + base[i + 1:])
    path = tmp_path / "state.json"
    burns = {str(k): v for k, v in enumerate(values)}
    assert_loads_as_the_host(es, path, written(burns))
    # The same texts under other keys, in the other order: the held ones must not answer for
    # their neighbours.
    assert_loads_as_the_host(es, path, written({str(k): v for k, v in enumerate(reversed(values))}))
