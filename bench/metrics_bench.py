"""The metrics exporter of `watch --metrics-listen`: what it costs and what hostile clients get.

    .venv/bin/python bench/metrics_bench.py [--quick]

- import: resident memory added by importing the exporter (prometheus_client with it), in fresh
  interpreters that already imported the command;
- exposition: time of one /metrics body with 129 subnets (and the process metrics), in process;
- scrape: a whole GET /metrics over loopback, connection set-up included;
- idle: CPU time of an exporter that nobody scrapes, over a window;
- hostile: while 100 connections, slowloris clients and megabyte request lines come again and
  again, the memory this process allocated (tracemalloc peak), the scrapes that got through and
  how long a 0.5 s sleep of the main thread took (the cycles' thread).
"""

from __future__ import annotations

import json
import os
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

from bittensor_emberscope import metrics
from bittensor_emberscope.testing.hostile import HostileClients

QUICK = "--quick" in sys.argv


def state_file(folder: str) -> str:
    path = os.path.join(folder, "state.json")
    burns = {str(n): ("1" if n % 3 == 0 else "0" if n % 3 == 1 else f"0.{n:03d}") for n in range(129)}
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"owner_burn_rate": burns, "updated_at_utc": "2026-03-01T12:00:00Z"}, f)
    return path


def report() -> dict:
    return {"outcome": "ok", "updated_at_utc": "2026-03-01T12:00:00Z", "subnets": 129,
            "changes": [["1", "0", "1"]], "delivered": 1, "telegram_failure": "",
            "outbox_size": 0, "outbox_oldest_utc": None, "invalid_rows": 0}


def import_footprint(runs: int) -> list[float]:
    code = ("import resource, sys\n"
            "from bittensor_emberscope import cli\n"
            "def rss():\n"
            "    with open('/proc/self/statm') as f: return int(f.read().split()[1]) * 4096\n"
            "before = rss()\n"
            "from bittensor_emberscope import metrics\n"
            "print((rss() - before) / 2**20)\n")
    return [float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                 check=True).stdout) for _ in range(runs)]


def scrape(address: tuple[str, int], path: bytes = b"/metrics") -> bytes:
    with socket.create_connection(address, timeout=10) as s:
        s.sendall(b"GET " + path + b" HTTP/1.1\r\n\r\n")
        s.shutdown(socket.SHUT_WR)
        out = b""
        while chunk := s.recv(65536):
            out += chunk
    return out


def timed(fn, n: int) -> list[float]:
    times = []
    for _ in range(n):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return times


def show(label: str, seconds: list[float]) -> None:
    q = statistics.quantiles(seconds, n=4)
    print(f"{label}: median {statistics.median(seconds) * 1e3:.3f} ms "
          f"(IQR {q[0] * 1e3:.3f}–{q[2] * 1e3:.3f}), fastest {min(seconds) * 1e3:.3f} ms, "
          f"{len(seconds)} runs")


def hostile(address: tuple[str, int], seconds: float) -> None:
    tracemalloc.start()
    served = refused = 0
    sleeps = []
    with HostileClients(address):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            t = time.monotonic()
            time.sleep(0.5)  # the cycles' thread: does it get the interpreter back in time?
            sleeps.append(time.monotonic() - t)
            try:
                served += scrape(address).startswith(b"HTTP/1.1 200")
            except OSError:
                refused += 1
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"hostile ({seconds:.0f} s; 3 megabyte senders, 2 slowloris, 100 connections at a time): "
          f"peak allocated {peak / 1024:.0f} KiB (the clients' own buffers included), "
          f"scrapes served {served}, closed for want of room {refused}; "
          f"0.5 s sleeps took median {statistics.median(sleeps):.3f} s, longest {max(sleeps):.3f} s")


def main() -> None:
    runs = 3 if QUICK else 7
    sizes = import_footprint(runs)
    print(f"import of the exporter after the command: median {statistics.median(sizes):.2f} MiB "
          f"RSS (min {min(sizes):.2f}, max {max(sizes):.2f}), {runs} runs")
    with tempfile.TemporaryDirectory() as folder:
        path = state_file(folder)
        exporter = metrics.Exporter(path, ("127.0.0.1", 0)).start()
        try:
            exporter.observe(report())
            body = exporter.metrics.exposition()
            lines = body.count(b"\n")
            print(f"exposition: {len(body)} bytes, {lines} lines")
            show("exposition (129 subnets, process metrics)",
                 timed(exporter.metrics.exposition, 200 if QUICK else 2000))
            show("scrape over loopback", timed(lambda: scrape(exporter.address), 100 if QUICK else 1000))
            show("healthz over loopback (no status file: 503)",
                 timed(lambda: scrape(exporter.address, b"/healthz"), 100 if QUICK else 1000))
            window = 5.0 if QUICK else 30.0
            before = resource.getrusage(resource.RUSAGE_SELF)
            time.sleep(window)
            after = resource.getrusage(resource.RUSAGE_SELF)
            cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
            print(f"idle exporter: {cpu * 1e3:.1f} ms CPU in {window:.0f} s "
                  f"({cpu / window * 100:.4f}% of a core)")
            hostile(exporter.address, 10.0 if QUICK else 30.0)
            print(f"server: turned away {exporter.server.turned_away}, "
                  f"timed out {exporter.server.timed_out}")
        finally:
            exporter.stop()


if __name__ == "__main__":
    main()
