"""Shared fixtures: the built module, a clean environment, and the loopback stand-ins."""

from __future__ import annotations

import socket
import urllib.error

import pytest

from bittensor_emberscope import emberscope as _emberscope
from bittensor_emberscope.testing import TaostatsStandIn, TelegramStandIn

ENV_NAMES = (
    "TAOSTATS_API_BASE",
    "TAOSTATS_API_KEY",
    "TAOSTATS_USER_AGENT",
    "TELEGRAM_API_BASE",
)


@pytest.fixture
def es():
    """The extension module."""
    return _emberscope


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    """Every test starts without the monitor's environment variables."""
    for name in ENV_NAMES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture
def sleeps(monkeypatch):
    """Records the module's sleeps instead of sleeping."""
    calls: list[float] = []
    monkeypatch.setattr(_emberscope.time, "sleep", calls.append)
    return calls


@pytest.fixture
def taostats(monkeypatch):
    """A Taostats stand-in the module is pointed at, with a key set."""
    with TaostatsStandIn() as api:
        monkeypatch.setenv("TAOSTATS_API_BASE", api.base_url)
        monkeypatch.setenv("TAOSTATS_API_KEY", "test-key")
        yield api


@pytest.fixture
def telegram(monkeypatch):
    """A Telegram Bot API stand-in the module is pointed at."""
    with TelegramStandIn() as bot:
        monkeypatch.setenv("TELEGRAM_API_BASE", bot.base_url)
        yield bot


@pytest.fixture
def opened(es, monkeypatch):
    """Substitutes urlopen: records its timeout and every response or HTTPError it produced."""
    seen = {"timeouts": [], "streams": []}
    real = es.urllib.request.urlopen

    def urlopen(request, timeout):
        seen["timeouts"].append(timeout)
        try:
            response = real(request, timeout=seen.get("use_timeout", timeout))
        except urllib.error.HTTPError as e:
            seen["streams"].append(e)
            raise
        seen["streams"].append(response)
        return response

    monkeypatch.setattr(es.urllib.request, "urlopen", urlopen)
    return seen


def closed_port() -> int:
    """A loopback port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
