"""A Telegram chat, a Discord webhook and a signed webhook told the same change by the
`emberscope` program, each in its own form, under the faults each service really answers with:
nothing lost, nothing sent twice beyond the one repeat a fault costs."""

from __future__ import annotations

import json
import re

import pytest

from bittensor_emberscope.testing import Answer
from bittensor_emberscope.testing.discord import DiscordStandIn, WebhookReceiver

from test_cli import LEFT_OUT, run, unstamp_all, env, taostats, telegram  # noqa: F401 (fixtures)

HOOK_ID, HOOK_TOKEN = "1180000000000000042", "discord-secret-token-42"
SIGNING_KEY = "signing-key-of-the-operator"
ALERT = "Owner burn rate changed\n"


@pytest.fixture
def discord():
    with DiscordStandIn() as api:
        yield api


@pytest.fixture
def receiver():
    with WebhookReceiver(key=SIGNING_KEY) as hook:
        yield hook


@pytest.fixture
def routed(env, discord, receiver, tmp_path):
    """The environment with a configuration of three routes, one of each kind."""
    (tmp_path / "discord-url").write_text(discord.add_hook(HOOK_ID, HOOK_TOKEN) + "\n")
    (tmp_path / "hook-url").write_text(receiver.url + "\n")
    (tmp_path / "hook-key").write_text(SIGNING_KEY + "\n")
    (tmp_path / "emberscope.toml").write_text(f"""threshold = 0.05
[[route]]
chat_id = "{env['TELEGRAM_CHAT_ID']}"

[[route]]
discord_webhook_file = "{tmp_path / 'discord-url'}"

[[route]]
webhook_url_file = "{tmp_path / 'hook-url'}"
webhook_secret_file = "{tmp_path / 'hook-key'}"
""")
    env["EMBERSCOPE_CONFIG"] = str(tmp_path / "emberscope.toml")
    return env


def lines_of(done) -> list[str]:
    text = re.sub(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", "<T>", unstamp_all(done.stderr))
    return [line for line in text.splitlines(keepends=True) if line not in LEFT_OUT]


def posts(standin) -> list:
    return [r for r in standin.requests if r.method == "POST"]


def test_one_change_reaches_each_destination_in_its_own_form(routed, taostats, telegram, discord,
                                                             receiver, tmp_path):
    assert run("once", env=routed).returncode == 0  # the baseline
    taostats.set_burn(7, "0.9")
    done = run("once", env=routed)
    assert (done.returncode, lines_of(done)) == (0, ["[burn] alert sent (1 subnet(s))\n"] * 3)

    [text] = telegram.messages
    assert text.startswith(ALERT) and "\nSN7: " in text
    [post] = discord.posted
    assert post["query"] == {"wait": "true"}
    assert post["body"] == {"content": text, "allowed_mentions": {"parse": []}}
    [body] = receiver.bodies
    old = body["changes"][0]["old"]
    assert body == {"version": 1, "kind": "alert", "time_utc": body["time_utc"],
                    "title": "Owner burn rate changed", "text": text,
                    "changes": [{"netuid": 7, "old": old, "new": "0.9"}],
                    "route": f"webhook:{tmp_path / 'hook-url'}"}
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", body["time_utc"])
    # The receiver checked the signature against the exact bytes sent.
    [sent] = posts(receiver)
    assert sent.header("X-Emberscope-Signature") == receiver.signature_of(sent.body)


def test_each_fault_costs_one_repeat_and_nothing_is_lost(routed, taostats, telegram, discord,
                                                         receiver):
    assert run("once", env=routed).returncode == 0
    taostats.set_burn(7, "0.9")
    telegram.script(Answer.html(502))
    discord.script(DiscordStandIn.rate_limited(retry_after=0.25))
    receiver.script(Answer.text("busy", status=503))
    done = run("once", env=routed)
    assert (done.returncode, lines_of(done)) == (0, ["[burn] alert sent (1 subnet(s))\n"] * 3)
    assert (len(posts(telegram)), len(posts(discord)), len(posts(receiver))) == (2, 2, 2)
    assert (len(telegram.messages), len(discord.posted), len(receiver.bodies)) == (1, 1, 1)
    # A further run has nothing left to send.
    assert run("once", env=routed).returncode == 0
    assert (len(posts(telegram)), len(posts(discord)), len(posts(receiver))) == (2, 2, 2)


def test_a_deleted_discord_hook_keeps_its_queue_until_a_new_one_is_configured(
        routed, taostats, telegram, discord, receiver, tmp_path):
    assert run("once", env=routed).returncode == 0
    discord.delete_hook(HOOK_ID)
    taostats.set_burn(7, "0.9")
    done = run("once", env=routed)
    assert done.returncode == 1
    assert lines_of(done) == [
        "[burn] alert sent (1 subnet(s))\n",
        "[burn] discord failed: HTTP 404 Not Found: Unknown Webhook (code 10015) (the webhook was "
        "deleted or its address is wrong)\n",
        "[burn] alert sent (1 subnet(s))\n",
        "[burn] outbox: 1 message(s) waiting for delivery, oldest queued <T>\n"]
    assert HOOK_TOKEN not in done.stderr + done.stdout
    status = json.loads((tmp_path / "state.status.json").read_text())
    discord_route = status["routes"][1]
    assert (discord_route["chat_id"], discord_route["telegram_failure"], discord_route["queued"]) == (
        f"discord:{tmp_path / 'discord-url'}", "gone", 1)
    assert HOOK_TOKEN not in json.dumps(status)
    for name in ("state.outbox.json", "state.status.json"):
        assert HOOK_TOKEN not in (tmp_path / name).read_text()

    # The operator makes a new hook and writes its address into the file.
    (tmp_path / "discord-url").write_text(discord.add_hook("1180000000000000043", "new-token-43"))
    done = run("once", env=routed)
    assert (done.returncode, lines_of(done)) == (0, ["[burn] alert sent (1 subnet(s))\n"])
    assert [p["body"]["content"] for p in discord.posted] == telegram.messages
    assert (len(telegram.messages), len(receiver.bodies)) == (1, 1)


def test_test_send_posts_to_every_route_and_prints_each_answer(routed, telegram, discord, receiver,
                                                               tmp_path):
    done = run("test-send", env=routed)
    assert (done.returncode, done.stdout) == (0, (
        f"telegram: ok (test message sent to chat {routed['TELEGRAM_CHAT_ID']})\n"
        f"discord: ok (test message sent to discord:{tmp_path / 'discord-url'})\n"
        f"webhook: ok (test message sent to webhook:{tmp_path / 'hook-url'})\n"))
    [body] = receiver.bodies
    assert (body["kind"], body["changes"]) == ("test", [])
    assert discord.posted[0]["body"]["content"] == telegram.messages[0] == body["text"]

    discord.delete_hook(HOOK_ID)
    receiver.key = "another key"
    done = run("test-send", env=routed)
    assert (done.returncode, done.stdout) == (1, (
        f"telegram: ok (test message sent to chat {routed['TELEGRAM_CHAT_ID']})\n"
        "discord: HTTP 404 Not Found: Unknown Webhook (code 10015) (the webhook was deleted or its "
        "address is wrong)\n"
        "webhook: HTTP 401 Unauthorized: bad signature\n"))
