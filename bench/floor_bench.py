"""A watch cycle against its floor, side by side in one run: the plain C++ floor program
(bench/floor/floor_cycle.cpp: libcurl with gzip over one kept connection, simdjson On-Demand,
the compare, the durable write), the command's cycle (`monitor.run_cycle`) and a plain-Python
cycle (urllib, json.loads, the compare, an atomic write), on listings of wide rows
(bench/wide_rows.py: about 50 members a row, 1.7 KB, gzip about 5x) served over loopback HTTP
from a body prepared once (gzip when asked, Content-Length, kept connections).

CPU: each round runs one quiet cycle of each, interleaved; the figure is the calling thread's
CPU time (time.thread_time) and the kept figure the median over the rounds, with the median of
the per-round ratios to the floor. Allocations: with bench/floor's counter preloaded
(LD_PRELOAD=build/bench/liballoc_counter.so), the calls to malloc, calloc, realloc and the
aligned allocators during each cycle, and the bytes asked for.

Memory (--memory): each implementation in a process of its own (the same interpreter, the
server in this process), five cycles; its peak resident memory (ru_maxrss) and its resident
memory after the last cycle, both above the process's resident memory before the first.

With --before, the command's cycle as built from an earlier commit (its monitor module) runs
in the same rounds and processes too.

Usage: LD_PRELOAD=build/bench/liballoc_counter.so \
       python bench/floor_bench.py [--rows 1024 16384] [--rounds 15] [--memory 16384 100000]
                                   [--before build/before/monitor.cpython-313-x86_64-linux-gnu.so]
"""

from __future__ import annotations

import argparse
import ctypes
import gzip
import http.server
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from wide_rows import listing_body, wide_rows  # noqa: E402

from bittensor_emberscope.testing.listings import realistic_rows  # noqa: E402

NARROW = os.environ.get("EMBERSCOPE_BENCH_NARROW") == "1"

KEY = "bench-key-0123456789"
TOKEN = "123456:bench-token"
CHAT = "-1001234567890"
THRESHOLD = 0.01
LISTING_PATH = "/api/subnet/latest/v1"
FLOOR_LIBRARY = HERE.parent / "build" / "bench" / "libfloor_cycle.so"


class Listing(http.server.ThreadingHTTPServer):
    """Serves one prepared listing body at the listing path, gzip-compressed when asked."""

    daemon_threads = True

    def __init__(self, body: bytes) -> None:
        self.plain = body
        self.gzipped = gzip.compress(body, compresslevel=6, mtime=0)
        super().__init__(("127.0.0.1", 0), _Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def base(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}"


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self) -> None:  # noqa: N802 - the server's hook
        server: Listing = self.server  # type: ignore[assignment]
        zipped = "gzip" in (self.headers.get("Accept-Encoding") or "")
        data = server.gzipped if zipped else server.plain
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        if zipped:
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args) -> None:  # noqa: ANN002
        pass


def allocation_counter():
    """The preloaded counter's reader, or None when it is not preloaded."""
    try:
        read = ctypes.CDLL(None).alloc_counter_read
    except AttributeError:
        return None
    read.argtypes = [ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(ctypes.c_uint64)]

    def counts() -> tuple[int, int]:
        calls, size = ctypes.c_uint64(), ctypes.c_uint64()
        read(ctypes.byref(calls), ctypes.byref(size))
        return calls.value, size.value
    return counts


_LOADED: dict[str, object] = {}


def load_monitor(path: str):
    """A monitor module built elsewhere (from an earlier commit, say), loaded from its file beside
    the package's (once per process)."""
    import importlib.machinery
    import importlib.util
    path = os.path.abspath(path)
    if path not in _LOADED:
        loader = importlib.machinery.ExtensionFileLoader("monitor", path)
        found = importlib.util.spec_from_file_location("monitor", path, loader=loader)
        module = importlib.util.module_from_spec(found)
        loader.exec_module(module)
        _LOADED[path] = module
    return _LOADED[path]


def make_cycles(base: str, folder: str, rows: int, before: str | None = None,
                command: str | None = None) -> dict:
    """The cycles, each with its own state file: the floor, the command's, the plain-Python one,
    and the command's as built from an earlier commit when `before` names its module."""
    os.environ.update(TAOSTATS_API_BASE=base, TAOSTATS_API_KEY=KEY,
                      TELEGRAM_API_BASE="http://127.0.0.1:9")
    url = (base + LISTING_PATH + "?limit=1024&order=netuid_asc&page=1").encode()
    floor = ctypes.CDLL(str(FLOOR_LIBRARY))
    floor.floor_cycle.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                  ctypes.c_double]
    floor.floor_cycle.restype = ctypes.c_long
    states = {name: os.path.join(folder, f"{name}.json")
              for name in ("floor", "command", "plain", "before")}

    def floor_cycle() -> None:
        if floor.floor_cycle(url, KEY.encode(), states["floor"].encode(), THRESHOLD) < 0:
            raise RuntimeError("the floor's cycle failed")

    def command_cycle(name: str = "command") -> None:
        if name == "before" or command:
            monitor = load_monitor(before if name == "before" else command)
        else:
            from bittensor_emberscope import monitor
        report = monitor.run_cycle(state_path=states[name], threshold=THRESHOLD,
                                   burn_token=TOKEN, burn_chat_id=CHAT, pause_path="",
                                   interval_seconds=300)
        if report["outcome"] != "ok" or report["subnets"] + report["invalid_rows"] != rows:
            raise RuntimeError(f"the command's cycle did not run as it should: {report}")

    def plain_cycle() -> None:
        import urllib.request
        request = urllib.request.Request(base + LISTING_PATH + "?limit=1024&order=netuid_asc",
                                         headers={"Authorization": KEY,
                                                  "Accept": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as response:
            document = json.loads(response.read())
        current = {str(row["netuid"]): str(row.get("incentive_burn", "0"))
                   for row in document["data"]}
        try:
            with open(states["plain"], encoding="utf-8") as f:
                previous = json.load(f)["owner_burn_rate"]
        except (OSError, ValueError, KeyError):
            previous = {}
        for netuid, text in current.items():
            old = previous.get(netuid)
            try:
                _ = old is not None and abs(float(text) - float(old)) > THRESHOLD
            except ValueError:
                _ = old != text
        fd, temp = tempfile.mkstemp(dir=folder, prefix=".plain.", suffix=".tmp")
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump({"owner_burn_rate": current, "updated_at_utc": "2026-12-08T00:00:00Z"}, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, states["plain"])
        directory = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)

    cycles = {"floor": floor_cycle, "command": command_cycle, "plain": plain_cycle}
    if before:
        cycles["before"] = lambda: command_cycle("before")
    return cycles


def make_rows(rows: int) -> list[dict]:
    """Wide rows, or the narrow ones of `realistic_rows` (14 members) with --narrow: a listing of
    100,000 wide rows (178 MB) is over the largest page the command reads (64 MiB)."""
    return realistic_rows(rows) if NARROW else wide_rows(rows)


def side_by_side(rows: int, rounds: int, before: str | None, command: str | None) -> dict:
    counts = allocation_counter()
    with tempfile.TemporaryDirectory() as folder:
        server = Listing(listing_body(make_rows(rows)))
        try:
            runs = make_cycles(server.base, folder, rows, before, command)
            for run in runs.values():  # warm: state files written, connections open
                run()
                run()
            cpu: dict[str, list[float]] = {name: [] for name in runs}
            calls: dict[str, list[int]] = {name: [] for name in runs}
            size: dict[str, list[int]] = {name: [] for name in runs}
            for _ in range(rounds):
                for name, run in runs.items():
                    before = counts() if counts else (0, 0)
                    started = time.thread_time()
                    run()
                    cpu[name].append(time.thread_time() - started)
                    after = counts() if counts else (0, 0)
                    calls[name].append(after[0] - before[0])
                    size[name].append(after[1] - before[1])
            body = len(server.plain), len(server.gzipped)
        finally:
            server.shutdown()
            server.server_close()
    return {
        "rows": rows, "rounds": rounds, "body_bytes": body[0], "gzip_bytes": body[1],
        "cpu_s": {k: statistics.median(v) for k, v in cpu.items()},
        "cpu_over_floor": {k: statistics.median(a / b for a, b in zip(v, cpu["floor"]))
                           for k, v in cpu.items()},
        "allocations": {k: statistics.median(v) for k, v in calls.items()} if counts else None,
        "allocated_bytes": {k: statistics.median(v) for k, v in size.items()} if counts else None,
    }


def status_bytes(field: str) -> int:
    """A memory figure of this process from /proc/self/status (VmRSS, VmHWM: its peak)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def memory_child(name: str, base: str, rows: int, before: str, command: str) -> None:
    """Runs in a process of its own: five cycles of one implementation, then prints its memory
    (the peak is VmHWM, which a new program starts afresh, unlike ru_maxrss)."""
    with tempfile.TemporaryDirectory() as folder:
        run = make_cycles(base, folder, rows, before or None, command or None)[name]
        if name == "command" and not command:
            from bittensor_emberscope import monitor  # noqa: F401 - loaded before the baseline
        if name == "before" or (name == "command" and command):
            load_monitor(before if name == "before" else command)
        start = status_bytes("VmRSS")
        for _ in range(5):
            run()
        print(json.dumps({"start": start, "peak": status_bytes("VmHWM"),
                          "after": status_bytes("VmRSS")}))


def memory(rows: int, before: str | None, command: str | None) -> dict:
    out = {}
    server = Listing(listing_body(make_rows(rows)))
    try:
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        for name in ("floor", "command", "plain") + (("before",) if before else ()):
            done = subprocess.run([sys.executable, __file__, "--child", name, server.base,
                                   str(rows), before or "", command or ""], env=env,
                                  capture_output=True,
                                  text=True, check=True)
            out[name] = json.loads(done.stdout)
    finally:
        server.shutdown()
        server.server_close()
    return {"rows": rows, "bytes": out}


def main() -> int:
    if len(sys.argv) == 7 and sys.argv[1] == "--child":
        memory_child(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], sys.argv[6])
        return 0
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", type=int, nargs="*", default=[1024, 16384])
    p.add_argument("--rounds", type=int, default=15)
    p.add_argument("--memory", type=int, nargs="*", default=[16384])
    p.add_argument("--body", type=int, nargs="*", default=[],
                   help="only write the listing body of each row count to build/bench/wide-N.json "
                        "(for build/bench/listing_read)")
    p.add_argument("--before", help="a monitor module built from an earlier commit, measured too")
    p.add_argument("--command", help="the command's monitor module from this file rather than "
                                     "the package's")
    p.add_argument("--narrow", action="store_true",
                   help="the narrow rows of realistic_rows (for 100,000 rows)")
    p.add_argument("--json", help="write the figures to this file")
    args = p.parse_args()
    if args.narrow:
        global NARROW
        NARROW = True
        os.environ["EMBERSCOPE_BENCH_NARROW"] = "1"  # for the memory processes
    if args.body:
        for rows in args.body:
            path = HERE.parent / "build" / "bench" / f"wide-{rows}.json"
            path.write_bytes(listing_body(wide_rows(rows)))
            print(path)
        return 0
    result = {"cycles": [], "memory": []}
    mib = 1 << 20
    for rows in args.rows:
        r = side_by_side(rows, args.rounds, args.before, args.command)
        result["cycles"].append(r)
        print(f"{rows} rows ({r['body_bytes']:,} bytes, {r['gzip_bytes']:,} gzipped), "
              f"median of {r['rounds']} interleaved rounds:")
        for name, seconds in r["cpu_s"].items():
            line = f"  {name:<8} CPU {seconds * 1e3:8.2f} ms  {r['cpu_over_floor'][name]:5.2f}x floor"
            if r["allocations"]:
                line += (f"  allocations {r['allocations'][name]:>9,.0f}"
                         f"  ({r['allocated_bytes'][name] / mib:7.2f} MiB asked)")
            print(line)
    for rows in args.memory:
        m = memory(rows, args.before, args.command)
        result["memory"].append(m)
        print(f"memory at {rows} rows (five cycles, above the process's start):")
        floor = m["bytes"]["floor"]
        for name, b in m["bytes"].items():
            peak, after = b["peak"] - b["start"], b["after"] - b["start"]
            print(f"  {name:<8} peak +{peak / mib:7.1f} MiB ({b['peak'] / floor['peak']:.2f}x "
                  f"the floor's peak RSS)  after +{after / mib:7.1f} MiB "
                  f"(RSS {b['after'] / mib:6.1f} MiB, floor's + {(b['after'] - floor['after']) / mib:.1f})")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(result, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
