"""The `emberscope` command: its parser, its command table and `main`.

What each command does lives beside it: the settings (settings), the console (console), the
one-shot commands (one_shot), the watch loop (watch, loaded by `watch` alone) and the operator
views (views).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from bittensor_emberscope.console import (PROG, _console, _OutputClosed, _OutputFailed, _out, _say,
                                          _silence_stdout)
from bittensor_emberscope.settings import (DEFAULT_INTERVAL_MINUTES, DEFAULT_OUTBOX_MAX_AGE_HOURS,
                                           DEFAULT_THRESHOLD, Settings, UsageError, read_settings)
from bittensor_emberscope.views import cmd_chats, cmd_config, cmd_history, cmd_status

__all__ = ["main"]

DESCRIPTION = """\
Watch the owner burn rate of every Bittensor subnet through the Taostats API and report
changes beyond a threshold to a Telegram chat.
"""

EPILOG = """\
secrets (never on the command line):
  TAOSTATS_API_KEY      Taostats API key, or --taostats-key-file / TAOSTATS_API_KEY_FILE
  TELEGRAM_BOT_TOKEN    Telegram bot token, or --token-file / TELEGRAM_BOT_TOKEN_FILE

examples:
  emberscope demo
  export TAOSTATS_API_KEY=... TELEGRAM_BOT_TOKEN=... TELEGRAM_CHAT_ID=-1001234567890
  emberscope test-send                       # can the bot post to the chat?
  emberscope watch --threshold 0.05 --interval-minutes 10
  emberscope once --state-file /var/lib/emberscope/state.json --token-file ~/.config/emberscope/bot-token
  emberscope status                          # is it alive, when did it last look?
  emberscope history --netuid 64             # every change seen, with a trend line
  touch ~/.local/state/emberscope/pause      # a running `watch` stops within a second

Run `emberscope COMMAND --help` for the options of a command.
"""

WATCH_EPILOG = """\
examples:
  emberscope watch
  emberscope watch --snapshot --interval-minutes 15 --threshold 0.05
  emberscope watch --pause-file /run/emberscope/pause --token-file /etc/emberscope/bot-token

At start, with values stored by an earlier run, it runs a watch cycle at once: what moved
while it was stopped is alerted (and recorded in the history) like any change. On a first
start (no state file), or with --snapshot, it sends the full start-up list instead, which
becomes the baseline. --no-snapshot does neither and starts with a full interval of waiting.
Then a cycle follows every interval. It ends with exit status 0 when the pause file appears
(seen at once while waiting), when it is started while the pause file exists, and on
SIGTERM or Ctrl-C. Without a Taostats key, a bot token or a chat, or while another `watch`
holds the state file's lock (`state.lock` beside it), it does not start (exit status 2).

While it waits it answers commands in the chat (/burn N, /chart N [days], /changes [hours],
/status, /mute N|all DURATION, /unmute N|all, /help) from the configured chat and the users of
--bot-allow-user, out of the files beside the state; --no-bot switches that off.

Each cycle is recorded in the status file and its changes in the history log, beside the
state file (`emberscope status`, `emberscope history`). With --verbose, or when standard
error is a terminal, a line sums up every cycle. Lines carry the UTC time unless the
journal (JOURNAL_STREAM) adds its own. Under systemd (NOTIFY_SOCKET) it reports READY=1
once started, WATCHDOG=1 while it runs and a STATUS= line about the last cycle.
"""

ONCE_EPILOG = """\
examples:
  emberscope once
  */5 * * * *  emberscope once --threshold 0.05      (crontab)

Exit status 0: the cycle completed (also when nothing changed); 1: the listing failed, the
alert was not delivered, or an error stopped the cycle; 2: a setting is missing or wrong
(nothing ran). While the pause file exists the cycle is skipped (exit status 0). While another
run (a `watch`, an overlapping `once`) holds the state file's lock, it waits a few seconds,
then gives up naming the holder's pid (exit status 1, nothing ran). The cycle is recorded in
the status file; give --interval-minutes your schedule's period so that
`emberscope status` knows when a cycle is overdue.
"""

SNAPSHOT_EPILOG = """\
examples:
  emberscope snapshot
  emberscope snapshot --state-file ./state.json --chat-id @my_channel

Exit status 0: the list was delivered, or the pause file exists (then nothing runs); 1: the
listing failed, the list was not delivered (the baseline is recorded even then), or another
run holds the state file's lock; 2: a setting is missing or wrong.
"""

TEST_SEND_EPILOG = """\
examples:
  emberscope test-send
  emberscope test-send --chat-id @my_channel --token-file /etc/emberscope/bot-token

Prints what Telegram answered: "ok", or its reason for refusing (a wrong token, a chat the
bot is not in). Exit status 0 when the message was accepted, 1 otherwise, 2 without a bot
token or chat.
"""

STATUS_EPILOG = """\
examples:
  emberscope status
  emberscope status --json | jq .healthy
  emberscope status --state-file /var/lib/emberscope/state.json || alert-the-operator

Shows the last cycle (time, outcome, subnets, changes), what waits in the outbox, the next
cycle, then the stored values. Exit status 0: healthy; 1: no state and no cycle recorded
yet, or the state file cannot be read; 3: unhealthy: the last cycle is older than three
intervals or lies in the future (the clock was set back), the last three cycles failed,
`watch` recorded that it stopped or paused, or the `watch` recorded as running is gone
(killed: it no longer holds the state file's lock).
"""

HISTORY_EPILOG = """\
examples:
  emberscope history
  emberscope history --netuid 64 --since 2026-01-01
  emberscope history --json | jq '.changes[-1]'

Every change the monitor reported, oldest first, from the history log beside the state
file, then per subnet its values over time as a line of bars (lowest ▁ to highest █).
"""

CHATS_EPILOG = """\
examples:
  emberscope chats
  emberscope chats --token-file /etc/emberscope/bot-token

Add the bot to the group (or write to it), send a message, then run this: it prints each chat
of the updates Telegram still holds for the bot, without marking them read. Exit status 1 with
Telegram's reason when getUpdates fails: a webhook is set, or a running `watch` reads the
updates (stop it first, or look at its `[bot]` lines).
"""

CONFIG_EPILOG = """\
examples:
  emberscope config check --config /etc/emberscope/emberscope.toml
  EMBERSCOPE_CONFIG=./emberscope.toml emberscope config check

The file names chats and rules, never a secret (the bot token stays in the environment or its
file). Exit status 0: the routes as understood, one line each; 2: the file cannot be used (its
line and key are named), and `watch`, `once` and `snapshot` refuse it the same way.
"""

DEMO_EPILOG = """\
The demo starts Taostats and Telegram stand-ins on 127.0.0.1 in this process and runs
`emberscope watch` against them: the start-up list, a few watch cycles with moving values,
a rate limit, an alert held back by Telegram's flood control and delivered from the outbox,
and the pause file ending the loop. Its clock skips the waits, so it takes a few seconds.
Nothing is read from or written to your state.
"""



def _loaded_on_use(module: str, name: str) -> Callable:
    """The command `name` of `module`, imported when it runs: `status`, `history` and `--help`
    never pay for loading the watch loop (the bot, wakeup, the metrics, the routes)."""

    def command(*args: object) -> int:
        return getattr(__import__(f"bittensor_emberscope.{module}", fromlist=[name]), name)(*args)

    return command


cmd_watch = _loaded_on_use("watch", "cmd_watch")
cmd_once = _loaded_on_use("one_shot", "cmd_once")
cmd_snapshot = _loaded_on_use("one_shot", "cmd_snapshot")
cmd_test_send = _loaded_on_use("one_shot", "cmd_test_send")


def cmd_demo(args: argparse.Namespace) -> int:
    from bittensor_emberscope import demo

    return demo.run_demo(sys.stdout)


# The parser


def _monitor_options() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    g = p.add_argument_group("settings (flag, else environment variable, else default)")
    g.add_argument("--state-file", metavar="PATH",
                   help="JSON file with the last seen values [EMBERSCOPE_STATE_FILE; default "
                        "$XDG_STATE_HOME/emberscope/state.json or ~/.local/state/emberscope/state.json]")
    g.add_argument("--threshold", metavar="NUMBER",
                   help="report a subnet whose owner burn value moved by more than this, in the "
                        f"units of the values [EMBERSCOPE_THRESHOLD; default {DEFAULT_THRESHOLD:g}]")
    g.add_argument("--interval-minutes", metavar="MINUTES",
                   help="wait between watch cycles, at least 1 [EMBERSCOPE_INTERVAL_MINUTES; "
                        f"default {DEFAULT_INTERVAL_MINUTES:g}]")
    g.add_argument("--outbox-max-age-hours", metavar="HOURS",
                   help="undelivered messages older than this are dropped from the outbox, with a "
                        "line [EMBERSCOPE_OUTBOX_MAX_AGE_HOURS; default "
                        f"{DEFAULT_OUTBOX_MAX_AGE_HOURS:g}]")
    g.add_argument("--wait-budget-seconds", metavar="SECONDS",
                   help="most seconds one cycle spends waiting on flood control and repeats; what "
                        "does not fit stays in the outbox [EMBERSCOPE_WAIT_BUDGET_SECONDS; default "
                        "a quarter of the interval]")
    g.add_argument("--pause-file", metavar="PATH",
                   help="while this file exists, monitoring is paused; '' switches pausing off "
                        "[EMBERSCOPE_PAUSE_FILE; default: 'pause' beside the state file]")
    g.add_argument("--chat-id", metavar="ID",
                   help="Telegram chat identifier, e.g. -1001234567890 or @channel [TELEGRAM_CHAT_ID]")
    g.add_argument("--config", metavar="PATH",
                   help="TOML file of routes (several chats, each with its subnets, threshold, "
                        "quiet hours) and the stale-data alert; see `emberscope config check` "
                        "[EMBERSCOPE_CONFIG; default none: one route to the chat above]")
    g.add_argument("--token-file", metavar="PATH",
                   help="file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; "
                        "else the token itself in TELEGRAM_BOT_TOKEN]")
    g.add_argument("--taostats-key-file", metavar="PATH",
                   help="file holding the Taostats API key [TAOSTATS_API_KEY_FILE; "
                        "else the key itself in TAOSTATS_API_KEY]")
    return p


def _terminal_columns() -> int:
    """The terminal's width as shutil finds it (COLUMNS, then standard output's terminal, else
    80), without loading shutil and the compression modules it brings."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns or 80
        except (AttributeError, ValueError, OSError):
            columns = 80
    return columns


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's own, its width found by _terminal_columns: argparse makes one for every
    parser it builds, and would load shutil for it."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position,
                         _terminal_columns() - 2 if width is None else width)


def build_parser() -> argparse.ArgumentParser:
    fmt = _Formatter
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=fmt, allow_abbrev=False)
    sub = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)
    common = [_monitor_options()]

    def add(name: str, summary: str, epilog: str, parents: list) -> argparse.ArgumentParser:
        command = sub.add_parser(name, help=summary, description=summary, epilog=epilog,
                                 parents=parents, formatter_class=fmt, allow_abbrev=False)
        command.set_defaults(command_parser=command)  # for the usage line of its errors
        return command

    watch = add("watch", "report what changed since the last run (the start-up list on a first "
                         "start), then run a watch cycle every interval until the pause file "
                         "appears or the process is stopped (SIGTERM, Ctrl-C)",
                WATCH_EPILOG, common)
    first = watch.add_mutually_exclusive_group()
    first.add_argument("--snapshot", action="store_true",
                       help="send the start-up list (a fresh baseline) even when values are stored")
    first.add_argument("--no-snapshot", action="store_true",
                       help="no start-up list and no cycle at start; start with the first wait")
    watch.add_argument("--verbose", action="store_true",
                       help="a line after every cycle, also when standard error is not a terminal")
    watch.add_argument("--no-bot", action="store_true",
                       help="do not answer commands in the chat (/burn, /chart, ...)")
    watch.add_argument("--bot-allow-user", action="append", metavar="ID",
                       help="also answer this Telegram user id, in any chat (repeatable) "
                            "[EMBERSCOPE_BOT_ALLOW_USERS, comma-separated]")
    watch.add_argument("--metrics-listen", metavar="ADDRESS:PORT",
                       help="serve Prometheus metrics (/metrics) and health (/healthz) over HTTP "
                            "at this address; a bare PORT or :PORT listens on 127.0.0.1 only "
                            "[EMBERSCOPE_METRICS_LISTEN; default off]")
    add("once", "run one watch cycle (for cron or a systemd timer)", ONCE_EPILOG, common)
    add("snapshot", "record every subnet's value as the baseline and send the full list",
        SNAPSHOT_EPILOG, common)
    test_send = add("test-send", "post one short test message to the chat and print what "
                                 "Telegram answered", TEST_SEND_EPILOG, [])
    g = test_send.add_argument_group("settings (flag, else environment variable)")
    g.add_argument("--chat-id", metavar="ID",
                   help="Telegram chat identifier [TELEGRAM_CHAT_ID]")
    g.add_argument("--token-file", metavar="PATH",
                   help="file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; "
                        "else the token itself in TELEGRAM_BOT_TOKEN]")
    state_help = ("the state file; the status file and the history log lie beside it "
                  "[EMBERSCOPE_STATE_FILE; default $XDG_STATE_HOME/emberscope/state.json]")
    status = add("status", "is it alive: the last cycle, its outcome, the outbox, the next "
                           "cycle, then every stored value (no network)", STATUS_EPILOG, [])
    status.add_argument("--state-file", metavar="PATH", help=state_help)
    status.add_argument("--json", action="store_true", help="one JSON object, for scripts")
    history = add("history", "every change the monitor reported, and a trend line per subnet "
                             "(no network)", HISTORY_EPILOG, [])
    history.add_argument("--state-file", metavar="PATH", help=state_help)
    history.add_argument("--netuid", metavar="N", type=int, help="only this subnet")
    history.add_argument("--since", metavar="DATE",
                         help="only changes at or after DATE (YYYY-MM-DD, or YYYY-MM-DDTHH:MM:SSZ)")
    history.add_argument("--json", action="store_true", help="one JSON object, for scripts")
    config = add("config", "the configuration file (routes, quiet hours, stale-data alert)",
                 CONFIG_EPILOG, [])
    config_sub = config.add_subparsers(title="commands", dest="config_command", metavar="COMMAND",
                                       required=True)
    check = config_sub.add_parser("check", help="read the file and print the routes as "
                                                "understood, or what is wrong and where",
                                  description="read the configuration file and print the routes "
                                              "as understood, or what is wrong and where",
                                  epilog=CONFIG_EPILOG, formatter_class=fmt, allow_abbrev=False)
    check.set_defaults(command_parser=check)
    g = check.add_argument_group("settings (flag, else environment variable, else default)")
    g.add_argument("--config", metavar="PATH", help="the file [EMBERSCOPE_CONFIG]")
    g.add_argument("--threshold", metavar="NUMBER",
                   help="threshold of routes that do not set one [EMBERSCOPE_THRESHOLD; "
                        f"default {DEFAULT_THRESHOLD:g}]")
    g.add_argument("--chat-id", metavar="ID",
                   help="the chat of a file without routes [TELEGRAM_CHAT_ID]")
    add("demo", "run the monitor end to end against local stand-ins (no network, no keys)",
        DEMO_EPILOG, [])
    chats = add("chats", "list the chats the bot has seen in recent updates (id, type, title), "
                         "to find the chat id", CHATS_EPILOG, [])
    g = chats.add_argument_group("settings (flag, else environment variable)")
    g.add_argument("--token-file", metavar="PATH",
                   help="file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; "
                        "else the token itself in TELEGRAM_BOT_TOKEN]")
    return parser


COMMANDS: dict[str, Callable[[Settings, argparse.Namespace], int]] = {
    "watch": cmd_watch,
    "once": cmd_once,
    "snapshot": cmd_snapshot,
}
OTHER_COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "status": cmd_status,
    "history": cmd_history,
    "test-send": cmd_test_send,
    "demo": cmd_demo,
    "chats": cmd_chats,
    "config": cmd_config,
}


def _run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command = args.command
    try:
        if command in OTHER_COMMANDS:
            with _console():
                return OTHER_COMMANDS[command](args)
    except UsageError as e:
        args.command_parser.error(str(e))
    try:
        settings = read_settings(args)
    except UsageError as e:
        args.command_parser.error(str(e))
    with _console():
        try:
            return COMMANDS[command](settings, args)
        except KeyboardInterrupt:  # Ctrl-C during `once` or `snapshot`
            _say("[burn] stopped (SIGINT)")
            return 130


def _escape_unencodable_output() -> None:
    # A value from the network may hold what the output's encoding cannot (a lone surrogate):
    # it is written escaped rather than ending the command.
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None:
        try:
            reconfigure(errors="backslashreplace")
        except (OSError, ValueError):
            pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's arguments); the exit status."""
    _escape_unencodable_output()
    try:
        code = _run(argv)
        _out("")  # what is still buffered, so that a failure to write it is reported here
        return code
    except SystemExit as e:  # argparse: --help, usage errors
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _silence_stdout()
        except OSError as failure:
            _silence_stdout()
            _say(f"{PROG}: cannot write to standard output: {failure.strerror or failure}")
            return 1
        raise e
    except (_OutputClosed, BrokenPipeError):
        _silence_stdout()
        return 1
    except _OutputFailed as e:
        _silence_stdout()
        _say(f"{PROG}: cannot write to standard output: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
