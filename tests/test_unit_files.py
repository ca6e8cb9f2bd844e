"""The systemd units of contrib/, what their comments and the help tell an operator to run, and
scripts/uninstall-service."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from test_cli import env, run, taostats, telegram  # noqa: F401 (fixtures)

ROOT = Path(__file__).resolve().parent.parent
CONTRIB = ROOT / "contrib"
SERVICES = ["emberscope.service", "emberscope-once.service"]
MOST_EXPOSURE = 2.0


def analyze() -> str:
    path = shutil.which("systemd-analyze")
    if not path:
        pytest.skip("systemd-analyze is not installed (Debian's systemd package has it)")
    return path


def with_stand_in_executable(unit: str, tmp_path: Path) -> Path:
    """The unit under tmp_path, starting a stand-in executable (verify checks that it exists)."""
    exe = tmp_path / "emberscope"
    exe.write_text("#!/bin/sh\n")
    exe.chmod(0o755)
    copy = tmp_path / unit
    copy.write_text((CONTRIB / unit).read_text().replace(
        "/opt/emberscope/venv/bin/emberscope", str(exe)))
    return copy


@pytest.mark.parametrize("unit", SERVICES)
def test_the_services_are_hardened(unit, tmp_path):
    tool = analyze()
    copy = with_stand_in_executable(unit, tmp_path)
    done = subprocess.run([tool, "security", "--offline=true", "--no-pager", str(copy)],
                          capture_output=True, text=True, timeout=120)
    found = re.search(rf"Overall exposure level for {re.escape(unit)}: (\d+\.\d+)", done.stdout)
    assert found, done.stdout + done.stderr
    assert float(found.group(1)) <= MOST_EXPOSURE, done.stdout


def test_the_timer_units_pass_verify(tmp_path):
    tool = analyze()
    service = with_stand_in_executable("emberscope-once.service", tmp_path)
    timer = tmp_path / "emberscope-once.timer"
    shutil.copy(CONTRIB / "emberscope-once.timer", timer)
    done = subprocess.run([tool, "verify", str(timer), str(service)],
                          capture_output=True, text=True, timeout=120)
    problems = [line for line in done.stderr.splitlines()
                if "emberscope-once" in line and "network-online.target" not in line]
    assert done.returncode == 0 and not problems, done.stderr


def commented_commands(text: str) -> list[str]:
    """The emberscope commands of a unit's comments, continuation lines joined."""
    comment = "\n".join(line[1:] for line in text.splitlines() if line.startswith("#"))
    joined = re.sub(r"\\\n\s*", " ", comment)
    return re.findall(r"bin/emberscope (?:status|history)[^\n(]*", joined)


@pytest.mark.parametrize("unit", SERVICES)
def test_the_commands_in_the_comments_read_the_service_state(unit):
    commands = commented_commands((CONTRIB / unit).read_text())
    assert commands
    for command in commands:
        assert "--state-file /var/lib/emberscope/state.json" in command, command


def test_the_keys_the_status_help_suggests_exist(env):
    assert run("once", env=env).returncode == 0
    document = json.loads(run("status", "--json", env=env).stdout)
    suggested = re.findall(r"jq \.(\w+)", run("status", "--help", env=env).stdout)
    assert suggested
    for key in suggested:
        assert key in document, key


@pytest.mark.skipif(os.geteuid() != 0, reason="the script runs as root")
@pytest.mark.parametrize("purge", [False, True], ids=["keep", "purge"])
def test_uninstall_removes_the_installation(tmp_path, purge):
    prefix, etc, units, state = (tmp_path / n for n in ("opt", "etc", "units", "state"))
    for folder in (prefix / "venv" / "bin", etc, units, state):
        folder.mkdir(parents=True)
    (prefix / "venv" / "bin" / "emberscope").write_text("")
    (etc / "env").write_text("TELEGRAM_BOT_TOKEN=x\n")
    (state / "state.json").write_text("{}")
    for name in ("emberscope.service", "emberscope-once.service", "emberscope-once.timer",
                 "other.service"):
        (units / name).write_text("")
    args = [str(ROOT / "scripts" / "uninstall-service"), "--no-systemd", "--prefix", str(prefix),
            "--config-dir", str(etc), "--unit-dir", str(units), "--state-dir", str(state)]
    done = subprocess.run(args + (["--purge"] if purge else []), capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(units)) == ["other.service"]
    assert not prefix.exists()
    assert etc.exists() is (not purge) and state.exists() is (not purge)
    if not purge:
        assert f"kept {etc} (--purge removes it)" in done.stderr


def test_the_timer_period_reaches_once_past_the_env_file():
    # systemd gives EnvironmentFile= the last word over Environment=: an interval set in the
    # unit's environment was overridden by the env file's, so the period travels as a flag.
    service = (CONTRIB / "emberscope-once.service").read_text()
    timer = (CONTRIB / "emberscope-once.timer").read_text()
    assert "Environment=EMBERSCOPE_INTERVAL_MINUTES" not in service
    start = re.search(r"^ExecStart=.* once --interval-minutes (\d+)$", service, re.M)
    period = re.search(r"^OnCalendar=\*:0/(\d+)$", timer, re.M)
    assert start and period and start.group(1) == period.group(1)
