"""Secrets never leave the module: the bot token and the Taostats key are masked in every
text it returns, raises or prints, however that text spells them."""

from __future__ import annotations

import json
import re
import subprocess
import urllib.parse

import pytest

from bittensor_emberscope.testing import Answer

TOKEN = "123456789:AAH-SECRET"
KEY = "tao-KEY-0123456789"
CHAT = "-1001"
CONTROLS = [chr(c) for c in range(0x20)] + ["\x7f"]
NON_ASCII = ["é", "\x85", "\u2028", "€", "\U0001f511"]


def lower_hex(quoted: str) -> str:
    return re.sub("%[0-9A-F]{2}", lambda m: m.group().lower(), quoted)


def leaks(secret: str, *texts: object) -> bool:
    """True when `secret` shows in any of the texts in any spelling we know of."""
    spellings = {secret, repr(secret)[1:-1], repr(secret.encode("utf-8", "surrogatepass"))[2:-1],
                 json.dumps(secret)[1:-1], json.dumps(secret, ensure_ascii=False)[1:-1],
                 urllib.parse.quote(secret, safe=""), lower_hex(urllib.parse.quote(secret, safe="")),
                 urllib.parse.quote(secret), secret.replace(":", "%3A"), secret.replace(":", "%3a")}
    return any(s in str(t) for t in texts for s in spellings)


def exception_texts(e: BaseException) -> list[object]:
    out = [str(e), repr(e), repr(e.args)]
    if isinstance(e, UnicodeError):
        out.append(repr(e.object))
    return out


@pytest.mark.parametrize("inner", CONTROLS + NON_ASCII, ids=lambda c: f"U+{ord(c):04X}")
@pytest.mark.parametrize("op", ["send_burn_telegram", "send_burn_telegram_messages"])
def test_token_with_an_odd_character_is_masked_in_the_raised_error(es, telegram, op, inner):
    token = f"{TOKEN}{inner}secondline"  # a token file with a second line, or worse
    with pytest.raises(Exception) as info:
        getattr(es, op)("x", token, CHAT)
    e = info.value
    assert not leaks(token, *exception_texts(e)) and not leaks(TOKEN, *exception_texts(e))
    assert e.__cause__ is None and e.__context__ is None and telegram.requests == []
    if isinstance(e, UnicodeEncodeError):
        # the request line, token masked, with the positions moved onto the mask
        assert e.object == "POST /bot<token>/sendMessage HTTP/1.1" and e.object[e.start:e.end] == "<token>"
        assert str(e) == f"'ascii' codec can't encode characters in position 9-15: ordinal not in range(128)"
    else:
        assert type(e).__name__ == "InvalidURL"
        assert str(e) == f"URL can't contain control characters. '/bot<token>/sendMessage' (found at least {inner!r})"


@pytest.mark.parametrize("spell", [
    lambda t: t,
    lambda t: t.replace(":", "%3A"),
    lambda t: t.replace(":", "%3a"),
    lambda t: lower_hex(urllib.parse.quote(t, safe="")),
    lambda t: "".join(f"%{b:02X}" for b in t.encode()),
    lambda t: repr(t)[1:-1],
])
def test_token_echoed_by_the_server_in_any_spelling_is_masked(es, telegram, spell):
    telegram.script(Answer.telegram_error(401, f"Unauthorized: {spell(TOKEN)} revoked"),
                    Answer(400, body=f"bad {spell(TOKEN)}!".encode()),
                    Answer.json({"ok": False, "echo": spell(TOKEN)}))
    assert es.send_burn_telegram("x", TOKEN, CHAT) == (False, "Unauthorized: <token> revoked")
    assert es.send_burn_telegram("x", TOKEN, CHAT) == (False, "bad <token>!")
    assert es.send_burn_telegram("x", TOKEN, CHAT) == (False, "{'ok': False, 'echo': '<token>'}")


def test_the_taostats_key_is_masked_in_telegram_texts_too(es, telegram, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_KEY", f"  {KEY}\n")
    telegram.script(Answer(400, body=f"{KEY} {TOKEN}".encode()))
    assert es.send_burn_telegram("x", TOKEN, CHAT) == (False, "<taostats-key> <token>")


def test_short_secrets_are_not_masked(es, telegram):
    token = "1234567"  # seven characters: masking it would mangle every text
    telegram.script(Answer(400, body=f"bad {token}".encode()))
    assert es.send_burn_telegram("x", token, CHAT) == (False, "bad 1234567")


@pytest.mark.parametrize("inner", CONTROLS + NON_ASCII, ids=lambda c: f"U+{ord(c):04X}")
def test_taostats_key_with_an_odd_character_never_shows(es, taostats, monkeypatch, inner):
    key = f"{KEY}{inner}# expires 2026"
    if inner != "\0":  # the environment cannot hold a NUL; the key is then the argument alone
        monkeypatch.setenv("TAOSTATS_API_KEY", key)
    taostats.script(Answer.json({"message": f"invalid key {key}"}, 401))
    try:
        record = es.http_get_json("/api/x", {}, key)
    except Exception as e:  # the host's client refuses the header value
        assert not leaks(key, *exception_texts(e)) and not leaks(KEY, *exception_texts(e))
        assert e.__cause__ is None and e.__context__ is None
        if isinstance(e, ValueError) and not isinstance(e, UnicodeError):
            assert str(e) == "Invalid header value b'<taostats-key>'"
        else:
            assert isinstance(e, UnicodeEncodeError) and e.object == "<taostats-key>"
    else:
        assert record == {"message": "invalid key <taostats-key>", "http_status": 401}


@pytest.mark.parametrize("answer, line", [
    (lambda k: Answer.text(f"key {k} refused", 403),
     '[burn] fetch failed: {"error": "no_subnet_rows", "response": {"status_code": 403, '
     '"message": "key <taostats-key> refused", "http_status": 403}}\n'),
    (lambda k: Answer.json({"detail": urllib.parse.quote(k, safe="")}),
     '[burn] fetch failed: {"error": "no_subnet_rows", "response": {"detail": "<taostats-key>"}}\n'),
    (lambda k: Answer.text(f"<p>{k}</p>"),
     '[burn] fetch failed: {"error": "no_subnet_rows", "response": {"parse_error": '
     '"Expecting value: line 1 column 1 (char 0)", "raw": "<p><taostats-key></p>"}}\n'),
])
def test_fetch_failed_line_masks_the_key(es, taostats, monkeypatch, capsys, tmp_path, answer, line):
    monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
    taostats.script(answer(KEY))
    assert es.run_emberscope_once(state_path=str(tmp_path / "s.json"), threshold=0.1,
                                  burn_token="", burn_chat_id="") == 1
    assert capsys.readouterr().err == line


def test_poll_loop_error_line_masks_the_key_and_stays_one_line(es, monkeypatch, capsys, tmp_path):
    key = f"{KEY}\n# expires 2026"  # a key file with a second line
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://127.0.0.1:9")
    monkeypatch.setenv("TAOSTATS_API_KEY", key)
    pause = tmp_path / "pause"
    sleeps = []

    def sleep(seconds):  # the first interval passes; one cycle runs; the pause file ends the loop
        sleeps.append(seconds)
        if len(sleeps) > 60:
            pause.write_text("")

    monkeypatch.setattr(es.time, "sleep", sleep)
    es.run_burn_poll_loop(state_path=str(tmp_path / "s.json"), threshold=0.1, interval_minutes=1,
                          burn_token=TOKEN, burn_chat_id=CHAT, pause_path=str(pause))
    assert capsys.readouterr().err == (
        "[burn] error: Invalid header value b'<taostats-key>'\n[burn] monitoring paused\n")


@pytest.mark.parametrize("args", [["config", "check"], ["watch", "--verbose"], ["status"],
                                  ["status", "--json"]])
def test_what_the_command_says_of_its_settings_never_shows_a_secret(tmp_path, args):
    from test_cli import COMMAND, clean_environment

    token, key = "42:command-token-never-shown", "command-key-never-shown"
    env = clean_environment(tmp_path)
    env.update(TELEGRAM_BOT_TOKEN=token, TAOSTATS_API_KEY=key, TELEGRAM_CHAT_ID=CHAT,
               EMBERSCOPE_STATE_FILE=str(tmp_path / "state.json"),
               EMBERSCOPE_PAUSE_FILE=str(tmp_path / "pause"))
    (tmp_path / "pause").touch()  # `watch` says its settings, then stops at once
    done = subprocess.run([*COMMAND, *args], env=env, capture_output=True, text=True, timeout=60)
    said = done.stdout + done.stderr
    assert said  # the settings were said
    assert not leaks(token, said) and not leaks(key, said)
    assert "command-token" not in said and "command-key" not in said
