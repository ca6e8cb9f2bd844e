"""How steady this machine's speed is: the same host work (json.loads of a 1,024-row listing)
timed over and over, one median per second. On a shared virtual machine the figures jump
between levels as neighbours come and go; the spread of every other timing should be read
against this one. Usage: python bench/speed_probe.py [--seconds 20]
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import sys
import time

import workloads as wl


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=20)
    args = parser.parse_args()
    text = wl.listing(1024).body.decode()
    medians = []
    gc.disable()
    for _ in range(args.seconds):
        runs = []
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            start = time.perf_counter()
            json.loads(text)
            runs.append(time.perf_counter() - start)
        medians.append(statistics.median(runs) * 1000)
    gc.enable()
    print("json.loads of the 1,024-row listing, median of each second (ms): "
          + " ".join(f"{m:.2f}" for m in medians))
    print(f"fastest second {min(medians):.2f} ms, slowest {max(medians):.2f} ms, "
          f"ratio {max(medians) / min(medians):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
