"""The module's identity, the names bound at load, and the argument checks of its operations."""

from __future__ import annotations

import inspect
import subprocess
import sys

import pytest

from bittensor_emberscope import emberscope


def test_names_are_bound_in_load_order():
    names = [n for n in vars(emberscope) if not n.startswith("__")]
    head = ["json", "os", "sys", "time", "urllib", "datetime", "timezone", "Any", "OWNER_BURN_DECIMALS"]
    assert names[: len(head)] == head
    import datetime, typing, urllib

    assert emberscope.urllib is urllib
    for sub in ("error", "parse", "request"):
        assert hasattr(emberscope.urllib, sub)
    assert emberscope.datetime is datetime.datetime
    assert emberscope.timezone is datetime.timezone
    assert emberscope.Any is typing.Any
    assert emberscope.OWNER_BURN_DECIMALS == 4 and type(emberscope.OWNER_BURN_DECIMALS) is int
    assert emberscope.__doc__ == "Bittensor subnet owner burn rate monitoring via Taostats."


def test_operations_follow_the_table_order():
    order = [
        "api_base", "request_headers", "taostats_auth", "http_get_json", "is_rate_limited",
        "with_retries", "fetch_all_subnets_latest", "owner_burn_from_row", "format_owner_burn",
        "owner_burn_changed", "load_burn_state", "save_burn_state", "diff_burns",
        "format_burn_alert", "format_burn_snapshot", "_chunk_text", "send_burn_telegram_messages",
        "send_burn_telegram", "run_emberscope_once", "run_burn_startup_snapshot",
        "_burn_is_paused", "_sleep_until_interval", "run_burn_poll_loop",
    ]
    present = [n for n in vars(emberscope) if callable(getattr(emberscope, n)) and n in order]
    assert present == [n for n in order if n in present]
    names = list(vars(emberscope))
    assert all(names.index(n) > names.index("OWNER_BURN_DECIMALS") for n in present)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: emberscope.format_owner_burn(None),
         "format_owner_burn() argument 'value' must be str, not None"),
        (lambda: emberscope.format_owner_burn(b"1"),
         "format_owner_burn() argument 'value' must be str, not bytes"),
        (lambda: emberscope.owner_burn_from_row([]),
         "owner_burn_from_row() argument 'row' must be dict, not list"),
        (lambda: emberscope.owner_burn_changed("1", "2", "0.1"),
         "owner_burn_changed() argument 'threshold' must be a real number, not str"),
        (lambda: emberscope.owner_burn_changed("1", "2", None),
         "owner_burn_changed() argument 'threshold' must be a real number, not None"),
        (lambda: emberscope.owner_burn_changed("1"),
         "owner_burn_changed() missing 2 required positional arguments: 'new' and 'threshold'"),
        (lambda: emberscope.owner_burn_changed("1", "2", 0.1, 4),
         "owner_burn_changed() takes 3 positional arguments but 4 were given"),
        (lambda: emberscope.owner_burn_changed("1", "2", 0.1, old="1"),
         "owner_burn_changed() got multiple values for argument 'old'"),
        (lambda: emberscope.owner_burn_changed("1", "2", 0.1, limit=1),
         "owner_burn_changed() got an unexpected keyword argument 'limit'"),
        (lambda: emberscope.format_owner_burn(),
         "format_owner_burn() missing 1 required positional argument: 'value'"),
    ],
)
def test_argument_errors_name_operation_and_parameter(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Text(str):
    pass


class Row(dict):
    pass


def test_subclasses_are_not_texts_or_maps():
    with pytest.raises(TypeError, match="must be str, not Text"):
        emberscope.format_owner_burn(Text("1"))
    with pytest.raises(TypeError, match="must be dict, not Row"):
        emberscope.owner_burn_from_row(Row())


@pytest.mark.parametrize("threshold", [0, 1, True, 0.5, 10**20])
def test_any_number_is_a_real(threshold):
    assert emberscope.owner_burn_changed("0", "2", threshold) is (2 > float(threshold))


def test_keywords_bind_by_name():
    assert emberscope.owner_burn_changed(threshold=0.24, new="0.5", old="0.75") is True
    assert str(inspect.signature(emberscope.owner_burn_changed)) == "(old, new, threshold)"
    assert emberscope.owner_burn_changed.__module__ == "bittensor_emberscope.emberscope"


def test_format_reads_the_current_decimals(monkeypatch):
    monkeypatch.setattr(emberscope, "OWNER_BURN_DECIMALS", 2)
    assert emberscope.format_owner_burn("0.18") == "0.18"
    monkeypatch.setattr(emberscope, "OWNER_BURN_DECIMALS", 0)
    assert emberscope.format_owner_burn("2.5") == "2"
    monkeypatch.setattr(emberscope, "OWNER_BURN_DECIMALS", 1200)
    assert emberscope.format_owner_burn("0.1") == format(0.1, ".1200f")
    monkeypatch.setattr(emberscope, "OWNER_BURN_DECIMALS", -1)
    with pytest.raises(ValueError):
        emberscope.format_owner_burn("0.1")
    # A text that is not numeric never reaches the formatter.
    assert emberscope.format_owner_burn("n/a") == "n/a"


def _run(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def test_second_load_in_one_process_is_refused():
    code = (
        "import sys, importlib\n"
        "import bittensor_emberscope.emberscope as m\n"
        "del sys.modules['bittensor_emberscope.emberscope']\n"
        "try:\n"
        "    importlib.import_module('bittensor_emberscope.emberscope')\n"
        "except ImportError as e:\n"
        "    print('refused:', e)\n"
    )
    out = _run(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("refused: Module 'emberscope' has already been imported.")


def test_load_into_a_second_interpreter_is_refused():
    code = (
        "import bittensor_emberscope.emberscope, _interpreters\n"
        "i = _interpreters.create('legacy')\n"
        "r = _interpreters.run_string(i, 'import bittensor_emberscope.emberscope')\n"
        "print(r)\n"
    )
    out = _run(code)
    assert out.returncode == 0, out.stderr
    assert "ImportError" in out.stdout and "Interpreter change detected" in out.stdout


def test_only_the_initialisation_entry_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", emberscope.__file__],
                         capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_emberscope"]


def test_failures_carry_the_operation_in_their_trace():
    import traceback

    with pytest.raises(ValueError) as info:
        emberscope.diff_burns({}, {"abc": "1"}, 0)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert last.name == "diff_burns"
    assert last.filename == "bittensor_emberscope/emberscope.cpp" and last.lineno > 0


def test_errors_caught_inside_operations_are_released(es, tmp_path, monkeypatch):
    import builtins
    import gc
    import weakref

    class Tracked(PermissionError):  # a subclass, so that it can be weakly referenced
        pass

    raised = []

    def failing(*args, **kwargs):
        error = Tracked(13, "Permission denied")
        raised.append(weakref.ref(error))
        raise error

    state = tmp_path / "state.json"
    state.write_text("{}")
    monkeypatch.setattr(builtins, "open", failing)  # absorbed by the state file's loader
    assert es.load_burn_state(str(state)) == {}
    monkeypatch.undo()
    monkeypatch.setattr(es.urllib.request, "urlopen", failing)  # reported by the poll loop
    monkeypatch.setattr(es.time, "sleep", lambda s: None)
    monkeypatch.setenv("TAOSTATS_API_KEY", "k")
    (tmp_path / "pause").write_text("")
    paused_after_one_cycle = iter([False] * 62 + [True] * 100)
    monkeypatch.setattr(es.os.path, "isfile", lambda p: next(paused_after_one_cycle))
    es.run_burn_poll_loop(state_path=str(state), threshold=0.1, interval_minutes=1,
                          burn_token="", burn_chat_id="", pause_path=str(tmp_path / "pause"))
    gc.collect()
    assert len(raised) == 2 and [ref() for ref in raised] == [None, None]
