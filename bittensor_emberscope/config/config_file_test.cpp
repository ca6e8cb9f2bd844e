// The configuration file: what it accepts, and the line and key named for what it refuses.
#include "config/config_file.hpp"

#include <gtest/gtest.h>

#include <string>

#include "config/describe.hpp"
#include "testing_cpp/fake_config_files.hpp"

namespace emberscope::config {
namespace {

const char* const kFull = R"(threshold = 0.01                 # default for every route

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
)";

ConfigResult parse(std::string_view text, std::optional<std::string> chat = "-100") {
    return parse_config(text, "emberscope.toml", 0.01, chat);
}

std::string error_of(std::string_view text) {
    const ConfigResult result = parse(text);
    EXPECT_FALSE(result.config) << text;
    return result.error;
}

TEST(ConfigFile, TheFullExampleAsUnderstood) {
    const ConfigResult result = parse(kFull);
    ASSERT_TRUE(result.config) << result.error;
    EXPECT_EQ(describe(*result.config),
              (std::vector<std::string>{
                  "config emberscope.toml: 2 route(s), default threshold 0.01, stale-data alert after 30 min",
                  "route 1: chat -1001234567890, topic 42, subnets 1, 4, 64, threshold 0.05, and more "
                  "than 10% of the old value, silent, quiet 22:00-07:00 UTC (held, then one digest)",
                  "route 2: chat @burn_watch, every subnet, threshold 0.01"}));
    const routes::Route& first = result.config->routes[0];
    EXPECT_EQ(first.netuids, (std::vector<std::int64_t>{1, 4, 64}));
    EXPECT_EQ(first.thread_id, 42);
    EXPECT_TRUE(first.silent);
    EXPECT_EQ(first.quiet_hours, (routes::QuietHours{22 * 60, 7 * 60}));
}

TEST(ConfigFile, AnIntegerChatAndRepeatedSubnetsAreTakenOnce) {
    const ConfigResult result = parse("threshold = 0.2\n[[route]]\nchat_id = -100123\nnetuids = [3, 1, 3]\n");
    ASSERT_TRUE(result.config) << result.error;
    EXPECT_EQ(describe(*result.config),
              (std::vector<std::string>{
                  "config emberscope.toml: 1 route(s), default threshold 0.2, no stale-data alert",
                  "route 1: chat -100123, subnets 3, 1, threshold 0.2"}));
}

TEST(ConfigFile, WithoutRoutesTheChatOfTheEnvironmentGetsTheFilesThreshold) {
    const ConfigResult result = parse("threshold = 0.2\n", "-100");
    ASSERT_TRUE(result.config);
    ASSERT_EQ(result.config->routes.size(), 1u);
    EXPECT_EQ(result.config->routes[0].chat_id, "-100");
    EXPECT_EQ(result.config->routes[0].threshold, 0.2);
    EXPECT_EQ(parse("route = []\n", "-7").config->routes[0].chat_id, "-7");
}

TEST(ConfigFile, WithoutRoutesOrAChatThereIsNowhereToSend) {
    for (const std::optional<std::string>& chat : {std::optional<std::string>(), std::optional<std::string>("")})
        EXPECT_EQ(parse("threshold = 0.1\n", chat).error,
                  "emberscope.toml: route: no [[route]] in the file and no TELEGRAM_CHAT_ID / --chat-id: "
                  "there is no chat to send to");
}

struct Refusal {
    const char* text;
    const char* message;
};

// Each key's checks, with the line of the key (or of its route) named.
const Refusal kRefusals[] = {
    {"treshold = 1\n", "emberscope.toml:1: treshold: unknown key (allowed: route, stale, threshold)"},
    {"threshold = -1\n", "emberscope.toml:1: threshold: must be a finite number >= 0, not -1"},
    {"threshold = -1.5\n", "emberscope.toml:1: threshold: must be a finite number >= 0, not -1.5"},
    {"threshold = 'x'\n", "emberscope.toml:1: threshold: must be a number, not 'x'"},
    {"threshold = nan\n", "emberscope.toml:1: threshold: must be a finite number >= 0, not nan"},
    {"threshold = inf\n", "emberscope.toml:1: threshold: must be a finite number >= 0, not inf"},
    {"threshold = [1]\n", "emberscope.toml:1: threshold: must be a number, not an array"},
    {"threshold = 1979-05-27\n", "emberscope.toml:1: threshold: must be a number, not 1979-05-27"},
    {"[[route]]\nchat_id = 1\n\n[[route]]\nchat_id = '2'\nnetuid = [1]\n",
     "emberscope.toml:6: route[2].netuid: unknown key (allowed: above, below, chat_id, confirm_cycles, "
     "cooldown, direction, discord_webhook_env, discord_webhook_file, min_relative_change, netuids, "
     "quiet_hours, rearm, silent, thread_id, threshold, webhook_secret_file, webhook_url_file)"},
    // The first unknown key in the file's order, not in the alphabet's.
    {"[[route]]\nchat_id = '1'\nzz = 1\naa = 2\n", "emberscope.toml:3: route[1].zz: unknown key"},
    {"[[route]]\nnetuids = [1]\n", "emberscope.toml:1: route[1].chat_id: missing: every route names its chat"},
    {"[[route]]\nchat_id = true\n",
     "emberscope.toml:2: route[1].chat_id: must be a text or an integer, not true"},
    {"[[route]]\nchat_id = '1'\nnetuids = []\n",
     "emberscope.toml:3: route[1].netuids: must be a non-empty array of subnet numbers"},
    {"[[route]]\nchat_id = '1'\nnetuids = [1, '4']\n",
     "emberscope.toml:3: route[1].netuids: must be a non-empty array of subnet numbers"},
    {"[[route]]\nchat_id = '1'\nnetuids = 4\n",
     "emberscope.toml:3: route[1].netuids: must be a non-empty array of subnet numbers"},
    {"[[route]]\nchat_id = '1'\nnetuids = [1, -4]\n",
     "emberscope.toml:3: route[1].netuids: -4 is not a subnet number (0 to 65535)"},
    {"[[route]]\nchat_id = '1'\nnetuids = [65536]\n",
     "emberscope.toml:3: route[1].netuids: 65536 is not a subnet number (0 to 65535)"},
    {"[[route]]\nchat_id = '1'\n  threshold = true\n",
     "emberscope.toml:3: route[1].threshold: must be a number, not true"},
    {"[[route]]\nchat_id = '1'\nmin_relative_change = -0.1\n",
     "emberscope.toml:3: route[1].min_relative_change: must be a finite number >= 0, not -0.1"},
    {"[[route]]\nchat_id = '1'\nsilent = 'yes'\n",
     "emberscope.toml:3: route[1].silent: must be true or false, not 'yes'"},
    {"[[route]]\nchat_id = '1'\nthread_id = 0\n",
     "emberscope.toml:3: route[1].thread_id: must be a positive integer, not 0"},
    {"[[route]]\nchat_id = '1'\nthread_id = 1.5\n",
     "emberscope.toml:3: route[1].thread_id: must be a positive integer, not 1.5"},
    {"[[route]]\nchat_id = '1'\nquiet_hours = '22:00-7:00'\n",
     "emberscope.toml:3: route[1].quiet_hours: must be \"HH:MM-HH:MM\" in UTC with two different "
     "times, not '22:00-7:00'"},
    {"[[route]]\nchat_id = '1'\nquiet_hours = '22:00-22:00'\n",
     "emberscope.toml:3: route[1].quiet_hours: must be \"HH:MM-HH:MM\" in UTC with two different "
     "times, not '22:00-22:00'"},
    {"[[route]]\nchat_id = '1'\nquiet_hours = 2200\n",
     "emberscope.toml:3: route[1].quiet_hours: must be \"HH:MM-HH:MM\" in UTC with two different "
     "times, not 2200"},
    {"[[route]]\nchat_id = '1'\n[[route]]\nchat_id = 1\n",
     "emberscope.toml:4: route[2].chat_id: the same chat as route[1]; merge them into one route"},
    {"[[route]]\nchat_id = '1'\nthread_id = 3\n[[route]]\nchat_id = ' 1 '\nthread_id = 3\n",
     "emberscope.toml:5: route[2].chat_id: the same chat and topic as route[1]; merge them into one route"},
    {"[stale]\nafter_minutes = 0\n", "emberscope.toml:2: stale.after_minutes: must be a finite number > 0, not 0"},
    {"[stale]\nafter = 5\n", "emberscope.toml:2: stale.after: unknown key (allowed: after_minutes)"},
    {"stale = 5\n", "emberscope.toml:1: stale: must be a table ([stale])"},
    {"route = 3\n", "emberscope.toml:1: route: must be an array of tables ([[route]])"},
    {"[route]\nchat_id = '1'\n", "emberscope.toml:1: route: must be an array of tables ([[route]])"},
    {"route = [1]\n", "emberscope.toml:1: route[1]: must be a table ([[route]])"},
    {"token = \"42:secret\"\n", "emberscope.toml:1: token: unknown key (allowed: route, stale, threshold)"},
    {"threshold = 0.1\n[[route]]\nchat_id = \"-1\"\nthreshold = \"high\"\n",
     "emberscope.toml:4: route[1].threshold: must be a number, not 'high'"},
    // Destinations other than Telegram, and the rules against flapping.
    {"[[route]]\nchat_id = '1'\ndiscord_webhook_file = '/d'\n",
     "emberscope.toml:3: route[1].discord_webhook_file: a route sends to one destination, and chat_id "
     "names one already; make two routes"},
    {"[[route]]\ndiscord_webhook_file = ''\n",
     "emberscope.toml:2: route[1].discord_webhook_file: must name a file, not ''"},
    {"[[route]]\ndiscord_webhook_env = 'DISCORD URL'\n",
     "emberscope.toml:2: route[1].discord_webhook_env: must be the name of an environment variable, "
     "not 'DISCORD URL'"},
    {"[[route]]\ndiscord_webhook_file = '/d'\nwebhook_secret_file = '/k'\n",
     "emberscope.toml:3: route[1].webhook_secret_file: signs webhook bodies: it goes with webhook_url_file"},
    {"[[route]]\nwebhook_url_file = '/w'\nthread_id = 4\n",
     "emberscope.toml:3: route[1].thread_id: a webhook has no threads"},
    {"[[route]]\nwebhook_url_file = '/w'\n[[route]]\nwebhook_url_file = '/w'\n",
     "emberscope.toml:4: route[2].webhook_url_file: the same chat as route[1]"},
    {"[[route]]\nchat_id = '1'\nconfirm_cycles = 0\n",
     "emberscope.toml:3: route[1].confirm_cycles: must be a whole number from 1 to 1000, not 0"},
    {"[[route]]\nchat_id = '1'\ncooldown = 30\n",
     "emberscope.toml:3: route[1].cooldown: must be a duration such as \"30m\", \"2h\" or \"90s\", not 30"},
    {"[[route]]\nchat_id = '1'\ndirection = 'upward'\n",
     "emberscope.toml:3: route[1].direction: must be \"up\", \"down\" or \"any\", not 'upward'"},
    {"[[route]]\nchat_id = '1'\nrearm = 0.4\n",
     "emberscope.toml:3: route[1].rearm: goes with one level: above or below"},
    {"[[route]]\nchat_id = '1'\nabove = 0.5\nrearm = 0.6\n",
     "emberscope.toml:4: route[1].rearm: must not be above the level `above` (0.5)"},
    {"[[route]]\nchat_id = '1'\nbelow = 0.5\nrearm = 0.4\n",
     "emberscope.toml:4: route[1].rearm: must not be below the level `below` (0.5)"},
    {"[[route]]\nchat_id = '1'\nabove = 0.5\nbelow = 0.5\n",
     "emberscope.toml:4: route[1].below: must be below the level `above`"},
};

TEST(ConfigFile, DiscordAndWebhookRoutesWithTheirRulesAsUnderstood) {
    const ConfigResult result = parse(R"([[route]]
chat_id = "-1001234567890"
confirm_cycles = 3
cooldown = "30m"
direction = "up"

[[route]]
discord_webhook_file = "/etc/emberscope/discord-url"
thread_id = 77
silent = true
above = 0.5
rearm = 0.4

[[route]]
discord_webhook_env = "DISCORD_WEBHOOK_URL"

[[route]]
webhook_url_file = "/etc/emberscope/hook-url"
webhook_secret_file = "/etc/emberscope/hook-key"
)");
    ASSERT_TRUE(result.config) << result.error;
    EXPECT_EQ(describe(*result.config),
              (std::vector<std::string>{
                  "config emberscope.toml: 4 route(s), default threshold 0.01, no stale-data alert",
                  "route 1: chat -1001234567890, every subnet, threshold 0.01, alerts moves up, held 3 "
                  "cycles, then 30 min quiet per subnet",
                  "route 2: discord webhook from /etc/emberscope/discord-url, topic 77, every subnet, "
                  "threshold 0.01, silent, alerts above 0.5 (re-armed past 0.4), at once",
                  "route 3: discord webhook from $DISCORD_WEBHOOK_URL, every subnet, threshold 0.01",
                  "route 4: webhook from /etc/emberscope/hook-url, signed with /etc/emberscope/hook-key, "
                  "every subnet, threshold 0.01"}));
    const auto& routes = result.config->routes;
    EXPECT_EQ(routes[1].kind, routes::DestinationKind::discord);
    EXPECT_EQ(routes[1].chat_id, "discord:/etc/emberscope/discord-url");
    EXPECT_EQ(routes[2].chat_id, "discord:$DISCORD_WEBHOOK_URL");
    EXPECT_EQ(routes[2].address_env, "DISCORD_WEBHOOK_URL");
    EXPECT_EQ(routes[3].kind, routes::DestinationKind::webhook);
    EXPECT_EQ(routes[3].signing_file, "/etc/emberscope/hook-key");
    EXPECT_EQ(routes[0].flap.cooldown_seconds, 1800);
}

TEST(ConfigFile, AWrongKeyTypeOrValueNamesTheLineAndTheKey) {
    for (const Refusal& refusal : kRefusals) {
        const std::string error = error_of(refusal.text);
        EXPECT_TRUE(error.starts_with(refusal.message)) << refusal.text << "\n  gave " << error;
    }
}

TEST(ConfigFile, TextThatIsNotTomlNamesItsLineAndColumn) {
    const std::string error = error_of("threshold = \n");
    EXPECT_TRUE(error.starts_with("emberscope.toml: not valid TOML: ")) << error;
    EXPECT_TRUE(error.ends_with(" (at line 1, column 13)")) << error;
    EXPECT_TRUE(error_of("[[route]]\nchat_id = '1\n").ends_with("(at line 2, column 13)"));
}

// Telegram does not tell "@Chan" from "@chan": two routes to them were two queues of the same
// alerts to one channel.
TEST(ConfigFile, PublicNamesInAnotherCaseAreTheSameChat) {
    EXPECT_EQ(error_of("[[route]]\nchat_id = \"@Chan\"\n\n[[route]]\nchat_id = \"@chan\"\n"),
              "emberscope.toml:5: route[2].chat_id: the same chat as route[1]; merge them into one route");
    EXPECT_EQ(error_of("[[route]]\nchat_id = \"@Burn_Watch\"\n[[route]]\nchat_id = \"@burn_WATCH\"\n"
                       "thread_id = 2\n[[route]]\nchat_id = \"@BURN_watch\"\nthread_id = 2\n"),
              "emberscope.toml:7: route[3].chat_id: the same chat and topic as route[2]; merge them into "
              "one route");
    // Ids are compared as written, and a name is kept as written.
    const ConfigResult two = parse("[[route]]\nchat_id = \"@Chan_1\"\n[[route]]\nchat_id = \"@Chan_2\"\n");
    ASSERT_TRUE(two.config) << two.error;
    EXPECT_EQ(two.config->routes[0].chat_id, "@Chan_1");
}

TEST(ConfigFile, AChatIdThatLooksLikeNoChatIsRefusedSayingWhatOneLooksLike) {
    const std::string shape =
        " (a chat id is -100 followed by digits, a number, or @name of 4 to 32 letters, digits and "
        "underscores)";
    for (const char* value : {"'not a chat'", "''", "'   '", "'@abc'", "'@has space'", "'12ab'",
                              "'-'", "'@this_name_is_thirty_three_letters'", "'9223372036854775808'",
                              "\"-1\\u0007\""}) {
        const std::string text = std::string("[[route]]\nchat_id = ") + value + "\n";
        const std::string error = error_of(text);
        EXPECT_TRUE(error.starts_with("emberscope.toml:2: route[1].chat_id: is not a chat identifier: "))
            << error;
        EXPECT_TRUE(error.ends_with(shape)) << error;
    }
    EXPECT_EQ(error_of("[[route]]\nchat_id = 'not a chat'\n"),
              "emberscope.toml:2: route[1].chat_id: is not a chat identifier: 'not a chat'" + shape);
    for (const char* value : {"'-1001234567890'", "'12345'", "' -1 '", "'@chan'", "'@a_b_1'",
                              "'@this_name_is_thirty_two_letters_'", "-9223372036854775808"}) {
        const ConfigResult result = parse(std::string("[[route]]\nchat_id = ") + value + "\n");
        EXPECT_TRUE(result.config) << value << ": " << result.error;
    }
}

// A file nested 500 deep ended the command with a traceback (and a running `watch` on SIGHUP);
// toml++ bounds arrays, but a dotted key of 200,000 parts ended the process during the parse.
TEST(ConfigFile, NestingIsRefusedNamingItsLineBeforeTheParserSeesIt) {
    const std::string arrays = "threshold = 1\nx = " + std::string(500, '[') + std::string(500, ']') + "\n";
    EXPECT_EQ(error_of(arrays), "emberscope.toml: not valid TOML: nested deeper than 32 levels (at line 2, "
                                "column 37)");
    std::string dotted = "a";
    for (int i = 0; i < 200000; ++i) dotted += ".a";
    EXPECT_EQ(error_of("\n" + dotted + " = 1\n"),
              "emberscope.toml: not valid TOML: nested deeper than 32 levels (at line 2, column 66)");
    EXPECT_TRUE(error_of("[" + dotted + "]\n").starts_with("emberscope.toml: not valid TOML: nested deeper"));
    std::string tables = "x = ";
    for (int i = 0; i < 500; ++i) tables += "{a=";
    EXPECT_TRUE(error_of(tables + "1" + std::string(500, '}') + "\n").ends_with("(at line 1, column 101)"));
}

// The error-line finder of the old reader backtracked: a line of '[' and 2,000 spaces took 34 s.
// Lines now come from the parser: a megabyte of such a line is refused in one pass.
TEST(ConfigFile, ABracketAndAMegabyteOfSpacesIsRefusedAtItsLine) {
    const std::string text = "threshold = 1\n[" + std::string(kMaxConfigBytes - 20, ' ') + "\n";
    const std::string error = error_of(text);
    EXPECT_TRUE(error.starts_with("emberscope.toml: not valid TOML: ")) << error.substr(0, 200);
    EXPECT_NE(error.find("(at line 2, column "), std::string::npos) << error.substr(0, 200);
}

TEST(ConfigFile, FilesThatCannotBeReadOrUsed) {
    testing::FakeConfigFiles files;
    files.contents["/etc/big.toml"] = "#" + std::string(kMaxConfigBytes, ' ');
    files.contents["/etc/binary.toml"] = "threshold = 1\n\xff\n";
    files.contents["/etc/surrogate.toml"] = "threshold = 1 # \xed\xa0\x80\n";
    files.contents["/etc/good.toml"] = "[[route]]\nchat_id = '-5'\n";
    files.kinds["/etc/fifo.toml"] = FileKind::fifo;
    files.open_errors["/etc/secret.toml"] = "Permission denied";
    const std::pair<const char*, const char*> cases[] = {
        {"/etc/missing.toml", "/etc/missing.toml: cannot open the configuration file: No such file or directory"},
        {"/etc/secret.toml", "/etc/secret.toml: cannot open the configuration file: Permission denied"},
        {"/etc/fifo.toml", "/etc/fifo.toml: the configuration file is not a regular file"},
        {"/etc/big.toml", "/etc/big.toml: the configuration file is larger than 1 MiB"},
        {"/etc/binary.toml", "/etc/binary.toml: the configuration file is not UTF-8 text"},
        {"/etc/surrogate.toml", "/etc/surrogate.toml: the configuration file is not UTF-8 text"},
    };
    for (const auto& [path, message] : cases) EXPECT_EQ(load_config(files, path, 0.01, "1").error, message);
    const ConfigResult good = load_config(files, "/etc/good.toml", 0.3, std::nullopt);
    ASSERT_TRUE(good.config) << good.error;
    EXPECT_EQ(good.config->path, "/etc/good.toml");
    EXPECT_EQ(good.config->routes[0].threshold, 0.3);
}

TEST(ConfigFile, OneRouteWithoutAFile) {
    EXPECT_EQ(describe(single_route("@c", 0.3)),
              (std::vector<std::string>{"config (no file: TELEGRAM_CHAT_ID and --threshold): 1 route(s), "
                                        "default threshold 0.3, no stale-data alert",
                                        "route 1: chat @c, every subnet, threshold 0.3"}));
}

}  // namespace
}  // namespace emberscope::config
