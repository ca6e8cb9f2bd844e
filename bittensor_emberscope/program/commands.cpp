// The program's commands: the settings each needs read and checked before anything runs, then
// the command itself.
#include "program/commands.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "bot/telegram_api.hpp"
#include "config/describe.hpp"
#include "config/files.hpp"
#include "config/settings.hpp"
#include "config/config_file.hpp"
#include "engine/destination.hpp"
#include "engine/failures.hpp"
#include "engine/json.hpp"
#include "engine/outbox.hpp"
#include "native/chart_child.hpp"
#include "native/posix_services.hpp"
#include "program/monitor_commands.hpp"
#include "program/services.hpp"
#include "records/files.hpp"
#include "records/clock.hpp"
#include "records/values.hpp"
#include "records/views.hpp"

namespace emberscope::program {
namespace {

constexpr std::string_view kTestMessage = "emberscope: test message. The bot can post to this chat.";

// The settings `needs` asks for, or the usage error that names every one at fault.
std::variant<config::Settings, Shown> settings_for(const Invocation& invocation,
                                                   const config::Needs& needs) {
    const config::Environment environment = environment_variable;
    config::PosixFiles files;
    const config::Sources sources{environment, files, [](std::string_view state_path) {
                                      return records::own_files(state_path, "");
                                  }};
    config::SettingsResult result = config::read_settings(invocation.flags, needs, sources);
    if (!result.settings) return Shown{usage_error(invocation.command, result.faults), 2};
    return std::move(*result.settings);
}

records::Clock now_reading() {
    native::PosixServices services;
    return records::Clock{services.epoch_seconds(), services.boot_id(), services.monotonic_seconds()};
}

int show_view(const records::ViewOutput& view, Console& console) {
    for (const std::string& line : view.errors) console.say(std::string(kProgram) + ": " + line + "\n");
    if (!view.out.empty()) out(view.out);
    return view.exit_status;
}

int status_command(const Invocation& invocation, const config::Settings& settings, Console& console) {
    return show_view(records::status_view(settings.state_path, invocation.json, now_reading()),
                     console);
}

int history_command(const Invocation& invocation, const config::Settings& settings,
                    Console& console) {
    std::optional<double> since;
    if (invocation.since) {
        auto parsed = records::parse_since(*invocation.since);
        if (auto* problem = std::get_if<std::string>(&parsed)) {
            console.say_plain(usage_error("history", {*problem}));
            return 2;
        }
        since = std::get<double>(parsed);
    }
    std::optional<std::string> netuid;
    if (invocation.netuid) netuid = std::to_string(*invocation.netuid);
    return show_view(records::history_view(settings.state_path, netuid, since, invocation.json),
                     console);
}

int config_check_command(const config::Settings& settings) {
    std::string text;
    for (const std::string& line : config::describe(settings.config)) text += line + "\n";
    out(text);
    return 0;
}

// The test message through a route of another kind than Telegram: its answer's line, and
// whether it was taken.
bool test_other_route(ProgramServices& services, const routes::Route& route, const std::string& text,
                      const std::string& stamp) {
    const engine::Address address = engine::read_address(services, route);
    const std::string word = routes::destination_word(route.kind);
    if (!address.problem.empty()) {
        out(word + ": " + address.problem + "\n");
        return false;
    }
    const std::vector<secrets::Secret> masks = engine::address_secrets(route, address);
    const std::unique_ptr<engine::Sender> sender = engine::make_sender(services, route, "", address);
    const std::vector<std::string> queued =
        engine::queued_texts(route, engine::Message{"test", stamp, text, {}, route.chat_id});
    HttpRequest request = sender->request(queued.front(), route.chat_id);
    request.deadline_seconds = engine::kTelegramDeadline;
    request.protocol_errors_fail = true;
    engine::AnswerContext context{masks, engine::endpoint_of(services, request.url),
                                  engine::kTelegramDeadline, services.epoch_seconds()};
    const engine::Outcome outcome = sender->judge(services.http(request), context);
    if (outcome.kind == engine::Outcome::Kind::delivered) {
        out(word + ": ok (test message sent to " + route.chat_id + ")\n");
        return true;
    }
    out(secrets::mask(outcome.error, masks) + "\n");
    return false;
}

int test_send_command(const config::Settings& settings, Console& console) {
    const Clock clock;
    ProgramServices services(console, clock, nullptr);
    bot::TelegramApi api(services, settings.token, telegram_api_base());
    const std::string stamp = records::format_utc(clock.wall());
    const std::string text = std::string(kTestMessage) + " (" + stamp + ")";
    std::vector<routes::Route> all = settings.config.routes;
    if (all.empty()) all = config::single_route(settings.chat_id, settings.threshold).routes;
    bool every = true;
    // Every route whatever its kind, each answer on its own line.
    for (const routes::Route& route : all) {
        if (route.kind != routes::DestinationKind::telegram) {
            every = test_other_route(services, route, text, engine::utc_text(clock.wall())) && every;
            continue;
        }
        const engine::Verdict verdict = api.call(
            "sendMessage", {{"chat_id", route.chat_id}, {"text", text},
                            {"disable_web_page_preview", "true"}});
        if (verdict.kind == engine::Verdict::Kind::delivered) {
            out("telegram: ok (test message sent to chat " + route.chat_id + ")\n");
        } else {
            out(verdict.error + "\n");
            every = false;
        }
    }
    return every ? 0 : 1;
}

struct SeenChat {
    std::string id, type, title;
};

std::string text_of(const engine::JsonValue* value) {
    return value == nullptr || value->kind == engine::JsonValue::Kind::null ? std::string()
                                                                             : engine::host_str(*value);
}

// The chats of the updates Telegram holds for the bot, in order of first appearance.
std::vector<SeenChat> seen_chats(const std::string& result) {
    std::vector<SeenChat> chats;
    auto parsed = engine::parse_json(result);
    const auto* updates = std::get_if<engine::JsonValue>(&parsed);
    if (updates == nullptr || !updates->is_array()) return chats;
    for (const engine::JsonValue& update : updates->items) {
        if (!update.is_object()) continue;
        for (const char* kind : {"message", "edited_message", "channel_post", "edited_channel_post",
                                 "my_chat_member"}) {
            const engine::JsonValue* holder = update.get(kind);
            const engine::JsonValue* chat = holder && holder->is_object() ? holder->get("chat") : nullptr;
            if (chat == nullptr || !chat->is_object() || chat->get("id") == nullptr) continue;
            std::string title = text_of(chat->get("title"));
            if (!chat->get("title") || !chat->get("title")->truthy()) {
                title.clear();
                for (const char* part : {"first_name", "last_name"}) {
                    const engine::JsonValue* name = chat->get(part);
                    if (name && name->truthy()) title += (title.empty() ? "" : " ") + text_of(name);
                }
            }
            if (const engine::JsonValue* user = chat->get("username"); user && user->truthy())
                title += (title.empty() ? "@" : " @") + text_of(user);
            const std::string id = text_of(chat->get("id"));
            if (std::none_of(chats.begin(), chats.end(), [&](const SeenChat& c) { return c.id == id; }))
                chats.push_back({id, text_of(chat->get("type")), title});
        }
    }
    return chats;
}

int chats_command(const config::Settings& settings, Console& console) {
    const Clock clock;
    ProgramServices services(console, clock, nullptr);
    bot::TelegramApi api(services, settings.token, telegram_api_base());
    const engine::Verdict verdict = api.call("getUpdates", {{"timeout", "0"}});
    if (verdict.kind != engine::Verdict::Kind::delivered) {
        console.say(std::string(kProgram) + ": getUpdates failed: " + verdict.error + "\n");
        return 1;
    }
    const std::vector<SeenChat> chats = seen_chats(verdict.result.value_or("[]"));
    if (chats.empty()) {
        out("no chats in the bot's recent updates: send the bot a message (in a group, a command "
            "such as /help) and run this again\n");
        return 0;
    }
    std::size_t width = 2, kind = 4;
    for (const SeenChat& c : chats) {
        width = std::max(width, records::length(c.id));
        kind = std::max(kind, records::length(c.type));
    }
    std::string text = records::align_right("id", width) + "  " + records::align_left("type", kind) +
                       "  title\n";
    for (const SeenChat& c : chats)
        text += records::align_right(c.id, width) + "  " + records::align_left(c.type, kind) + "  " +
                c.title + "\n";
    out(text);
    return 0;
}

// The demo's stand-ins are the package's Python ones: the interpreter beside the program runs
// the demo, which runs this program's `watch` against them.
int demo_command(const Invocation& invocation, Console& console) {
    const std::optional<std::string> python = native::find_interpreter(native::program_dir());
    if (!python) {
        console.say(std::string(kProgram) +
                    ": the demo needs the Python interpreter of the environment the program was "
                    "installed into (none beside " + native::program_dir() + ")\n");
        return 1;
    }
    std::vector<std::string> args{*python, "-m", "bittensor_emberscope.demo"};
    if (invocation.serve) args.emplace_back("--serve");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    console.say(std::string(kProgram) + ": cannot run " + *python + "\n");
    return 1;
}

int run(const Invocation& invocation, Console& console) {
    const std::string& command = invocation.command;
    if (command == "demo") return demo_command(invocation, console);
    const config::Needs needs = command == "status" || command == "history" ? config::kViewNeeds
                                : command == "config check"                 ? config::kConfigCheckNeeds
                                : command == "test-send"                    ? config::kTestSendNeeds
                                : command == "chats"                        ? config::kChatsNeeds
                                                                            : config::kMonitorNeeds;
    auto settings = settings_for(invocation, needs);
    if (auto* refused = std::get_if<Shown>(&settings)) {
        console.say_plain(refused->text);
        return refused->exit_status;
    }
    const config::Settings& s = std::get<config::Settings>(settings);
    if (command == "status") return status_command(invocation, s, console);
    if (command == "history") return history_command(invocation, s, console);
    if (command == "config check") return config_check_command(s);
    if (command == "test-send") return test_send_command(s, console);
    if (command == "chats") return chats_command(s, console);
    if (command == "once") return run_once(s, console);
    if (command == "snapshot") return run_snapshot(s, console);
    return run_watch(invocation, s, console);
}

}  // namespace

int terminal_columns() {
    if (const char* text = std::getenv("COLUMNS")) {
        char* end = nullptr;
        const long columns = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && columns > 0) return static_cast<int>(columns);
    }
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

int run_program(const std::vector<std::string>& args) {
    Console console(Console::stamped_by_default());
    auto read = read_command_line(args, terminal_columns());
    try {
        if (auto* shown = std::get_if<Shown>(&read)) {
            if (shown->exit_status == 0) out(shown->text);
            else console.say_plain(shown->text);
            return shown->exit_status;
        }
        return run(std::get<Invocation>(read), console);
    } catch (const OutputClosed&) {
        return 1;
    } catch (const OutputFailed& e) {
        console.say_plain(std::string(kProgram) + ": cannot write to standard output: " + e.what() + "\n");
        return 1;
    } catch (const engine::StopRequest& stop) {
        // Ctrl-C during `once` or `snapshot`.
        console.say("[burn] stopped (" + stop.signal_name + ")\n");
        return 130;
    }
}

}  // namespace emberscope::program
