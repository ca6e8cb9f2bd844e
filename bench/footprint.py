"""The module's footprint in a process: resident memory added by importing it, and the share of
a core that an idle poll loop uses.

Import: fresh interpreters report their resident set before and after importing the module,
once from a bare start (so the host modules the module binds, such as urllib.request, load with
it) and once with those host modules imported beforehand (the module's own share).

Idle loop: a child process runs run_burn_poll_loop with a 60-minute interval, so it spends the
whole measurement in its wait (one pause-file check and one one-second sleep per second); the
scheduler's accounting of the child's CPU time over the window gives its share of a core. The
same is measured for a plain Python loop doing the same check and sleep, for reference. At the
end the pause file is created and the time the loop takes to return is recorded.

Usage: python bench/footprint.py [--idle-seconds 60] [--imports 7] [--json OUT]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import harness

HOST_MODULES = "import json, os, sys, time, urllib.error, urllib.parse, urllib.request, datetime, typing"

IMPORT_PROBE = """
import sys
def rss():
    for line in open('/proc/self/status'):
        if line.startswith('VmRSS:'):
            return int(line.split()[1]) * 1024
{preload}
before = rss()
import bittensor_emberscope.emberscope
after = rss()
print(before, after)
"""

IDLE_MODULE = """
import sys
from bittensor_emberscope import emberscope as es
print('ready', flush=True)
es.run_burn_poll_loop(state_path=sys.argv[1], threshold=0.01, interval_minutes=60,
                      burn_token='', burn_chat_id='', pause_path=sys.argv[2])
"""

IDLE_PLAIN = """
import os, sys, time
print('ready', flush=True)
while not os.path.isfile(sys.argv[2]):
    time.sleep(1.0)
"""


def import_cost(preload: str, repeats: int) -> list[int]:
    deltas = []
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", IMPORT_PROBE.format(preload=preload)],
                             capture_output=True, text=True, check=True).stdout.split()
        deltas.append(int(out[1]) - int(out[0]))
    return deltas


def idle_share(script: str, seconds: float) -> dict:
    with tempfile.TemporaryDirectory(prefix="emberscope-idle-") as tmp:
        state, pause = os.path.join(tmp, "state.json"), os.path.join(tmp, "pause")
        env = {k: v for k, v in os.environ.items() if not k.startswith(("TAOSTATS_", "TELEGRAM_"))}
        child = subprocess.Popen([sys.executable, "-c", script, state, pause], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(2.0)  # let the start-up settle; the window covers only the wait
            c0, t0 = harness.cpu_ns(child.pid), time.monotonic()
            rss0 = harness.rss_bytes(child.pid)
            time.sleep(seconds)
            c1, t1 = harness.cpu_ns(child.pid), time.monotonic()
            rss1 = harness.rss_bytes(child.pid)
            pathlib.Path(pause).touch()
            p0 = time.monotonic()
            child.wait(timeout=10)
            reaction = time.monotonic() - p0
            stderr = child.stderr.read()
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
    return {"cpu_s": (c1 - c0) / 1e9, "window_s": t1 - t0,
            "share": (c1 - c0) / 1e9 / (t1 - t0), "pause_reaction_s": reaction,
            "rss_start": rss0, "rss_end": rss1, "stderr": stderr}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    parser.add_argument("--imports", type=int, default=7)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args()

    import bittensor_emberscope.emberscope as es
    so = pathlib.Path(es.__file__)
    bare = import_cost("", args.imports)
    own = import_cost(HOST_MODULES, args.imports)
    print(f"module file: {so.name}, {so.stat().st_size / 1024:.0f} KiB")
    print("| import | RSS added, median | min – max | runs |")
    print("|---|---:|---:|---:|")
    for label, deltas in (("from a bare interpreter (host modules load with it)", bare),
                          ("host modules already imported (the module's own share)", own)):
        print(f"| {label} | {statistics.median(deltas) / 2**20:.2f} MiB | "
              f"{min(deltas) / 2**20:.2f} – {max(deltas) / 2**20:.2f} MiB | {len(deltas)} |")

    print()
    print(f"| idle process ({args.idle_seconds:.0f} s window) | CPU time | share of a core | "
          "pause reaction | RSS start → end |")
    print("|---|---:|---:|---:|---:|")
    results = {}
    for label, script in (("run_burn_poll_loop waiting, pause file absent", IDLE_MODULE),
                          ("plain Python: isfile + sleep(1) loop (reference)", IDLE_PLAIN)):
        r = idle_share(script, args.idle_seconds)
        results[label] = r
        print(f"| {label} | {r['cpu_s'] * 1000:.1f} ms | {r['share'] * 100:.4f}% | "
              f"{r['pause_reaction_s']:.2f} s | {r['rss_start'] / 2**20:.1f} → "
              f"{r['rss_end'] / 2**20:.1f} MiB |")
        if r["stderr"]:
            print(f"  (stderr: {r['stderr'].strip()!r})")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"machine": harness.machine(), "import_bare": bare,
                                         "import_own": own, "idle": results}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
