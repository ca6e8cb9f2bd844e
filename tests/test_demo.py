"""`emberscope demo`: the real module end to end against the stand-ins, offline."""

from __future__ import annotations

import datetime
import io
import os
import subprocess
import sys
import time

from bittensor_emberscope import demo, emberscope
from test_cli import ENTRY_POINT, clean_environment

CONSOLE = [f"    console  {line}\n" for line in demo.EXPECTED_CONSOLE]


def console_lines(text: str) -> list[str]:
    return [line + "\n" for line in text.splitlines() if line.startswith("    console  ")]


def test_demo_command_runs_end_to_end_without_network_or_credentials(tmp_path):
    env = clean_environment(tmp_path)
    # Anything that leaves the loopback stand-ins would hit a refused proxy and fail.
    env.update(http_proxy="http://127.0.0.1:9", https_proxy="http://127.0.0.1:9")
    done = subprocess.run([str(ENTRY_POINT), "demo"], env=env, capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    out = done.stdout
    assert console_lines(out) == CONSOLE
    # Every message the Telegram stand-in received, framed: the list, the alert, the refused one.
    assert out.count("╭─ Telegram · emberscope bot → chat -1001234567890\n") == 3
    assert "    │ Subnet owner burn rates (startup)\n" in out
    assert out.count("    │ Owner burn rate changed\n") == 2
    assert out.count(" ✓ delivered\n") == 2
    assert " ✗ refused by Telegram: 429 Too Many Requests: retry after 41\n" in out
    assert out.endswith("demo finished: every step behaved as described\n")
    assert os.listdir(tmp_path) == []  # nothing written to the user's home


def test_demo_restores_what_it_substituted():
    out = io.StringIO()
    stderr = sys.stderr
    assert demo.run_demo(out) == 0
    assert console_lines(out.getvalue()) == CONSOLE
    assert emberscope.time is time and emberscope.datetime is datetime.datetime
    assert sys.stderr is stderr
    assert "TAOSTATS_API_BASE" not in os.environ and "TELEGRAM_API_BASE" not in os.environ


def test_demo_reports_a_module_that_does_not_behave(monkeypatch):
    # A poll loop that returns at once: no cycle, no pause line.
    monkeypatch.setattr(emberscope, "run_burn_poll_loop", lambda **kw: None)
    out = io.StringIO()
    assert demo.run_demo(out) == 1
    assert "demo: the console lines differ from the expected ones:" in out.getvalue()
