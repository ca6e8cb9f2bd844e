"""Subnet rows shaped like the ones the Taostats listing returns.

`realistic_rows` gives a believable network: the root subnet plus 128 others, about a
third burning nothing, about 40% burning all their owner incentive, the rest in
between, and a few values that arrive as texts or not at all. `odd_rows` gives the
values a robust reader must survive. Both are deterministic for a seed.
"""

from __future__ import annotations

import copy
import datetime
import hashlib
import random

__all__ = ["realistic_rows", "odd_rows", "ss58_encode"]

BASE_BLOCK = 5453828
BASE_TIME = datetime.datetime(2025, 4, 28, 23, 59, 12, tzinfo=datetime.timezone.utc)
BLOCK_SECONDS = 12

_WORDS = ["apex", "atlas", "cortex", "drift", "ember", "flux", "forge", "helix",
          "kite", "lumen", "nexus", "omega", "onyx", "prism", "pulse", "quanta",
          "relay", "sigma", "sturdy", "tensor", "vision", "vortex", "warden", "zephyr"]

_BASE58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def ss58_encode(public_key: bytes, prefix: int = 42) -> str:
    """The SS58 address of a 32-byte public key (generic Substrate prefix 42)."""
    payload = bytes([prefix]) + public_key
    checksum = hashlib.blake2b(b"SS58PRE" + payload, digest_size=64).digest()[:2]
    number = int.from_bytes(payload + checksum, "big")
    out = ""
    while number:
        number, digit = divmod(number, 58)
        out = _BASE58[digit] + out
    return out


def _base_row(rng: random.Random, netuid: int) -> dict:
    block = BASE_BLOCK - rng.randrange(0, 3)
    stamp = BASE_TIME - datetime.timedelta(seconds=BLOCK_SECONDS * (BASE_BLOCK - block))
    key = rng.randbytes(32)
    root = netuid == 0
    max_neurons = 64 if root else 256
    validators = rng.randint(1, 64)
    return {
        "netuid": netuid,
        "block_number": block,
        "timestamp": stamp.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "name": "root" if root else rng.choice(_WORDS),
        "owner": {"ss58": ss58_encode(key), "hex": "0x" + key.hex()},
        "max_neurons": max_neurons,
        "active_validators": validators,
        "active_miners": 0 if root else rng.randint(0, max_neurons - validators),
        "tempo": 360,
        "emission": "0" if root else str(rng.randint(0, 40_000_000)),
        "min_burn": "500000",
        "max_burn": "100000000000",
        "recycled_24_hours": str(rng.randint(0, 2_000_000_000_000)),
    }


def _kinds(count: int, rng: random.Random) -> list[str]:
    # Fixed shares rather than independent draws, so that every seed shows the mix.
    zero, full = round(count * 0.33), round(count * 0.40)
    text = absent = max(1, count // 40) if count >= 10 else 0
    kinds = ["zero"] * zero + ["full"] * full + ["text"] * text + ["absent"] * absent
    kinds = (kinds + ["real"] * count)[:count]
    rng.shuffle(kinds)
    return kinds


def realistic_rows(count: int = 129, seed: int = 0) -> list[dict]:
    """Rows for netuid 0 .. count-1 in ascending order.

    "incentive_burn" is 0 or 0.0 in about a third of the rows, 1.0 in about 40%, a
    real such as 0.18 in most others, a numeric text such as "0.25" in a few and
    missing in a few (count // 40 each, at least one from ten rows up).
    """
    rng = random.Random(seed)
    rows = []
    for netuid, kind in enumerate(_kinds(count, rng)):
        row = _base_row(rng, netuid)
        if kind == "zero":
            row["incentive_burn"] = rng.choice([0, 0.0])
        elif kind == "full":
            row["incentive_burn"] = 1.0
        elif kind == "real":
            row["incentive_burn"] = rng.choice(
                [0.18, 0.5, 0.25, 0.75, 0.05, 0.9, round(rng.uniform(0.01, 0.99), 4)])
        elif kind == "text":
            row["incentive_burn"] = rng.choice(["0.25", "0.5", "1", "0", "0.18"])
        rows.append(row)
    return rows


ABSENT = object()

BURN_ODDITIES = [
    "n/a", "", " 0.5 ", "５", "0.5\n", "\u00a00.5", "NaN", "nan", "inf", "-Infinity",
    "1e400", "1_000", "0x10", "١.٥", "½", "1,5", "+.5", "-0", "00.50", "0.25e1",
    "0.1234567890123456789", "1e-7", "null", "true",
    1e308, -1e308, 10**40, -(10**40), 5e-324, -0.0, 0, 1, 2.5, -0.25,
    None, True, False, [], {}, [0.5], {"value": 0.5}, ABSENT,
]

NAME_ODDITIES = [
    "τensor", "测试子网", "سوبنت", "🔥ember🔥", "e\u0301mber", "\u202eflipped", "ＦＵＬＬ",
    "tab\there", "line\nbreak", 'quote"and\\slash', "nul\u0000byte", "", "a" * 300,
]


def odd_rows(count: int = 1024, seed: int = 0) -> list[dict]:
    """Rows that stress a reader, for netuid 0 .. count-1 where a netuid is given.

    Every value of BURN_ODDITIES appears once the count reaches its length (ABSENT
    leaves "incentive_burn" out); about a third of the names come from
    NAME_ODDITIES; about 3% of rows have no "netuid" and about 3% carry it as a
    decimal text.
    """
    rng = random.Random(seed)
    offset = rng.randrange(len(BURN_ODDITIES))
    rows = []
    for i in range(count):
        row = _base_row(rng, i)
        burn = BURN_ODDITIES[(i + offset) % len(BURN_ODDITIES)]
        if burn is not ABSENT:
            row["incentive_burn"] = copy.deepcopy(burn)
        if rng.random() < 1 / 3:
            row["name"] = rng.choice(NAME_ODDITIES)
        draw = rng.random()
        if draw < 0.03:
            del row["netuid"]
        elif draw < 0.06:
            row["netuid"] = str(i)
        rows.append(row)
    return rows
