"""The `emberscope` command, run in subprocesses against the loopback stand-ins."""

from __future__ import annotations

import json
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from bittensor_emberscope.testing import Answer, TaostatsStandIn, TelegramStandIn
from bittensor_emberscope.testing.listings import realistic_rows

KEY, TOKEN, CHAT = "cli-key", "42:cli-token", "-1001"
STARTED = "[burn] watching every "
COMMAND = [sys.executable, "-m", "bittensor_emberscope"]
# `watch` with the waits shortened: the program's clock runs 100 times faster.
FAST_COMMAND = ["env", "EMBERSCOPE_TIME_SCALE=100", *COMMAND]
ENTRY_POINT = Path(sys.executable).with_name("emberscope")
# The stand-in's realistic listing leaves "incentive_burn" out of a few rows: the command leaves
# those rows out (no reading is no value) and says so each cycle.
UNREAD = [row["netuid"] for row in realistic_rows() if "incentive_burn" not in row]
LEFT_OUT = (f"[burn] listing: {len(UNREAD)} row(s) without a valid netuid or owner burn left out "
            f"(first: {', '.join(f'{n}: (none)' for n in UNREAD[:5])})\n")
LISTED = len(realistic_rows()) - len(UNREAD)
BASELINE = f"[burn] baseline recorded ({LISTED} subnets)\n"
# `watch` stamps its own lines with the UTC time when not under the journal.
STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ ")


def unstamped(line: str) -> str:
    return STAMP.sub("", line)


def unstamp_all(text: str) -> str:
    """`text` without the UTC time at the start of its lines; every line must carry one."""
    lines = text.splitlines(keepends=True)
    assert all(STAMP.match(line) for line in lines), text
    return "".join(map(unstamped, lines))


def clean_environment(home: Path) -> dict[str, str]:
    # Nothing of the outer session reaches the command: not its settings, nor a journal or a
    # systemd notify socket it may run under.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("EMBERSCOPE_", "TAOSTATS_", "TELEGRAM_"))
           and k not in ("XDG_STATE_HOME", "JOURNAL_STREAM", "NOTIFY_SOCKET")
           and not k.lower().endswith("_proxy")}
    env["HOME"] = str(home)
    return env


@pytest.fixture
def taostats():
    with TaostatsStandIn(require_key=KEY) as api:
        yield api


@pytest.fixture
def telegram():
    with TelegramStandIn(token=TOKEN) as bot:
        yield bot


@pytest.fixture
def env(tmp_path, taostats, telegram):
    (tmp_path / "home").mkdir()
    env = clean_environment(tmp_path / "home")
    env.update(TAOSTATS_API_BASE=taostats.base_url, TAOSTATS_API_KEY=KEY,
               TELEGRAM_API_BASE=telegram.base_url, TELEGRAM_BOT_TOKEN=TOKEN,
               TELEGRAM_CHAT_ID=CHAT, EMBERSCOPE_STATE_FILE=str(tmp_path / "state.json"))
    return env


def run(*args: str, env: dict[str, str], command=COMMAND) -> subprocess.CompletedProcess:
    return subprocess.run([*command, *args], env=env, capture_output=True, text=True, timeout=60)


class Watch:
    """A running `emberscope watch` whose console lines are collected as they come."""

    def __init__(self, *args: str, env: dict[str, str], command=COMMAND) -> None:
        # A byte that is not UTF-8 (a path named so) must not end the reading of the lines.
        self.proc = subprocess.Popen([*command, "watch", *args], env=env, text=True,
                                     errors="backslashreplace",
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines: queue.Queue[str | None] = queue.Queue()
        self.seen: list[str] = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for line in self.proc.stderr:
            self.lines.put(unstamped(line))
        self.lines.put(None)  # end of the stream

    def wait_line(self, prefix: str, within: float = 90) -> str:
        # A deadline for the whole wait: a loop that keeps writing other lines must not keep
        # the test waiting forever.
        deadline = time.monotonic() + within
        while True:
            assert time.monotonic() < deadline, f"no line starting with {prefix!r} in time"
            line = self.lines.get(timeout=min(30, max(0.1, deadline - time.monotonic())))
            assert line is not None, f"no line starting with {prefix!r} in {self.seen}"
            self.seen.append(line)
            if line.startswith(prefix):
                return line

    def finish(self) -> tuple[int, list[str]]:
        code = self.proc.wait(timeout=30)
        self.proc.stdout.close()
        while (line := self.lines.get(timeout=30)) is not None:
            self.seen.append(line)
        return code, self.seen

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def watches():
    started: list[Watch] = []

    def start(*args, **kw) -> Watch:
        started.append(Watch(*args, **kw))
        return started[-1]

    yield start
    for w in started:
        w.kill()


def stored(env) -> dict[str, str]:
    with open(env["EMBERSCOPE_STATE_FILE"], encoding="utf-8") as f:
        return json.load(f)["owner_burn_rate"]


# One-shot commands


def test_snapshot_records_the_baseline_and_sends_the_list(env, taostats, telegram):
    done = run("snapshot", env=env)
    assert (done.returncode, done.stdout) == (0, "")
    assert unstamp_all(done.stderr) == LEFT_OUT + f"[burn] startup snapshot sent ({LISTED} subnets)\n"
    assert len(stored(env)) == LISTED
    [rec] = telegram.requests
    assert (rec.token, dict(rec.form)["chat_id"]) == (TOKEN, CHAT)
    assert rec.text.startswith("Subnet owner burn rates (startup)\n")
    assert taostats.requests[0].header("Authorization") == KEY


@pytest.mark.parametrize("telegram_answer, code, line", [
    (None, 0, "[burn] alert sent (1 subnet(s))\n"),
    # The engine keeps an undelivered alert in its outbox and says so.
    (Answer.telegram_error(403, "Forbidden: bot was blocked by the user"), 1,
     "[burn] telegram failed: HTTP 403 Forbidden: bot was blocked by the user\n"
     "[burn] outbox: 1 message(s) waiting for delivery, oldest queued <T>\n"),
])
def test_once_alerts_a_change_with_the_exit_status_of_the_cycle(env, taostats, telegram,
                                                                 telegram_answer, code, line):
    # First run: the baseline, no alert.
    assert unstamp_all(run("once", env=env).stderr) == LEFT_OUT + BASELINE
    taostats.set_burn(7, "0.9")
    if telegram_answer:
        telegram.script(telegram_answer)
    done = run("once", "--threshold", "0.05", env=env)
    stderr = re.sub(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", "<T>", unstamp_all(done.stderr))
    assert (done.returncode, stderr, done.stdout) == (code, LEFT_OUT + line, "")
    assert stored(env)["7"] == "0.9"
    assert "SN7: " in telegram.requests[-1].text


def test_once_below_the_threshold_sends_nothing(env, taostats, telegram):
    run("once", env=env)
    taostats.set_burn(7, 0.5)
    taostats.set_burn(8, 0.52)
    env["EMBERSCOPE_THRESHOLD"] = "100"
    done = run("once", env=env)
    assert (done.returncode, unstamp_all(done.stderr)) == (0, LEFT_OUT)
    assert telegram.requests == []


KEY_MISSING = ("the Taostats API key (TAOSTATS_API_KEY, or a file named by --taostats-key-file "
               "or TAOSTATS_API_KEY_FILE)")
TOKEN_MISSING = ("the Telegram bot token (TELEGRAM_BOT_TOKEN, or a file named by --token-file or "
                 "TELEGRAM_BOT_TOKEN_FILE)")
CHAT_MISSING = "the Telegram chat (--chat-id or TELEGRAM_CHAT_ID)"


@pytest.mark.parametrize("command", ["watch", "once", "snapshot"])
@pytest.mark.parametrize("unset, missing", [
    (["TAOSTATS_API_KEY"], [KEY_MISSING]),
    (["TELEGRAM_CHAT_ID"], [CHAT_MISSING]),
    (["TAOSTATS_API_KEY", "TELEGRAM_BOT_TOKEN", "TELEGRAM_CHAT_ID"],
     [KEY_MISSING, TOKEN_MISSING, CHAT_MISSING]),
], ids=["key", "chat", "all"])
def test_missing_secrets_stop_before_anything_runs(env, taostats, telegram, tmp_path, command,
                                                   unset, missing):
    for name in unset:
        del env[name]
    done = run(command, env=env)
    assert done.returncode == 2
    assert done.stderr.endswith(f"emberscope {command}: error: missing {'; '.join(missing)}\n")
    assert taostats.requests == [] and telegram.requests == []
    assert sorted(os.listdir(tmp_path)) == ["home"]


def test_once_skips_the_cycle_while_paused(env, taostats, tmp_path):
    (tmp_path / "pause").touch()
    done = run("once", env=env)
    assert (done.returncode, unstamp_all(done.stderr)) == (0, "[burn] monitoring paused\n")
    assert taostats.requests == []


def test_secrets_come_from_files(env, tmp_path, taostats, telegram):
    del env["TAOSTATS_API_KEY"], env["TELEGRAM_BOT_TOKEN"]
    (tmp_path / "key").write_text(f"  {KEY}\n")
    (tmp_path / "token").write_text(f"{TOKEN}\n")
    done = run("snapshot", "--taostats-key-file", str(tmp_path / "key"),
               "--token-file", str(tmp_path / "token"), env=env)
    assert done.returncode == 0, done.stderr
    assert taostats.requests[0].header("Authorization") == KEY
    assert telegram.requests[0].token == TOKEN


def test_status_prints_the_state_in_netuid_order(env):
    Path(env["EMBERSCOPE_STATE_FILE"]).write_text(json.dumps({
        "owner_burn_rate": {"10": "0.5", "2": "1", "0": "n/a"},
        "updated_at_utc": "2026-03-01T12:00:00Z"}))
    done = run("status", env=env)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        f"state file  {env['EMBERSCOPE_STATE_FILE']}\n"
        "updated     2026-03-01T12:00:00Z UTC\n"
        "subnets     3\n"
        "\n"
        "netuid  owner burn  stored text\n"
        "     0         n/a  n/a\n"
        "     2      1.0000  1\n"
        "    10      0.5000  0.5\n")


@pytest.mark.parametrize("content, message", [
    (None, "no state file at"),
    ("{not json", "cannot read the state file"),
    ('{"updated_at_utc": "x"}', 'no "owner_burn_rate" object'),
    ("[1, 2]", "the top level is not a JSON object"),
    (b"\xff\xfe{}", "not UTF-8"),
])
def test_status_without_a_usable_state_file(env, content, message):
    if isinstance(content, bytes):
        Path(env["EMBERSCOPE_STATE_FILE"]).write_bytes(content)
    elif content is not None:
        Path(env["EMBERSCOPE_STATE_FILE"]).write_text(content)
    done = run("status", env=env)
    assert (done.returncode, done.stdout) == (1, "")
    assert message in done.stderr


# Settings checked before anything runs


@pytest.mark.parametrize("command, args, extra_env, message", [
    ("watch", ["--threshold", "abc"], {}, "--threshold: 'abc' is not a number"),
    ("once", [], {"EMBERSCOPE_THRESHOLD": "0,05"}, "EMBERSCOPE_THRESHOLD: '0,05' is not a number"),
    ("watch", ["--threshold", "nan"], {}, "--threshold: 'nan' is not a finite number"),
    ("once", ["--threshold", "-0.1"], {}, "--threshold: '-0.1' is negative"),
    ("watch", ["--interval-minutes", "5m"], {}, "--interval-minutes: '5m' is not a number"),
    ("watch", [], {"EMBERSCOPE_INTERVAL_MINUTES": "0.5"},
     "EMBERSCOPE_INTERVAL_MINUTES: '0.5' is below the shortest interval, 1 minute"),
    ("snapshot", ["--state-file", "/nonexistent/emberscope/state.json"], {},
     "--state-file: the state directory '/nonexistent/emberscope' does not exist"),
    ("watch", [], {"EMBERSCOPE_STATE_FILE": "/nonexistent/state.json"},
     "EMBERSCOPE_STATE_FILE: the state directory '/nonexistent' does not exist"),
    ("once", ["--token-file", "/nonexistent/token"], {},
     "--token-file: cannot read the bot token file '/nonexistent/token'"),
    ("watch", [], {"TAOSTATS_API_KEY_FILE": os.devnull},
     f"TAOSTATS_API_KEY_FILE: cannot read the Taostats key file '{os.devnull}': a character "
     "device, not a regular file"),
])
def test_bad_settings_stop_before_anything_runs(env, taostats, telegram, command, args,
                                                extra_env, message):
    state = Path(env["EMBERSCOPE_STATE_FILE"])
    env.update(extra_env)
    done = run(command, *args, env=env)
    assert done.returncode == 2
    assert done.stderr.startswith(f"usage: emberscope {command} ")
    assert f"emberscope {command}: error: {message}" in done.stderr
    assert taostats.requests == [] and telegram.requests == []
    assert not state.exists()


def test_no_option_takes_a_secret_value(env):
    monitor = {"--state-file", "--threshold", "--interval-minutes", "--pause-file", "--chat-id",
               "--token-file", "--taostats-key-file", "--outbox-max-age-hours",
               "--wait-budget-seconds", "--config"}
    expected = {"watch": monitor | {"--snapshot", "--no-snapshot", "--verbose", "--no-bot",
                                    "--bot-allow-user", "--metrics-listen"},
                "once": monitor, "chats": {"--token-file"},
                "snapshot": monitor, "test-send": {"--chat-id", "--token-file"},
                "status": {"--state-file", "--json"},
                "history": {"--state-file", "--json", "--netuid", "--since"}, "demo": {"--serve"},
                "config": set(), "config check": {"--config", "--chat-id", "--threshold"}}
    for name, options in expected.items():
        done = run(*name.split(), "--help", env=env)
        usage = done.stdout.split("\n\n")[0]  # the usage lines name every option
        assert (done.returncode, set(re.findall(r"--[a-z-]+", usage))) == (0, options), name
    # Abbreviations are off: --token is not taken for --token-file.
    done = run("once", "--token", TOKEN, env=env)
    assert done.returncode == 2 and "unrecognized arguments: --token" in done.stderr


def test_help_through_the_installed_command(env):
    done = run("--help", env=env, command=[str(ENTRY_POINT)])
    assert done.returncode == 0
    for text in ("watch", "once", "snapshot", "status", "demo", "examples:",
                 "TAOSTATS_API_KEY", "TELEGRAM_BOT_TOKEN"):
        assert text in done.stdout
    watch = run("watch", "--help", env=env, command=[str(ENTRY_POINT)]).stdout
    for text in ("EMBERSCOPE_STATE_FILE", "EMBERSCOPE_THRESHOLD", "EMBERSCOPE_INTERVAL_MINUTES",
                 "EMBERSCOPE_PAUSE_FILE", "TELEGRAM_CHAT_ID", "TELEGRAM_BOT_TOKEN_FILE",
                 "TAOSTATS_API_KEY_FILE", "--no-snapshot", "examples:"):
        assert text in watch


# The watch loop


def test_watch_ends_at_the_pause_file(env, taostats, tmp_path, watches):
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert (code, lines[1:]) == (0, ["[burn] monitoring paused\n"])
    assert taostats.requests == []


def test_a_pause_file_named_in_bytes_that_are_not_utf8_ends_the_wait(env, taostats, watches,
                                                                     tmp_path):
    # Names from the environment come as bytes: the folder and the file here are not UTF-8.
    folder = tmp_path / os.fsdecode(b"state-\xe9")
    folder.mkdir()
    pause = folder / os.fsdecode(b"pause-\xff")
    env["EMBERSCOPE_PAUSE_FILE"] = str(pause)
    w = watches("--no-snapshot", "--no-bot", env=env)
    w.wait_line(STARTED)
    pause.touch()
    code, lines = w.finish()
    assert (code, lines[-1]) == (0, "[burn] monitoring paused\n")
    assert taostats.requests == []


def _pause_path(tmp_path: Path, kind: str) -> Path:
    """A pause path of the given kind in a folder of its own under tmp_path."""
    folder = tmp_path / "pausing"
    folder.mkdir()
    target = folder / "pause"
    if kind == "file":
        target.touch()
    elif kind == "directory":
        target.mkdir()
    elif kind == "fifo":
        os.mkfifo(target)
    elif kind in ("link to a file", "link to a directory", "dangling link"):
        pointed = folder / "pointed"
        if kind == "link to a file":
            pointed.touch()
        elif kind == "link to a directory":
            pointed.mkdir()
        target.symlink_to(pointed)
    elif kind == "below a file":
        target.touch()
        return target / "pause"
    return target


@pytest.mark.parametrize("kind, said", [
    ("file", "[burn] monitoring paused"),
    ("link to a file", "[burn] monitoring paused"),
    ("missing", None),
    ("dangling link", None),
    ("below a file", None),
    # What would block or swallow a write is refused before anything runs.
    ("directory", "is a directory, not a regular file; the command keeps only regular files there"),
    ("fifo", "is a FIFO, not a regular file; the command keeps only regular files there"),
    ("link to a directory",
     "is a directory, not a regular file; the command keeps only regular files there"),
])
def test_the_pause_file_rule(env, taostats, tmp_path, kind, said):
    env["EMBERSCOPE_PAUSE_FILE"] = str(_pause_path(tmp_path, kind))
    done = run("once", env=env)
    last = unstamped(done.stderr.splitlines()[-1])
    if said is None:  # not paused: the cycle ran
        assert done.returncode == 0 and len(taostats.requests) == 1, done.stderr
    elif said.startswith("["):
        assert (done.returncode, last, taostats.requests) == (0, said, [])
    else:
        assert (done.returncode, last, taostats.requests) == (
            2, f"emberscope once: error: {env['EMBERSCOPE_PAUSE_FILE']} {said}", [])


def test_watch_paused_at_start_sends_no_snapshot(env, taostats, tmp_path):
    (tmp_path / "pause").touch()
    done = run("watch", env=env)
    assert done.returncode == 0
    assert [unstamped(line) for line in done.stderr.splitlines()[1:]] == ["[burn] monitoring paused"]
    assert taostats.requests == []


def test_watch_sends_the_snapshot_then_alerts_from_the_loop(env, taostats, telegram, tmp_path,
                                                            watches):
    taostats.script(Answer.json(taostats.listing()))  # the snapshot sees the old values
    taostats.set_burn(3, 0.75)
    w = watches("--threshold", "0.1", env=env, command=FAST_COMMAND)
    w.wait_line("[burn] alert sent")
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert code == 0
    assert lines[1] == LEFT_OUT
    assert [line for line in lines[1:] if line != LEFT_OUT] == [
        f"[burn] startup snapshot sent ({LISTED} subnets)\n", "[burn] alert sent (1 subnet(s))\n",
        "[burn] monitoring paused\n"]
    assert "SN3: " in telegram.messages[1]


def test_watch_waits_on_after_a_signal_that_does_not_stop_it(env, taostats, tmp_path, watches):
    w = watches("--no-snapshot", "--no-bot", env=env)
    w.wait_line(STARTED)
    w.proc.send_signal(signal.SIGHUP)  # a reload, refused without a file
    w.wait_line("[burn] config not reloaded")
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert (code, lines[-1]) == (0, "[burn] monitoring paused\n")
    assert taostats.requests == []  # no cycle started early


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=lambda s: s.name)
def test_a_stop_signal_during_the_wait_stops_cleanly(env, telegram, watches, signum):
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    # The bot's long poll (50 s) is under way: the stop ends it rather than waiting it out.
    deadline = time.monotonic() + 30
    while "getUpdates" not in [m for m, _ in telegram.bot_calls]:
        assert time.monotonic() < deadline, telegram.bot_calls
        time.sleep(0.05)
    began = time.monotonic()
    w.proc.send_signal(signum)
    code, lines = w.finish()
    assert (code, lines[1:]) == (0, [f"[burn] stopped ({signum.name})\n"])
    assert time.monotonic() - began < 25


def test_sigterm_during_the_snapshot_request_writes_nothing(env, taostats, watches):
    taostats.script(Answer(hang=True))
    w = watches(env=env)
    assert taostats.wait_for_requests(1, timeout=30)
    w.proc.send_signal(signal.SIGTERM)
    code, lines = w.finish()
    assert (code, lines[1:]) == (0, ["[burn] stopped (SIGTERM)\n"])
    assert not Path(env["EMBERSCOPE_STATE_FILE"]).exists()


def test_sigterm_during_a_cycle_keeps_the_stored_state(env, taostats, watches):
    taostats.script(Answer.json(taostats.listing()), Answer(hang=True))
    taostats.set_burn(3, 0.75)
    w = watches(env=env, command=FAST_COMMAND)
    w.wait_line("[burn] startup snapshot sent")
    assert taostats.wait_for_requests(2, timeout=30)
    before = Path(env["EMBERSCOPE_STATE_FILE"]).read_bytes()
    w.proc.send_signal(signal.SIGTERM)
    code, lines = w.finish()
    assert (code, lines[-1]) == (0, "[burn] stopped (SIGTERM)\n")
    assert Path(env["EMBERSCOPE_STATE_FILE"]).read_bytes() == before
    assert sorted(os.listdir(Path(env["EMBERSCOPE_STATE_FILE"]).parent)) == [
        "home", "state.json", "state.lock", "state.status.json"]


def libraries_loaded(done: subprocess.CompletedProcess) -> set[str]:
    """The shared libraries the dynamic loader reported loading (LD_DEBUG=files)."""
    return set(re.findall(r"file=(\S+) \[0\];  (?:needed|dynamically loaded) by ", done.stderr))


@pytest.mark.parametrize("args", [["status"], ["status", "--json"], ["history"], ["--help"],
                                  ["watch", "--help"]])
def test_operator_commands_load_no_http_client(tmp_path, args):
    # `status` and `history` answer an operator at once: libcurl and the libraries it needs (TLS,
    # HTTP/2, IDN, ...) cost about a bare interpreter's start, and are not theirs to load.
    env = clean_environment(tmp_path)
    env.update(EMBERSCOPE_STATE_FILE=str(tmp_path / "state.json"), LD_DEBUG="files")
    (tmp_path / "state.json").write_text('{"owner_burn_rate": {"1": "0.5"}, "updated_at_utc": '
                                         '"2026-12-08T00:00:00Z"}')
    done = subprocess.run([str(ENTRY_POINT), *args], env=env, capture_output=True, text=True,
                          timeout=60)
    loaded = libraries_loaded(done)
    assert "libstdc++.so.6" in loaded  # the loader's report was read
    assert not {name for name in loaded if name.startswith(("libcurl", "libssl", "libpython"))}
    if args[0] == "status" and len(args) == 1:
        assert "0.5000" in done.stdout


def test_watch_without_the_bot_loads_no_http_client_before_it_needs_one(env, tmp_path):
    # A `watch` paused from the start never exchanges anything: libcurl stays out of the process.
    (tmp_path / "pause").touch()  # READY, then paused: the wait is not what this is about
    env["LD_DEBUG"] = "files"
    done = subprocess.run([str(ENTRY_POINT), "watch", "--no-bot"], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0
    loaded = libraries_loaded(done)
    assert "libstdc++.so.6" in loaded and not [n for n in loaded if n.startswith("libcurl")]


@pytest.mark.parametrize("name", ["TAOSTATS_API_BASE", "TELEGRAM_API_BASE"])
@pytest.mark.parametrize("value", ["", "/", "api.telegram.org", "ftp://127.0.0.1"])
def test_an_api_base_that_is_no_http_address_is_refused_before_anything_runs(env, taostats,
                                                                               telegram, tmp_path,
                                                                               name, value):
    env[name] = value
    done = run("once", env=env)
    assert done.returncode == 2
    assert unstamped(done.stderr).splitlines()[-1].endswith(
        f"{name}: {value!r} is not an http:// or https:// address (unset it for the public "
        "service)")
    assert taostats.requests == [] and telegram.requests == []
    assert sorted(os.listdir(tmp_path)) == ["home"]
