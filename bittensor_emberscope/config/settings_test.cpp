// The command's settings: flag, else variable, else default; every fault named at once.
#include "config/settings.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "config/describe.hpp"
#include "engine/cycle.hpp"
#include "testing_cpp/fake_config_files.hpp"

namespace emberscope::config {
namespace {

using Variables = std::map<std::string, std::string, std::less<>>;

constexpr const char* kKeyMissing =
    "the Taostats API key (TAOSTATS_API_KEY, or a file named by --taostats-key-file or TAOSTATS_API_KEY_FILE)";
constexpr const char* kTokenMissing =
    "the Telegram bot token (TELEGRAM_BOT_TOKEN, or a file named by --token-file or TELEGRAM_BOT_TOKEN_FILE)";
constexpr const char* kChatMissing = "the Telegram chat (--chat-id or TELEGRAM_CHAT_ID)";

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() {
        files.kinds["/"] = FileKind::directory;
        files.kinds["/srv"] = FileKind::directory;
        files.kinds["/dev/null"] = FileKind::character_device;
    }

    SettingsResult read(const Needs& needs = kMonitorNeeds) {
        const Environment environment = testing::environment_of(variables);
        return read_settings(flags, needs, Sources{environment, files, beside});
    }

    std::vector<std::string> faults(const Needs& needs = kMonitorNeeds) {
        SettingsResult result = read(needs);
        EXPECT_FALSE(result.settings);
        return result.faults;
    }

    Settings settings(const Needs& needs = kMonitorNeeds) {
        SettingsResult result = read(needs);
        EXPECT_TRUE(result.faults.empty()) << result.faults.front();
        return result.settings.value_or(Settings{});
    }

    Flags flags;
    Variables variables{{"TAOSTATS_API_KEY", "key-0123"},        {"TELEGRAM_BOT_TOKEN", "42:token"},
                        {"TELEGRAM_CHAT_ID", "-1001"},           {"EMBERSCOPE_STATE_FILE", "/srv/state.json"},
                        {"HOME", "/home/ann"}};
    testing::FakeConfigFiles files;
    SiblingFiles beside = [](std::string_view state) {
        return std::vector<std::string>{std::string(state) + ".status", std::string(state) + ".lock"};
    };
};

TEST_F(SettingsTest, DefaultsMakeOneRouteToTheChat) {
    const Settings s = settings();
    EXPECT_EQ(s.state_path, "/srv/state.json");
    EXPECT_EQ(s.pause_path, "/srv/pause");
    EXPECT_EQ(s.threshold, 0.01);
    EXPECT_EQ(s.interval_minutes, 5);
    EXPECT_EQ(s.outbox_max_age_hours, 24);
    EXPECT_EQ(s.outbox_max_age_hours * 3600, engine::kDefaultOutboxMaxAge);  // the cycle's own default
    EXPECT_EQ(s.wait_budget_seconds, std::nullopt);
    EXPECT_EQ((std::pair{s.token, s.taostats_key}), (std::pair<std::string, std::string>{"42:token", "key-0123"}));
    EXPECT_EQ(describe(s.config), (std::vector<std::string>{
                                      "config (no file: TELEGRAM_CHAT_ID and --threshold): 1 route(s), default "
                                      "threshold 0.01, no stale-data alert",
                                      "route 1: chat -1001, every subnet, threshold 0.01"}));
    EXPECT_TRUE(files.made.empty());  // the state file was named
}

TEST_F(SettingsTest, AFlagBeatsItsVariableAndAnEmptyVariableIsUnset) {
    variables["EMBERSCOPE_THRESHOLD"] = "0.4";
    variables["EMBERSCOPE_INTERVAL_MINUTES"] = "";
    variables["EMBERSCOPE_WAIT_BUDGET_SECONDS"] = " 1_0 ";
    flags.threshold = "0.3";
    flags.chat_id = "@my_channel";
    const Settings s = settings();
    EXPECT_EQ(s.threshold, 0.3);
    EXPECT_EQ(s.interval_minutes, 5);
    EXPECT_EQ(s.wait_budget_seconds, 10);
    EXPECT_EQ(s.chat_id, "@my_channel");
}

struct Fault {
    std::function<void(Flags&, Variables&, testing::FakeConfigFiles&)> setup;
    const char* message;
};

// Each setting's checks, in the words the command has always used.
TEST_F(SettingsTest, ABadSettingIsNamedWithWhereItCameFrom) {
    const Fault cases[] = {
        {[](Flags& f, Variables&, auto&) { f.threshold = "abc"; }, "--threshold: 'abc' is not a number"},
        {[](Flags&, Variables& v, auto&) { v["EMBERSCOPE_THRESHOLD"] = "0,05"; },
         "EMBERSCOPE_THRESHOLD: '0,05' is not a number"},
        {[](Flags& f, Variables&, auto&) { f.threshold = ""; }, "--threshold: '' is not a number"},
        {[](Flags& f, Variables&, auto&) { f.threshold = "nan"; }, "--threshold: 'nan' is not a finite number"},
        {[](Flags& f, Variables&, auto&) { f.threshold = "1e999"; }, "--threshold: '1e999' is not a finite number"},
        {[](Flags& f, Variables&, auto&) { f.threshold = "-0.1"; },
         "--threshold: '-0.1' is negative; the threshold is a distance between two values"},
        {[](Flags& f, Variables&, auto&) { f.interval_minutes = "5m"; }, "--interval-minutes: '5m' is not a number"},
        {[](Flags&, Variables& v, auto&) { v["EMBERSCOPE_INTERVAL_MINUTES"] = "0.5"; },
         "EMBERSCOPE_INTERVAL_MINUTES: '0.5' is below the shortest interval, 1 minute"},
        {[](Flags& f, Variables&, auto&) { f.outbox_max_age_hours = "0"; },
         "--outbox-max-age-hours: '0' is not a positive number of hours"},
        {[](Flags& f, Variables&, auto&) { f.wait_budget_seconds = "-1"; }, "--wait-budget-seconds: '-1' is negative"},
        {[](Flags& f, Variables&, auto&) { f.state_file = "/nonexistent/emberscope/state.json"; },
         "--state-file: the state directory '/nonexistent/emberscope' does not exist"},
        {[](Flags&, Variables& v, auto&) { v["EMBERSCOPE_STATE_FILE"] = "/nonexistent/state.json"; },
         "EMBERSCOPE_STATE_FILE: the state directory '/nonexistent' does not exist"},
        {[](Flags&, Variables& v, auto&) { v["EMBERSCOPE_STATE_FILE"] = "state.json"; },
         "EMBERSCOPE_STATE_FILE: the state directory '.' does not exist"},
        {[](Flags& f, Variables&, auto&) { f.state_file = "/srv"; }, "--state-file: '/srv' is a directory, not a file"},
        {[](Flags& f, Variables&, auto& files) {
             f.state_file = "/srv/state.fifo";
             files.kinds["/srv/state.fifo"] = FileKind::fifo;
         },
         "--state-file: '/srv/state.fifo' is not a regular file"},
        {[](Flags& f, Variables&, auto&) { f.token_file = "/nonexistent/token"; },
         "--token-file: cannot read the bot token file '/nonexistent/token': No such file or directory"},
        {[](Flags&, Variables& v, auto&) { v["TAOSTATS_API_KEY_FILE"] = "/dev/null"; },
         "TAOSTATS_API_KEY_FILE: cannot read the Taostats key file '/dev/null': a character device, not a "
         "regular file"},
        {[](Flags&, Variables& v, auto&) { v["TELEGRAM_BOT_TOKEN"] = " 42:to\x1bken "; },
         "TELEGRAM_BOT_TOKEN: the bot token holds a control character"},
        {[](Flags&, Variables& v, auto&) { v["TAOSTATS_API_KEY"] = "key\xc2\x85inside"; },
         "TAOSTATS_API_KEY: the Taostats key holds a control character"},
        {[](Flags&, Variables& v, auto&) { v["TELEGRAM_API_BASE"] = "api.telegram.org"; },
         "TELEGRAM_API_BASE: 'api.telegram.org' is not an http:// or https:// address (unset it for the "
         "public service)"},
        {[](Flags&, Variables& v, auto&) { v["TAOSTATS_API_BASE"] = ""; },
         "TAOSTATS_API_BASE: '' is not an http:// or https:// address (unset it for the public service)"},
        {[](Flags&, Variables& v, auto&) { v["TAOSTATS_API_BASE"] = "ftp://127.0.0.1"; },
         "TAOSTATS_API_BASE: 'ftp://127.0.0.1' is not an http:// or https:// address (unset it for the "
         "public service)"},
        {[](Flags&, Variables& v, auto&) { v["TELEGRAM_API_BASE"] = "http:/"; },
         "TELEGRAM_API_BASE: 'http:/' is not an http:// or https:// address (unset it for the public service)"},
        {[](Flags& f, Variables&, auto& files) {
             f.config = "/srv/e.toml";
             files.contents["/srv/e.toml"] = "[[route]]\nchat_id = \"-1\"\nthreshold = \"high\"\n";
         },
         "/srv/e.toml:3: route[1].threshold: must be a number, not 'high'"},
        {[](Flags&, Variables& v, auto&) { v["EMBERSCOPE_CONFIG"] = "/srv/missing.toml"; },
         "/srv/missing.toml: cannot open the configuration file: No such file or directory"},
        {[](Flags&, Variables&, auto& files) { files.kinds["/srv/state.json.lock"] = FileKind::fifo; },
         "/srv/state.json.lock is a FIFO, not a regular file; the command keeps only regular files there"},
        {[](Flags& f, Variables&, auto& files) {
             f.pause_file = "/srv/p";
             files.kinds["/srv/p"] = FileKind::socket;
             files.kinds["/srv/state.json.status"] = FileKind::directory;
         },
         "/srv/state.json.status is a directory, not a regular file; /srv/p is a socket, not a regular "
         "file; the command keeps only regular files there"},
    };
    for (const Fault& c : cases) {
        flags = Flags{};
        variables = {{"TAOSTATS_API_KEY", "key-0123"}, {"TELEGRAM_BOT_TOKEN", "42:token"},
                     {"TELEGRAM_CHAT_ID", "-1001"}, {"EMBERSCOPE_STATE_FILE", "/srv/state.json"}};
        files = testing::FakeConfigFiles{};
        files.kinds["/"] = FileKind::directory;
        files.kinds["/srv"] = FileKind::directory;
        files.kinds["/dev/null"] = FileKind::character_device;
        c.setup(flags, variables, files);
        EXPECT_EQ(faults(), std::vector<std::string>{c.message});
    }
}

// Four faults took four runs to find: each is named in the first.
TEST_F(SettingsTest, EveryFaultIsNamedInOneRun) {
    flags.threshold = "abc";
    variables["EMBERSCOPE_INTERVAL_MINUTES"] = "0.5";
    flags.token_file = "/nonexistent/token";
    variables["TELEGRAM_API_BASE"] = "api.telegram.org";
    flags.wait_budget_seconds = "-1";
    EXPECT_EQ(faults(), (std::vector<std::string>{
                            "--threshold: 'abc' is not a number",
                            "EMBERSCOPE_INTERVAL_MINUTES: '0.5' is below the shortest interval, 1 minute",
                            "--token-file: cannot read the bot token file '/nonexistent/token': No such file or "
                            "directory",
                            "TELEGRAM_API_BASE: 'api.telegram.org' is not an http:// or https:// address (unset "
                            "it for the public service)",
                            "--wait-budget-seconds: '-1' is negative"}));
}

TEST_F(SettingsTest, MissingSecretsAreNamedTogetherOnceEach) {
    variables.erase("TAOSTATS_API_KEY");
    variables.erase("TELEGRAM_CHAT_ID");
    variables["TELEGRAM_BOT_TOKEN"] = " \t ";
    EXPECT_EQ(faults(), std::vector<std::string>{"missing " + std::string(kKeyMissing) + "; " + kTokenMissing +
                                                 "; " + kChatMissing});
    // A token whose file cannot be read is named for that alone.
    flags.token_file = "/srv/token";
    files.contents["/srv/token"] = "\n";
    EXPECT_EQ(faults(), (std::vector<std::string>{"--token-file: the bot token file '/srv/token' is empty",
                                                  "missing " + std::string(kKeyMissing) + "; " + kChatMissing}));
}

TEST_F(SettingsTest, SecretsComeFromFilesWithoutTheWhiteSpaceAround) {
    files.contents["/srv/key"] = "\n\t key-file \r\n";
    files.contents["/srv/token"] = "\xc2\xa0 42:file-token\xc2\x85\n";
    variables["TAOSTATS_API_KEY_FILE"] = "/srv/key";
    flags.token_file = "/srv/token";
    const Settings s = settings();
    EXPECT_EQ(s.taostats_key, "key-file");
    EXPECT_EQ(s.token, "42:file-token");
}

TEST_F(SettingsTest, ASecretFileThatCannotBeUsedIsNamedNeverShown) {
    const std::pair<const char*, const char*> cases[] = {
        {"42:first\nsecond line\n", "--token-file: the bot token file '/srv/token' holds a control character"},
        {"42:tab\tinside", "--token-file: the bot token file '/srv/token' holds a control character"},
        {"42:c1\xc2\x9finside", "--token-file: the bot token file '/srv/token' holds a control character"},
        {"42:\xff", "--token-file: the bot token file '/srv/token' is not UTF-8 text"},
        {"", "--token-file: the bot token file '/srv/token' is empty"},
    };
    flags.token_file = "/srv/token";
    for (const auto& [content, message] : cases) {
        files.contents["/srv/token"] = content;
        EXPECT_EQ(faults(), std::vector<std::string>{message});
    }
}

// test-send and chats did not look at TELEGRAM_API_BASE ("unknown url type"); each command checks
// what it uses.
TEST_F(SettingsTest, EachCommandChecksWhatItUses) {
    variables["TELEGRAM_API_BASE"] = "/";
    variables["TAOSTATS_API_BASE"] = "taostats";
    const std::string telegram_base =
        "TELEGRAM_API_BASE: '/' is not an http:// or https:// address (unset it for the public service)";
    EXPECT_EQ(faults(kTestSendNeeds), std::vector<std::string>{telegram_base});
    EXPECT_EQ(faults(kChatsNeeds), std::vector<std::string>{telegram_base});
    EXPECT_EQ(faults(kMonitorNeeds).size(), 2u);
    variables.erase("TELEGRAM_API_BASE");
    variables.erase("TELEGRAM_CHAT_ID");
    variables.erase("TELEGRAM_BOT_TOKEN");
    EXPECT_EQ(faults(kTestSendNeeds),
              std::vector<std::string>{"missing " + std::string(kTokenMissing) + "; " + kChatMissing});
    EXPECT_EQ(faults(kChatsNeeds), std::vector<std::string>{"missing " + std::string(kTokenMissing)});
    EXPECT_EQ(faults(kConfigCheckNeeds),
              std::vector<std::string>{"no configuration file (--config or EMBERSCOPE_CONFIG) and no chat "
                                       "(--chat-id or TELEGRAM_CHAT_ID): there is no route"});
    // status and history need no secret, and make no folder.
    variables.erase("EMBERSCOPE_STATE_FILE");
    EXPECT_EQ(settings(kViewNeeds).state_path, "/home/ann/.local/state/emberscope/state.json");
    EXPECT_TRUE(files.made.empty());
}

TEST_F(SettingsTest, TheFilesRoutesStandInForTheChatAndTheThreshold) {
    variables.erase("TELEGRAM_CHAT_ID");
    variables["EMBERSCOPE_CONFIG"] = "/srv/e.toml";
    files.contents["/srv/e.toml"] = "threshold = 0.2\n[[route]]\nchat_id = \"-100777\"\nthreshold = 0.5\n";
    flags.threshold = "0.05";
    Settings s = settings();
    EXPECT_EQ((std::pair{s.chat_id, s.threshold}), (std::pair<std::string, double>{"-100777", 0.5}));
    EXPECT_EQ(s.config.path, "/srv/e.toml");
    // A file without routes needs the chat, and says so once.
    files.contents["/srv/e.toml"] = "threshold = 0.5\n";
    EXPECT_EQ(faults(), std::vector<std::string>{
                            "/srv/e.toml: route: no [[route]] in the file and no TELEGRAM_CHAT_ID / --chat-id: "
                            "there is no chat to send to"});
    variables["TELEGRAM_CHAT_ID"] = "-9";
    s = settings();
    EXPECT_EQ((std::pair{s.chat_id, s.threshold}), (std::pair<std::string, double>{"-9", 0.5}));
    // config check: the threshold of routes without one.
    s = settings(kConfigCheckNeeds);
    EXPECT_EQ(describe(s.config)[0], "config /srv/e.toml: 1 route(s), default threshold 0.5, no stale-data alert");
}

TEST_F(SettingsTest, TheDefaultStatePathFollowsXdgAndTheHome) {
    variables.erase("EMBERSCOPE_STATE_FILE");
    const std::pair<Variables, const char*> cases[] = {
        {{{"XDG_STATE_HOME", "/var/x"}, {"HOME", "/home/ann"}}, "/var/x/emberscope/state.json"},
        {{{"XDG_STATE_HOME", "relative"}, {"HOME", "/home/ann/"}}, "/home/ann/.local/state/emberscope/state.json"},
        {{{"XDG_STATE_HOME", ""}, {"HOME", "/"}}, "/.local/state/emberscope/state.json"},
        {{}, "/home/pw/.local/state/emberscope/state.json"},
    };
    files.home = "/home/pw";
    for (const auto& [environment, path] : cases) {
        const Environment lookup = testing::environment_of(environment);
        EXPECT_EQ(default_state_path(lookup, files), path);
    }
}

TEST_F(SettingsTest, TheDefaultStateFolderIsMadeOnlyForACommandThatRuns) {
    variables.erase("EMBERSCOPE_STATE_FILE");
    flags.threshold = "x";
    faults();
    EXPECT_TRUE(files.made.empty());
    flags.threshold.reset();
    EXPECT_EQ(settings().pause_path, "/home/ann/.local/state/emberscope/pause");
    EXPECT_EQ(files.made, std::vector<std::string>{"/home/ann/.local/state/emberscope"});
    files.kinds.erase("/home/ann/.local/state/emberscope");
    files.folder_error = "Permission denied";
    EXPECT_EQ(faults(), std::vector<std::string>{"cannot create the state directory "
                                                 "'/home/ann/.local/state/emberscope': Permission denied"});
    files.folder_error.reset();
    files.kinds["/home/ann/.local/state/emberscope/state.json"] = FileKind::fifo;
    EXPECT_EQ(faults(), std::vector<std::string>{
                            "the state file '/home/ann/.local/state/emberscope/state.json' is not a regular file"});
}

TEST_F(SettingsTest, ThePauseFile) {
    EXPECT_EQ(settings().pause_path, "/srv/pause");
    variables["EMBERSCOPE_PAUSE_FILE"] = "";
    EXPECT_EQ(settings().pause_path, "");  // pausing switched off
    flags.pause_file = "/run/p";
    EXPECT_EQ(settings().pause_path, "/run/p");
}

TEST_F(SettingsTest, TheOptionsOfWatchAreHandedOnWithTheirOrigin) {
    variables["EMBERSCOPE_METRICS_LISTEN"] = "9100";
    variables["EMBERSCOPE_BOT_ALLOW_USERS"] = "1,2";
    Settings s = settings();
    ASSERT_TRUE(s.metrics_listen);
    EXPECT_EQ((std::pair{s.metrics_listen->value, s.metrics_listen->origin}),
              (std::pair<std::string, std::string>{"9100", "EMBERSCOPE_METRICS_LISTEN"}));
    EXPECT_EQ(s.bot_allow_users, std::vector<std::string>{"1,2"});
    EXPECT_EQ(s.bot_allow_users_origin, "EMBERSCOPE_BOT_ALLOW_USERS");
    flags.bot_allow_user = {"3", "4,5"};
    flags.metrics_listen = "";
    s = settings();
    EXPECT_EQ(s.metrics_listen->origin, "--metrics-listen");
    EXPECT_EQ(s.bot_allow_users, (std::vector<std::string>{"3", "4,5"}));
    EXPECT_EQ(s.bot_allow_users_origin, "--bot-allow-user");
}

TEST_F(SettingsTest, AReloadReadsTheFileAgainOrSaysWhyNot) {
    const Environment environment = testing::environment_of(variables);
    const Sources sources{environment, files, beside};
    const Settings before = settings();
    Reloaded reloaded = reload_settings(flags, before, sources);
    EXPECT_FALSE(reloaded.settings);
    EXPECT_EQ(reloaded.reason, "no configuration file (--config or EMBERSCOPE_CONFIG)");

    flags.config = "/srv/e.toml";
    files.contents["/srv/e.toml"] = "[[route]]\nchat_id = \"-100777\"\n[[route]]\nchat_id = \"-100888\"\n";
    reloaded = reload_settings(flags, before, sources);
    ASSERT_TRUE(reloaded.settings) << reloaded.reason;
    EXPECT_EQ(reloaded.settings->config.routes.size(), 2u);
    EXPECT_EQ(reloaded.settings->chat_id, "-100777");
    EXPECT_EQ(reloaded.settings->token, before.token);
    EXPECT_EQ(reloaded.settings->state_path, before.state_path);

    files.contents["/srv/e.toml"] = "threshold = \"high\"\n[[route]]\nchat_id = \"-100999\"\n";
    reloaded = reload_settings(flags, before, sources);
    EXPECT_FALSE(reloaded.settings);
    EXPECT_EQ(reloaded.reason, "/srv/e.toml:1: threshold: must be a number, not 'high'");

    // A file nested beyond the bound is refused like any other: the loop goes on.
    files.contents["/srv/e.toml"] = "x = " + std::string(500, '[') + std::string(500, ']') + "\n";
    reloaded = reload_settings(flags, before, sources);
    EXPECT_EQ(reloaded.reason, "/srv/e.toml: not valid TOML: nested deeper than 32 levels (at line 1, column 37)");
}

}  // namespace
}  // namespace emberscope::config
