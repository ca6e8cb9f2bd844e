"""The metrics exporter of `watch --metrics-listen`: what it costs and what hostile clients get.

    .venv/bin/python bench/metrics_bench.py [--quick]

Runs the `emberscope` program (the environment's bin) as `watch --no-bot --metrics-listen
127.0.0.1:0` over a state of 129 subnets, against the Taostats stand-in, and measures:

- footprint: the program's resident memory (VmRSS) with the exporter and without it, after the
  first cycle;
- scrape: a whole GET /metrics (and /healthz) over loopback, connection set-up included;
- idle: CPU time of the program while nobody scrapes, over a window;
- hostile: while 100 connections, slowloris clients and megabyte request lines come again and
  again, the program's resident memory at its highest, and the scrapes that got through.
"""

from __future__ import annotations

import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bittensor_emberscope.testing import TaostatsStandIn
from bittensor_emberscope.testing.hostile import HostileClients

QUICK = "--quick" in sys.argv


def state_file(folder: str) -> str:
    path = os.path.join(folder, "state.json")
    burns = {str(n): ("1" if n % 3 == 0 else "0" if n % 3 == 1 else f"0.{n:03d}") for n in range(129)}
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"owner_burn_rate": burns, "updated_at_utc": "2026-03-01T12:00:00Z"}, f)
    return path


KEY = "bench-key"
PROGRAM = Path(sys.executable).with_name("emberscope")


def process(pid: int) -> dict[str, int]:
    """VmRSS and VmHWM (KiB), and the CPU ticks (user + system) of a process."""
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines()
                  if ":" in line)
    stat = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return {"rss": int(fields["VmRSS"].split()[0]), "hwm": int(fields["VmHWM"].split()[0]),
            "ticks": int(stat[11]) + int(stat[12])}


class Watch:
    """`emberscope watch --no-bot` over `state`, with the exporter when `listen` is given."""

    def __init__(self, state: str, base: str, listen: str | None) -> None:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_", "NOTIFY_"))}
        env.update(TAOSTATS_API_BASE=base, TAOSTATS_API_KEY=KEY, TELEGRAM_API_BASE=base,
                   TELEGRAM_BOT_TOKEN="42:bench", TELEGRAM_CHAT_ID="-1001",
                   EMBERSCOPE_STATE_FILE=state, JOURNAL_STREAM="8:1")
        extra = ["--metrics-listen", listen] if listen else []
        self.proc = subprocess.Popen([str(PROGRAM), "watch", "--no-bot", "--no-snapshot",
                                      "--interval-minutes", "600", *extra],
                                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True)
        self.address: tuple[str, int] | None = None
        started = False
        for line in self.proc.stderr:
            if found := re.search(r"metrics at http://([\d.]+):(\d+)/metrics", line):
                self.address = (found.group(1), int(found.group(2)))
            started = started or line.startswith("[burn] watching every ")
            if started and (self.address or not listen):
                break
        time.sleep(1)  # settled in its wait

    def close(self) -> None:
        self.proc.terminate()
        self.proc.wait(30)
        self.proc.stderr.close()


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


def hostile(watch: Watch, seconds: float) -> None:
    served = refused = 0
    highest = 0
    with HostileClients(watch.address):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(0.5)
            highest = max(highest, process(watch.proc.pid)["rss"])
            try:
                served += scrape(watch.address).startswith(b"HTTP/1.1 200")
            except OSError:
                refused += 1
    print(f"hostile ({seconds:.0f} s; 3 megabyte senders, 2 slowloris, 100 connections at a time): "
          f"program RSS at most {highest / 1024:.1f} MiB, scrapes served {served}, "
          f"closed for want of room {refused}")


def main() -> None:
    with tempfile.TemporaryDirectory() as folder, TaostatsStandIn(require_key=KEY) as api:
        path = state_file(folder)
        plain = Watch(path, api.base_url, None)
        try:
            without = process(plain.proc.pid)["rss"]
        finally:
            plain.close()
        watch = Watch(path, api.base_url, "127.0.0.1:0")
        try:
            body = scrape(watch.address).split(b"\r\n\r\n", 1)[1]
            print(f"footprint: {process(watch.proc.pid)['rss'] / 1024:.1f} MiB RSS with the "
                  f"exporter, {without / 1024:.1f} MiB without")
            print(f"exposition: {len(body)} bytes, {body.count(b'\n')} lines")
            show("scrape over loopback", timed(lambda: scrape(watch.address), 100 if QUICK else 1000))
            show("healthz over loopback",
                 timed(lambda: scrape(watch.address, b"/healthz"), 100 if QUICK else 1000))
            window = 5.0 if QUICK else 30.0
            before = process(watch.proc.pid)["ticks"]
            time.sleep(window)
            ticks = process(watch.proc.pid)["ticks"] - before
            cpu = ticks / os.sysconf("SC_CLK_TCK")
            print(f"idle exporter: {cpu * 1e3:.0f} ms CPU in {window:.0f} s (clock ticks of "
                  f"{1e3 / os.sysconf('SC_CLK_TCK'):.0f} ms)")
            hostile(watch, 10.0 if QUICK else 30.0)
        finally:
            watch.close()


if __name__ == "__main__":
    main()
