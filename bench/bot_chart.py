"""The bot's chart: how long one takes from the command to the photo, and whether answering charts
grows the program.

Runs `emberscope watch --no-snapshot` (the program in the environment's bin) against the Telegram
and Taostats stand-ins, over a state and a 30-day history of 200 changes, and asks for `--charts`
charts (default 20), each from its own private chat so the per-chat pacing never holds one.
Prints each chart's time from the command being posted to the photo arriving (the long poll's
answer, the `python -m bittensor_emberscope.chart` child's start to PNG, the upload), and the
program's resident set size (VmRSS of its pid) before the first chart and after the last.

    .venv/bin/python bench/bot_chart.py [--charts 20]
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bittensor_emberscope.testing import TaostatsStandIn, TelegramStandIn

KEY, TOKEN = "bench-key", "42:bench-token"
PROGRAM = Path(sys.executable).with_name("emberscope")


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError(f"no VmRSS in /proc/{pid}/status")


def utc(moment: datetime.datetime) -> str:
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def make_state(folder: Path) -> str:
    path = folder / "state.json"
    now = datetime.datetime.now(datetime.timezone.utc)
    path.write_text(json.dumps({"owner_burn_rate": {"12": "0.5"}, "updated_at_utc": utc(now)}))
    value, lines = 0.1, []
    for i in range(200):
        moment = now - datetime.timedelta(days=30) + datetime.timedelta(hours=3.5 * i)
        new = round((value + 0.37) % 1, 4)
        lines.append(json.dumps({"time_utc": utc(moment), "netuid": "12", "old": str(value),
                                 "new": str(new)}, ensure_ascii=False) + "\n")
        value = new
    (folder / "state.history.jsonl").write_text("".join(lines))
    return str(path)


def wait_for(check, what: str, seconds: float = 120):
    deadline = time.monotonic() + seconds
    while not (value := check()):
        if time.monotonic() > deadline:
            raise SystemExit(f"no {what} in {seconds:g} s")
        time.sleep(0.01)
    return value


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--charts", type=int, default=20)
    args = parser.parse_args()
    users = [1000 + i for i in range(args.charts)]
    with tempfile.TemporaryDirectory() as folder, TelegramStandIn(token=TOKEN) as tg, \
            TaostatsStandIn(require_key=KEY) as api:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_", "NOTIFY_"))}
        env.update(TAOSTATS_API_BASE=api.base_url, TAOSTATS_API_KEY=KEY,
                   TELEGRAM_API_BASE=tg.base_url, TELEGRAM_BOT_TOKEN=TOKEN,
                   TELEGRAM_CHAT_ID="-1001", EMBERSCOPE_STATE_FILE=make_state(Path(folder)),
                   JOURNAL_STREAM="8:1")
        watch = subprocess.Popen([str(PROGRAM), "watch", "--no-snapshot", "--interval-minutes",
                                  "600", *[a for u in users for a in ("--bot-allow-user", str(u))]],
                                 env=env, stdout=subprocess.DEVNULL, stderr=sys.stderr)
        try:
            # Warm the program's own paths (a text answer, the HTTP client) before the first
            # reading.
            tg.push_message("/burn 12", chat_id=999, user_id=users[0], chat_type="private")
            wait_for(lambda: tg.messages, "first answer")
            tg.clear()
            before = rss_kib(watch.pid)
            timed: list[float] = []
            steps: list[int] = []
            sizes: list[int] = []
            for user in users:
                began = time.perf_counter()
                tg.push_message("/chart 12 30", chat_id=user, user_id=user, chat_type="private")
                taken = wait_for(tg.take_photos, "photo")
                timed.append(time.perf_counter() - began)
                sizes += [len(p["data"]) for p in taken]
                tg.clear()
                steps.append(rss_kib(watch.pid))
            after = rss_kib(watch.pid)
        finally:
            watch.terminate()
            watch.wait(30)
    print(f"charts drawn and sent: {len(timed)}, PNG {min(sizes)}-{max(sizes)} bytes")
    print(f"command to photo per chart (s): median {statistics.median(timed):.3f}, "
          f"min {min(timed):.3f}, max {max(timed):.3f}")
    print("each (s): " + " ".join(f"{t:.2f}" for t in timed))
    print(f"program RSS before the first chart: {before / 1024:.1f} MiB, after {len(timed)}: "
          f"{after / 1024:.1f} MiB, growth {(after - before) / 1024:+.2f} MiB")
    print("RSS after each chart (MiB): " + " ".join(f"{k / 1024:.1f}" for k in steps))
    return 0


if __name__ == "__main__":
    sys.exit(main())
