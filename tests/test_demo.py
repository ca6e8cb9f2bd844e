"""`emberscope demo`: the real module end to end against the stand-ins, offline."""

from __future__ import annotations

import io
import os
import re
import subprocess

from bittensor_emberscope import demo
from test_cli import ENTRY_POINT, clean_environment

CONSOLE = [f"    console  {line}\n" for line in demo.EXPECTED_CONSOLE]
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


def console_lines(text: str) -> list[str]:
    """The console lines after `watch`'s first one, times replaced by <T>."""
    lines = [line + "\n" for line in text.splitlines() if line.startswith("    console  ")]
    assert lines[0].startswith("    console  [burn] watching every 1 min, threshold 0.05, ")
    return [TIME.sub("<T>", line) for line in lines[1:]]


def test_demo_command_runs_end_to_end_without_network_or_credentials(tmp_path):
    env = clean_environment(tmp_path)
    # Anything that leaves the loopback stand-ins would hit a refused proxy and fail.
    env.update(http_proxy="http://127.0.0.1:9", https_proxy="http://127.0.0.1:9")
    done = subprocess.run([str(ENTRY_POINT), "demo"], env=env, capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    out = done.stdout
    assert console_lines(out) == CONSOLE
    # Every message the Telegram stand-in received, framed: the list, the alert, the refused
    # one, and the refused one again from the outbox.
    assert out.count("╭─ Telegram · emberscope bot → chat -1001234567890\n") == 4
    assert "    │ Subnet owner burn rates (startup)\n" in out
    assert out.count("    │ Owner burn rate changed\n") == 3
    assert out.count(" ✓ delivered\n") == 3
    assert " ✗ refused by Telegram: 429 Too Many Requests: retry after 41\n" in out
    assert out.endswith("demo finished: every step behaved as described\n")
    assert os.listdir(tmp_path) == []  # nothing written to the user's home


def test_demo_runs_the_program_beside_the_interpreter_and_leaves_the_environment():
    out = io.StringIO()
    assert demo.run_demo(out) == 0
    assert console_lines(out.getvalue()) == CONSOLE
    assert "TAOSTATS_API_BASE" not in os.environ and "TELEGRAM_API_BASE" not in os.environ
    assert "EMBERSCOPE_TIME_SCALE" not in os.environ


def test_demo_reports_a_monitor_that_does_not_behave(monkeypatch):
    # A listing that never moves and a Telegram that never refuses: the alerts the demo expects
    # do not come, and it says so.
    monkeypatch.setattr(demo.Demo, "_on_listing", lambda self, n: n >= 3 and open(self.pause_path, "w").close())
    out = io.StringIO()
    assert demo.run_demo(out) == 1
    assert "demo: the console lines differ from the expected ones:" in out.getvalue()
