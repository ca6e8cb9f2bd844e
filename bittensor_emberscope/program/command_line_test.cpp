#include "program/command_line.hpp"
#include "program/console.hpp"

#include <gtest/gtest.h>

namespace emberscope::program {
namespace {

Invocation read_ok(std::vector<std::string> args) {
    auto got = read_command_line(args);
    if (auto* shown = std::get_if<Shown>(&got)) ADD_FAILURE() << shown->text;
    return std::get<Invocation>(got);
}

Shown read_shown(std::vector<std::string> args) {
    auto got = read_command_line(args);
    EXPECT_TRUE(std::holds_alternative<Shown>(got));
    return std::holds_alternative<Shown>(got) ? std::get<Shown>(got) : Shown{};
}

TEST(CommandLine, TakesEachCommandsOptions) {
    Invocation w = read_ok({"watch", "--threshold", "0.05", "--no-bot", "--bot-allow-user", "7",
                            "--bot-allow-user", "8", "--metrics-listen", ":9464",
                            "--pause-file", ""});
    EXPECT_EQ(w.command, "watch");
    EXPECT_EQ(w.flags.threshold, "0.05");
    EXPECT_EQ(w.flags.pause_file, "");  // '' switches pausing off: present, empty
    EXPECT_FALSE(w.flags.state_file.has_value());
    EXPECT_TRUE(w.no_bot);
    EXPECT_EQ(w.flags.bot_allow_user, (std::vector<std::string>{"7", "8"}));
    EXPECT_EQ(w.flags.metrics_listen, ":9464");

    Invocation h = read_ok({"history", "--netuid", "64", "--since", "2026-01-01", "--json"});
    EXPECT_EQ(h.netuid, 64);
    EXPECT_EQ(h.since, "2026-01-01");
    EXPECT_TRUE(h.json);

    Invocation c = read_ok({"config", "check", "--config", "/etc/e.toml"});
    EXPECT_EQ(c.command, "config check");
    EXPECT_EQ(c.flags.config, "/etc/e.toml");

    // The last of a repeated option wins, as before.
    EXPECT_EQ(read_ok({"once", "--threshold", "1", "--threshold", "2"}).flags.threshold, "2");
}

TEST(CommandLine, RefusesWhatIsNotItsOwn) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        // No abbreviations: --token is not --token-file, and a secret never rides on argv.
        {{"once", "--token", "42:x"}, "emberscope once: error: unrecognized arguments: --token 42:x\n"},
        {{"watch", "--snapshot", "--no-snapshot"},
         "emberscope watch: error: argument --no-snapshot: not allowed with argument --snapshot\n"},
        {{"history", "--netuid", "x"}, "emberscope history: error: argument --netuid: invalid int value: 'x'\n"},
        {{"status", "--threshold", "1"}, "emberscope status: error: unrecognized arguments: --threshold 1\n"},
        {{"config", "show"},
         "emberscope config: error: argument COMMAND: invalid choice: 'show' (choose from 'check')\n"},
        {{}, "emberscope: error: the following arguments are required: COMMAND\n"},
    };
    for (const Case& c : cases) {
        const Shown shown = read_shown(c.args);
        EXPECT_EQ(shown.exit_status, 2);
        EXPECT_TRUE(shown.text.starts_with("usage: emberscope")) << shown.text;
        EXPECT_TRUE(shown.text.ends_with(c.error)) << shown.text;
    }
}

TEST(CommandLine, HelpNamesEverySettingAndItsVariable) {
    const Shown top = read_shown({"--help"});
    EXPECT_EQ(top.exit_status, 0);
    for (const char* word : {"watch", "once", "snapshot", "status", "demo", "examples:",
                             "TAOSTATS_API_KEY", "TELEGRAM_BOT_TOKEN"})
        EXPECT_NE(top.text.find(word), std::string::npos) << word;
    const Shown watch = read_shown({"watch", "--help"});
    for (const char* word : {"EMBERSCOPE_STATE_FILE", "EMBERSCOPE_THRESHOLD",
                             "EMBERSCOPE_INTERVAL_MINUTES", "EMBERSCOPE_PAUSE_FILE",
                             "TELEGRAM_CHAT_ID", "TELEGRAM_BOT_TOKEN_FILE",
                             "TAOSTATS_API_KEY_FILE", "--no-snapshot", "examples:"})
        EXPECT_NE(watch.text.find(word), std::string::npos) << word;
    EXPECT_TRUE(watch.text.starts_with("usage: emberscope watch [-h] [--snapshot]"));
}

TEST(Console, LoneSurrogatesAreWrittenAsTheirEscapes) {
    struct Case {
        std::string in, shown;
    };
    const Case cases[] = {
        {"0.1\xed\xa0\x80", "0.1\\ud800"},
        {"\xed\xbf\xbfx\xed\xa0\x80", "\\udfffx\\ud800"},
        {"\xed\x9f\xbf", "\xed\x9f\xbf"},  // U+D7FF is a character, not a surrogate
        {"SN7: 0.2500 \xe2\x86\x92 1", "SN7: 0.2500 \xe2\x86\x92 1"},
        {"\xed\xa0", "\xed\xa0"},  // cut short: left as it is
    };
    for (const Case& c : cases) EXPECT_EQ(escaped_surrogates(c.in), c.shown);
}

}  // namespace
}  // namespace emberscope::program
