"""Per-call cost of every operation of the built module, at 1,024, 10,000 and 100,000 rows.

Each operation is called the way the drivers call it, on a realistic listing (workloads.py);
operations that talk to the network go to the loopback stand-ins, whose listing body is
prepared ahead so that the stand-in's own JSON encoding does not compete with the client.
Then a watch cycle is run with the network replaced by answers held in memory and the state file
on tmpfs, and the host's JSON decoding is timed on its own: the difference is the module's own
work in a cycle.

Usage: python bench/module_bench.py [--sizes 1024,10000,100000] [--json OUT] [--quick]
Prints Markdown tables; --json also writes every timing.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import sys
import tempfile
from collections.abc import Callable

import harness
import workloads as wl
from bittensor_emberscope import emberscope as es
from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn

KEY = "bench-key"
TOKEN = "123456:bench"
CHAT = "-1001234567890"


def shm_dir() -> pathlib.Path | None:
    path = pathlib.Path("/dev/shm")
    return path if path.is_dir() and os.access(path, os.W_OK) else None


class Bench:
    def __init__(self, sizes: list[int], quick: bool) -> None:
        self.sizes = sizes
        self.quick = quick
        self.results: list[harness.Timing] = []
        self.described: dict[str, str] = {}
        self.tmp = tempfile.TemporaryDirectory(prefix="emberscope-bench-")
        shm = shm_dir()
        self.shm = tempfile.TemporaryDirectory(prefix="emberscope-bench-", dir=shm) if shm else None

    def runs(self, size: int, slow: bool = False) -> int:
        if self.quick:
            return 3
        if size >= 100_000:
            return 5
        return 7 if slow else 11

    def time(self, name: str, what: str, size: int, call: Callable[[], object], *,
             slow: bool = False, setup: Callable[[], object] | None = None,
             many: bool = False) -> harness.Timing | None:
        """`many`: a great number of short runs, so the figures cover the machine's fast and
        slow spells alike (its speed changes by up to half every few seconds)."""
        self.described.setdefault(name, what)
        runs = self.runs(size, slow)
        if many and size < 100_000:
            runs = 9 if self.quick else 41
        try:
            timing = harness.measure(name, size, call, runs=runs,
                                     min_run=0.02 if self.quick or many else 0.1, setup=setup)
        except AttributeError as e:
            if e.obj is not es:
                raise
            print(f"  {name:<34} skipped: the module has no {e.name}", file=sys.__stdout__)
            return None
        self.results.append(timing)
        print(f"  {name:<34} {size:>7}  {harness.human(timing.median):>9}  "
              f"[{harness.human(min(timing.wall))} .. {harness.human(max(timing.wall))}]",
              file=sys.__stdout__, flush=True)
        return timing

    # -- operations without a size ------------------------------------------------------------

    def constant_ops(self) -> None:
        record = {"status_code": 429, "message": "Rate Limited", "http_status": 429}
        missing = os.path.join(self.tmp.name, "pause-absent")
        short = "\n".join(["Owner burn rate changed", wl.UPDATED_AT + " UTC", ""]
                           + [f"SN{i}: 0.1800 → 0.2500" for i in range(140)])[:3000]
        self.time("api_base", "api_base()", 0, es.api_base)
        self.time("taostats_auth", "taostats_auth()", 0, es.taostats_auth)
        self.time("request_headers", "request_headers(key)", 0, lambda: es.request_headers(KEY))
        self.time("is_rate_limited", "is_rate_limited(a 429 record)", 0,
                  lambda: es.is_rate_limited(record))
        self.time("_burn_is_paused", "_burn_is_paused(absent file)", 0,
                  lambda: es._burn_is_paused(missing))
        with wl.no_sleep():
            self.time("_sleep_until_interval", "_sleep_until_interval(60, absent file), sleep substituted",
                      0, lambda: es._sleep_until_interval(60.0, missing))
        self.time("send_burn_telegram", "send_burn_telegram(3,000 characters), loopback", 0,
                  lambda: es.send_burn_telegram(short, TOKEN, CHAT), slow=True)

    # -- operations over a listing -------------------------------------------------------------

    def listing_ops(self, size: int, api: TaostatsStandIn) -> None:
        ls = wl.listing(size)
        rows, texts, current, previous = ls.rows, ls.texts, ls.current, ls.previous
        prev_texts = [previous[k] for k in current]
        disk_state = os.path.join(self.tmp.name, f"state-{size}.json")
        if hasattr(es, "save_burn_state"):
            es.save_burn_state(disk_state, current, wl.UPDATED_AT)
        all_changes = [(k, previous[k], current[k]) for k in current]

        self.time("owner_burn_from_row", "owner_burn_from_row over every row", size,
                  lambda: [es.owner_burn_from_row(r) for r in rows])
        self.time("format_owner_burn", "format_owner_burn over every burn text", size,
                  lambda: [es.format_owner_burn(t) for t in texts])
        self.time("owner_burn_changed", "owner_burn_changed over every (old, new) pair", size,
                  lambda: [es.owner_burn_changed(o, n, wl.THRESHOLD)
                           for o, n in zip(prev_texts, texts)])
        self.time("diff_burns", "diff_burns(previous, current), a third changed", size,
                  lambda: es.diff_burns(previous, current, wl.THRESHOLD))
        self.time("format_burn_alert", "format_burn_alert, one change per subnet", size,
                  lambda: es.format_burn_alert(all_changes, wl.UPDATED_AT))
        self.time("format_burn_snapshot", "format_burn_snapshot(rows)", size,
                  lambda: es.format_burn_snapshot(rows, wl.UPDATED_AT))
        self.time("_chunk_text", "_chunk_text(snapshot text), 3,900", size,
                  lambda: es._chunk_text(ls.snapshot_text))
        self.time("load_burn_state", "load_burn_state, file of every subnet", size,
                  lambda: es.load_burn_state(disk_state))
        self.time("save_burn_state", "save_burn_state on disk (fsync, rename)", size,
                  lambda: es.save_burn_state(disk_state, current, wl.UPDATED_AT), slow=True)
        if self.shm:
            shm_state = os.path.join(self.shm.name, f"state-{size}.json")
            self.time("save_burn_state_tmpfs", "save_burn_state on tmpfs (flush is free)", size,
                      lambda: es.save_burn_state(shm_state, current, wl.UPDATED_AT))

        api.default = Answer(200, body=ls.body, headers=[("Content-Type", "application/json")])
        self.time("http_get_json", "http_get_json(listing), loopback", size,
                  lambda: es.http_get_json(wl.LISTING_PATH, wl.LISTING_PARAMS, KEY), slow=True)
        self.time("with_retries", "with_retries(listing), loopback, no 429", size,
                  lambda: es.with_retries(wl.LISTING_PATH, wl.LISTING_PARAMS, KEY), slow=True)
        self.time("fetch_all_subnets_latest", "fetch_all_subnets_latest, loopback", size,
                  lambda: es.fetch_all_subnets_latest(KEY), slow=True)
        self.time("json.loads(listing)", "host: json.loads of the listing body (reference)", size,
                  lambda: json.loads(ls.body.decode()), slow=True)
        with wl.no_sleep():
            self.time("send_burn_telegram_messages", "send_burn_telegram_messages(alert), loopback",
                      size, lambda: es.send_burn_telegram_messages(ls.alert_text, TOKEN, CHAT),
                      slow=True)

    def driver_ops(self, size: int, api: TaostatsStandIn) -> None:
        ls = wl.listing(size)
        state = os.path.join(self.tmp.name, f"cycle-{size}.json")
        plain = Answer(200, body=ls.body, headers=[("Content-Type", "application/json")])
        shifted = Answer(200, body=ls.body_moved, headers=[("Content-Type", "application/json")])
        flip = [False]

        def alternate() -> None:
            flip[0] = not flip[0]
            api.default = shifted if flip[0] else plain

        def cycle() -> int:
            return es.run_emberscope_once(state_path=state, threshold=wl.THRESHOLD,
                                          burn_token=TOKEN, burn_chat_id=CHAT)

        with wl.no_sleep(), wl.quiet_stderr():
            api.default = plain
            cycle()
            self.time("run_emberscope_once (quiet)", "watch cycle, loopback, nothing changed",
                      size, cycle, slow=True)
            self.time("run_emberscope_once (alert)",
                      "watch cycle, loopback, a third changed, alert in several messages",
                      size, cycle, slow=True, setup=alternate)
            api.default = plain
            self.time("run_burn_startup_snapshot", "startup snapshot, loopback", size,
                      lambda: es.run_burn_startup_snapshot(state_path=state, burn_token=TOKEN,
                                                           burn_chat_id=CHAT), slow=True)
            if size == self.sizes[0]:
                self.poll_loop(state)

    def poll_loop(self, state: str) -> None:
        import time as host_time
        pause = os.path.join(self.tmp.name, "pause")
        steps = [0]

        def sleep(seconds: float) -> None:
            steps[0] += 1
            if steps[0] == 61:  # first step of the wait after the first cycle
                pathlib.Path(pause).touch()

        def reset() -> None:
            steps[0] = 0
            pathlib.Path(pause).unlink(missing_ok=True)

        original = host_time.sleep
        host_time.sleep = sleep
        try:
            self.time("run_burn_poll_loop", "poll loop: 60 s wait, one quiet cycle, pause "
                      "(sleep substituted)", self.sizes[0],
                      lambda: es.run_burn_poll_loop(state_path=state, threshold=wl.THRESHOLD,
                                                    interval_minutes=1, burn_token=TOKEN,
                                                    burn_chat_id=CHAT, pause_path=pause),
                      slow=True, setup=reset)
        finally:
            host_time.sleep = original

    # -- the module's own work in a cycle ------------------------------------------------------

    def own_work(self, size: int) -> dict:
        """The module's own work in a cycle: the cycle with the network held in memory and the
        state file on tmpfs, then the same with the host's JSON decoding held too."""
        ls = wl.listing(size)
        base = self.shm.name if self.shm else self.tmp.name
        state = os.path.join(base, f"own-{size}.json")
        served = [ls.body]

        def cycle() -> int:
            return es.run_emberscope_once(state_path=state, threshold=wl.THRESHOLD,
                                          burn_token=TOKEN, burn_chat_id=CHAT)

        def alternate() -> None:
            served[0] = ls.body_moved if served[0] is ls.body else ls.body

        figures: dict = {"size": size}
        with wl.no_sleep(), wl.quiet_stderr(), wl.in_memory_transport(lambda: served[0]) as sent:
            cycle()
            quiet = self.time("cycle in memory (quiet)", "watch cycle, no network, state on "
                              "tmpfs, nothing changed", size, cycle, many=True)
            sent["message"] = 0
            alert = self.time("cycle in memory (alert)", "watch cycle, no network, state on "
                              "tmpfs, a third changed", size, cycle, setup=alternate, many=True)
            if quiet is None or alert is None:
                return {}
            figures["messages_per_alert"] = sent["message"] / len(alert.wall)
            with wl.host_json_held([ls.body, ls.body_moved, wl.TELEGRAM_OK]):
                served[0] = ls.body
                cycle()
                cycle()  # the state file now has the held clock's stamp: its text repeats
                own_quiet = self.time("own work (quiet)", "watch cycle as above, host JSON "
                                      "decoding held: the module's own work", size, cycle,
                                      many=True)
                own_alert = self.time("own work (alert)", "watch cycle as above, host JSON "
                                      "decoding held: the module's own work", size, cycle,
                                      setup=alternate, many=True)
        for key, t in (("quiet", quiet), ("alert", alert), ("own_quiet", own_quiet),
                       ("own_alert", own_alert)):
            q1, q3 = t.quartiles()
            figures[key] = {"median": t.median, "cpu": t.cpu_median, "q1": q1, "q3": q3,
                            "min": min(t.wall), "max": max(t.wall)}
        return figures

    # -- report --------------------------------------------------------------------------------

    def table(self) -> str:
        by_name: dict[str, dict[int, harness.Timing]] = {}
        for t in self.results:
            by_name.setdefault(t.name, {})[t.size] = t
        sized = [s for s in self.sizes]
        lines = ["| operation | input | " + " | ".join(f"{s:,} rows" for s in sized)
                 + f" | {sized[-1]:,} / {sized[0]:,} |",
                 "|---|---|" + "---:|" * (len(sized) + 1)]
        constant = ["| operation | input | per call | spread (IQR) |", "|---|---|---:|---:|"]
        for name, per_size in by_name.items():
            if 0 in per_size:
                t = per_size[0]
                q1, q3 = t.quartiles()
                constant.append(f"| `{name}` | {self.described[name]} | {harness.human(t.median)} | "
                                f"{harness.human(q1)} – {harness.human(q3)} |")
                continue
            cells = []
            for s in sized:
                t = per_size.get(s)
                if t is None:
                    cells.append("—")
                    continue
                q1, q3 = t.quartiles()
                spread = (q3 - q1) / t.median * 100 if t.median else 0.0
                cells.append(f"{harness.human(t.median)} ±{spread / 2:.0f}%")
            first, last = per_size.get(sized[0]), per_size.get(sized[-1])
            ratio = f"{last.median / first.median:.0f}" if first and last else "—"
            lines.append(f"| `{name}` | {self.described[name]} | " + " | ".join(cells) + f" | {ratio} |")
        return "\n".join(constant) + "\n\n" + "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1024,10000,100000")
    parser.add_argument("--json", type=pathlib.Path)
    parser.add_argument("--quick", action="store_true", help="fewer, shorter runs")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    bench = Bench(sizes, args.quick)
    print(f"machine: {harness.machine()}", flush=True)
    own = []
    with TaostatsStandIn(rows=[]) as api, TelegramStandIn() as bot:
        os.environ.update(TAOSTATS_API_BASE=api.base_url, TAOSTATS_API_KEY=KEY,
                          TELEGRAM_API_BASE=bot.base_url)
        print("operations without a size:", flush=True)
        bench.constant_ops()
        for size in sizes:
            print(f"listing of {size:,} rows:", flush=True)
            wl.listing(size)
            bench.listing_ops(size, api)
            if not hasattr(es, "run_emberscope_once"):
                print("  drivers skipped: the module has no run_emberscope_once", flush=True)
                continue
            bench.driver_ops(size, api)
            if result := bench.own_work(size):
                own.append(result)

    print()
    print(bench.table())
    print()
    print("| rows | messages per alert | quiet cycle, in memory | own work, quiet (JSON held) "
          "| alert cycle, in memory | own work, alert (JSON held) |")
    print("|---:|---:|---:|---:|---:|---:|")

    def cell(f: dict, bold: bool = False) -> str:
        mark = "**" if bold else ""
        return (f"{mark}{harness.human(f['median'])}{mark} (IQR {harness.human(f['q1'])} – "
                f"{harness.human(f['q3'])}, fastest {harness.human(f['min'])})")

    for o in own:
        print(f"| {o['size']:,} | {o['messages_per_alert']:.0f} | {cell(o['quiet'])} | "
              f"{cell(o['own_quiet'], True)} | {cell(o['alert'])} | {cell(o['own_alert'], True)} |")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"machine": harness.machine(),
                                         "timings": [t.as_dict() for t in bench.results],
                                         "own_work": own}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
