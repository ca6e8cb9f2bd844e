"""Where the module's own work in a cycle goes, in instructions: one watch cycle with the network
and the host's JSON decoding held (as for the own-work figure of module_bench.py), counted by
callgrind, attributed to the cycle's steps (callees included).

Instruction counts do not move with the machine's speed, so this profile is the same on every
run. Needs valgrind and an unstripped build of the module (scripts/bench builds one in
build/profile). Usage: python bench/own_profile.py MODULE_SO BUILD_DIR [--rows 1024]
"""

from __future__ import annotations

import argparse
import ctypes
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

# (label, pattern on callgrind_annotate's function name)
STEPS = [
    ("whole cycle", r"emberscope::driver::run_emberscope_once\("),
    ("rows to burn map (burn_map_of_rows)", r"emberscope::driver::burn_map_of_rows"),
    ("  row member look-ups (Object::get)", r"emberscope::host::Object::get\("),
    ("  netuid texts (Object::integer_text)", r"emberscope::host::Object::integer_text"),
    ("  burn texts (owner_burn_text)", r"emberscope::burns::owner_burn_text"),
    ("load_burn_state (JSON held)", r"emberscope::burns::load_burn_state\("),
    ("  state entries to texts (as_text)", r"emberscope::burns::\(anonymous namespace\)::as_text"),
    ("diff_burns", r"emberscope::burns::diff_burns\("),
    ("  change tests (owner_burn_changed)", r"emberscope::burns::owner_burn_changed\("),
    ("  numeric-text rule (parse_numeric_text)", r"emberscope::burns::parse_numeric_text\("),
    ("  its copy of the text (ascii_form)", r"emberscope::burns::\(anonymous namespace\)::ascii_form"),
    ("  sort keys (netuid_sort_key)", r"emberscope::burns::netuid_sort_key"),
    ("save_burn_state", r"emberscope::burns::save_burn_state\("),
    ("  state text (render_state_file)", r"emberscope::burns::render_state_file\("),
    ("  temp file, fsync, rename (replace_file)", r"emberscope::host::replace_file\("),
    ("format_burn_alert", r"emberscope::reports::format_burn_alert\("),
    ("send_burn_telegram_messages", r"emberscope::reports::send_burn_telegram_messages\("),
    ("host: text to UTF-8 (_PyUnicode_AsUTF8String)", r"_PyUnicode_AsUTF8String"),
    ("host: UTF-8 to text (PyUnicode_DecodeUTF8Stateful)", r"PyUnicode_DecodeUTF8Stateful"),
]


def inner(kind: str, rows: int, build: pathlib.Path) -> None:
    sys.path.insert(0, str(HERE))
    import workloads as wl
    from workloads import es

    marks = ctypes.CDLL(str(build / "libcallgrind_marks.so"))
    marks.marks_end.argtypes = [ctypes.c_char_p]
    ls = wl.listing(rows)
    os.environ.update(TAOSTATS_API_KEY="k", TAOSTATS_API_BASE="http://127.0.0.1:9",
                      TELEGRAM_API_BASE="http://127.0.0.1:9")
    served = [ls.body]
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=base) as tmp:
        state = os.path.join(tmp, "state.json")

        def cycle() -> None:
            if kind == "alert":
                served[0] = ls.body_moved if served[0] is ls.body else ls.body
            es.run_emberscope_once(state_path=state, threshold=wl.THRESHOLD,
                                   burn_token="1:p", burn_chat_id="-1")

        with wl.no_sleep(), wl.quiet_stderr(), wl.in_memory_transport(lambda: served[0]), \
                wl.host_json_held([ls.body, ls.body_moved, wl.TELEGRAM_OK]):
            for _ in range(4):
                cycle()
            marks.marks_begin()
            cycle()
            marks.marks_end(kind.encode())


def count(module: str, kind: str, rows: int, build: pathlib.Path) -> dict[str, int]:
    with tempfile.TemporaryDirectory(prefix="emberscope-callgrind-") as tmp:
        env = dict(os.environ, EMBERSCOPE_BENCH_MODULE=module)
        subprocess.run(["valgrind", "--tool=callgrind", "--quiet", "--instr-atstart=no",
                        f"--callgrind-out-file={tmp}/out.%p", sys.executable, __file__, module,
                        str(build), "--rows", str(rows), "--inner", kind],
                       env=env, check=True)
        dump = next(p for p in pathlib.Path(tmp).glob("out.*.*")
                    if f"Client Request: {kind}" in p.read_text(errors="replace"))
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100",
                                 str(dump)], capture_output=True, text=True, check=True).stdout
    counts: dict[str, int] = {}
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*)$", line)
        if not m:
            continue
        # callgrind_annotate prints "file:function [object]"; keep the function.
        function = m.group(2).split(":", 1)[-1]
        ir = int(m.group(1).replace(",", ""))
        for label, pattern in STEPS:
            if re.search(pattern, function):
                counts[label] = max(counts.get(label, 0), ir)
    return counts


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("module")
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--rows", type=int, default=1024)
    parser.add_argument("--inner", choices=["quiet", "alert"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inner:
        inner(args.inner, args.rows, args.build)
        return 0
    results = {kind: count(args.module, kind, args.rows, args.build) for kind in ("quiet", "alert")}
    whole = STEPS[0][0]
    print(f"callgrind, own work of one cycle on {args.rows:,} rows (network and host JSON "
          "held); instructions, callees included, and share of the cycle:")
    print()
    print("| step | quiet cycle | share | alert cycle | share |")
    print("|---|---:|---:|---:|---:|")
    for label, _ in STEPS:
        cells = []
        for kind in ("quiet", "alert"):
            ir = results[kind].get(label)
            cells += ["—", ""] if ir is None else [f"{ir:,}", f"{ir / results[kind][whole] * 100:.1f}%"]
        print(f"| {label} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
