"""A Telegram message's form body is byte for byte what the host's urlencode makes of it, whether
the module encodes it itself or hands it to a urlencode a caller put in place."""

from __future__ import annotations

import random
import urllib.parse

import pytest

TOKEN = "123456:form-token"
OK = b'{"ok": true, "result": {"message_id": 1}}'


class Answer:
    def read(self, *args) -> bytes:
        return OK

    def close(self) -> None:
        pass


@pytest.fixture
def sent(es, monkeypatch):
    bodies: list[bytes] = []

    def urlopen(request, timeout):
        bodies.append(request.data)
        return Answer()

    monkeypatch.setattr(es.urllib.request, "urlopen", urlopen)
    monkeypatch.setenv("TELEGRAM_API_BASE", "http://127.0.0.1:9")
    return bodies


def host_body(chat: str, text: str) -> bytes:
    return urllib.parse.urlencode({"chat_id": chat, "text": text,
                                   "disable_web_page_preview": "true"}).encode("utf-8")


ALPHABET = ("abcXYZ019 _.-~!*'()/?&=+%#;:@$,\"<>[]{}|\\^`\t\r\x00\x7f"
            "é→ü\u00a0\u2028\ufeff😀\U0010ffff")


def test_generated_texts_are_encoded_as_urlencode_encodes_them(es, sent):
    rng = random.Random(1208)
    texts = ["".join(rng.choice(ALPHABET) for _ in range(rng.randrange(1, 60)))
             for _ in range(400)]
    for text in texts:
        chat = rng.choice(["-1001234567890", "@channel name", "é"])
        sent.clear()
        assert es.send_burn_telegram(text, TOKEN, chat) == (True, "")
        assert sent == [host_body(chat, text)], repr(text)


def test_a_substituted_urlencode_is_called(es, sent, monkeypatch):
    calls = []
    real = urllib.parse.urlencode
    monkeypatch.setattr(es.urllib.parse, "urlencode",
                        lambda fields, **kw: calls.append(dict(fields)) or real(fields, **kw))
    assert es.send_burn_telegram("a b", TOKEN, "-1") == (True, "")
    assert calls == [{"chat_id": "-1", "text": "a b", "disable_web_page_preview": "true"}]
    assert sent == [b"chat_id=-1&text=a+b&disable_web_page_preview=true"]


def test_a_lone_surrogate_fails_as_the_hosts_encoding_fails(es, sent):
    with pytest.raises(UnicodeEncodeError) as raised:
        es.send_burn_telegram("x \ud800 y", TOKEN, "-1")
    with pytest.raises(UnicodeEncodeError) as expected:
        host_body("-1", "x \ud800 y")
    assert str(raised.value) == str(expected.value)
    assert sent == []
