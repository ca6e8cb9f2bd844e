"""The bot's chart: how long one takes to draw, and whether answering charts grows the daemon.

Runs the bot of `watch` in this process (the same `Bot.serve` the wait loop calls) against the
Telegram stand-in, over a state and a 30-day history of 200 changes, and asks for `--charts`
charts (default 20), each from its own private chat so the per-chat cooldown never holds one.
Prints each child's render time (the `python -m bittensor_emberscope.chart` process, start to
PNG) and this process's resident set size (VmRSS) before the first chart and after the last.

    .venv/bin/python bench/bot_chart.py [--charts 20]
"""

from __future__ import annotations

import argparse
import datetime
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

from bittensor_emberscope import bot, health
from bittensor_emberscope.testing import TelegramStandIn

TOKEN = "42:bench-token"


def rss_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def make_state(folder: Path) -> str:
    path = folder / "state.json"
    now = datetime.datetime.now(datetime.timezone.utc)
    path.write_text(json.dumps({"owner_burn_rate": {"12": "0.5"},
                                "updated_at_utc": health.format_utc(now)}))
    value = 0.1
    for i in range(200):
        moment = now - datetime.timedelta(days=30) + datetime.timedelta(hours=3.5 * i)
        new = round((value + 0.37) % 1, 4)
        health.append_history(str(path), health.format_utc(moment), [("12", str(value), str(new))])
        value = new
    return str(path)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--charts", type=int, default=20)
    args = parser.parse_args()
    timed: list[float] = []
    real_render = bot.render_chart

    def render(*a, **kw):
        began = time.perf_counter()
        try:
            return real_render(*a, **kw)
        finally:
            timed.append(time.perf_counter() - began)

    bot.render_chart = render
    with tempfile.TemporaryDirectory() as folder, TelegramStandIn(token=TOKEN) as tg:
        state = make_state(Path(folder))
        users = [str(1000 + i) for i in range(args.charts)]
        b = bot.Bot(token=TOKEN, chats=["-1001"], users=users, state_path=state,
                    say=lambda line: print(line, file=sys.stderr), base=tg.base_url, poll_seconds=1)
        b.start()
        # Warm the daemon's own paths (a text answer, the HTTP client) before the first reading.
        tg.push_message("/burn 12", chat_id=999, user_id=int(users[0]), chat_type="private")
        while len(tg.messages) < 1:
            b.serve()
            time.sleep(0.01)
        tg.clear()
        before = rss_kib()
        steps: list[int] = []
        sizes: list[int] = []
        for user in users:
            tg.push_message("/chart 12 30", chat_id=int(user), user_id=int(user),
                            chat_type="private")
            while not (taken := tg.take_photos()):
                b.serve()
                time.sleep(0.01)
            sizes += [len(p["data"]) for p in taken]
            # The stand-in (in this process only for the measurement) forgets what it recorded,
            # so that only the daemon's own memory is counted.
            tg.clear()
            steps.append(rss_kib())
        after = rss_kib()
        b.close()
    print(f"charts drawn and sent: {len(timed)}, PNG {min(sizes)}-{max(sizes)} bytes")
    print(f"render time per chart (s): median {statistics.median(timed):.3f}, "
          f"min {min(timed):.3f}, max {max(timed):.3f}")
    print("each (s): " + " ".join(f"{t:.2f}" for t in timed))
    print(f"daemon RSS before the first chart: {before / 1024:.1f} MiB, after {len(timed)}: "
          f"{after / 1024:.1f} MiB, growth {(after - before) / 1024:+.2f} MiB")
    print("RSS after each chart (MiB): " + " ".join(f"{k / 1024:.1f}" for k in steps))
    return 0


if __name__ == "__main__":
    sys.exit(main())
