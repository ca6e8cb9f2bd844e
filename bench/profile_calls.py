"""Calls one of the module's operations in a loop for a while, for a sampling profiler to watch.

The inputs are the side-by-side benchmark's at 1,024 rows. Load an unstripped build of the
module with EMBERSCOPE_BENCH_MODULE so the profile names its functions, for example:

    perf record -F 2000 -g -o calls.data -- python bench/profile_calls.py owner_burn_changed
    perf report -i calls.data --no-children --sort symbol

Usage: python bench/profile_calls.py OPERATION [--rows 1024] [--seconds 5]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from workloads import THRESHOLD, UPDATED_AT, es, listing  # noqa: E402


def loops(rows: int, folder: str) -> dict:
    lst = listing(rows)
    pairs = [(lst.current[k], lst.previous[k]) for k in lst.current]
    texts, data, current, moved = lst.texts, lst.rows, lst.current, lst.previous
    snapshot = es.format_burn_snapshot(data, UPDATED_AT)
    state = os.path.join(folder, "state.json")
    es.save_burn_state(state, current, UPDATED_AT)
    save = os.path.join(folder, "save.json")
    return {
        "owner_burn_changed": lambda: [es.owner_burn_changed(o, n, THRESHOLD) for o, n in pairs],
        "format_owner_burn": lambda: [es.format_owner_burn(t) for t in texts],
        "owner_burn_from_row": lambda: [es.owner_burn_from_row(r) for r in data],
        "chunk_short": lambda: [es._chunk_text("abc") for _ in range(1000)],
        "diff_burns": lambda: es.diff_burns(current, moved, THRESHOLD),
        "format_burn_alert": lambda: es.format_burn_alert(lst.changes, UPDATED_AT),
        "format_burn_snapshot": lambda: es.format_burn_snapshot(data, UPDATED_AT),
        "chunk_split": lambda: es._chunk_text(snapshot),
        "load_burn_state": lambda: es.load_burn_state(state),
        "save_burn_state": lambda: es.save_burn_state(save, current, UPDATED_AT),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("operation")
    parser.add_argument("--rows", type=int, default=1024)
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=shm) as tmp:
        table = loops(args.rows, tmp)
        if args.operation not in table:
            print("operations: " + ", ".join(table), file=sys.stderr)
            return 2
        call = table[args.operation]
        count = 0
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            call()
            count += 1
    print(f"{count} loops of {args.operation}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
