"""What the bot answers, read from the files beside the state; the chart drawn by its child."""

from __future__ import annotations

import datetime
import io
import json

import pytest
from PIL import Image

from bittensor_emberscope import bot, health, monitor

UTC = datetime.timezone.utc
NOW = datetime.datetime(2026, 12, 8, 12, 0, 0, tzinfo=UTC)


def write_state(path, burns: dict[str, str], stamp: str = "2026-12-08T11:55:00Z") -> None:
    path.write_text(json.dumps({"owner_burn_rate": burns, "updated_at_utc": stamp}))


@pytest.fixture
def state(tmp_path):
    path = tmp_path / "state.json"
    write_state(path, {"3": "0.75", "12": "1", "64": "0"})
    history = [
        ("2026-11-01T00:00:00Z", "3", "0.1", "0.2"),
        ("2026-12-01T00:00:00Z", "3", "0.2", "0.3"),
        ("2026-12-07T12:00:00Z", "64", "0.5", "0"),
        ("2026-12-08T06:00:00Z", "3", "0.3", "0.5"),
        ("2026-12-08T09:30:00Z", "3", "0.5", "0.6"),
        ("2026-12-08T10:00:00Z", "3", "0.6", "0.7"),
        ("2026-12-08T11:00:00Z", "3", "0.7", "0.75"),
    ]
    for stamp, *change in history:
        health.append_history(str(path), stamp, [change])
    return str(path)


def answers(state_path: str, now=NOW) -> bot.Answers:
    return bot.Answers(state_path, now=lambda: now)


def test_burn_tells_the_value_when_it_changed_and_its_last_five_changes(state):
    assert answers(state).burn("3") == (
        "SN3 owner burn: 0.7500\n"
        "changed 2026-12-08T11:00:00Z (60 min ago)\n"
        "last 5 change(s):\n"
        "2026-12-01T00:00:00Z  0.2000 → 0.3000\n"
        "2026-12-08T06:00:00Z  0.3000 → 0.5000\n"
        "2026-12-08T09:30:00Z  0.5000 → 0.6000\n"
        "2026-12-08T10:00:00Z  0.6000 → 0.7000\n"
        "2026-12-08T11:00:00Z  0.7000 → 0.7500\n"
        "values as of 2026-12-08T11:55:00Z")


@pytest.mark.parametrize("netuid, expected", [
    ("12", "SN12 owner burn: 1.0000\nno change recorded since the monitor began\n"
           "values as of 2026-12-08T11:55:00Z"),
    ("99", "SN99 is not among the 3 stored subnets (as of 2026-12-08T11:55:00Z)."),
])
def test_burn_of_a_quiet_or_unknown_subnet(state, netuid, expected):
    assert answers(state).burn(netuid) == expected


def test_burn_without_a_state_file(tmp_path):
    assert answers(str(tmp_path / "state.json")).burn("3") == (
        "No values stored yet: the monitor's first cycle records them.")


@pytest.mark.parametrize("hours, expected", [
    # A change exactly at the start of the period is in it.
    (1, "1 change(s) in the last 1 h:\n2026-12-08T11:00:00Z  SN3  0.7000 → 0.7500"),
    (0.99, "No changes in the last 59.4 min."),
    (24, "5 change(s) in the last 24 h:\n"
         "2026-12-07T12:00:00Z  SN64  0.5000 → 0.0000\n"
         "2026-12-08T06:00:00Z  SN3  0.3000 → 0.5000\n"
         "2026-12-08T09:30:00Z  SN3  0.5000 → 0.6000\n"
         "2026-12-08T10:00:00Z  SN3  0.6000 → 0.7000\n"
         "2026-12-08T11:00:00Z  SN3  0.7000 → 0.7500"),
    (0.5, "No changes in the last 30 min."),
])
def test_changes_lists_every_change_of_the_period(state, hours, expected):
    assert answers(state).changes(hours * 3600) == expected


def test_changes_that_do_not_fit_one_message_keep_the_newest(tmp_path):
    path = str(tmp_path / "state.json")
    health.append_history(path, "2026-12-08T11:00:00Z",
                          [(str(n), "0.1", "0.2") for n in range(200)])
    text = answers(path).changes(3600 * 24)
    assert len(text) <= bot.MESSAGE_LIMIT
    lines = text.split("\n")
    assert lines[0] == "200 change(s) in the last 24 h:"
    left_out = 200 - (len(lines) - 2)
    assert lines[1] == (f"(the oldest {left_out} left out; `emberscope history` lists them all)")
    assert lines[-1] == "2026-12-08T11:00:00Z  SN199  0.1000 → 0.2000"
    assert left_out > 0


def test_mute_and_unmute_through_the_mutes_file(state):
    a = answers(state)
    assert a.mute("3", 7200) == ("SN3 muted until 2026-12-08T14:00:00Z: changes are still "
                                 "recorded, but not alerted. /unmute ends it sooner.")
    assert a.mute("all", 600).startswith("Every subnet muted until 2026-12-08T12:10:00Z")
    assert health.muted_netuids(state, NOW) == "3,all"
    assert "alerts muted until 2026-12-08T14:00:00Z" in a.burn("3")
    # A mute ends by itself.
    assert health.muted_netuids(state, NOW + datetime.timedelta(minutes=11)) == "3"
    assert health.muted_netuids(state, NOW + datetime.timedelta(hours=2)) == ""
    assert a.unmute("12") == "SN12 was not muted (every subnet is muted: /unmute all)."
    assert a.unmute("3") == "SN3 unmuted: its changes are alerted again."
    assert a.unmute("all") == "Every mute lifted: alerts for all subnets again."
    assert a.unmute("all") == "Nothing is muted."
    assert health.muted_netuids(state, NOW) == ""


@pytest.mark.parametrize("content", ["", "{", "[]", '{"muted": []}',
                                     '{"muted": {"3": "not a time", "4": 17}}'])
def test_a_damaged_mutes_file_mutes_nothing(tmp_path, content):
    (tmp_path / "state.mutes.json").write_text(content)
    assert health.read_mutes(str(tmp_path / "state.json"), NOW) == {}


def test_status_answers_the_status_summary_with_the_mutes(state):
    health.record_cycle(state, {"outcome": "ok", "updated_at_utc": "2026-12-08T11:55:00Z",
                                "subnets": 3, "changes": [], "chat_id": "-1001"},
                        interval_seconds=300, now=NOW)
    health.record_bot(state, "answering as @emberscope_bot", now=NOW)
    answers(state).mute("64", 3600)
    text = answers(state).status()
    assert "last cycle: 2026-12-08T11:55:00Z (5 min ago): ok" in text
    assert "bot: answering as @emberscope_bot" in text
    assert "muted: SN64 until 2026-12-08T13:00:00Z" in text
    assert text.endswith("values: 3 subnets as of 2026-12-08T11:55:00Z")


@pytest.mark.parametrize("netuid, days, points, caption", [
    # The value at the start of the period is the one the last earlier change left.
    ("3", 1, [("2026-12-07T12:00:00Z", 0.3), ("2026-12-08T06:00:00Z", 0.5),
              ("2026-12-08T09:30:00Z", 0.6), ("2026-12-08T10:00:00Z", 0.7),
              ("2026-12-08T11:00:00Z", 0.75), ("2026-12-08T12:00:00Z", 0.75)],
     "SN3 owner burn, last 1 day: now 0.7500 (since 2026-12-08T11:00:00Z)"),
    # Without an earlier change, the first change's old value.
    ("64", 30, [("2026-11-08T12:00:00Z", 0.5), ("2026-12-07T12:00:00Z", 0.0),
                ("2026-12-08T12:00:00Z", 0.0)],
     "SN64 owner burn, last 30 days: now 0.0000 (since 2026-12-07T12:00:00Z)"),
    # Without any change, a flat line at the stored value.
    ("12", 7, [("2026-12-01T12:00:00Z", 1.0), ("2026-12-08T12:00:00Z", 1.0)],
     "SN12 owner burn, last 7 days: now 1.0000"),
])
def test_chart_points_cover_the_period(state, netuid, days, points, caption):
    got_points, got_caption = answers(state).chart_points(netuid, days * 86400)
    expected = [[health.parse_utc(t).timestamp(), v] for t, v in points]
    assert (got_points, got_caption) == (expected, caption)


def test_chart_of_an_unknown_subnet_answers_in_words(state):
    assert answers(state).chart_points("99", 86400) == "No values stored for SN99."


def test_help_lists_every_command_of_the_menu():
    text = bot.Answers("/nonexistent/state.json").help()
    for name, arguments, description in monitor.bot_commands():
        assert f"/{name}{' ' + arguments if arguments else ''}: {description}" in text


def test_the_chart_child_draws_a_png_a_real_decoder_reads(state):
    points, _ = answers(state).chart_points("3", 30 * 86400)
    png = bot.render_chart("SN3 owner burn (UTC)", points)
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    image = Image.open(io.BytesIO(png))
    image.load()  # decodes every pixel
    assert (image.format, image.size) == ("PNG", (800, 400))
    # Not a blank picture: the line and the axes leave many colours.
    assert len(image.convert("RGB").getcolors(maxcolors=1 << 16) or []) > 10


@pytest.mark.parametrize("points, reason", [
    ([], "the input needs a text title and a non-empty list of points"),
    ([[1, "0.5"]], "not a point [unix_seconds, value]: [1, '0.5']"),
    ([[2, 0.5], [1, 0.6]], "the points are not in time order"),
])
def test_the_chart_child_refuses_points_it_cannot_draw(points, reason):
    with pytest.raises(RuntimeError) as caught:
        bot.render_chart("t", points)
    assert str(caught.value) == f"the chart could not be drawn: chart: {reason}"


def test_the_chart_child_writes_the_png_to_its_standard_output_when_asked(state):
    # The program reads the picture from the child's output: no file is left behind if either
    # process is killed while it draws.
    import os
    import subprocess
    import sys
    points, _ = answers(state).chart_points("3", 30 * 86400)
    done = subprocess.run([sys.executable, "-m", "bittensor_emberscope.chart", "-"],
                          input=json.dumps({"title": "SN3", "points": points}).encode(),
                          capture_output=True, timeout=60, env={**os.environ, "MPLBACKEND": "Agg"})
    assert done.returncode == 0, done.stderr
    image = Image.open(io.BytesIO(done.stdout))
    image.load()
    assert (image.format, image.size) == ("PNG", (800, 400))


def test_the_daemon_never_imports_the_plotting_library():
    import subprocess
    import sys
    code = ("import sys; import bittensor_emberscope.cli, bittensor_emberscope.watch, "
            "bittensor_emberscope.bot; "
            "print(any(m.split('.')[0] in ('matplotlib', 'numpy', 'PIL') for m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "False\n", done.stderr
