"""`emberscope demo`: what `emberscope watch` runs, end to end, against loopback stand-ins.

Taostats and Telegram stand-ins run on 127.0.0.1 in this process; the `emberscope` program beside
this interpreter runs `watch` against them as a child, pointed at them through the environment,
with its settings as flags: the engine's cycles, outbox and flood control, the status and history
files, the pause file. Its clock runs `TIME_SCALE` times faster (EMBERSCOPE_TIME_SCALE), so a
one-minute interval passes in moments; the scenario follows the listing requests: before each
cycle's request the stand-in listing moves some owner burn values. The console lines and every
message the Telegram stand-in received are printed as they happen. No network, no credentials,
nothing outside a temporary folder.

`python -m bittensor_emberscope.demo --serve` starts the stand-ins only and prints the `export`
lines that point `emberscope watch` at them, to rehearse routes and the bot offline.
"""

from __future__ import annotations

import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from typing import TextIO

from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn, realistic_rows

__all__ = ["run_demo", "serve"]

DEMO_KEY = "demo-taostats-key"
DEMO_TOKEN = "1234567890:demo-bot-token"
DEMO_CHAT = "-1001234567890"
THRESHOLD = 0.05
INTERVAL_MINUTES = 1
TIME_SCALE = 60  # one virtual minute a second
LAST_CYCLE = 4
RUN_LIMIT_SECONDS = 120

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
    """The Taostats stand-in, telling the demo of each listing request before it is answered."""

    def __init__(self, *args, on_request=None, **kwargs) -> None:
        self._on_request = on_request
        self._listed = 0
        super().__init__(*args, **kwargs)

    def _record(self, method, path, query, headers, body):
        rec = super()._record(method, path, query, headers, body)
        if self._on_request is not None and path.endswith("/api/subnet/latest/v1"):
            with self._lock:
                self._listed += 1
                n = self._listed
            self._on_request(n)
        return rec


class _Telegram(_AnswerLog, TelegramStandIn):
    pass


def _pick_subnets(rows: list[dict]) -> tuple[int, int, int]:
    """Subnets to move: one by more than the threshold, one by less, one from 1 to 0."""
    partial = [r["netuid"] for r in rows
               if r["netuid"] > 0 and type(r.get("incentive_burn")) is float
               and 0.05 <= r["incentive_burn"] <= 0.6]
    full = [r["netuid"] for r in rows if r["netuid"] > 0 and r.get("incentive_burn") == 1.0]
    return partial[0], partial[1], full[0]


def program() -> str:
    """The `emberscope` program beside this interpreter."""
    for folder in (os.path.dirname(sys.executable), os.path.dirname(os.path.abspath(sys.argv[0]))):
        path = os.path.join(folder, "emberscope")
        if os.access(path, os.X_OK) and not os.path.isdir(path):
            return path
    raise SystemExit("emberscope demo: the emberscope program is not installed beside "
                     f"{sys.executable}")


def _read_json(path: str) -> object:
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


class Demo:
    def __init__(self, out: TextIO, folder: str) -> None:
        self.out = out
        self.folder = folder
        self.state_path = os.path.join(folder, "state.json")
        self.pause_path = os.path.join(folder, "pause")
        # Every row with a reading: the demo follows values, not rows the monitor leaves out.
        self.rows = [dict(r, incentive_burn=r.get("incentive_burn", 0)) for r in realistic_rows()]
        self.up, self.small, self.down = _pick_subnets(self.rows)
        self.taostats = _Taostats(self.rows, require_key=DEMO_KEY, on_request=self._on_listing)
        self.telegram = _Telegram(token=DEMO_TOKEN)
        self.console_lines: list[str] = []
        self._shown_messages = 0
        self._lock = threading.Lock()
        self._started = time.monotonic()

    # Output

    def say(self, text: str = "") -> None:
        with self._lock:
            self.out.write(text + "\n")
            self.out.flush()

    def stamp(self) -> str:
        minutes, seconds = divmod(int((time.monotonic() - self._started) * TIME_SCALE), 60)
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
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%H:%M UTC")
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

    # The scenario, driven by the listing requests (on the stand-in's thread, before the answer)

    def _on_listing(self, n: int) -> None:
        rows = {r["netuid"]: r for r in self.rows}
        head = f"  {self.stamp()}  listing request {n}:"
        if n == 1:
            self.say(f"{head} the start-up list of a first start")
        elif n == 2:
            self.taostats.script(Answer.rate_limited())
            self.say(f"{head} cycle 1; no value moved; Taostats answers it with 429 Rate Limited")
        elif n == 3:
            self.say(f"{head} cycle 1 asks again after the pause and is served")
        elif n == 4:
            old_up, old_small = rows[self.up]["incentive_burn"], rows[self.small]["incentive_burn"]
            new_up, new_small = round(old_up + 0.3, 4), round(old_small + 0.02, 4)
            self.taostats.set_burn(self.up, new_up)
            self.taostats.set_burn(self.small, new_small)
            self.say(f"{head} cycle 2; SN{self.up} moves {old_up} → {new_up} (more than the "
                     f"threshold {THRESHOLD:g}), SN{self.small} {old_small} → {new_small} (less)")
        elif n == 5:
            old = rows[self.down]["incentive_burn"]
            self.taostats.set_burn(self.down, 0.0)
            self.telegram.script(Answer.flood(41))
            self.say(f"{head} cycle 3; SN{self.down} moves {old} → 0.0; Telegram answers with its "
                     "flood control: a 41 s wait, longer than the cycle's wait budget")
        elif n == 6:
            self.say(f"{head} cycle {LAST_CYCLE}; no value moved; the alert Telegram held back "
                     "waits in the outbox and goes first")
        elif n == 7:
            self.say(f"  {self.stamp()}  the operator creates the pause file {self.pause_path}")
            with open(self.pause_path, "w"):
                pass

    # The run

    def _secret_file(self, name: str, value: str) -> str:
        path = os.path.join(self.folder, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(value + "\n")
        return path

    def run(self, env: dict[str, str]) -> int:
        self.say("emberscope demo: the `emberscope watch` command against Taostats and Telegram "
                 "stand-ins on 127.0.0.1 (no network, no credentials)")
        self.say(f"  Taostats stand-in  {self.taostats.base_url}  ({len(self.rows)} subnets)")
        self.say(f"  Telegram stand-in  {self.telegram.base_url}  (chat {DEMO_CHAT})")
        self.say(f"  state file         {self.state_path}")
        self.say(f"  pause file         {self.pause_path}")
        self.say(f"  threshold {THRESHOLD:g}, interval {INTERVAL_MINUTES} minute "
                 f"(the demo's clock runs {TIME_SCALE} times faster)")
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
        child = subprocess.Popen([program(), "watch", *settings, *secrets, *places], env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True, errors="backslashreplace")
        reader = threading.Thread(target=self._read, args=(child.stderr,), daemon=True)
        reader.start()
        try:
            code = child.wait(timeout=RUN_LIMIT_SECONDS)
        except subprocess.TimeoutExpired:
            child.kill()
            code = child.wait()
            self.say("demo: the watch did not stop at the pause file")
        reader.join(10)
        self._show_messages()
        self.say(f"  {self.stamp()}  emberscope watch ended with exit status {code}")
        self.say()
        return self._report(code)

    def _read(self, stream) -> None:
        for line in stream:
            self._on_console(line.rstrip("\n"))

    def _report(self, code: int) -> int:
        state = _read_json(self.state_path) or {}
        burns = state.get("owner_burn_rate", {}) if isinstance(state, dict) else {}
        updated_at = state.get("updated_at_utc") if isinstance(state, dict) else None
        moved = ", ".join(f"SN{n} {burns.get(str(n))!r}" for n in (self.up, self.small, self.down))
        self.say(f"[2] state file: {len(burns)} subnets, updated {updated_at} UTC; "
                 f"stored texts {moved}")
        changes = []
        try:
            with open(self.state_path[:-len(".json")] + ".history.jsonl", encoding="utf-8") as f:
                changes = [json.loads(line) for line in f if line.strip()]
        except (OSError, ValueError):
            pass
        self.say("    history log: " + ", ".join(
            f"SN{c.get('netuid')} {c.get('old')} → {c.get('new')}" for c in changes))
        status = _read_json(self.state_path[:-len(".json")] + ".status.json") or {}
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


def _environment(taostats: TaostatsStandIn, telegram: TelegramStandIn) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_"))
           and k not in ("JOURNAL_STREAM", "NOTIFY_SOCKET")}
    loopback = ",".join(filter(None, [os.environ.get("no_proxy"), "127.0.0.1"]))
    env.update(TAOSTATS_API_BASE=taostats.base_url, TELEGRAM_API_BASE=telegram.base_url,
               no_proxy=loopback)  # a configured HTTP proxy must not see the stand-ins
    return env


def run_demo(out: TextIO) -> int:
    """Run the demo, writing its narration to `out`; 0 when everything went as expected."""
    with tempfile.TemporaryDirectory(prefix="emberscope-demo-") as folder:
        demo = Demo(out, folder)
        try:
            env = _environment(demo.taostats, demo.telegram)
            env["EMBERSCOPE_TIME_SCALE"] = str(TIME_SCALE)
            return demo.run(env)
        finally:
            demo.taostats.close()
            demo.telegram.close()


def serve(out: TextIO) -> int:
    """The stand-ins alone, until Ctrl-C, with the lines that point `emberscope` at them."""
    rows = realistic_rows()
    with TaostatsStandIn(rows, require_key=DEMO_KEY) as taostats, \
            TelegramStandIn(token=DEMO_TOKEN) as telegram:
        out.write(
            "# The demo's stand-ins are listening on 127.0.0.1 until Ctrl-C. In another shell:\n"
            f"export TAOSTATS_API_BASE={taostats.base_url} TAOSTATS_API_KEY={DEMO_KEY}\n"
            f"export TELEGRAM_API_BASE={telegram.base_url} TELEGRAM_BOT_TOKEN={DEMO_TOKEN}\n"
            f"export TELEGRAM_CHAT_ID={DEMO_CHAT} EMBERSCOPE_STATE_FILE=$(mktemp -d)/state.json\n"
            "emberscope watch --interval-minutes 1\n")
        out.flush()
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            out.write(f"# stopped: Taostats served {len(taostats.requests)} requests, Telegram "
                      f"received {len(telegram.requests)}\n")
    return 0


if __name__ == "__main__":
    sys.exit(serve(sys.stdout) if sys.argv[1:] == ["--serve"] else run_demo(sys.stdout))
