"""The bot's exchanges with the Bot API: the monitor's own client, one handle a thread."""

from __future__ import annotations

import os
import socket
import threading
import time

import pytest

from bittensor_emberscope import bot
from bittensor_emberscope.testing import TelegramStandIn

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
    assert str(raised.value).startswith("no answer from Telegram: ")
    assert TOKEN not in str(raised.value) and "bot-token" not in str(raised.value)
