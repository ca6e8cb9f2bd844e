"""Instruction counts of the module's operations at 1,024 and 100,000 rows, under callgrind.

Wall time on a shared two-core machine drifts with the neighbours' load and with cache sizes;
the number of instructions an operation executes does not. This program runs itself under
callgrind with instrumentation off, and brackets one call of each operation (after a warm-up
call) with client requests from build/bench/libcallgrind_marks.so, so each dump holds exactly
that call, the host work it triggers included. The network is replaced by answers held in memory
and the files live on tmpfs, so no other thread runs and every instruction counted is the call's.

Usage: python bench/module_instr.py BUILD_DIR [--sizes 1024,100000]
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile


def operations(size: int, tmp: str):
    import workloads as wl
    from workloads import es

    ls = wl.listing(size)
    rows, texts, current, previous = ls.rows, ls.texts, ls.current, ls.previous
    prev_texts = [previous[k] for k in current]
    all_changes = [(k, previous[k], current[k]) for k in current]
    state = os.path.join(tmp, f"state-{size}.json")
    es.save_burn_state(state, current, wl.UPDATED_AT)
    cycle_state = os.path.join(tmp, f"cycle-{size}.json")
    served = [ls.body]
    body_text = ls.body.decode()
    snapshot, alert = ls.snapshot_text, ls.alert_text

    def cycle():
        return es.run_emberscope_once(state_path=cycle_state, threshold=wl.THRESHOLD,
                                      burn_token="1:instr", burn_chat_id="-1")

    def alert_cycle():
        served[0] = ls.body_moved if served[0] is ls.body else ls.body
        return cycle()

    return served, [
        ("owner_burn_from_row, every row", lambda: [es.owner_burn_from_row(r) for r in rows]),
        ("format_owner_burn, every text", lambda: [es.format_owner_burn(t) for t in texts]),
        ("owner_burn_changed, every pair",
         lambda: [es.owner_burn_changed(o, n, wl.THRESHOLD) for o, n in zip(prev_texts, texts)]),
        ("diff_burns", lambda: es.diff_burns(previous, current, wl.THRESHOLD)),
        ("format_burn_alert, every subnet", lambda: es.format_burn_alert(all_changes, wl.UPDATED_AT)),
        ("format_burn_snapshot", lambda: es.format_burn_snapshot(rows, wl.UPDATED_AT)),
        ("_chunk_text(snapshot)", lambda: es._chunk_text(snapshot)),
        ("load_burn_state", lambda: es.load_burn_state(state)),
        ("save_burn_state", lambda: es.save_burn_state(state, current, wl.UPDATED_AT)),
        ("http_get_json (in memory)", lambda: es.http_get_json(wl.LISTING_PATH, wl.LISTING_PARAMS, "k")),
        ("fetch_all_subnets_latest (in memory)", lambda: es.fetch_all_subnets_latest("k")),
        ("send_burn_telegram_messages(alert) (in memory)",
         lambda: es.send_burn_telegram_messages(alert, "1:instr", "-1")),
        ("run_emberscope_once, quiet (in memory)", cycle),
        ("run_emberscope_once, alert (in memory)", alert_cycle),
        ("run_burn_startup_snapshot (in memory)",
         lambda: es.run_burn_startup_snapshot(state_path=cycle_state, burn_token="1:instr",
                                              burn_chat_id="-1")),
        ("host: json.loads(listing text) (reference)", lambda: json.loads(body_text)),
        ("own work: quiet cycle, host JSON held", cycle),
        ("own work: alert cycle, host JSON held", alert_cycle),
    ]


def inner(build: pathlib.Path, sizes: list[int]) -> None:
    import workloads as wl

    marks = ctypes.CDLL(str(build / "libcallgrind_marks.so"))
    marks.marks_end.argtypes = [ctypes.c_char_p]
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    os.environ.update(TAOSTATS_API_KEY="instr-key", TAOSTATS_API_BASE="http://127.0.0.1:9",
                      TELEGRAM_API_BASE="http://127.0.0.1:9")
    with tempfile.TemporaryDirectory(dir=base) as tmp:
        for size in sizes:
            served, ops = operations(size, tmp)
            listing = wl.listing(size)
            bodies = [listing.body, listing.body_moved, wl.TELEGRAM_OK]
            held = None
            with wl.no_sleep(), wl.quiet_stderr(), wl.in_memory_transport(lambda: served[0]):
                for name, call in ops:
                    if name.startswith("own work") and held is None:
                        held = wl.host_json_held(bodies)
                        held.__enter__()
                        served[0] = bodies[0]
                    call()
                    call()  # the alert cycle alternates: two warm-ups leave it where it began
                    marks.marks_begin()
                    call()
                    marks.marks_end(f"{name}|{size}".encode())
                if held is not None:
                    held.__exit__(None, None, None)


def outer(build: pathlib.Path, sizes: list[int]) -> int:
    with tempfile.TemporaryDirectory(prefix="emberscope-callgrind-") as tmp:
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--quiet", "--instr-atstart=no",
             f"--callgrind-out-file={tmp}/out.%p", sys.executable, __file__, str(build),
             "--sizes", ",".join(map(str, sizes)), "--inner"],
            check=True)
        counts: dict[tuple[str, int], int] = {}
        dumps = sorted(pathlib.Path(tmp).glob("out.*.*"), key=lambda p: int(p.suffix[1:]))
        for dump in dumps:
            text = dump.read_text(errors="replace")
            label = re.search(r"^desc: Trigger: Client Request: (.+)\|(\d+)$", text, re.M)
            summary = re.search(r"^summary: (\d+)", text, re.M)
            if label and summary:
                counts[(label.group(1), int(label.group(2)))] = int(summary.group(1))
    names = list(dict.fromkeys(name for name, _ in counts))
    small, large = sizes[0], sizes[-1]
    print(f"| operation | Ir, {small:,} rows | Ir per row | Ir, {large:,} rows | Ir per row | ratio |")
    print("|---|---:|---:|---:|---:|---:|")
    for name in names:
        a, b = counts.get((name, small)), counts.get((name, large))
        if a is None or b is None:
            continue
        print(f"| {name} | {a:,} | {a / small:,.0f} | {b:,} | {b / large:,.0f} | {b / a:.1f} |")
    print(f"\n(linear growth gives a ratio of {large / small:.1f})")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--sizes", default="1024,100000")
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.inner:
        inner(args.build, sizes)
        return 0
    return outer(args.build, sizes)


if __name__ == "__main__":
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    sys.exit(main())
