"""Listing rows as wide as the real ones: about 50 members a row (integers, reals, numbers kept as
texts, names, addresses, flags, a nested owner), with varied values, so that a listing is about
1.7 KB a row as compact JSON and shrinks about 5x with gzip, as a real listing does.

The owner burn member follows `realistic_rows` (zeros, whole burns, reals, a few texts, a few
rows without it), and the rows run in ascending netuid order.
"""

from __future__ import annotations

import json
import random

from bittensor_emberscope.testing.listings import realistic_rows

_SYLLABLES = ["ka", "lo", "mi", "ne", "ru", "ta", "vo", "xi", "ze", "qua", "bit", "ten", "sor"]
_DOMAINS = ["github.com", "gitlab.com", "example.org", "subnet.ai"]
_WORDS = ("decentralised inference market compute storage data model training protocol "
          "validator miner reward scoring oracle bridge prediction vision language audio "
          "finance trading search indexing agents").split()


def _name(rng: random.Random) -> str:
    return "".join(rng.choice(_SYLLABLES) for _ in range(rng.randint(2, 4))).capitalize()


def _sentence(rng: random.Random, words: int) -> str:
    return " ".join(rng.choice(_WORDS) for _ in range(words)).capitalize() + "."


def _widen(rng: random.Random, row: dict) -> dict:
    netuid = row["netuid"]
    name = _name(rng)
    extra = {
        "id": f"{netuid}-{row['block_number']}",
        "registration_block_number": rng.randint(1_000_000, 5_000_000),
        "registration_timestamp": f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T"
                                  f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z",
        "registration_cost": str(rng.randint(10**11, 10**13)),
        "neuron_registration_cost": str(rng.randint(10**5, 10**10)),
        "active_keys": rng.randint(0, 256),
        "validators": rng.randint(0, 64),
        "active_dual": rng.randint(0, 16),
        "projected_emission": str(rng.randint(0, 10**8)),
        "difficulty": str(rng.randint(10**6, 10**18)),
        "immunity_period": rng.choice([4096, 5000, 7200, 10000]),
        "kappa": rng.randint(30000, 40000),
        "rho": rng.choice([10, 30]),
        "min_allowed_weights": rng.randint(1, 64),
        "max_weights_limit": rng.randint(100, 65535),
        "weights_version": rng.randint(0, 3000),
        "weights_rate_limit": rng.choice([100, 200, 360]),
        "activity_cutoff": rng.choice([5000, 7200, 10000]),
        "max_validators": 64,
        "num_uids": rng.randint(64, 256),
        "max_uids": 256,
        "burn": str(rng.randint(10**5, 10**12)),
        "bonds_moving_avg": rng.choice([900000, 975000]),
        "max_regs_per_block": rng.randint(1, 5),
        "serving_rate_limit": rng.choice([50, 100]),
        "target_regs_per_interval": rng.randint(1, 4),
        "adjustment_interval": rng.choice([112, 360, 720]),
        "adjustment_alpha": str(rng.randint(0, 2**64 - 1)),
        "registration_allowed": rng.random() < 0.9,
        "pow_registration_allowed": rng.random() < 0.1,
        "commit_reveal_weights_enabled": rng.random() < 0.5,
        "commit_reveal_weights_interval": rng.randint(1, 4),
        "liquid_alpha_enabled": rng.random() < 0.3,
        "alpha_high": rng.randint(50000, 65535),
        "alpha_low": rng.randint(40000, 50000),
        "recycled_lifetime": str(rng.randint(0, 10**15)),
        "recycled_since_registration": str(rng.randint(0, 10**15)),
        "net_registrations_24_hours": rng.randint(-20, 40),
        "registrations_24_hours": rng.randint(0, 60),
        "symbol": rng.choice("αβγδεζηθικλμνξοπρστυφχψω"),
        "subnet_name": name,
        "github_repo": f"https://{rng.choice(_DOMAINS)}/{name.lower()}/{name.lower()}-subnet",
        "description": _sentence(rng, rng.randint(4, 12)),
        "fee_rate": round(rng.uniform(0, 0.2), 6),
        "ema_price": rng.uniform(0.001, 0.2),
        "total_stake": str(rng.randint(10**12, 10**16)),
        "alpha_in_pool": str(rng.randint(10**12, 10**16)),
    }
    wide = dict(row)
    burn = wide.pop("incentive_burn", None)
    wide.update(extra)
    if burn is not None:
        wide["incentive_burn"] = burn
    return wide


def wide_rows(count: int, seed: int = 0) -> list[dict]:
    """`count` rows for netuid 0 .. count-1, each with about 50 members."""
    rng = random.Random(seed ^ 0x5EED)
    return [_widen(rng, row) for row in realistic_rows(count, seed)]


def listing_body(rows: list[dict]) -> bytes:
    """The listing's body as the API sends it: every row on one page."""
    pagination = {"current_page": 1, "per_page": len(rows), "total_items": len(rows),
                  "total_pages": 1, "next_page": None, "prev_page": None}
    return json.dumps({"pagination": pagination, "data": rows}, separators=(",", ":")).encode()
