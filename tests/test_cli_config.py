"""The command with a configuration file: `config check`, a bad file refused before anything runs,
routes in place of TELEGRAM_CHAT_ID."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from test_cli import (CHAT, LEFT_OUT, LISTED, TOKEN, env, run, taostats, telegram,  # noqa: F401
                      unstamp_all)

TWO_ROUTES = """\
threshold = 0.02

[[route]]
chat_id = "-100200"
netuids = [1, 4, 64]
threshold = 0.05
silent = true

[[route]]
chat_id = "@burn_watch"
quiet_hours = "22:00-07:00"

[stale]
after_minutes = 30
"""
TWO_ROUTES_DESCRIBED = (
    "config {path}: 2 route(s), default threshold 0.02, stale-data alert after 30 min\n"
    "route 1: chat -100200, subnets 1, 4, 64, threshold 0.05, silent\n"
    "route 2: chat @burn_watch, every subnet, threshold 0.02, quiet 22:00-07:00 UTC "
    "(held, then one digest)\n")


def write(tmp_path: Path, text: str) -> str:
    path = tmp_path / "emberscope.toml"
    path.write_text(text)
    return str(path)


@pytest.mark.parametrize("how", ["flag", "environment"])
def test_config_check_prints_the_routes_as_understood(env, tmp_path, how):
    path = write(tmp_path, TWO_ROUTES)
    del env["TELEGRAM_CHAT_ID"]  # a file with routes needs no chat besides
    if how == "flag":
        done = run("config", "check", "--config", path, env=env)
    else:
        env["EMBERSCOPE_CONFIG"] = path
        done = run("config", "check", env=env)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == TWO_ROUTES_DESCRIBED.format(path=path)


@pytest.mark.parametrize("args, extra_env, stdout", [
    ([], {}, "config (no file: TELEGRAM_CHAT_ID and --threshold): 1 route(s), default threshold "
             "0.01, no stale-data alert\nroute 1: chat -1001, every subnet, threshold 0.01\n"),
    (["--threshold", "0.3"], {}, "config (no file: TELEGRAM_CHAT_ID and --threshold): 1 route(s), "
     "default threshold 0.3, no stale-data alert\nroute 1: chat -1001, every subnet, threshold 0.3\n"),
    ([], {"EMBERSCOPE_THRESHOLD": "0.4", "TELEGRAM_CHAT_ID": "@c"},
     "config (no file: TELEGRAM_CHAT_ID and --threshold): 1 route(s), default threshold 0.4, "
     "no stale-data alert\nroute 1: chat @c, every subnet, threshold 0.4\n"),
])
def test_config_check_without_a_file_shows_the_one_route(env, args, extra_env, stdout):
    env.update(extra_env)
    done = run("config", "check", *args, env=env)
    assert (done.returncode, done.stdout, done.stderr) == (0, stdout, "")


BAD_FILES = [
    ('threshold = 0.1\n[[route]]\nchat_id = "-1"\nthreshold = "high"\n',
     "{path}:4: route[1].threshold: must be a number, not 'high'"),
    ('[[route]]\nchat_id = "-1"\n\n[[route]]\nchat_id = "-2"\nnetuid = [1]\n',
     "{path}:6: route[2].netuid: unknown key (allowed: chat_id, min_relative_change, netuids, "
     "quiet_hours, silent, thread_id, threshold)"),
    ('[[route]]\nchat_id = "-1"\nquiet_hours = "22:00-22:00"\n',
     "{path}:3: route[1].quiet_hours: must be \"HH:MM-HH:MM\" in UTC with two different times, "
     "not '22:00-22:00'"),
    ('[stale]\nafter_minutes = 0\n',
     "{path}:2: stale.after_minutes: must be a finite number > 0, not 0"),
    ('token = "42:secret"\n', "{path}:1: token: unknown key (allowed: route, stale, threshold)"),
]


@pytest.mark.parametrize("text, message", BAD_FILES)
def test_config_check_names_the_line_and_key_of_a_bad_file(env, tmp_path, text, message):
    path = write(tmp_path, text)
    done = run("config", "check", "--config", path, env=env)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.endswith(f"emberscope config check: error: {message.format(path=path)}\n")


@pytest.mark.parametrize("command", ["watch", "once", "snapshot"])
@pytest.mark.parametrize("text, message", BAD_FILES[:2] + [
    (None, "{path}: cannot open the configuration file: No such file or directory")])
def test_a_bad_file_stops_the_monitor_before_anything_runs(env, taostats, telegram, tmp_path,
                                                           command, text, message):
    path = write(tmp_path, text) if text is not None else str(tmp_path / "missing.toml")
    env["EMBERSCOPE_CONFIG"] = path
    done = run(command, env=env)
    assert done.returncode == 2
    assert done.stderr.endswith(f"emberscope {command}: error: {message.format(path=path)}\n")
    assert taostats.requests == [] and telegram.requests == []
    assert not os.path.exists(env["EMBERSCOPE_STATE_FILE"])


def test_a_file_without_routes_needs_the_chat(env, taostats, telegram, tmp_path):
    path = write(tmp_path, "threshold = 0.5\n")
    del env["TELEGRAM_CHAT_ID"]
    done = run("snapshot", "--config", path, env=env)
    assert done.returncode == 2
    assert "no [[route]] in the file and no TELEGRAM_CHAT_ID / --chat-id" in done.stderr
    assert telegram.requests == []


def test_routes_stand_in_for_the_chat_of_the_environment(env, taostats, telegram, tmp_path):
    path = write(tmp_path, '[[route]]\nchat_id = "-100777"\n')
    del env["TELEGRAM_CHAT_ID"]
    done = run("snapshot", "--config", path, env=env)
    assert done.returncode == 0, done.stderr
    assert unstamp_all(done.stderr) == LEFT_OUT + f"[burn] startup snapshot sent ({LISTED} subnets)\n"
    [rec] = telegram.requests
    assert (rec.token, dict(rec.form)["chat_id"]) == (TOKEN, "-100777")
