"""Runs watch cycles in memory for a while, for a sampling profiler to watch.

The network is replaced by answers held in memory and the state file lives on tmpfs, as in the
own-work figure of module_bench.py. Load an unstripped build of the module with
EMBERSCOPE_BENCH_MODULE so the profile names its functions; scripts/bench does both.

Usage: python bench/profile_cycle.py {quiet,alert} [--rows 1024] [--seconds 10]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import workloads as wl
from workloads import es


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["quiet", "alert"])
    parser.add_argument("--rows", type=int, default=1024)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()

    ls = wl.listing(args.rows)
    served = [ls.body]
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=base) as tmp:
        state = os.path.join(tmp, "state.json")
        os.environ["TAOSTATS_API_KEY"] = "profile-key"
        os.environ["TAOSTATS_API_BASE"] = "http://127.0.0.1:9"
        os.environ["TELEGRAM_API_BASE"] = "http://127.0.0.1:9"
        cycles = 0
        with wl.no_sleep(), wl.quiet_stderr(), wl.in_memory_transport(lambda: served[0]):
            end = time.monotonic() + args.seconds
            while time.monotonic() < end:
                if args.kind == "alert":
                    served[0] = ls.body_moved if served[0] is ls.body else ls.body
                es.run_emberscope_once(state_path=state, threshold=wl.THRESHOLD,
                                       burn_token="1:profile", burn_chat_id="-1")
                cycles += 1
    print(f"{cycles} cycles", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
