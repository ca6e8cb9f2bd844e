"""Kill loop: a child process saves large state maps in a loop and is killed with SIGKILL at
random moments (half of them while the temporary file of a save exists, the window of
the replacement itself); after every kill the state file must hold, in full, either the map whose save
had last completed or the one being saved, and a restart must leave no temporary file behind.

The child reports "S<i>" before and "D<i>" after saving map i on an unbuffered pipe, so the
parent knows, after the kill, which two contents are allowed. Map i and its time stamp are
derived from i alone, so the parent can rebuild them. After each kill the parent checks the file,
counts the temporary files the kill left, then restarts: it saves the next map itself, as a
restarted monitor's first cycle would, and checks that no temporary file is left in the
directory. The next child continues from there.

Usage: python bench/kill_loop.py [--kills 200] [--entries 50000] [--dir DIR] [--json OUT]
Exit status 0 when every check passed.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import time

import harness

CHILD = """
import os, sys
sys.path.insert(0, {bench!r})
from workloads import es
from kill_loop import content, stamp
path, entries, i = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
while True:
    burns = content(i, entries)
    os.write(1, b"S%d\\n" % i)
    es.save_burn_state(path, burns, stamp(i))
    os.write(1, b"D%d\\n" % i)
    i += 1
"""


def content(i: int, entries: int) -> dict[str, str]:
    """Map i: every value carries i, so two maps never share a value."""
    return {str(n): f"{i}.{(n * 7919 + i) % 100003:05d}" for n in range(entries)}


def stamp(i: int) -> str:
    """Time stamp of map i (a real format, with i readable from it)."""
    return f"2026-01-01T00:00:00Z#{i}"


def temp_files(directory: pathlib.Path, keep: str) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if p.name != keep)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--entries", type=int, default=50_000)
    parser.add_argument("--dir", type=pathlib.Path, help="where the state file lives (default: "
                        "a temporary directory on the disk under build/)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args()

    from workloads import es

    bench = str(pathlib.Path(__file__).resolve().parent)
    rng = random.Random(args.seed)
    root = args.dir or pathlib.Path(__file__).resolve().parent.parent / "build"
    root.mkdir(parents=True, exist_ok=True)
    print(f"machine: {harness.machine()}")
    with tempfile.TemporaryDirectory(prefix="emberscope-kill-", dir=root) as tmp:
        directory = pathlib.Path(tmp)
        path = directory / "state.json"
        print(f"kill loop: {args.kills} kills, {args.entries:,} entries per map, in {directory}",
              flush=True)

        # Time one save to spread the kills over a few of them.
        start = time.perf_counter()
        es.save_burn_state(str(path), content(0, args.entries), stamp(0))
        save_s = time.perf_counter() - start
        size = path.stat().st_size
        committed = 0  # the map the file holds for certain
        next_i = 1
        failures: list[str] = []
        intact = 0
        left_by_kill = 0
        left_after_restart = 0
        mid_save = 0
        saves_seen = 0
        for kill in range(1, args.kills + 1):
            before = set(temp_files(directory, path.name))
            child = subprocess.Popen(
                [sys.executable, "-c", CHILD.format(bench=bench), str(path), str(args.entries),
                 str(next_i)], stdout=subprocess.PIPE)
            first = child.stdout.readline()  # the module is loaded and map next_i is built
            if not first.startswith(b"S"):
                failures.append(f"kill {kill}: the child did not start: {first!r}")
                child.kill()
                child.wait()
                break
            if kill % 2:
                time.sleep(rng.uniform(0.0, 3.0 * save_s))
            else:
                # Aim at the replacement itself: wait for the temporary file to appear, then let
                # the write, the flush or the rename run on for a random moment.
                deadline = time.monotonic() + 10 * save_s
                while not set(temp_files(directory, path.name)) - before and \
                        time.monotonic() < deadline:
                    pass
                time.sleep(rng.uniform(0.0, 0.004))
            child.send_signal(signal.SIGKILL)
            child.wait()
            progress = (first + child.stdout.read()).split()
            child.stdout.close()
            started = [int(p[1:]) for p in progress if p.startswith(b"S")]
            done = [int(p[1:]) for p in progress if p.startswith(b"D")]
            saves_seen += len(done)
            last_done = done[-1] if done else committed
            last_started = started[-1]
            allowed = {last_done, last_started}
            if last_started != last_done:
                mid_save += 1

            try:
                document = json.loads(path.read_text(encoding="utf-8"))
                i = int(document["updated_at_utc"].rsplit("#", 1)[1])
                if i not in allowed:
                    failures.append(f"kill {kill}: the file holds map {i}, allowed {sorted(allowed)}")
                elif document["owner_burn_rate"] != content(i, args.entries):
                    failures.append(f"kill {kill}: map {i} is not complete or not intact")
                else:
                    intact += 1
            except (OSError, ValueError, KeyError, IndexError) as e:
                failures.append(f"kill {kill}: the state file does not parse: {e!r}")

            left = set(temp_files(directory, path.name)) - before
            left_by_kill += bool(left)
            # The restart: a fresh save, as the monitor's first cycle after a restart makes.
            restart = max(last_started, last_done) + 1
            es.save_burn_state(str(path), content(restart, args.entries), stamp(restart))
            committed, next_i = restart, restart + 1
            remaining = sorted(set(temp_files(directory, path.name)) - before)
            if remaining:
                left_after_restart += 1
                failures.append(f"kill {kill}: temporary file left over the restart: {remaining}")
            if kill % 50 == 0:
                print(f"  {kill} kills, {len(failures)} failures", flush=True)

        leftovers = temp_files(directory, path.name)
    print()
    print(f"state file: {args.entries:,} entries, {size / 2**20:.1f} MiB; one save takes about "
          f"{save_s * 1000:.0f} ms here")
    print(f"kills: {args.kills}; {mid_save} landed between the start and the end of a save; the "
          f"children completed {saves_seen} saves in all")
    print(f"state file parsed and held the previous or the new map in full after {intact} of "
          f"{args.kills} kills")
    print(f"kills that left a temporary file: {left_by_kill}; restarts after which a temporary "
          f"file remained: {left_after_restart}; temporary files in the directory at the end: "
          f"{len(leftovers)}")
    for failure in failures[:25]:
        print(f"  {failure}")
    if len(failures) > 25:
        print(f"  ... {len(failures) - 25} more")
    ok = not failures
    print("\nPASS" if ok else "\nFAIL")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({
            "kills": args.kills, "entries": args.entries, "file_bytes": size, "save_s": save_s,
            "mid_save": mid_save, "saves": saves_seen, "intact": intact,
            "left_by_kill": left_by_kill,
            "left_after_restart": left_after_restart, "leftovers_at_end": len(leftovers),
            "failures": failures, "ok": ok}, indent=1))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
