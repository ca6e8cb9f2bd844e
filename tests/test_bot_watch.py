"""The bot of `emberscope watch`, end to end against the Telegram stand-in: commands asked in
the chat, answered between cycles; who is answered; the offset across a restart; conflicts."""

from __future__ import annotations

import io
import json
import re
import signal
import time
from pathlib import Path
from urllib.parse import quote

import pytest
from PIL import Image

from bittensor_emberscope.testing import Answer, TelegramStandIn
from bittensor_emberscope.testing.telegram import CONFLICT_POLLER, CONFLICT_WEBHOOK

from records import history_entries
from test_cli import (CHAT, FAST_COMMAND, LEFT_OUT, STARTED, TOKEN, UNREAD, run, unstamp_all,
                      env, taostats, telegram, watches)  # noqa: F401 (fixtures)


def wait_until(check, timeout: float = 30.0, what: str = "the condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def answers_in(telegram, count: int) -> list[str]:
    return wait_until(lambda: (m := telegram.messages) and len(m) >= count and m,
                      what=f"{count} answer(s)")


def baseline(env, taostats) -> None:
    """A state and a history, as a few cycles leave them."""
    assert run("once", env=env).returncode == 0
    taostats.set_burn(3, "0.75")
    assert run("once", env=env).returncode == 0


def test_commands_are_answered_from_the_files_while_watch_waits(env, taostats, telegram, watches):
    baseline(env, taostats)
    sent_before = len(telegram.messages)  # the alert of the baseline's second cycle
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    telegram.push_message("/burn 3")
    [answer] = answers_in(telegram, sent_before + 1)[sent_before:]
    stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"
    assert re.fullmatch(
        f"SN3 owner burn: 0.7500\nchanged ({stamp}) \\(\\d+ s ago\\)\nlast 1 change\\(s\\):\n"
        f"\\1  \\d\\.\\d{{4}} → 0.7500\nvalues as of \\1", answer), answer
    form = dict(telegram.requests[-1].form)
    assert form["chat_id"] == CHAT
    assert "parse_mode" not in form  # plain text
    # The menu was registered once, from the module's table.
    assert [c["command"] for c in telegram.commands] == [
        "burn", "chart", "changes", "status", "mute", "unmute", "help"]
    polls = [f for m, f in telegram.bot_calls if m == "getUpdates"]
    assert polls[0]["allowed_updates"] == '["message"]'
    assert int(polls[0]["timeout"]) > 1  # a long poll
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0


@pytest.mark.parametrize("message, answered", [
    ({"text": "/help"}, True),
    ({"text": "/help@emberscope_bot"}, True),
    ({"text": "/help@other_bot"}, False),                        # another bot's command
    ({"text": "/help", "chat_id": -100999, "user_id": 5}, False),  # a stranger's group
    ({"text": "/help", "chat_id": 77, "user_id": 77, "chat_type": "private"}, False),
    ({"text": "/help", "chat_id": 42, "user_id": 42, "chat_type": "private"}, True),  # listed
    ({"text": "/help", "chat_id": -100999, "user_id": 42}, True),  # a listed user elsewhere
    ({"text": "what is SN3 burning?"}, False),                   # not a command
])
def test_only_allowed_chats_and_users_are_answered(env, telegram, watches, message, answered):
    text = message.pop("text")
    w = watches("--no-snapshot", "--bot-allow-user", "42", env=env)
    w.wait_line(STARTED)
    telegram.push_message(text, **message)
    # A marker from the configured chat, answered after the message under test.
    telegram.push_message("/burn 1")
    # Updates are confirmed by the poll after the one that read them, once they are answered.
    wait_until(lambda: telegram.pending_updates == 0, what="the updates to be read")
    messages = telegram.messages
    helped = [m for m in messages if m.startswith("I answer, from what the monitor stored")]
    assert len(helped) == (1 if answered else 0), messages
    w.proc.send_signal(signal.SIGTERM)
    w.finish()


def test_bad_input_gets_a_one_line_usage_and_every_command_of_a_burst_is_answered(env, telegram,
                                                                                  watches):
    # All three arrive in one batch: each is answered once, the chat's two a second apart
    # (a burst used to lose every command after the first of a chat's second).
    telegram.push_message("/chart twelve")
    telegram.push_message("/burn 3")
    telegram.push_message("/burn 4", chat_id=42, user_id=42, chat_type="private")
    w = watches("--no-snapshot", "--bot-allow-user", "42", env=env)
    w.wait_line(STARTED)
    wait_until(lambda: len(telegram.messages) >= 3, what="three answers")
    usage = "usage: /chart N [days]  (a chart of SN N's owner burn (default 30 days))"
    nothing = "No values stored yet: the monitor's first cycle records them."
    assert sorted(telegram.messages) == sorted([usage, nothing, nothing])
    in_chat = [dict(r.form)["text"] for r in telegram.requests
               if r.api_method == "sendMessage" and dict(r.form)["chat_id"] == CHAT]
    assert in_chat == [usage, nothing]
    w.proc.send_signal(signal.SIGTERM)
    w.finish()


def test_chart_is_sent_as_a_png_photo_with_the_last_value(env, taostats, telegram, watches):
    baseline(env, taostats)
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    telegram.push_message("/chart 3 7", thread_id=5)
    [photo] = wait_until(lambda: telegram.photos, timeout=60, what="the chart")
    assert photo["chat_id"] == CHAT
    assert photo["filename"] == "sn3.png"
    assert photo["caption"].startswith("SN3 owner burn, last 7 days: now 0.7500 (since 20")
    image = Image.open(io.BytesIO(photo["data"]))
    image.load()
    assert image.format == "PNG" and image.size == (800, 400)
    [rec] = [r for r in telegram.requests if r.api_method == "sendPhoto"]
    assert rec.header("Content-Type").startswith("multipart/form-data; boundary=")
    assert dict(rec.form)["message_thread_id"] == "5"  # answered in the topic it was asked in
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0


def test_a_muted_subnet_is_left_out_of_alerts_and_shown_in_status(env, taostats, telegram,
                                                                  watches, tmp_path):
    assert run("once", env=env).returncode == 0
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    telegram.push_message("/mute 3 2h")
    [mute_answer] = answers_in(telegram, 1)
    assert mute_answer.startswith("SN3 muted until 20")
    running = run("status", env=env).stdout
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0
    assert "\nbot         answering as @emberscope_bot\n" in running
    assert "\nmuted       SN3 until 20" in running
    # The next cycle leaves SN3 out of its alert, but records its change.
    taostats.set_burn(3, "0.75")
    taostats.set_burn(5, "0.25")
    done = run("once", env=env)
    assert (done.returncode, unstamp_all(done.stderr)) == (0, LEFT_OUT + "[burn] alert sent (1 subnet(s))\n")
    alert = telegram.messages[-1]
    assert "SN5: " in alert and "SN3" not in alert
    assert {e["netuid"] for e in history_entries(env["EMBERSCOPE_STATE_FILE"])} == {"3", "5"}
    status = run("status", env=env).stdout
    assert "\nmuted       SN3 until 20" in status
    assert "\nbot " not in status  # a stopped watch answers nothing


def test_a_restart_asks_from_the_saved_offset_and_answers_nothing_twice(env, telegram, watches,
                                                                       tmp_path):
    first = telegram.push_message("/help")
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    answers_in(telegram, 1)
    offset_file = tmp_path / "state.bot-offset.json"
    # The answer goes out before the offset that confirms it is saved: wait for the save.
    wait_until(lambda: offset_file.exists()
               and offset_file.read_bytes() == f'{{"offset": {first + 1}}}\n'.encode(),
               what="the offset past the answered command")
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0
    # An update the first process answered but Telegram was never told about (the process ended
    # before its next poll): the saved offset confirms it, so it is not answered again.
    telegram.push_update({"update_id": first, "message": {
        "message_id": 2, "date": int(time.time()), "chat": {"id": int(CHAT), "type": "supergroup"},
        "from": {"id": 42, "is_bot": False, "first_name": "x"}, "text": "/help"}})
    second = telegram.push_message("/status")
    calls_before = len(telegram.bot_calls)
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    messages = answers_in(telegram, 2)
    polls = [f for m, f in telegram.bot_calls[calls_before:] if m == "getUpdates"]
    wait_until(lambda: offset_file.read_bytes() == f'{{"offset": {second + 1}}}\n'.encode(),
               what="the new offset")
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0
    time.sleep(0.5)
    assert len(telegram.messages) == 2
    assert messages[1].startswith("watch: running")
    assert polls[0]["offset"] == str(first + 1)


@pytest.mark.parametrize("conflict", [CONFLICT_POLLER, CONFLICT_WEBHOOK])
def test_a_second_poller_is_reported_once_and_alerts_continue(env, taostats, telegram, watches,
                                                             tmp_path, conflict):
    telegram.conflict = conflict
    taostats.script(Answer.json(taostats.listing()))  # the snapshot sees the old values
    taostats.set_burn(3, 0.75)
    w = watches("--interval-minutes", "1", env=env, command=FAST_COMMAND)
    line = (f"[bot] not answering commands: telegram: HTTP 409 {conflict} (another program reads "
            "this bot's updates, or a webhook is set); alerts continue; asking again every 60 s\n")
    # Both lines, in whichever order the poller and the first cycle write them.
    w.wait_line("[burn] alert sent (1 subnet(s))")
    if line not in w.seen:
        assert w.wait_line("[bot] ") == line
    wait_until(lambda: "bot" in json.loads((tmp_path / "state.status.json").read_text()),
               what="the bot's note in the status file")
    status = json.loads((tmp_path / "state.status.json").read_text())
    assert status["bot"].startswith(f"not answering: telegram: HTTP 409 {conflict} (since 20")
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert code == 0
    assert [x for x in lines if x.startswith("[bot]")] == [line]


def test_no_bot_leaves_telegram_updates_alone(env, telegram, watches):
    telegram.push_message("/help")
    w = watches("--no-snapshot", "--no-bot", env=env)
    w.wait_line(STARTED)
    time.sleep(1.5)
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0
    assert telegram.bot_calls == [] and telegram.messages == []


@pytest.mark.parametrize("args, environ, message", [
    (["--bot-allow-user", "alice"], {}, "--bot-allow-user: not a user id: 'alice'"),
    ([], {"EMBERSCOPE_BOT_ALLOW_USERS": "42,4x2"},
     "EMBERSCOPE_BOT_ALLOW_USERS: not a user id: '4x2'"),
])
def test_a_bad_allowed_user_is_refused_before_anything_runs(env, telegram, args, environ, message):
    env.update(environ)
    done = run("watch", *args, env=env)
    assert done.returncode == 2
    assert done.stderr.endswith(f"emberscope watch: error: {message}\n")
    assert telegram.bot_calls == []


# The bot's failures: said once, never in the way of alerts


def bot_lines(lines: list[str]) -> list[str]:
    return [line for line in lines if line.startswith("[bot] ")]


@pytest.mark.parametrize("standin_kw, line", [
    ({"updates": False},
     "[bot] not answering commands: telegram: HTTP 404 Not Found (check TELEGRAM_BOT_TOKEN); "
     "alerts continue; asking again later\n"),
    ({"token": "other:token"},
     "[bot] not answering commands: telegram: HTTP 401 Unauthorized (check TELEGRAM_BOT_TOKEN); "
     "alerts continue; asking again later\n"),
])
def test_a_bot_api_without_updates_is_said_once_not_per_poll(env, watches, tmp_path, standin_kw,
                                                             line):
    with TelegramStandIn(**standin_kw) as tg:
        env["TELEGRAM_API_BASE"] = tg.base_url
        w = watches("--no-snapshot", env=env, command=FAST_COMMAND)
        # The poller backs off 5 s, then 10 s: the third attempt is the second one refused.
        wait_until(lambda: len(tg.bot_calls) >= 3, timeout=60, what="three attempts")
        (tmp_path / "pause").touch()
        code, lines = w.finish()
    assert code == 0 and bot_lines(lines) == [line], lines
    assert TOKEN not in "".join(lines)


@pytest.mark.parametrize("chat, answer, said", [
    ("-2001", Answer.telegram_error(403, "Forbidden: bot was blocked by the user"),
     ["telegram: HTTP 403 Forbidden: bot was blocked by the user"]),
    ("-2002", Answer.html(502),
     ["telegram: HTTP 502 Bad Gateway: <html> <head><title>502 Bad Gateway</title></head> <body> "
      "<center><h1>502 Bad Gateway</h1></center> <hr><center>nginx</center> </body> </html>"]),
    # A server that echoes the path, the token percent-encoded as the URL carries it.
    ("-2003", Answer.telegram_error(404, f"Not Found: POST /bot{quote(TOKEN)}/sendMessage"),
     ["telegram: HTTP 404 Not Found: POST /bot<token>/sendMessage (check TELEGRAM_BOT_TOKEN)"]),
    # Flood control: the answer waits for Telegram's word, in the body or in a header alone.
    ("-2004", Answer.flood(retry_after=1), []),
    ("-2005", Answer.flood(retry_after=1, in_body=False), []),
], ids=["refused", "proxy page", "token echoed", "flood", "flood by header"])
def test_what_the_operator_sees_of_an_answer_telegram_does_not_take(env, telegram, watches,
                                                                    tmp_path, chat, answer, said):
    env["TELEGRAM_CHAT_ID"] = chat
    telegram.script(answer)
    telegram.push_message("/help", chat_id=int(chat))
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)
    sends = []  # when each sendMessage was first seen
    deadline = time.monotonic() + 20  # a flood answer held for 30 s is a fault
    while len(sends) < (1 if said else 2) and time.monotonic() < deadline:
        count = len([r for r in telegram.requests if r.api_method == "sendMessage"])
        sends += [time.monotonic()] * (count - len(sends))
        time.sleep(0.02)
    if said:
        w.wait_line("[bot] the answer to chat ")
    (tmp_path / "pause").touch()
    code, lines = w.finish()
    assert code == 0
    assert bot_lines(lines) == [f"[bot] the answer to chat {chat} was not delivered: {x}\n"
                                for x in said]
    if said:
        assert (len(sends), telegram.messages) == (1, [])
    else:
        assert len(sends) == 2 and telegram.messages[0].startswith("I answer")
        assert sends[1] - sends[0] >= 0.9  # not repeated before Telegram's retry_after
    assert TOKEN not in "".join(lines) and quote(TOKEN) not in "".join(lines)


# `emberscope chats`


def test_chats_lists_the_chats_of_recent_updates(env, telegram):
    telegram.push_message("/start", chat_id=-1001234567890, chat_username="ember_ops")
    telegram.push_message("hello", chat_id=42, user_id=42, chat_type="private")
    telegram.push_message("/help", chat_id=-1001234567890)
    done = run("chats", env=env)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "            id  type        title\n"
        "-1001234567890  supergroup  chat -1001234567890 @ember_ops\n"
        "            42  private     Operator\n")
    assert telegram.pending_updates == 3  # nothing was marked read


@pytest.mark.parametrize("conflict", [CONFLICT_WEBHOOK])
def test_chats_fails_with_telegrams_reason(env, telegram, conflict):
    telegram.conflict = conflict
    done = run("chats", env=env)
    assert (done.returncode, done.stdout) == (1, "")
    assert unstamp_all(done.stderr) == (f"emberscope: getUpdates failed: telegram: HTTP 409 "
                                        f"{conflict}\n")


def test_chats_with_no_updates_says_what_to_do(env):
    done = run("chats", env=env)
    assert done.returncode == 0
    assert done.stdout.startswith("no chats in the bot's recent updates: send the bot a message")


def test_the_bot_answers_every_routes_chat_and_follows_a_reload(env, telegram, watches, tmp_path):
    config = tmp_path / "emberscope.toml"
    config.write_text('[[route]]\nchat_id = "-100777"\n[[route]]\nchat_id = "-100888"\n')
    env["EMBERSCOPE_CONFIG"] = str(config)
    del env["TELEGRAM_CHAT_ID"]
    w = watches("--no-snapshot", env=env)
    w.wait_line(STARTED)

    def helped_in(chat: int) -> bool:
        telegram.clear()
        telegram.push_message("/help", chat_id=chat)
        wait_until(lambda: telegram.pending_updates == 0, what="the update to be read")
        return any(dict(r.form).get("chat_id") == str(chat) and r.api_method == "sendMessage"
                   for r in telegram.requests)

    assert [helped_in(-100777), helped_in(-100888), helped_in(-100999)] == [True, True, False]
    config.write_text('[[route]]\nchat_id = "-100999"\n')
    w.proc.send_signal(signal.SIGHUP)
    w.wait_line("[burn] config reloaded")
    assert [helped_in(-100999), helped_in(-100777)] == [True, False]
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0


def test_pausing_while_the_bot_sets_its_menu_says_nothing(env, watches, tmp_path):
    # `watch` paused right after it started: ending the bot cancels its setMyCommands, which was
    # reported as "[bot] the command menu was not set: ... cancelled".
    me = Answer.json({"ok": True, "result": {"id": 1, "is_bot": True, "username": "emberscope_bot"}})
    with TelegramStandIn(token=TOKEN) as tg:
        env["TELEGRAM_API_BASE"] = tg.base_url
        tg.script_aside(me, Answer(hang=True))
        w = watches("--no-snapshot", env=env)
        wait_until(lambda: [m for m, _ in tg.bot_calls] == ["getMe", "setMyCommands"],
                   what="the menu call under way")
        (tmp_path / "pause").touch()
        code, lines = w.finish()
    assert code == 0 and bot_lines(lines) == [], lines


def test_a_bot_line_during_a_cycle_leaves_the_cycles_own_line(env, taostats, telegram, watches):
    # Every row valued: a quiet cycle says nothing but its own line.
    for netuid in UNREAD:
        taostats.set_burn(netuid, "0.1")
    assert run("once", env=env).returncode == 0  # the baseline
    # The first cycle's listing comes slowly, and the bot introduces itself meanwhile.
    body = json.dumps(taostats.listing("limit=1024&order=netuid_asc&page=1")).encode()
    taostats.script(Answer(200, body=body, headers=[("Content-Type", "application/json")],
                           delay=3))
    telegram.script_aside(Answer.json({"ok": True, "result": {
        "id": 1, "is_bot": True, "first_name": "emberscope", "username": "emberscope_bot"}},
        delay=1))
    w = watches("--verbose", env=env)  # values stored: a cycle at once
    w.wait_line(STARTED)
    # The cycle began at the start and waits 3 s for its listing; the bot speaks after 1 s.
    w.wait_line("[bot] answering commands as @")
    line = w.wait_line("[burn] ")
    assert re.fullmatch(r"\[burn\] .*, next at \d\d:\d\d UTC\n", line), line
    w.proc.send_signal(signal.SIGTERM)
    assert w.finish()[0] == 0
