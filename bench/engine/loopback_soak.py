"""Loopback soak of the monitor module: thousands of `monitor.run_cycle` calls in one process,
through the host's own HTTP, files and clock, against the Taostats and Telegram stand-ins, with
random faults; resources measured at the start and at the end.

The engine's sleeps, its monotonic clock, `time.time` and `datetime.now` are substituted by one
fake clock that its sleeps advance (300 s between cycles), so waits pass at once and every cycle
has a stamp of its own. Faults: Taostats 429 "Rate Limited", 500, dropped connections, HTML with
200, a listing without a valid row; Telegram flood control (retry_after and Retry-After), 500,
nginx HTML 502 with CRLF, dropped connections, HTML with 200, 403, supergroup migrations; now and
then a corrupt state file.

Checked after every cycle: every part of every alert made so far was accepted by the Telegram
stand-in exactly once or is still in the outbox file. Checked between cycle 1,000 and the last:
resident memory, C heap, open descriptors, the host's allocated blocks, threads.

Usage: python bench/engine/loopback_soak.py [--cycles 10000] [--seed 1]
"""

from __future__ import annotations

import argparse
import datetime as real_datetime
import gc
import json
import os
import pathlib
import random
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
import harness  # noqa: E402

from bittensor_emberscope import monitor  # noqa: E402
from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn  # noqa: E402

HTML_502 = ("<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n"
            "<center><h1>502 Bad Gateway</h1></center>\r\n<hr><center>nginx</center>\r\n"
            "</body>\r\n</html>\r\n").encode()


class Clock:
    def __init__(self) -> None:
        self.now = 1_765_152_000.0

    def sleep(self, seconds: float) -> None:
        self.now += seconds


def message_id(text: str) -> tuple[str, int, int]:
    part, total = 1, 1
    if text.startswith("("):
        head, text = text.split("\n", 1)
        part, total = (int(x) for x in head.strip("()").split("/"))
    return text.split("\n")[1].removesuffix(" UTC"), part, total


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--cycles", type=int, default=10000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    clock = Clock()

    class FakeDatetime(real_datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return real_datetime.datetime.fromtimestamp(clock.now, tz)

    real = (time.sleep, time.monotonic, time.time, monitor.datetime)
    time.sleep, time.monotonic, time.time = clock.sleep, lambda: clock.now, lambda: clock.now
    monitor.datetime = FakeDatetime
    sys.stderr = open(os.devnull, "w")

    work = pathlib.Path(tempfile.mkdtemp(prefix="engine-soak-"))
    state, outbox = work / "state.json", work / "state.outbox.json"
    burns = {n: rng.randrange(101) / 100 for n in range(300)}
    made: dict[str, int] = {}         # stamp -> parts of every alert made
    accepted: dict[tuple, int] = {}   # message id -> times the stand-in accepted it
    outcomes: dict[str, int] = {}
    failures: list[str] = []
    checkpoints = {}
    started = time.perf_counter()

    with TaostatsStandIn() as api, TelegramStandIn() as bot:
        os.environ.update(TAOSTATS_API_KEY="soak-key-0001", TAOSTATS_API_BASE=api.base_url,
                          TELEGRAM_API_BASE=bot.base_url)
        threads_at_start = threading.active_count()
        seen = 0
        for cycle in range(1, args.cycles + 1):
            storm = rng.random() < 0.01
            for n in burns:
                if storm or rng.random() < 0.02:
                    burns[n] = rng.randrange(101) / 100
            api.rows = [{"netuid": n, "incentive_burn": v} for n, v in burns.items()]
            api.clear()
            bot.clear()
            f = rng.randrange(100)
            if f < 3:
                api.script(Answer.rate_limited())
            elif f < 5:
                api.script(Answer.text("oops", 500))
            elif f < 7:
                api.script(Answer(drop=True))
            elif f < 8:
                api.script(Answer(200, body=b"<html></html>"))
            elif f < 9:
                api.script(Answer.json({"data": [None, {"netuid": "sn7"}]}))
            faults = []
            for _ in range(4):
                g = rng.randrange(100)
                faults.append(
                    Answer.flood(retry_after=rng.randrange(1, 60)) if g < 6 else
                    Answer.telegram_error(500, "Internal Server Error: restart") if g < 9 else
                    Answer(502, body=HTML_502, headers=[("Content-Type", "text/html")]) if g < 12 else
                    Answer(drop=True) if g < 15 else
                    Answer(200, body=b"<html>maintenance</html>") if g < 17 else
                    Answer.telegram_error(403, "Forbidden: bot was blocked by the user") if g < 18 else
                    Answer.migrated(-100 - cycle) if g < 19 else None)
            bot.script(*[a for a in faults[:faults.index(None)]] if None in faults else faults)
            if rng.random() < 0.01:
                state.write_bytes(b"[" * 5000)

            report = monitor.run_cycle(state_path=str(state), threshold=0.01,
                                       burn_token="42:soak-token-xyz", burn_chat_id="-100",
                                       pause_path=str(work / "pause"), interval_seconds=300)
            outcomes[report["outcome"]] = outcomes.get(report["outcome"], 0) + 1
            clock.now += 300
            for moved in work.glob("*.corrupt-*"):
                moved.unlink()

            new = bot.take_messages()
            seen += len(new)
            for text in new:
                key = message_id(text)
                accepted[key] = accepted.get(key, 0) + 1
            queued = set()
            if outbox.exists():
                for m in json.loads(outbox.read_text())["messages"]:
                    queued.add((m["stamp"], m["part"], m["total"]))
                    made.setdefault(m["stamp"], m["total"])
            if report["changes"]:
                made.setdefault(report["updated_at_utc"], next(
                    (k[2] for k in list(accepted) + list(queued) if k[0] == report["updated_at_utc"]), 0))
            for stamp, total in list(made.items()):
                if total == 0:
                    failures.append(f"cycle {cycle}: alert {stamp} neither delivered nor queued")
                    del made[stamp]
                    continue
                ids = [(stamp, p, total) for p in range(1, total + 1)]
                counts = [accepted.get(i, 0) + (i in queued) for i in ids]
                if counts != [1] * total:
                    failures.append(f"cycle {cycle}: alert {stamp} parts counted {counts}")
                if not any(i in queued for i in ids):
                    del made[stamp]  # settled
                    for i in ids:
                        accepted.pop(i, None)
            if len(failures) > 20:
                break
            if cycle in (1000, args.cycles):
                deadline = time.perf_counter() + 5
                while threading.active_count() > threads_at_start and time.perf_counter() < deadline:
                    real[0](0.05)
                gc.collect()
                checkpoints[cycle] = {"rss": harness.rss_bytes(), "malloc": harness.malloc_in_use() or 0,
                                      "fds": harness.open_fds(), "blocks": sys.getallocatedblocks(),
                                      "threads": threading.active_count()}
    time.sleep, time.monotonic, time.time, monitor.datetime = real
    sys.stderr = sys.__stderr__
    elapsed = time.perf_counter() - started

    print(f"{cycle} cycles in {elapsed:.0f} s; outcomes: "
          + ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items())))
    print(f"messages accepted by the stand-in: {seen}; breaches of the delivery promise: {len(failures)}")
    for line in failures[:10]:
        print("  " + line)
    if 1000 in checkpoints and cycle in checkpoints and cycle != 1000:
        a, b = checkpoints[1000], checkpoints[cycle]
        print(f"| measure | after cycle 1,000 | after cycle {cycle:,} | change |")
        print("|---|---|---|---|")
        for key, unit in (("rss", "MiB"), ("malloc", "MiB"), ("fds", ""), ("blocks", ""), ("threads", "")):
            if unit:
                print(f"| {key} | {a[key] / 2**20:.2f} MiB | {b[key] / 2**20:.2f} MiB | {(b[key] - a[key]) / 2**20:+.2f} MiB |")
            else:
                print(f"| {key} | {a[key]:,} | {b[key]:,} | {b[key] - a[key]:+,} |")
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
