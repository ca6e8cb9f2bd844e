"""The `emberscope` command refusing unsafe settings, and stopping on SIGTERM whatever it does."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn

KEY, TOKEN, CHAT = "cli-key-0123", "42:cli-token", "-1001"
COMMAND = [sys.executable, "-m", "bittensor_emberscope"]


@pytest.fixture
def env(tmp_path):
    (tmp_path / "home").mkdir()
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_"))
           and k != "XDG_STATE_HOME" and not k.lower().endswith("_proxy")}
    with TaostatsStandIn(require_key=KEY) as api, TelegramStandIn(token=TOKEN) as bot:
        env.update(HOME=str(tmp_path / "home"), TAOSTATS_API_BASE=api.base_url, TAOSTATS_API_KEY=KEY,
                   TELEGRAM_API_BASE=bot.base_url, TELEGRAM_BOT_TOKEN=TOKEN, TELEGRAM_CHAT_ID=CHAT,
                   EMBERSCOPE_STATE_FILE=str(tmp_path / "state.json"))
        yield env, api, bot


def run(*args: str, env: dict[str, str]) -> subprocess.CompletedProcess:
    return subprocess.run([*COMMAND, *args], env=env, capture_output=True, text=True, timeout=60)


ODD = [chr(c) for c in (*range(0x20), 0x7F, 0x85, 0x9F)]


@pytest.mark.parametrize("inner", ODD, ids=lambda c: f"U+{ord(c):04X}")
@pytest.mark.parametrize("where", ["token file", "token variable", "key file", "key variable"])
def test_a_secret_with_a_control_character_inside_is_refused(env, tmp_path, where, inner):
    env, api, bot = env
    value = f"secret-{where[:3]}-0123{inner}second line"
    if where.endswith("file"):
        path = tmp_path / "secret"
        path.write_bytes(f"  {value}\n".encode())
        variable = "TELEGRAM_BOT_TOKEN_FILE" if where.startswith("token") else "TAOSTATS_API_KEY_FILE"
        env[variable] = str(path)
        message = (f"{variable}: the {'bot token' if where.startswith('token') else 'Taostats key'} "
                   f"file {str(path)!r} holds a control character")
    else:
        if inner == "\0":
            pytest.skip("the environment cannot hold a NUL")
        variable = "TELEGRAM_BOT_TOKEN" if where.startswith("token") else "TAOSTATS_API_KEY"
        env[variable] = f" {value} "
        message = (f"{variable}: the {'bot token' if where.startswith('token') else 'Taostats key'} "
                   "holds a control character")
    done = run("once", env=env)
    assert done.returncode == 2 and f"emberscope once: error: {message}\n" in done.stderr
    assert "second line" not in done.stderr and "secret-" not in done.stderr
    assert api.requests == [] and bot.requests == []


def test_white_space_around_a_secret_is_still_removed(env, tmp_path):
    env, api, bot = env
    (tmp_path / "key").write_text(f"\n\t {KEY} \r\n")
    env["TAOSTATS_API_KEY_FILE"] = str(tmp_path / "key")
    env["TELEGRAM_BOT_TOKEN"] = f"\t{TOKEN}\n"
    done = run("snapshot", env=env)
    assert done.returncode == 0, done.stderr
    assert len(api.requests) == 1 and len(bot.requests) == 1


@pytest.mark.parametrize("origin", ["--state-file", "EMBERSCOPE_STATE_FILE"])
def test_a_fifo_state_path_is_refused_at_start(env, tmp_path, origin):
    env, api, bot = env
    fifo = tmp_path / "state.fifo"
    os.mkfifo(fifo)
    args = ["--state-file", str(fifo)] if origin == "--state-file" else []
    if origin != "--state-file":
        env["EMBERSCOPE_STATE_FILE"] = str(fifo)
    done = run("watch", *args, env=env)
    assert done.returncode == 2
    assert f"emberscope watch: error: {origin}: {str(fifo)!r} is not a regular file\n" in done.stderr
    assert api.requests == [] and bot.requests == []


def test_watch_stops_on_sigterm_while_the_start_up_listing_is_awaited(env, tmp_path):
    # A stop that arrives while an exchange waits for its answer is seen within a fraction of a
    # second, not when the exchange ends. (A stop during the save's clean-up of temporary files:
    # Files.AStopBetweenTheStepsLeavesTheFileAsItWas.)
    env, api, bot = env
    api.script(Answer(hang=True))  # a server that takes the request and never answers
    proc = subprocess.Popen([*COMMAND, "watch"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert api.wait_for_requests(1, timeout=30)  # the start-up snapshot is fetching
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=15)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0 and err.endswith("[burn] stopped (SIGTERM)\n")
    assert bot.requests == []  # the snapshot was abandoned before anything was sent
    assert not Path(env["EMBERSCOPE_STATE_FILE"]).exists()
