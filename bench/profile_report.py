"""Where a watch cycle's time goes: samples in-memory cycles with perf and prints, for the main
steps of the cycle, the share of the cycle's samples spent in them (callees included).

Needs perf and an unstripped build of the module (scripts/bench builds one in build/profile).
Usage: python bench/profile_report.py MODULE_SO [--rows 1024] [--seconds 8]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

# (label, pattern matched against the symbol, part of the host's JSON decoding?)
STEPS = [
    ("whole cycle (run_emberscope_once)", r"^emberscope::driver::run_emberscope_once$", False),
    ("listing: json.loads of the body", r"^emberscope::host::json_loads$", True),
    ("listing: freeing the decoded rows", r"^~Listing \(inlined\)$|Listing>::_M_reset", True),
    ("listing: request, headers, response", r"^emberscope::host::http_exchange$", False),
    ("rows to burn map (burn_map_of_rows)", r"^emberscope::driver::burn_map_of_rows", False),
    ("  row member look-ups (Object::get)", r"^emberscope::host::Object::get$", False),
    ("  burn texts of rows (owner_burn_text)", r"^emberscope::burns::owner_burn_text", False),
    ("load_burn_state", r"^emberscope::burns::load_burn_state$", False),
    ("  json.load of the state file", r"^emberscope::host::json_load$", True),
    ("diff_burns", r"^emberscope::burns::diff_burns$", False),
    ("  change tests (owner_burn_changed)", r"^emberscope::burns::owner_burn_changed$", False),
    ("  numeric-text rule (parse_numeric_text)", r"^emberscope::burns::parse_numeric_text$", False),
    ("  sort keys (netuid_sort_key)", r"^emberscope::burns::netuid_sort_key", False),
    ("save_burn_state", r"^emberscope::burns::save_burn_state$", False),
    ("  state text (render_state_file)", r"^emberscope::burns::render_state_file", False),
    ("  its key sort", r"^sort<.*pair<std::__cxx11::basic_string", False),
    ("  temp file, fsync, rename (replace_file)", r"^emberscope::host::replace_file", False),
    ("format_burn_alert", r"^emberscope::reports::format_burn_alert$", False),
    ("send_burn_telegram_messages", r"^emberscope::reports::send_burn_telegram_messages$", False),
]


def profile(module: str, kind: str, rows: int, seconds: float) -> tuple[dict[str, float], str]:
    with tempfile.TemporaryDirectory(prefix="emberscope-perf-") as tmp:
        data = os.path.join(tmp, "perf.data")
        env = dict(os.environ, EMBERSCOPE_BENCH_MODULE=module)
        run = subprocess.run(
            ["perf", "record", "-q", "-F", "499", "--call-graph", "dwarf,32768", "-o", data,
             sys.executable, str(HERE / "profile_cycle.py"), kind, "--rows", str(rows),
             "--seconds", str(seconds)],
            env=env, capture_output=True, text=True, check=True)
        report = subprocess.run(
            ["perf", "report", "-i", data, "--children", "--sort", "sym", "-g", "none", "--stdio"],
            capture_output=True, text=True, check=True).stdout
    shares: dict[str, float] = {}
    for line in report.splitlines():
        m = re.match(r"\s+([\d.]+)%\s+([\d.]+)%\s+\[[.k]\]\s+(.*\S)", line)
        if not m:
            continue
        symbol = m.group(3)
        for label, pattern, _ in STEPS:
            if label not in shares and re.search(pattern, symbol):
                shares[label] = float(m.group(1))
    return shares, run.stderr.strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("module")
    parser.add_argument("--rows", type=int, default=1024)
    parser.add_argument("--seconds", type=float, default=8.0)
    args = parser.parse_args()

    results = {kind: profile(args.module, kind, args.rows, args.seconds) for kind in ("quiet", "alert")}
    print(f"perf, {args.rows:,} rows, in-memory cycles ({results['quiet'][1]} quiet, "
          f"{results['alert'][1]} alert in {args.seconds:.0f} s each); share of the cycle's "
          "samples, callees included:")
    print()
    print("| step | quiet cycle | alert cycle |")
    print("|---|---:|---:|")
    whole = STEPS[0][0]
    json_share = {}
    for kind in ("quiet", "alert"):
        shares = results[kind][0]
        json_share[kind] = sum(shares.get(label, 0.0) for label, _, j in STEPS if j) / shares[whole]
    for label, _, is_json in STEPS:
        cells = [f"{results[k][0][label] / results[k][0][whole] * 100:.1f}%"
                 if label in results[k][0] else "—" for k in ("quiet", "alert")]
        mark = " (host JSON)" if is_json else ""
        print(f"| {label}{mark} | {cells[0]} | {cells[1]} |")
    print(f"| **all but the host's JSON decoding** | **{(1 - json_share['quiet']) * 100:.1f}%** | "
          f"**{(1 - json_share['alert']) * 100:.1f}%** |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
