"""Fault soak: thousands of watch cycles of the real poll loop in one process, against stand-ins
that inject random faults, with every cycle checked against a reference model.

The poll loop runs with time.sleep substituted, so its one-minute waits pass at once. The
substitute is also the soak's clock: the 60th one-second step of a wait ends it, and there the
soak checks the cycle that just ran and prepares the next one (new listing values, a Taostats
fault, a Telegram fault). After the last cycle it creates the pause file and the loop returns.

Faults: Taostats refuses the connection, hangs (cut by a short client time-out), answers
429 storms (some longer than the six attempts), 500s, HTML pages, invalid UTF-8, JSON that is
not an object, empty data, or drops the connection; Telegram answers 429, 400, HTML pages or
drops the connection, on any part of a multi-part alert.

Checked after every cycle: the console line (none, alert sent, telegram failed, fetch failed or
error) is the one the reference expects; the state file holds exactly the reference map (or its
old content when the cycle failed before saving) and no temporary file is left; every alert
the reference implies was attempted exactly once, with exactly the changed subnets in order,
parts numbered, paced by 0.4 s sleeps, and nothing sent when nothing changed; retry sleeps
follow the 2.0 × 1.8ⁿ schedule. Checked at cycle 1,000 and at the last cycle: resident memory,
open file descriptors, the host's count of allocated blocks and the number of threads.

Usage: python bench/soak.py [--cycles 10000] [--rows 400] [--seed 1] [--json OUT]
Exit status 0 when every check passed.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import pathlib
import random
import re
import socket
import sys
import tempfile
import threading
import time
import urllib.request

import harness
from workloads import es
from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn, realistic_rows

TOKEN = "424242:soak"
CHAT = "-1001234567890"
THRESHOLD = 0.01
HANG_TIMEOUT = 0.1
WAIT_STEPS = 60  # interval_minutes=1: sixty one-second steps per wait
MAX_FAILURES = 25
ABSENT = object()

TELEGRAM_OK = Answer.json({"ok": True, "result": {"message_id": 1, "date": 1772366400,
                                                  "chat": {"id": int(CHAT), "type": "supergroup"},
                                                  "text": "..."}})

VALUES = [0, 0.0, 1.0, 1, 0.18, 0.5, 0.25, 0.75, 0.05, 0.9, "0.25", "0.50", " 0.5 ", "1",
          "n/a", "", None, ABSENT, True, False, 10**20, 1e-7, "NaN", "inf", "1_000", "١.٥",
          [0.5], {"value": 0.5}, "1e400", "-0"]

# Taostats faults: (name, weight, expected outcome of the cycle)
TAOSTATS_FAULTS = [
    ("none", 52, "ok"),
    ("refused", 5, "error"),
    ("hang", 3, "error"),
    ("storm", 6, None),  # ok below six 429s in a row, fetch failed from six on
    ("500", 5, "fetch"),
    ("500-empty", 2, "fetch"),
    ("html-502", 4, "fetch"),
    ("html-200", 3, "fetch"),
    ("empty-data", 2, "fetch"),
    ("bad-utf8", 4, "error"),
    ("not-object", 4, "error"),
    ("null", 2, "error"),
    ("drop", 3, "error"),
]
TELEGRAM_FAULTS = [("none", 60), ("429", 10), ("400", 10), ("html", 10), ("drop", 10)]


def owner_burn_text(row: dict) -> str:
    """The reference owner burn text of a row: the host's own conversions."""
    if "incentive_burn" not in row:
        return "0"
    value = row["incentive_burn"]
    if isinstance(value, str):
        return value or "0"
    if value is None or value is False or value == [] or value == {}:
        return "0"
    if value is True:
        return "True"
    if isinstance(value, (int, float)) and value == 0:
        return "0"
    if isinstance(value, float):
        return repr(value)
    return str(value)


def number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


def changed(old: str, new: str) -> bool:
    a, b = number(old), number(new)
    if a is not None and b is not None:
        return abs(a - b) > THRESHOLD
    return old != new


def display(text: str) -> str:
    value = number(text)
    return text if value is None else format(value, ".4f")


def expected_changes(prev: dict[str, str], current: dict[str, str]) -> list[str]:
    lines = []
    for netuid, new in sorted(current.items(), key=lambda kv: int(kv[0])):
        if netuid in prev and changed(prev[netuid], new):
            lines.append(f"SN{netuid}: {display(prev[netuid])} → {display(new)}")
    return lines


def retry_schedule(count: int) -> list[float]:
    delays, delay = [], 2.0
    for _ in range(count):
        delays.append(delay)
        delay = min(delay * 1.8, 120.0)
    return delays


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Abort(BaseException):
    """Ends the loop from inside the substituted sleep when too many checks failed."""


class Soak:
    def __init__(self, cycles: int, rows: int, seed: int, tmp: str,
                 only: set[str] | None = None) -> None:
        self.total = cycles
        self.only = only
        self.rng = random.Random(seed)
        self.api = TaostatsStandIn(rows=realistic_rows(rows, seed))
        self.bot = TelegramStandIn()
        self.bot.default = TELEGRAM_OK  # accepted texts are then not kept: memory stays flat
        self.base_url = self.api.base_url
        self.refused_url = f"http://127.0.0.1:{closed_port()}"
        self.dir = pathlib.Path(tmp)
        self.state = self.dir / "state.json"
        self.pause = self.dir / "pause"
        self.reference: dict[str, str] | None = None  # the map the state file must hold
        self.cycle = 0
        self.steps = 0
        self.sleeps: list[float] = []
        self.lines: list[str] = []
        self.plan: dict = {}
        self.failures: list[str] = []
        self.counts: dict[str, int] = {}
        self.alerts_implied = 0
        self.alerts_attempted = 0
        self.checkpoints: dict[int, dict] = {}
        self.started = time.monotonic()

    # -- substituted host services -------------------------------------------------------------

    def sleep(self, seconds: float) -> None:
        if seconds != 1.0:
            self.sleeps.append(seconds)
            return
        self.steps += 1
        if self.steps < WAIT_STEPS:
            return
        self.steps = 0
        if self.cycle > 0:
            self.check_cycle()
            if self.cycle % max(1, min(1000, self.total // 10)) == 0 or self.cycle == self.total:
                self.checkpoint()
            if self.cycle % 500 == 0:
                rate = self.cycle / (time.monotonic() - self.started)
                print(f"  cycle {self.cycle:>6}: {rate:.0f} cycles/s, failures {len(self.failures)}",
                      file=sys.__stdout__, flush=True)
        if len(self.failures) >= MAX_FAILURES:
            raise Abort()
        if self.cycle >= self.total:
            self.pause.touch()
            return
        self.cycle += 1
        self.prepare()

    def urlopen(self, request, timeout=None, **kw):
        if self.plan.get("taostats") == "hang" and "/sendMessage" not in request.full_url:
            timeout = HANG_TIMEOUT
        return self.real_urlopen(request, timeout=timeout, **kw)

    def write(self, text: str) -> int:
        self.lines.append(text)
        return len(text)

    def flush(self) -> None:
        pass

    # -- one cycle -----------------------------------------------------------------------------

    def pick(self, table) -> str:
        names = [t[0] for t in table]
        weights = [t[1] for t in table]
        return self.rng.choices(names, weights)[0]

    def prepare(self) -> None:
        rng = self.rng
        draw = rng.random()
        moves = 0 if draw < 0.55 else rng.randint(1, 5) if draw < 0.9 else rng.randint(150, 380)
        for row in rng.sample(self.api.rows, moves):
            value = rng.choice(VALUES)
            if isinstance(value, float) and rng.random() < 0.5:
                value = round(rng.uniform(0.0, 1.0), 4)
            if value is ABSENT:
                self.api.clear_burn(row["netuid"])
            else:
                self.api.set_burn(row["netuid"], value)
        current = {str(r["netuid"]): owner_burn_text(r) for r in self.api.rows}

        fault = self.pick([(n, w) for n, w, _ in TAOSTATS_FAULTS
                           if self.only is None or n in self.only])
        outcome = dict((n, o) for n, _, o in TAOSTATS_FAULTS)[fault]
        storm = 0
        os.environ["TAOSTATS_API_BASE"] = self.base_url
        if fault == "refused":
            os.environ["TAOSTATS_API_BASE"] = self.refused_url
        elif fault == "hang":
            self.api.script(Answer(delay=HANG_TIMEOUT * 10))
        elif fault == "storm":
            storm = rng.randint(1, 8)
            outcome = "ok" if storm < 6 else "fetch"
            for _ in range(storm):
                self.api.script(rng.choice([Answer.rate_limited(), Answer.text("Rate Limited", 429)]))
        elif fault == "500":
            self.api.script(Answer.json({"message": "Internal Server Error"}, 500))
        elif fault == "500-empty":
            self.api.script(Answer(500, body=b""))
        elif fault == "html-502":
            self.api.script(Answer.html(502))
        elif fault == "html-200":
            self.api.script(Answer(200, body=b"<html><body>maintenance</body></html>",
                                   headers=[("Content-Type", "text/html")]))
        elif fault == "empty-data":
            self.api.script(Answer.json({"pagination": {}, "data": []}))
        elif fault == "bad-utf8":
            self.api.script(Answer(200, body=b'{"data": [{"netuid": 1, "name": "\xff\xfe"}]}'))
        elif fault == "not-object":
            self.api.script(Answer.json(rng.choice([[1, 2, 3], "text", 42, True])))
        elif fault == "null":
            self.api.script(Answer(200, body=b"null"))
        elif fault == "drop":
            self.api.script(Answer(drop=True))

        alert: list[str] = []
        if outcome == "ok" and self.reference:
            alert = expected_changes(self.reference, current)
        tg_fault, tg_part = "none", 0
        if alert:
            tg_fault = self.pick(TELEGRAM_FAULTS)
            if tg_fault != "none":
                tg_part = rng.randint(1, 3)
                self.bot.script(*[TELEGRAM_OK] * (tg_part - 1))
                self.bot.script({
                    "429": Answer.flood(),
                    "400": Answer.telegram_error(400, "Bad Request: chat not found"),
                    "html": Answer.html(502),
                    "drop": Answer(drop=True),
                }[tg_fault])
        self.plan = {"taostats": fault, "outcome": outcome, "storm": storm, "current": current,
                     "alert": alert, "tg_fault": tg_fault, "tg_part": tg_part}
        key = f"taostats {fault}" + (f" ({outcome})" if fault == "storm" else "")
        self.counts[key] = self.counts.get(key, 0) + 1
        if alert:
            self.counts[f"telegram {tg_fault}"] = self.counts.get(f"telegram {tg_fault}", 0) + 1

    def fail(self, message: str) -> None:
        if len(self.failures) < MAX_FAILURES:
            self.failures.append(f"cycle {self.cycle} ({self.plan.get('taostats')}, "
                                 f"telegram {self.plan.get('tg_fault')}): {message}")

    def check_cycle(self) -> None:
        plan = self.plan
        outcome, alert = plan["outcome"], plan["alert"]
        lines, sleeps = self.lines, self.sleeps
        requests = self.bot.requests

        # Console: one line of the expected kind, or none for a quiet success.
        if outcome == "ok" and not alert:
            expected_kind = None
        elif outcome == "ok":
            failing = plan["tg_fault"] != "none" and plan["tg_part"] <= self.parts(requests)
            expected_kind = "telegram" if failing else "sent"
        else:
            expected_kind = outcome
        kinds = {"[burn] alert sent (": "sent", "[burn] telegram failed: ": "telegram",
                 "[burn] fetch failed: ": "fetch", "[burn] error: ": "error"}
        got = [next((k for p, k in kinds.items() if line.startswith(p)), line) for line in lines]
        if got != ([expected_kind] if expected_kind else []):
            self.fail(f"console {lines!r}, expected {expected_kind}")
        if expected_kind == "sent" and lines and lines[0] != f"[burn] alert sent ({len(alert)} subnet(s))\n":
            self.fail(f"alert line {lines[0]!r} for {len(alert)} changes")
        # Each report is one write that opens with the prefix and ends with a line feed (an error
        # text, such as an HTML page, may carry line feeds of its own).
        if any(not line.startswith("[burn] ") or not line.endswith("\n") for line in lines):
            self.fail(f"console writes not one report each: {lines!r}")

        # State file: the new map after a listing that arrived, the old content otherwise.
        if outcome == "ok":
            self.reference = plan["current"]
        try:
            saved = json.loads(self.state.read_text()) if self.state.exists() else None
        except (OSError, ValueError) as e:
            saved = None
            self.fail(f"state file unreadable: {e}")
        held = saved["owner_burn_rate"] if saved else None
        if held != self.reference:
            self.fail("state file does not hold the reference map")
        leftovers = sorted(p.name for p in self.dir.iterdir() if p.name not in ("state.json", "pause"))
        if leftovers:
            self.fail(f"files left in the state directory: {leftovers}")

        # Telegram: the alert attempted exactly once when implied, nothing otherwise.
        firsts = [r for r in requests if r.text is not None and
                  (r.text.startswith("(1/") or r.text.startswith("Owner burn rate changed"))]
        if alert:
            self.alerts_implied += 1
            self.alerts_attempted += len(firsts)
        elif requests:
            self.fail(f"{len(requests)} Telegram requests without a change to report")
        if alert and len(firsts) != 1:
            self.fail(f"alert attempted {len(firsts)} times")
        if alert:
            self.check_delivery(requests, alert)

        # Sleeps within the cycle: the retry schedule, then the pauses between parts.
        retries = retry_schedule(min(plan["storm"], 5))
        if sleeps[:len(retries)] != retries:
            self.fail(f"retry sleeps {sleeps[:len(retries)]}, expected {retries}")
        pauses = sleeps[len(retries):]
        expected_pauses = max(0, len(requests) - 1) if alert else 0
        if pauses != [0.4] * expected_pauses:
            self.fail(f"pauses {pauses}, expected {expected_pauses} of 0.4 s")

        self.lines.clear()
        self.sleeps.clear()
        self.bot.clear()
        self.api.clear()

    @staticmethod
    def parts(requests) -> int:
        """The number of parts of the alert, read from the first request's numbering."""
        if not requests or requests[0].text is None:
            return 0
        m = re.match(r"\((\d+)/(\d+)\)\n", requests[0].text)
        return int(m.group(2)) if m else 1

    def check_delivery(self, requests, alert: list[str]) -> None:
        plan = self.plan
        total = self.parts(requests)
        failing_at = plan["tg_part"] if plan["tg_fault"] != "none" and plan["tg_part"] <= total else 0
        if len(requests) != (failing_at or total):
            self.fail(f"{len(requests)} requests for {total} parts failing at {failing_at}")
        body_lines: list[str] = []
        for index, request in enumerate(requests, 1):
            text = request.text or ""
            form = dict(request.form)
            if request.token != TOKEN or form.get("chat_id") != CHAT or \
                    form.get("disable_web_page_preview") != "true":
                self.fail(f"request {index} has token {request.token!r}, form {sorted(form)}")
            if total > 1:
                prefix = f"({index}/{total})\n"
                if not text.startswith(prefix):
                    self.fail(f"part {index} does not start with {prefix!r}")
                text = text[len(prefix):]
            if not text.startswith("Owner burn rate changed\n"):
                self.fail(f"part {index} has no alert header")
            if len(text) > 3900 and text.count("\n") > 3:
                self.fail(f"part {index} has {len(text)} characters")
            body_lines += text.split("\n\n", 1)[1].split("\n") if "\n\n" in text else []
        if not failing_at and body_lines != alert:
            self.fail(f"delivered {len(body_lines)} change lines, expected {len(alert)}")

    # -- resources -----------------------------------------------------------------------------

    def checkpoint(self) -> None:
        # Let the stand-ins finish answering (a hang's handler lingers a moment), then measure.
        deadline = time.monotonic() + 5.0
        while threading.active_count() > self.threads_at_start and time.monotonic() < deadline:
            self.real_sleep(0.05)
        gc.collect()
        self.checkpoints[self.cycle] = {
            "rss": harness.rss_bytes(), "malloc": harness.malloc_in_use() or 0,
            "fds": harness.open_fds(),
            "blocks": sys.getallocatedblocks(), "threads": threading.active_count(),
        }

    def run(self) -> int:
        import time as host_time
        self.real_sleep = host_time.sleep
        self.real_urlopen = urllib.request.urlopen
        self.threads_at_start = threading.active_count()
        os.environ.update(TAOSTATS_API_KEY="soak-key", TELEGRAM_API_BASE=self.bot.base_url,
                          TAOSTATS_API_BASE=self.base_url)
        original_stderr = sys.stderr
        host_time.sleep = self.sleep
        urllib.request.urlopen = self.urlopen
        sys.stderr = self
        escaped: BaseException | None = None
        try:
            es.run_burn_poll_loop(state_path=str(self.state), threshold=THRESHOLD,
                                  interval_minutes=1, burn_token=TOKEN, burn_chat_id=CHAT,
                                  pause_path=str(self.pause))
        except Abort:
            pass
        except BaseException as e:  # noqa: BLE001 - anything escaping the loop is a finding
            escaped = e
        finally:
            host_time.sleep = self.real_sleep
            urllib.request.urlopen = self.real_urlopen
            sys.stderr = original_stderr
            self.api.close()
            self.bot.close()
        elapsed = time.monotonic() - self.started
        return self.report(escaped, elapsed)

    def report(self, escaped: BaseException | None, elapsed: float) -> int:
        ok = True
        print(f"\n{self.cycle:,} cycles in {elapsed:.0f} s ({self.cycle / elapsed:.0f} cycles/s)")
        if escaped is not None:
            ok = False
            print(f"FAIL: {type(escaped).__name__} escaped the poll loop: {escaped}")
        if self.lines != ["[burn] monitoring paused\n"] and not self.failures:
            ok = False
            print(f"FAIL: the loop did not end with the paused line: {self.lines!r}")
        if self.cycle < self.total:
            ok = False
            print(f"FAIL: only {self.cycle} of {self.total} cycles ran")
        print("\nfaults injected (cycles):")
        for key in sorted(self.counts):
            print(f"  {key:<28} {self.counts[key]:>6}")
        print(f"\nalerts implied by the reference: {self.alerts_implied}; first parts received: "
              f"{self.alerts_attempted}")
        if self.alerts_attempted != self.alerts_implied:
            ok = False
        marks = sorted(self.checkpoints)
        if len(marks) >= 2:
            print("\nresources at every checkpoint (cycle: RSS MiB / malloc in use MiB / fds / "
                  "allocated blocks):")
            for mark in marks:
                c = self.checkpoints[mark]
                print(f"  {mark:>6}: {c['rss'] / 2**20:7.2f} / {c['malloc'] / 2**20:6.2f} / "
                      f"{c['fds']} / {c['blocks']:,}")
            first, last = self.checkpoints[marks[0]], self.checkpoints[marks[-1]]
            print("\n| measure | after cycle {:,} | after cycle {:,} | change | allowed |".format(
                marks[0], marks[-1]))
            print("|---|---:|---:|---:|---:|")
            limits = {"rss": 4 * 2**20, "malloc": 1 * 2**20, "fds": 0, "blocks": 20_000,
                      "threads": 0}
            for name, label in (("rss", "resident memory"), ("malloc", "C heap in use (malloc)"),
                                ("fds", "open file descriptors"),
                                ("blocks", "host allocated blocks"), ("threads", "threads")):
                a, b = first[name], last[name]
                fmt = ((lambda v: f"{v / 2**20:.2f} MiB") if name in ("rss", "malloc")
                       else (lambda v: f"{v:,}"))
                delta = b - a
                print(f"| {label} | {fmt(a)} | {fmt(b)} | {'+' if delta >= 0 else ''}"
                      f"{fmt(delta)} | {fmt(limits[name])} |")
                if delta > limits[name]:
                    ok = False
                    print(f"FAIL: {label} grew by {fmt(delta)}")
        if self.failures:
            ok = False
            print(f"\n{len(self.failures)} check(s) failed (first {MAX_FAILURES} shown):")
            for failure in self.failures:
                print(f"  {failure}")
        print("\nPASS" if ok else "\nFAIL")
        self.result = {"cycles": self.cycle, "elapsed_s": elapsed, "faults": self.counts,
                       "alerts_implied": self.alerts_implied,
                       "alerts_attempted": self.alerts_attempted,
                       "checkpoints": self.checkpoints, "failures": self.failures, "ok": ok}
        return 0 if ok else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=10_000)
    parser.add_argument("--rows", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--json", type=pathlib.Path)
    parser.add_argument("--only", help="inject only these Taostats faults (comma-separated "
                        "names, e.g. none,500), to find which kind of cycle a leak comes from")
    args = parser.parse_args()
    only = set(args.only.split(",")) if args.only else None
    print(f"machine: {harness.machine()}")
    print(f"soak: {args.cycles:,} cycles, {args.rows} subnets, seed {args.seed}", flush=True)
    with tempfile.TemporaryDirectory(prefix="emberscope-soak-") as tmp:
        soak = Soak(args.cycles, args.rows, args.seed, tmp, only)
        status = soak.run()
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(soak.result, indent=1))
    return status


if __name__ == "__main__":
    sys.exit(main())
