"""`emberscope demo`: the real module end to end against the stand-ins, offline."""

from __future__ import annotations

import datetime
import io
import os
import re
import subprocess
import sys
import time

from bittensor_emberscope import demo, monitor, watch
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


def test_demo_restores_what_it_substituted():
    out = io.StringIO()
    stderr = sys.stderr
    assert demo.run_demo(out) == 0
    assert console_lines(out.getvalue()) == CONSOLE
    assert watch.time is time and monitor.time is time
    assert monitor.datetime is datetime.datetime
    assert sys.stderr is stderr
    assert "TAOSTATS_API_BASE" not in os.environ and "TELEGRAM_API_BASE" not in os.environ


def test_demo_reports_a_monitor_that_does_not_behave(monkeypatch):
    # Cycles that see nothing: no alert, no line.
    quiet = {"outcome": "ok", "detail": "", "updated_at_utc": "2026-03-01T12:00:00Z",
             "subnets": 129, "changes": [], "delivered": 0, "outbox_size": 0,
             "outbox_oldest_utc": None, "invalid_rows": 0, "chat_id": demo.DEMO_CHAT}
    monkeypatch.setattr(monitor, "run_cycle", lambda **kw: quiet)
    out = io.StringIO()
    assert demo.run_demo(out) == 1
    assert "demo: the console lines differ from the expected ones:" in out.getvalue()
