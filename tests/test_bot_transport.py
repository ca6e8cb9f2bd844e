"""The bot's exchanges with the Bot API: the monitor's own client, one handle a thread."""

from __future__ import annotations

import os
import socket
import threading
import time
from urllib.parse import quote

import pytest

from bittensor_emberscope import bot
from bittensor_emberscope.testing import Answer, TelegramStandIn

TOKEN = "123456:bot-token-that-must-never-show"
CHAT = "-1001"
# Far beyond what any exchange here should take: one that reaches it was held up.
LONG = 30.0


def test_a_photo_reaches_telegram_byte_for_byte():
    data = bytes(range(256)) * 64 + b"\r\n--emberscope-\r\n"
    with TelegramStandIn(token=TOKEN) as tg:
        api = bot.TelegramApi(TOKEN, tg.base_url)
        api.call("sendPhoto", {"chat_id": CHAT, "caption": "SN12 \u2014 7 days"},
                 files={"photo": ("sn12.png", "image/png", data)})
        [photo] = tg.photos
    assert photo["data"] == data
    assert (photo["chat_id"], photo["caption"], photo["filename"]) == (CHAT, "SN12 \u2014 7 days",
                                                                         "sn12.png")


def test_a_long_poll_does_not_hold_back_an_answer_from_another_thread():
    with TelegramStandIn(token=TOKEN) as tg:
        api = bot.TelegramApi(TOKEN, tg.base_url)
        api.call("getMe")
        poll = threading.Thread(target=api.call, args=("getUpdates", {"timeout": "5"}),
                                kwargs={"timeout": 30.0}, daemon=True)
        poll.start()
        time.sleep(0.3)  # the poll is in Telegram's hands
        api.call("sendMessage", {"chat_id": CHAT, "text": "pong"})
        # Sent while the poll still waits: the two threads do not share a connection.
        assert poll.is_alive()
        assert tg.messages == ["pong"]
        poll.join(LONG)


def test_a_byte_on_the_cancel_pipe_ends_an_exchange_under_way():
    with socket.create_server(("127.0.0.1", 0)) as server:
        held: list[socket.socket] = []
        threading.Thread(target=lambda: held.append(server.accept()[0]), daemon=True).start()
        cancel = os.pipe()
        api = bot.TelegramApi(TOKEN, f"http://127.0.0.1:{server.getsockname()[1]}", cancel[0])
        failures: list[bot.ApiError] = []

        def poll() -> None:
            try:
                api.call("getUpdates", {"timeout": "25"}, timeout=60.0)
            except bot.ApiError as e:
                failures.append(e)

        began = time.monotonic()
        thread = threading.Thread(target=poll, daemon=True)
        thread.start()
        time.sleep(0.3)
        os.write(cancel[1], b"x")
        thread.join(LONG)
        assert not thread.is_alive() and time.monotonic() - began < LONG
        [failure] = failures
        assert failure.status == 0 and "cancelled" in str(failure)
        for fd in cancel:
            os.close(fd)
        for s in held:
            s.close()


@pytest.mark.parametrize("base", ["http://127.0.0.1:9", "http://[::1", "ftp://127.0.0.1:9"],
                         ids=["refused", "not an address", "another scheme"])
def test_no_answer_is_said_without_the_token(base):
    api = bot.TelegramApi(TOKEN, base)
    with pytest.raises(bot.ApiError) as raised:
        api.call("getMe", timeout=10.0)
    assert raised.value.status == 0
    assert str(raised.value).startswith("telegram: ")
    assert TOKEN not in str(raised.value) and "bot-token" not in str(raised.value)


# What the operator sees of an answer Telegram does not take: the engine's words, one line

class Lines(list):
    def __call__(self, line: str) -> None:
        self.append(line)


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
def test_what_the_operator_sees_of_an_answer_telegram_does_not_take(tmp_path, chat, answer, said):
    # A chat of its own for each case: the process's per-chat cooldown ignores a second command
    # within a second.
    with TelegramStandIn(token=TOKEN) as tg:
        tg.script(answer)
        tg.push_message("/help", chat_id=int(chat))
        lines = Lines()
        b = bot.Bot(token=TOKEN, chats=[chat], users=[], state_path=str(tmp_path / "state.json"),
                    say=lines, base=tg.base_url, poll_seconds=1)
        b.start()
        try:
            deadline = time.monotonic() + 20  # a flood answer held for 30 s is a fault
            seen: list[float] = []  # when each sendMessage was first seen
            while not lines and not tg.messages and time.monotonic() < deadline:
                b.serve()
                sends = [r for r in tg.requests if r.api_method == "sendMessage"]
                seen += [time.monotonic()] * (len(sends) - len(seen))
                time.sleep(0.05)
        finally:
            b.close()
    assert lines == [f"[bot] the answer to chat {chat} was not delivered: {x}" for x in said]
    if said:
        assert (len(seen), tg.messages) == (1, [])
    else:
        assert len(seen) == 2 and tg.messages[0].startswith("I answer")
        assert seen[1] - seen[0] >= 0.9  # not repeated before Telegram's retry_after
    assert TOKEN not in "".join(lines) and quote(TOKEN) not in "".join(lines)
