"""Instruction counts of the core kernels, from one callgrind run of build/bench/core_instr.

Prints a Markdown table: instructions per listing at 1,024 and 100,000 entries, per entry, and
the growth ratio (100 means linear; 97.7 is exactly proportional to the entry count).
Instruction counts do not depend on the machine's load, so they show growth where wall time is
noisy. Usage: python bench/instr_report.py BUILD_DIR
"""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import tempfile


def collect(binary: pathlib.Path) -> dict[str, int]:
    with tempfile.TemporaryDirectory(prefix="emberscope-callgrind-") as tmp:
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--quiet",
             f"--callgrind-out-file={tmp}/out.%p", str(binary)],
            check=True, stdout=subprocess.DEVNULL)
        counts: dict[str, int] = {}
        # Dumps are numbered in the order the program made them: keep that order.
        dumps = sorted(pathlib.Path(tmp).glob("out.*.*"), key=lambda p: int(p.suffix[1:]))
        for dump in dumps:
            text = dump.read_text()
            label = re.search(r"^desc: Trigger: Client Request: (.+)$", text, re.M)
            summary = re.search(r"^summary: (\d+)", text, re.M)
            if label and summary:
                counts[label.group(1)] = int(summary.group(1))
        return counts


def main() -> int:
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
    counts = collect(build / "core_instr")

    print("| kernel | Ir, 1,024 entries | Ir per entry | Ir, 100,000 entries | Ir per entry | ratio |")
    print("|---|---:|---:|---:|---:|---:|")
    kernels = list(dict.fromkeys(
        k.rsplit("/", 1)[0] for k in counts if not k.startswith("chunk_lines")))
    for kernel in kernels:
        small, large = counts[f"{kernel}/1024"], counts[f"{kernel}/100000"]
        print(f"| {kernel} | {small:,} | {small / 1024:,.0f} | {large:,} | "
              f"{large / 100_000:,.0f} | {large / small:.1f} |")
    print()
    print("| chunker, max_len | Ir, 10^4 lines | Ir per line | Ir, 10^6 lines | Ir per line | ratio |")
    print("|---|---:|---:|---:|---:|---:|")
    limits = sorted({k.split("/")[1].split(":")[1] for k in counts if k.startswith("chunk_lines")},
                    key=int)
    for limit in limits:
        small = counts[f"chunk_lines/max_len:{limit}/10000"]
        large = counts[f"chunk_lines/max_len:{limit}/1000000"]
        print(f"| {limit} | {small:,} | {small / 1e4:,.0f} | {large:,} | {large / 1e6:,.0f} | "
              f"{large / small:.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
