"""The configuration file: what it accepts, and the line and key named for what it refuses."""

import pytest

from bittensor_emberscope.config import ConfigError, load_config, parse_config, describe

FULL = """\
threshold = 0.01                 # default for every route

[[route]]
chat_id = "-1001234567890"
netuids = [1, 4, 64]
threshold = 0.05
min_relative_change = 0.10
silent = true
thread_id = 42
quiet_hours = "22:00-07:00"

[[route]]
chat_id = "@burn_watch"

[stale]
after_minutes = 30
"""


def parse(text, chat="-100"):
    return parse_config(text, "emberscope.toml", default_threshold=0.01, fallback_chat_id=chat)


def test_the_full_example_as_understood():
    config = parse(FULL)
    assert describe(config) == [
        "config emberscope.toml: 2 route(s), default threshold 0.01, stale-data alert after 30 min",
        "route 1: chat -1001234567890, topic 42, subnets 1, 4, 64, threshold 0.05, and more "
        "than 10% of the old value, silent, quiet 22:00-07:00 UTC (held, then one digest)",
        "route 2: chat @burn_watch, every subnet, threshold 0.01",
    ]
    first = config.routes[0]
    assert (first.netuids, first.thread_id, first.silent) == ((1, 4, 64), 42, True)


def test_without_routes_the_chat_of_the_environment_gets_the_files_threshold():
    config = parse("threshold = 0.2\n", chat="-100")
    assert [(r.chat_id, r.threshold) for r in config.routes] == [("-100", 0.2)]


def test_without_routes_or_a_chat_there_is_nowhere_to_send():
    with pytest.raises(ConfigError, match=r"^emberscope.toml: route: no \[\[route\]\] in the file"):
        parse("threshold = 0.1\n", chat=None)


@pytest.mark.parametrize("text, message", [
    ("treshold = 1\n", "emberscope.toml:1: treshold: unknown key"),
    ("threshold = -1\n", "emberscope.toml:1: threshold: must be a finite number >= 0, not -1"),
    ("threshold = 'x'\n", "emberscope.toml:1: threshold: must be a number, not 'x'"),
    ("threshold = nan\n", "emberscope.toml:1: threshold: must be a finite number >= 0, not nan"),
    ("[[route]]\nchat_id = 1\n\n[[route]]\nchat_id = '2'\nnetuid = [1]\n",
     "emberscope.toml:6: route[2].netuid: unknown key"),
    ("[[route]]\nnetuids = [1]\n", "emberscope.toml:1: route[1].chat_id: missing"),
    ("[[route]]\nchat_id = true\n", "emberscope.toml:2: route[1].chat_id: must be a text or an integer"),
    ("[[route]]\nchat_id = '1'\nnetuids = []\n",
     "emberscope.toml:3: route[1].netuids: must be a non-empty array"),
    ("[[route]]\nchat_id = '1'\nnetuids = [1, '4']\n",
     "emberscope.toml:3: route[1].netuids: must be a non-empty array"),
    ("[[route]]\nchat_id = '1'\nnetuids = [1, -4]\n",
     "emberscope.toml:3: route[1].netuids: -4 is not a subnet number"),
    ("[[route]]\nchat_id = '1'\n  threshold = true\n",
     "emberscope.toml:3: route[1].threshold: must be a number, not true"),
    ("[[route]]\nchat_id = '1'\nmin_relative_change = -0.1\n",
     "emberscope.toml:3: route[1].min_relative_change: must be a finite number >= 0"),
    ("[[route]]\nchat_id = '1'\nsilent = 'yes'\n",
     "emberscope.toml:3: route[1].silent: must be true or false, not 'yes'"),
    ("[[route]]\nchat_id = '1'\nthread_id = 0\n",
     "emberscope.toml:3: route[1].thread_id: must be a positive integer, not 0"),
    ("[[route]]\nchat_id = '1'\nquiet_hours = '22:00-7:00'\n",
     "emberscope.toml:3: route[1].quiet_hours: must be \"HH:MM-HH:MM\""),
    ("[[route]]\nchat_id = '1'\nquiet_hours = '22:00-22:00'\n",
     "emberscope.toml:3: route[1].quiet_hours: must be \"HH:MM-HH:MM\""),
    ("[[route]]\nchat_id = '1'\n[[route]]\nchat_id = 1\n",
     "emberscope.toml:4: route[2].chat_id: the same chat as route[1]"),
    ("[stale]\nafter_minutes = 0\n",
     "emberscope.toml:2: stale.after_minutes: must be a finite number > 0, not 0"),
    ("[stale]\nafter = 5\n", "emberscope.toml:2: stale.after: unknown key"),
    ("route = 3\n", "emberscope.toml:1: route: must be an array of tables"),
    ("threshold = \n", "emberscope.toml: not valid TOML: Invalid value (at line 1, column 13)"),
])
def test_a_wrong_key_type_or_value_names_the_line_and_the_key(text, message):
    with pytest.raises(ConfigError) as caught:
        parse(text)
    assert str(caught.value).startswith(message), str(caught.value)


def test_files_that_cannot_be_read(tmp_path):
    import os
    fifo = tmp_path / "fifo.toml"
    os.mkfifo(fifo)
    binary = tmp_path / "binary.toml"
    binary.write_bytes(b"threshold = 1\n\xff\n")
    cases = [(tmp_path / "missing.toml", "cannot open the configuration file"),
             (fifo, "not a regular file"), (binary, "not UTF-8 text")]
    for path, reason in cases:
        with pytest.raises(ConfigError, match=reason):
            load_config(str(path), default_threshold=0.01, fallback_chat_id="1")
