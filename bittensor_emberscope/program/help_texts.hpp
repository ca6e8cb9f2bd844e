// The help texts of the `emberscope` command line.
#pragma once

#include <string_view>

namespace emberscope::program::help {

inline constexpr std::string_view kDescription =
    "Watch the owner burn rate of every Bittensor subnet through the Taostats API and report\n"
    "changes beyond a threshold to a Telegram chat.\n";

inline constexpr std::string_view kEpilog =
    "secrets (never on the command line):\n"
    "  TAOSTATS_API_KEY      Taostats API key, or --taostats-key-file / TAOSTATS_API_KEY_FILE\n"
    "  TELEGRAM_BOT_TOKEN    Telegram bot token, or --token-file / TELEGRAM_BOT_TOKEN_FILE\n"
    "\n"
    "examples:\n"
    "  emberscope demo\n"
    "  export TAOSTATS_API_KEY=... TELEGRAM_BOT_TOKEN=... TELEGRAM_CHAT_ID=-1001234567890\n"
    "  emberscope test-send                       # can the bot post to the chat?\n"
    "  emberscope watch --threshold 0.05 --interval-minutes 10\n"
    "  emberscope once --state-file /var/lib/emberscope/state.json --token-file ~/.config/emberscope/bot-token\n"
    "  emberscope status                          # is it alive, when did it last look?\n"
    "  emberscope history --netuid 64             # every change seen, with a trend line\n"
    "  touch ~/.local/state/emberscope/pause      # a running `watch` stops within a second\n"
    "\n"
    "Run `emberscope COMMAND --help` for the options of a command.\n";

inline constexpr std::string_view kWatchEpilog =
    "examples:\n"
    "  emberscope watch\n"
    "  emberscope watch --snapshot --interval-minutes 15 --threshold 0.05\n"
    "  emberscope watch --pause-file /run/emberscope/pause --token-file /etc/emberscope/bot-token\n"
    "\n"
    "At start, with values stored by an earlier run, it runs a watch cycle at once: what moved\n"
    "while it was stopped is alerted (and recorded in the history) like any change. On a first\n"
    "start (no state file), or with --snapshot, it sends the full start-up list instead, which\n"
    "becomes the baseline. --no-snapshot does neither and starts with a full interval of waiting.\n"
    "Then a cycle follows every interval. It ends with exit status 0 when the pause file appears\n"
    "(seen at once while waiting), when it is started while the pause file exists, and on\n"
    "SIGTERM or Ctrl-C. Without a Taostats key, a bot token or a chat, or while another `watch`\n"
    "holds the state file's lock (`state.lock` beside it), it does not start (exit status 2).\n"
    "\n"
    "While it waits it answers commands in the chat (/burn N, /chart N [days], /changes [hours],\n"
    "/status, /mute N|all DURATION, /unmute N|all, /help) from the configured chat and the users of\n"
    "--bot-allow-user, out of the files beside the state; --no-bot switches that off.\n"
    "\n"
    "Each cycle is recorded in the status file and its changes in the history log, beside the\n"
    "state file (`emberscope status`, `emberscope history`). With --verbose, or when standard\n"
    "error is a terminal, a line sums up every cycle. Lines carry the UTC time unless the\n"
    "journal (JOURNAL_STREAM) adds its own. Under systemd (NOTIFY_SOCKET) it reports READY=1\n"
    "once started, WATCHDOG=1 while it runs and a STATUS= line about the last cycle.\n";

inline constexpr std::string_view kOnceEpilog =
    "examples:\n"
    "  emberscope once\n"
    "  */5 * * * *  emberscope once --threshold 0.05      (crontab)\n"
    "\n"
    "Exit status 0: the cycle completed (also when nothing changed); 1: the listing failed, the\n"
    "alert was not delivered, or an error stopped the cycle; 2: a setting is missing or wrong\n"
    "(nothing ran). While the pause file exists the cycle is skipped (exit status 0). While another\n"
    "run (a `watch`, an overlapping `once`) holds the state file's lock, it waits a few seconds,\n"
    "then gives up naming the holder's pid (exit status 1, nothing ran). The cycle is recorded in\n"
    "the status file; give --interval-minutes your schedule's period so that\n"
    "`emberscope status` knows when a cycle is overdue.\n";

inline constexpr std::string_view kSnapshotEpilog =
    "examples:\n"
    "  emberscope snapshot\n"
    "  emberscope snapshot --state-file ./state.json --chat-id @my_channel\n"
    "\n"
    "Exit status 0: the list was delivered, or the pause file exists (then nothing runs); 1: the\n"
    "listing failed, the list was not delivered (the baseline is recorded even then), or another\n"
    "run holds the state file's lock; 2: a setting is missing or wrong.\n";

inline constexpr std::string_view kTestSendEpilog =
    "examples:\n"
    "  emberscope test-send\n"
    "  emberscope test-send --chat-id @my_channel --token-file /etc/emberscope/bot-token\n"
    "\n"
    "Prints what Telegram answered: \"ok\", or its reason for refusing (a wrong token, a chat the\n"
    "bot is not in). Exit status 0 when the message was accepted, 1 otherwise, 2 without a bot\n"
    "token or chat.\n";

inline constexpr std::string_view kStatusEpilog =
    "examples:\n"
    "  emberscope status\n"
    "  emberscope status --json | jq .healthy\n"
    "  emberscope status --state-file /var/lib/emberscope/state.json || alert-the-operator\n"
    "\n"
    "Shows the last cycle (time, outcome, subnets, changes), what waits in the outbox, the next\n"
    "cycle, then the stored values. Exit status 0: healthy; 1: no state and no cycle recorded\n"
    "yet, or the state file cannot be read; 3: unhealthy: the last cycle is older than three\n"
    "intervals or lies in the future (the clock was set back), the last three cycles failed,\n"
    "`watch` recorded that it stopped or paused, or the `watch` recorded as running is gone\n"
    "(killed: it no longer holds the state file's lock).\n";

inline constexpr std::string_view kHistoryEpilog =
    "examples:\n"
    "  emberscope history\n"
    "  emberscope history --netuid 64 --since 2026-01-01\n"
    "  emberscope history --json | jq '.changes[-1]'\n"
    "\n"
    "Every change the monitor reported, oldest first, from the history log beside the state\n"
    "file, then per subnet its values over time as a line of bars (lowest ▁ to highest █).\n";

inline constexpr std::string_view kChatsEpilog =
    "examples:\n"
    "  emberscope chats\n"
    "  emberscope chats --token-file /etc/emberscope/bot-token\n"
    "\n"
    "Add the bot to the group (or write to it), send a message, then run this: it prints each chat\n"
    "of the updates Telegram still holds for the bot, without marking them read. Exit status 1 with\n"
    "Telegram's reason when getUpdates fails: a webhook is set, or a running `watch` reads the\n"
    "updates (stop it first, or look at its `[bot]` lines).\n";

inline constexpr std::string_view kConfigEpilog =
    "examples:\n"
    "  emberscope config check --config /etc/emberscope/emberscope.toml\n"
    "  EMBERSCOPE_CONFIG=./emberscope.toml emberscope config check\n"
    "\n"
    "The file names chats and rules, never a secret (the bot token stays in the environment or its\n"
    "file). Exit status 0: the routes as understood, one line each; 2: the file cannot be used (its\n"
    "line and key are named), and `watch`, `once` and `snapshot` refuse it the same way.\n";

inline constexpr std::string_view kDemoEpilog =
    "The demo starts Taostats and Telegram stand-ins on 127.0.0.1 in this process and runs\n"
    "`emberscope watch` against them: the start-up list, a few watch cycles with moving values,\n"
    "a rate limit, an alert held back by Telegram's flood control and delivered from the outbox,\n"
    "and the pause file ending the loop. Its clock skips the waits, so it takes a few seconds.\n"
    "Nothing is read from or written to your state.\n";

// The monitor's settings.
inline constexpr std::string_view kStateFile =
    "JSON file with the last seen values [EMBERSCOPE_STATE_FILE; default "
    "$XDG_STATE_HOME/emberscope/state.json or ~/.local/state/emberscope/state.json]";
inline constexpr std::string_view kThreshold =
    "report a subnet whose owner burn value moved by more than this, in the units of the values "
    "[EMBERSCOPE_THRESHOLD; default 0.01]";
inline constexpr std::string_view kInterval =
    "wait between watch cycles, at least 1 [EMBERSCOPE_INTERVAL_MINUTES; default 5]";
inline constexpr std::string_view kOutboxAge =
    "undelivered messages older than this are dropped from the outbox, with a line "
    "[EMBERSCOPE_OUTBOX_MAX_AGE_HOURS; default 24]";
inline constexpr std::string_view kBudget =
    "most seconds one cycle spends waiting on flood control and repeats; what does not fit stays "
    "in the outbox [EMBERSCOPE_WAIT_BUDGET_SECONDS; default a quarter of the interval]";
inline constexpr std::string_view kPauseFile =
    "while this file exists, monitoring is paused; '' switches pausing off "
    "[EMBERSCOPE_PAUSE_FILE; default: 'pause' beside the state file]";
inline constexpr std::string_view kChatId =
    "Telegram chat identifier, e.g. -1001234567890 or @channel [TELEGRAM_CHAT_ID]";
inline constexpr std::string_view kConfig =
    "TOML file of routes (several chats, each with its subnets, threshold, quiet hours) and the "
    "stale-data alert; see `emberscope config check` [EMBERSCOPE_CONFIG; default none: one route "
    "to the chat above]";
inline constexpr std::string_view kTokenFile =
    "file holding the Telegram bot token [TELEGRAM_BOT_TOKEN_FILE; else the token itself in "
    "TELEGRAM_BOT_TOKEN]";
inline constexpr std::string_view kKeyFile =
    "file holding the Taostats API key [TAOSTATS_API_KEY_FILE; else the key itself in "
    "TAOSTATS_API_KEY]";

// watch
inline constexpr std::string_view kSnapshotFlag =
    "send the start-up list (a fresh baseline) even when values are stored";
inline constexpr std::string_view kNoSnapshotFlag =
    "no start-up list and no cycle at start; start with the first wait";
inline constexpr std::string_view kVerbose =
    "a line after every cycle, also when standard error is not a terminal";
inline constexpr std::string_view kNoBot = "do not answer commands in the chat (/burn, /chart, ...)";
inline constexpr std::string_view kBotAllowUser =
    "also answer this Telegram user id, in any chat (repeatable) [EMBERSCOPE_BOT_ALLOW_USERS, "
    "comma-separated]";
inline constexpr std::string_view kMetricsListen =
    "serve Prometheus metrics (/metrics) and health (/healthz) over HTTP at this address; a bare "
    "PORT or :PORT listens on 127.0.0.1 only [EMBERSCOPE_METRICS_LISTEN; default off]";

// test-send, status, history, config check, demo
inline constexpr std::string_view kTestSendChatId = "Telegram chat identifier [TELEGRAM_CHAT_ID]";
inline constexpr std::string_view kViewStateFile =
    "the state file; the status file and the history log lie beside it [EMBERSCOPE_STATE_FILE; "
    "default $XDG_STATE_HOME/emberscope/state.json]";
inline constexpr std::string_view kJson = "one JSON object, for scripts";
inline constexpr std::string_view kNetuid = "only this subnet";
inline constexpr std::string_view kSince =
    "only changes at or after DATE (YYYY-MM-DD, or YYYY-MM-DDTHH:MM:SSZ)";
inline constexpr std::string_view kConfigCheckFile = "the file [EMBERSCOPE_CONFIG]";
inline constexpr std::string_view kConfigCheckThreshold =
    "threshold of routes that do not set one [EMBERSCOPE_THRESHOLD; default 0.01]";
inline constexpr std::string_view kConfigCheckChatId =
    "the chat of a file without routes [TELEGRAM_CHAT_ID]";
inline constexpr std::string_view kDemoServe =
    "start the stand-ins only and print the `export` lines to rehearse `watch`, routes and the "
    "bot against them, until Ctrl-C";

// The commands' one-line summaries.
inline constexpr std::string_view kWatchSummary =
    "report what changed since the last run (the start-up list on a first start), then run a "
    "watch cycle every interval until the pause file appears or the process is stopped (SIGTERM, "
    "Ctrl-C)";
inline constexpr std::string_view kOnceSummary = "run one watch cycle (for cron or a systemd timer)";
inline constexpr std::string_view kSnapshotSummary =
    "record every subnet's value as the baseline and send the full list";
inline constexpr std::string_view kTestSendSummary =
    "post one short test message to the chat and print what Telegram answered";
inline constexpr std::string_view kStatusSummary =
    "is it alive: the last cycle, its outcome, the outbox, the next cycle, then every stored "
    "value (no network)";
inline constexpr std::string_view kHistorySummary =
    "every change the monitor reported, and a trend line per subnet (no network)";
inline constexpr std::string_view kConfigSummary =
    "the configuration file (routes, quiet hours, stale-data alert)";
inline constexpr std::string_view kConfigCheckSummary =
    "read the file and print the routes as understood, or what is wrong and where";
inline constexpr std::string_view kDemoSummary =
    "run the monitor end to end against local stand-ins (no network, no keys)";
inline constexpr std::string_view kChatsSummary =
    "list the chats the bot has seen in recent updates (id, type, title), to find the chat id";

}  // namespace emberscope::program::help
