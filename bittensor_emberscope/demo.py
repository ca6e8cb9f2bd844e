"""`emberscope demo`: what `emberscope watch` runs, end to end, against loopback stand-ins.

Taostats and Telegram stand-ins run on 127.0.0.1 in this process, the monitor is pointed at
them through the environment, and the command's own `watch` runs with its settings as flags:
the engine's cycles, outbox and flood control, the status and history files, the pause file.
The waits are skipped by a clock that stands in for `time` in the command's loop and in the
engine, so a one-minute interval passes in moments; between cycles the stand-in listing
moves some owner burn values. The console lines and every message the Telegram stand-in
received are printed as they happen. No network, no credentials, nothing outside a
temporary folder.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import re
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import TextIO

from bittensor_emberscope import cli, health, monitor, watch
from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn, realistic_rows

__all__ = ["run_demo"]

DEMO_KEY = "demo-taostats-key"
DEMO_TOKEN = "1234567890:demo-bot-token"
DEMO_CHAT = "-1001234567890"
THRESHOLD = 0.05
INTERVAL_MINUTES = 1
WAIT_STEPS = 60 * INTERVAL_MINUTES  # the loop sleeps in one-second steps
LAST_CYCLE = 4
PAUSE_AT_STEP = LAST_CYCLE * WAIT_STEPS + WAIT_STEPS // 2
MAX_STEPS = 20 * WAIT_STEPS

# The console lines after the loop's first one, times replaced by <T>.
EXPECTED_CONSOLE = [
    "[burn] startup snapshot sent (129 subnets)",
    "[burn] alert sent (1 subnet(s))",
    "[burn] telegram failed: rate limited (HTTP 429, retry after 41 s)",
    "[burn] outbox: 1 message(s) waiting for delivery, oldest queued <T>",
    "[burn] alert sent (1 subnet(s))",
    "[burn] monitoring paused",
]
_STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ ")
_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


class _AnswerLog:
    """Keeps the answer given to every request, in the order of `requests`."""

    def __init__(self, *args, **kwargs) -> None:
        self.answers: list[Answer] = []
        super().__init__(*args, **kwargs)

    def _deliver(self, handler, answer: Answer) -> None:
        with self._lock:
            self.answers.append(answer)
        super()._deliver(handler, answer)


class _Taostats(_AnswerLog, TaostatsStandIn):
    pass


class _Telegram(_AnswerLog, TelegramStandIn):
    pass


class _Clock:
    """Stands in for `time` in the command's loop: sleeps advance a virtual clock at once.

    `on_step(n)` is called after the n-th one-second sleep (the loop's wait steps).
    `engine` stands in for the engine's `time`: its sleeps (retry pauses, pacing) advance
    the same clock and go to `on_other`; its clocks run ahead by what was skipped.
    """

    def __init__(self, on_step: Callable[[int], None], on_other: Callable[[float], None]) -> None:
        self.elapsed = 0.0
        self.steps = 0
        self._on_step = on_step
        self.engine = _EngineClock(self, on_other)

    def sleep(self, seconds: float) -> None:
        self.elapsed += seconds
        self.steps += 1
        if self.steps > MAX_STEPS:
            raise RuntimeError("the demo's watch loop did not stop at the pause file")
        self._on_step(self.steps)

    def time(self) -> float:
        return time.time() + self.elapsed

    def monotonic(self) -> float:
        return time.monotonic() + self.elapsed

    def __getattr__(self, name: str):
        return getattr(time, name)


class _EngineClock:
    def __init__(self, clock: _Clock, on_other: Callable[[float], None]) -> None:
        self._clock = clock
        self._on_other = on_other

    def sleep(self, seconds: float) -> None:
        self._clock.elapsed += seconds
        self._on_other(seconds)

    def __getattr__(self, name: str):
        return getattr(self._clock, name)


def _virtual_datetime(clock: _Clock) -> type[datetime.datetime]:
    """Stands in for the module's `datetime`: now() runs ahead by the skipped waits."""

    class VirtualDatetime(datetime.datetime):
        @classmethod
        def now(cls, tz: datetime.tzinfo | None = None) -> datetime.datetime:
            return datetime.datetime.now(tz) + datetime.timedelta(seconds=clock.elapsed)

    return VirtualDatetime


class _Console:
    """Stands in for sys.stderr: complete lines go to `on_line`."""

    def __init__(self, on_line: Callable[[str], None]) -> None:
        self._on_line = on_line
        self._partial = ""

    def write(self, text: str) -> int:
        self._partial += text
        *lines, self._partial = self._partial.split("\n")
        for line in lines:
            self._on_line(line)
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


@contextlib.contextmanager
def _patched(obj: object, name: str, value: object) -> Iterator[None]:
    saved = getattr(obj, name)
    setattr(obj, name, value)
    try:
        yield
    finally:
        setattr(obj, name, saved)


@contextlib.contextmanager
def _environment(values: dict[str, str]) -> Iterator[None]:
    saved = {name: os.environ.get(name) for name in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def _pick_subnets(rows: list[dict]) -> tuple[int, int, int]:
    """Subnets to move: one by more than the threshold, one by less, one from 1 to 0."""
    partial = [r["netuid"] for r in rows
               if r["netuid"] > 0 and type(r.get("incentive_burn")) is float
               and 0.05 <= r["incentive_burn"] <= 0.6]
    full = [r["netuid"] for r in rows if r["netuid"] > 0 and r.get("incentive_burn") == 1.0]
    return partial[0], partial[1], full[0]


class Demo:
    def __init__(self, out: TextIO, folder: str) -> None:
        self.out = out
        self.folder = folder
        self.state_path = os.path.join(folder, "state.json")
        self.pause_path = os.path.join(folder, "pause")
        # Every row with a reading: the demo follows values, not rows the monitor leaves out.
        self.rows = [dict(r, incentive_burn=r.get("incentive_burn", 0)) for r in realistic_rows()]
        self.up, self.small, self.down = _pick_subnets(self.rows)
        self.taostats = _Taostats(self.rows, require_key=DEMO_KEY)
        self.telegram = _Telegram(token=DEMO_TOKEN)
        self.clock = _Clock(self._on_step, self._on_other_sleep)
        self.console_lines: list[str] = []
        self._shown_messages = 0
        self._cycle_marks = (0, 0, 0)  # taostats requests, telegram requests, console lines

    # Output

    def say(self, text: str = "") -> None:
        self.out.write(text + "\n")

    def stamp(self) -> str:
        minutes, seconds = divmod(int(self.clock.elapsed), 60)
        return f"+{minutes}:{seconds:02d}"

    def _on_console(self, line: str) -> None:
        self._show_messages()
        line = _STAMP.sub("", line)
        self.console_lines.append(line)
        self.say(f"    console  {line}")

    def _show_messages(self) -> None:
        requests = self.telegram.requests
        answers = self.telegram.answers
        for rec, answer in zip(requests[self._shown_messages:], answers[self._shown_messages:]):
            self._frame(rec, answer)
            self._shown_messages += 1

    def _frame(self, rec, answer: Answer) -> None:
        chat = dict(rec.form).get("chat_id", "?")
        now = (datetime.datetime.now(datetime.timezone.utc)
               + datetime.timedelta(seconds=self.clock.elapsed)).strftime("%H:%M UTC")
        self.say(f"    ╭─ Telegram · emberscope bot → chat {chat}")
        for line in (rec.text or "").split("\n"):
            self.say(f"    │ {line}".rstrip())
        if 200 <= answer.status < 300:
            self.say(f"    ╰─ {now} ✓ delivered")
        else:
            try:
                reason = json.loads(answer.body or b"{}").get("description", "")
            except ValueError:
                reason = ""
            self.say(f"    ╰─ {now} ✗ refused by Telegram: {answer.status} {reason}".rstrip())

    # The scenario, driven by the clock

    def _on_other_sleep(self, seconds: float) -> None:
        self.say(f"    · the engine's time.sleep({seconds:g}) skipped by the demo clock")

    def _on_step(self, step: int) -> None:
        if step % WAIT_STEPS == 1 and step > WAIT_STEPS:
            self._after_cycle(step // WAIT_STEPS)
        if step % WAIT_STEPS == 0 and step // WAIT_STEPS <= LAST_CYCLE:
            self._before_cycle(step // WAIT_STEPS)
        if step == PAUSE_AT_STEP:
            self.say(f"  {self.stamp()}  the operator creates the pause file {self.pause_path}")
            with open(self.pause_path, "w"):
                pass

    def _before_cycle(self, n: int) -> None:
        rows = {r["netuid"]: r for r in self.rows}
        head = f"  {self.stamp()}  cycle {n}:"
        if n == 1:
            self.taostats.script(Answer.rate_limited())
            self.say(f"{head} no value moved; Taostats answers the first request with "
                     "429 Rate Limited")
        elif n == 2:
            old_up, old_small = rows[self.up]["incentive_burn"], rows[self.small]["incentive_burn"]
            new_up, new_small = round(old_up + 0.3, 4), round(old_small + 0.02, 4)
            self.taostats.set_burn(self.up, new_up)
            self.taostats.set_burn(self.small, new_small)
            self.say(f"{head} SN{self.up} moves {old_up} → {new_up} (more than the threshold "
                     f"{THRESHOLD:g}), SN{self.small} {old_small} → {new_small} (less)")
        elif n == 3:
            old = rows[self.down]["incentive_burn"]
            self.taostats.set_burn(self.down, 0.0)
            self.telegram.script(Answer.flood(41))
            self.say(f"{head} SN{self.down} moves {old} → 0.0; Telegram answers with its "
                     "flood control: a 41 s wait, longer than the cycle's wait budget")
        else:
            self.say(f"{head} no value moved since cycle {n - 1}; the alert Telegram held back "
                     "waits in the outbox and goes first")
        self._cycle_marks = (len(self.taostats.requests), len(self.telegram.requests),
                             len(self.console_lines))

    def _after_cycle(self, n: int) -> None:
        self._show_messages()
        taostats, telegram, console = self._cycle_marks
        statuses = ", ".join(str(a.status) for a in self.taostats.answers[taostats:])
        self.say(f"    Taostats answered {statuses}; state file rewritten")
        if len(self.telegram.requests) == telegram and len(self.console_lines) == console:
            self.say("    nothing to report: no message, no console line")

    # The run

    def _secret_file(self, name: str, value: str) -> str:
        path = os.path.join(self.folder, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(value + "\n")
        return path

    def run(self) -> int:
        self.say("emberscope demo: the `emberscope watch` command against Taostats and Telegram "
                 "stand-ins on 127.0.0.1 (no network, no credentials)")
        self.say(f"  Taostats stand-in  {self.taostats.base_url}  ({len(self.rows)} subnets)")
        self.say(f"  Telegram stand-in  {self.telegram.base_url}  (chat {DEMO_CHAT})")
        self.say(f"  state file         {self.state_path}")
        self.say(f"  pause file         {self.pause_path}")
        self.say(f"  threshold {THRESHOLD:g}, interval {INTERVAL_MINUTES} minute "
                 "(the demo clock skips the waits)")
        self.say()
        settings = ["--interval-minutes", str(INTERVAL_MINUTES), "--threshold", f"{THRESHOLD:g}",
                    "--wait-budget-seconds", "15", "--chat-id", DEMO_CHAT,
                    "--no-bot"]  # the stand-in chat sends no commands
        secrets = ["--token-file", self._secret_file("bot-token", DEMO_TOKEN),
                   "--taostats-key-file", self._secret_file("taostats-key", DEMO_KEY)]
        places = ["--state-file", self.state_path, "--pause-file", self.pause_path]
        self.say("[1] emberscope watch " + " ".join(settings) + " --token-file ... "
                 "--taostats-key-file ...: a first start sends the start-up list, then a cycle "
                 "every interval")
        code = cli.main(["watch", *settings, *secrets, *places])
        self._show_messages()
        self.say(f"  {self.stamp()}  emberscope watch ended with exit status {code}")
        self.say()
        return self._report(code)

    def _report(self, code: int) -> int:
        burns, updated_at = monitor.read_state(self.state_path)
        moved = ", ".join(f"SN{n} {burns[str(n)]!r}" for n in (self.up, self.small, self.down))
        self.say(f"[2] state file: {len(burns)} subnets, updated {updated_at} UTC; "
                 f"stored texts {moved}")
        changes, _ = health.read_history(self.state_path)
        self.say("    history log: " + ", ".join(f"SN{c.netuid} {c.old} → {c.new}" for c in changes))
        status = health.read_status(self.state_path) or {}
        self.say(f"    status file: watch {status.get('loop')}, outbox {status.get('outbox_size')} "
                 f"waiting, {status.get('consecutive_failures')} failure(s) in a row")
        delivered = len(self.telegram.messages)
        self.say(f"    Taostats served {len(self.taostats.requests)} requests; Telegram received "
                 f"{len(self.telegram.requests)} messages, {delivered} delivered")
        seen = [_TIME.sub("<T>", line) for line in self.console_lines[1:]]
        if code != 0 or seen != EXPECTED_CONSOLE:
            self.say("demo: the console lines differ from the expected ones:")
            for line in EXPECTED_CONSOLE:
                self.say(f"    {line}")
            return 1
        self.say("demo finished: every step behaved as described")
        return 0


def run_demo(out: TextIO) -> int:
    """Run the demo, writing its narration to `out`; 0 when everything went as expected."""
    with tempfile.TemporaryDirectory(prefix="emberscope-demo-") as folder:
        demo = Demo(out, folder)
        try:
            loopback = ",".join(filter(None, [os.environ.get("no_proxy"), "127.0.0.1"]))
            env = {
                "TAOSTATS_API_BASE": demo.taostats.base_url,
                "TAOSTATS_API_KEY": DEMO_KEY,
                "JOURNAL_STREAM": "",  # the demo's console has no journal; its lines are stamped
                "TELEGRAM_API_BASE": demo.telegram.base_url,
                "no_proxy": loopback,  # a configured HTTP proxy must not see the stand-ins
            }
            with (_environment(env), _patched(watch, "time", demo.clock),
                  _patched(monitor, "time", demo.clock.engine),
                  _patched(monitor, "datetime", _virtual_datetime(demo.clock)),
                  _patched(sys, "stderr", _Console(demo._on_console))):
                return demo.run()
        finally:
            demo.taostats.close()
            demo.telegram.close()
