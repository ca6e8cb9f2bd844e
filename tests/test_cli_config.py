"""The command with a configuration file: `config check`, a bad file refused before anything runs,
routes in place of TELEGRAM_CHAT_ID."""

from __future__ import annotations

import datetime
import json
import os
import signal
import time
from pathlib import Path

import pytest

from bittensor_emberscope.testing import Answer

from test_cli import (CHAT, FAST_COMMAND, LEFT_OUT, LISTED, TOKEN, env, run,  # noqa: F401
                      taostats, telegram, unstamp_all, watches)

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
    assert done.stdout == TWO_ROUTES_DESCRIBED.format(path=path)
    assert (done.returncode, done.stderr) == (0, "")


def test_config_check_accepts_a_route_the_monitor_follows(env, tmp_path):
    path = write(tmp_path, 'threshold = 0.2\n[[route]]\nchat_id = -100123\n')
    done = run("config", "check", "--config", path, env=env)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (f"config {path}: 1 route(s), default threshold 0.2, no stale-data alert\n"
                           "route 1: chat -100123, every subnet, threshold 0.2\n")


@pytest.mark.parametrize("command", ["once", "snapshot"])
@pytest.mark.parametrize("text, chats", [
    ('[[route]]\nchat_id = "-1"\n[[route]]\nchat_id = "-2"\n', ["-1", "-2"]),
    ('[[route]]\nchat_id = "-1"\nnetuids = [3]\n', ["-1"]),
    ('[[route]]\nchat_id = "-1"\nmin_relative_change = 0.1\n', ["-1"]),
    ('[[route]]\nchat_id = "-1"\nthread_id = 7\nsilent = true\n', ["-1"]),
    ('[[route]]\nchat_id = "-1"\nquiet_hours = "01:00-02:00"\n', ["-1"]),
    ('[stale]\nafter_minutes = 5\n', ["-1001"]),
])
def test_every_key_of_the_file_is_followed(env, taostats, telegram, tmp_path, command, text, chats):
    path = write(tmp_path, text)
    assert run("snapshot", "--config", path, env=env).returncode == 0
    telegram.clear()
    taostats.set_burn(3, "0.9")  # 0.25 before
    done = run(command, "--config", path, env=env)
    assert (done.returncode, "error" in done.stderr) == (0, False), done.stderr
    if command == "snapshot" or "quiet" not in text:
        assert sorted({dict(r.form)["chat_id"] for r in telegram.requests}) == chats


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
     "{path}:6: route[2].netuid: unknown key (allowed: above, below, chat_id, confirm_cycles, "
     "cooldown, direction, discord_webhook_env, discord_webhook_file, min_relative_change, "
     "netuids, quiet_hours, rearm, silent, thread_id, threshold, webhook_secret_file, "
     "webhook_url_file)"),
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


def test_the_route_stands_in_for_the_chat_of_the_environment(env, taostats, telegram, tmp_path):
    path = write(tmp_path, '[[route]]\nchat_id = "-100777"\n')
    del env["TELEGRAM_CHAT_ID"]
    done = run("snapshot", "--config", path, env=env)
    assert done.returncode == 0, done.stderr
    assert unstamp_all(done.stderr) == LEFT_OUT + f"[burn] startup snapshot sent ({LISTED} subnets)\n"
    [rec] = telegram.requests
    assert (rec.token, dict(rec.form)["chat_id"]) == (TOKEN, "-100777")


@pytest.mark.parametrize("text, flag, alerted", [
    # The route's threshold, else the file's, is the monitor's: above it the move is an alert.
    ('[[route]]\nchat_id = "-100777"\nthreshold = 0.5\n', [], False),
    ('threshold = 0.5\n[[route]]\nchat_id = "-100777"\n', [], False),
    ('[[route]]\nchat_id = "-100777"\nthreshold = 0.05\n', ["--threshold", "0.5"], True),
    # A file without routes keeps the chat of the environment and gives its threshold.
    ('threshold = 0.05\n', ["--threshold", "0.5"], True),
])
def test_the_file_sets_the_threshold(env, taostats, telegram, tmp_path, text, flag, alerted):
    env["EMBERSCOPE_CONFIG"] = write(tmp_path, text)
    assert run("once", env=env).returncode == 0  # the first values: no alert
    taostats.set_burn(7, "0.45")  # 0.25 before: a move of 0.2
    done = run("once", *flag, env=env)
    assert done.returncode == 0, done.stderr
    texts = [r.text for r in telegram.requests]
    assert bool(texts) == alerted, texts
    if alerted:
        chat = "-100777" if "route" in text else CHAT
        assert [dict(r.form)["chat_id"] for r in telegram.requests] == [chat]


ROUTED = """\
threshold = 0.01

[[route]]
chat_id = "-100777"

[[route]]
chat_id = "-100888"
netuids = [7, 9]
threshold = 0.1
silent = true
thread_id = 42
"""


def test_two_routes_each_get_their_subnets_with_their_options(env, taostats, telegram, tmp_path):
    env["EMBERSCOPE_CONFIG"] = write(tmp_path, ROUTED)
    del env["TELEGRAM_CHAT_ID"]
    done = run("snapshot", env=env)
    assert done.returncode == 0, done.stderr
    forms = [dict(r.form) for r in telegram.requests]
    assert [(f["chat_id"], f.get("disable_notification"), f.get("message_thread_id"))
            for f in forms] == [("-100777", None, None), ("-100888", "true", "42")]
    listed = [line.split(":")[0] for line in forms[1]["text"].splitlines() if line.startswith("SN")]
    assert listed == ["SN7", "SN9"]
    assert unstamp_all(done.stderr) == (LEFT_OUT + f"[burn] startup snapshot sent ({LISTED} subnets)\n"
                                        "[burn] startup snapshot sent (2 subnets)\n")
    telegram.clear()
    taostats.set_burn(7, "0.3")   # 0.25 before: under route 2's threshold
    taostats.set_burn(12, "0.9")  # not in route 2's subnets
    done = run("once", env=env)
    assert done.returncode == 0, done.stderr
    assert [dict(r.form)["chat_id"] for r in telegram.requests] == ["-100777"]
    assert "SN7:" in telegram.requests[0].text and "SN12:" in telegram.requests[0].text
    telegram.clear()
    taostats.set_burn(7, "0.45")
    done = run("once", env=env)
    assert done.returncode == 0, done.stderr
    forms = [dict(r.form) for r in telegram.requests]
    assert [(f["chat_id"], f.get("message_thread_id")) for f in forms] == [
        ("-100777", None), ("-100888", "42")]
    assert forms[1]["text"].endswith("\n\nSN7: 0.3000 → 0.4500")


def _window(start_hours: float, length_hours: float) -> str:
    """A window of quiet hours starting `start_hours` from now (UTC)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    start = now + datetime.timedelta(hours=start_hours)
    end = start + datetime.timedelta(hours=length_hours)
    return f"{start:%H:%M}-{end:%H:%M}"


def test_quiet_hours_hold_the_changes_and_send_one_digest_after(env, taostats, telegram, tmp_path):
    config = tmp_path / "emberscope.toml"
    routed = '[[route]]\nchat_id = "-100777"\n[[route]]\nchat_id = "-100888"\n'
    config.write_text(routed + f'quiet_hours = "{_window(-1, 2)}"\n')
    env["EMBERSCOPE_CONFIG"] = str(config)
    del env["TELEGRAM_CHAT_ID"]
    assert run("once", env=env).returncode == 0  # the first values
    for value in ("0.5", "0.6"):
        taostats.set_burn(7, value)  # 0.25 at first
        done = run("once", env=env)
        assert done.returncode == 0, done.stderr
    assert [dict(r.form)["chat_id"] for r in telegram.requests] == ["-100777", "-100777"]
    telegram.clear()
    # The window is over (here: moved to later in the day): one digest, first old, last new.
    later = _window(2, 1)
    config.write_text(routed + f'quiet_hours = "{later}"\n')
    done = run("once", env=env)
    assert done.returncode == 0, done.stderr
    [digest] = telegram.requests
    assert dict(digest.form)["chat_id"] == "-100888"
    lines = digest.text.splitlines()
    assert lines[0] == f"Owner burn rate changed during quiet hours {later} UTC"
    assert lines[2:] == ["", "SN7: 0.2500 → 0.6000"]


def test_sighup_reads_the_file_again_and_a_bad_one_keeps_the_previous(env, taostats, telegram,
                                                                      tmp_path, watches):
    config = Path(write(tmp_path, '[[route]]\nchat_id = "-100777"\n'))
    env["EMBERSCOPE_CONFIG"] = str(config)
    del env["TELEGRAM_CHAT_ID"]
    w = watches("--no-bot", env=env, command=FAST_COMMAND)
    w.wait_line("[burn] startup snapshot sent")

    def alerted_chats(value: str) -> list[str]:
        telegram.clear()
        taostats.set_burn(3, value)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            chats = sorted(dict(r.form)["chat_id"] for r in telegram.requests)
            if chats:
                time.sleep(0.5)  # the cycle's other messages, if any
                return sorted(dict(r.form)["chat_id"] for r in telegram.requests)
            time.sleep(0.05)
        raise AssertionError("no alert in time")

    config.write_text('[[route]]\nchat_id = "-100777"\n[[route]]\nchat_id = "-100888"\n'
                      'netuids = [3]\n')
    w.proc.send_signal(signal.SIGHUP)
    w.wait_line("[burn] config reloaded")
    assert w.seen[-1] == "[burn] config reloaded (2 routes)\n"
    assert alerted_chats("0.9") == ["-100777", "-100888"]

    config.write_text('threshold = "high"\n[[route]]\nchat_id = "-100999"\n')
    w.proc.send_signal(signal.SIGHUP)
    line = w.wait_line("[burn] config not reloaded")
    assert line == (f"[burn] config not reloaded: {config}:1: threshold: must be a number, not "
                    "'high'; keeping the previous one\n")
    assert alerted_chats("0.1") == ["-100777", "-100888"]
    w.proc.send_signal(signal.SIGTERM)
    code, lines = w.finish()
    assert code == 0 and lines[-1] == "[burn] stopped (SIGTERM)\n"


def test_status_shows_each_route_with_its_queue_delivery_and_refusal(env, taostats, telegram,
                                                                     tmp_path):
    env["EMBERSCOPE_CONFIG"] = write(tmp_path, ROUTED)
    del env["TELEGRAM_CHAT_ID"]
    assert run("once", env=env).returncode == 0  # the first values
    taostats.set_burn(7, "0.9")
    # The first route's chat refuses; the second is served all the same.
    telegram.script(Answer.telegram_error(403, "Forbidden: bot was kicked from the group chat"))
    assert run("once", env=env).returncode == 1
    done = run("status", "--json", env=env)
    routes = json.loads(done.stdout)["status"]["routes"]
    stamp = json.loads(done.stdout)["status"]["last_cycle_utc"]
    assert routes == [
        {"chat_id": "-100777", "thread_id": None, "netuids": None, "threshold": 0.01, "queued": 1,
         "held": 0, "telegram_failure": "refused", "last_delivery_utc": None,
         "last_refusal_utc": stamp,
         "last_refusal": "telegram: HTTP 403 Forbidden: bot was kicked from the group chat"},
        {"chat_id": "-100888", "thread_id": 42, "netuids": [7, 9], "threshold": 0.1, "queued": 0,
         "held": 0, "telegram_failure": "", "last_delivery_utc": stamp, "last_refusal_utc": None,
         "last_refusal": None}]
    assert run("once", env=env).returncode == 0  # the refused alert goes out now
    routes = json.loads(run("status", "--json", env=env).stdout)["status"]["routes"]
    assert (routes[0]["queued"], routes[0]["last_refusal_utc"]) == (0, stamp)
    assert routes[1]["last_delivery_utc"] == stamp  # nothing newer for it
    text = run("status", env=env).stdout
    rows = {line[:12].rstrip(): line[12:] for line in text.splitlines() if line.startswith("route")}
    assert rows["route 1"].startswith("chat -100777, every subnet, threshold 0.01; 0 queued; "
                                      "last delivery 20")
    assert rows["route 1"].endswith(": telegram: HTTP 403 Forbidden: bot was kicked from the "
                                    "group chat")
    assert rows["route 2"].startswith(f"chat -100888 topic 42, subnets 7, 9, threshold 0.1; "
                                      f"0 queued; last delivery {stamp} (")


def test_sighup_without_a_file_keeps_the_one_route(env, watches):
    w = watches("--no-bot", "--no-snapshot", env=env)
    w.wait_line("[burn] watching every ")
    w.proc.send_signal(signal.SIGHUP)
    line = w.wait_line("[burn] config not reloaded")
    assert line == ("[burn] config not reloaded: no configuration file (--config or "
                    "EMBERSCOPE_CONFIG); keeping the previous one\n")
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0
