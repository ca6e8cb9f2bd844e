"""Markdown tables from Google Benchmark's JSON output of build/bench/core_bench.

Per kernel: the median CPU time of the repetitions at 1,024 and 100,000 entries, their
coefficient of variation, the time per entry, and the growth ratio (97.7 is exactly linear).
Usage: python bench/core_table.py core_bench.json
"""

from __future__ import annotations

import json
import sys


def human(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3), ("ns", 1.0)):
        if ns >= scale or unit == "ns":
            value = ns / scale
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    raise AssertionError


def main() -> int:
    data = json.load(open(sys.argv[1]))
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    runs: dict[str, dict[str, dict]] = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") in ("median", "cv", None) and b.get("run_type") != "complexity":
            kind = b.get("aggregate_name") or "median"
            runs.setdefault(b["run_name"], {})[kind] = b
    times: dict[tuple[str, int], tuple[float, float]] = {}
    faults: dict[tuple[str, int], float] = {}
    for name, v in runs.items():
        base, _, size = name.rpartition("/")
        if not size.isdigit():
            continue
        m = v["median"]
        cv = v.get("cv", {}).get("cpu_time", 0.0)
        times[(base, int(size))] = (m["cpu_time"] * scale[m["time_unit"]], cv)
        faults[(base, int(size))] = m.get("faults", 0.0)

    kernels = list(dict.fromkeys(b for b, _ in times if not b.startswith("chunk_lines")))
    print("| kernel | 1,024 entries | per entry | 100,000 entries | per entry | ratio "
          "| page faults per call at 100,000 |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for k in kernels:
        (a, cva), (b, cvb) = times[(k, 1024)], times[(k, 100_000)]
        print(f"| {k} | {human(a)} ±{cva * 100:.0f}% | {human(a / 1024)} | {human(b)} ±{cvb * 100:.0f}% "
              f"| {human(b / 100_000)} | {b / a:.0f} | {faults[(k, 100_000)]:,.0f} |")
    print()
    print("| chunker, max_len | 10^4 lines | 10^5 lines | 10^6 lines | per line at 10^6 "
          "| 10^6 / 10^4 | page faults per call at 10^5 / 10^6 |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    limits = list(dict.fromkeys(b for b, _ in times if b.startswith("chunk_lines")))
    for k in limits:
        cells = [times[(k, n)] for n in (10_000, 100_000, 1_000_000)]
        text = " | ".join(f"{human(t)} ±{cv * 100:.0f}%" for t, cv in cells)
        print(f"| {k.split(':')[1]} | {text} | {human(cells[2][0] / 1e6)} | "
              f"{cells[2][0] / cells[0][0]:.0f} | {faults[(k, 100_000)]:,.0f} / "
              f"{faults[(k, 1_000_000)]:,.0f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
