// The configuration file: toml++ parses it, this file checks every key against what the
// command follows. Lines come from the parser's own record of where each key stood.
#include "config/config_file.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include <fmt/format.h>
#include <toml++/toml.h>

#include "burns/numeric.hpp"
#include "bot/commands.hpp"
#include "burns/repr.hpp"
#include "common/utf8.hpp"
#include "config/chat_ids.hpp"
#include "config/nesting.hpp"
#include "config/route_rules.hpp"
#include "config/values.hpp"

namespace emberscope::config {
namespace {

using Line = std::optional<std::size_t>;

const std::set<std::string_view> kTopKeys = {"threshold", "route", "stale"};
const std::set<std::string_view> kRouteKeys = {
    "chat_id", "netuids", "threshold", "min_relative_change", "silent", "thread_id", "quiet_hours",
    "discord_webhook_file", "discord_webhook_env", "webhook_url_file", "webhook_secret_file",
    "confirm_cycles", "cooldown", "direction", "above", "below", "rearm"};
// The keys that name a route's destination: exactly one per route.
constexpr std::string_view kDestinationKeys[] = {"chat_id", "discord_webhook_file", "discord_webhook_env",
                                                 "webhook_url_file"};
// Most cycles a move may be asked to hold.
constexpr std::int64_t kMaxConfirmCycles = 1000;
const std::set<std::string_view> kStaleKeys = {"after_minutes"};

std::string two_digits(unsigned value) { return fmt::format("{:02}", value); }

std::string time_text(const toml::time& t) {
    std::string text = two_digits(t.hour) + ":" + two_digits(t.minute) + ":" + two_digits(t.second);
    if (t.nanosecond / 1000 != 0) text += fmt::format(".{:06}", t.nanosecond / 1000);
    return text;
}

std::string date_text(const toml::date& d) {
    return fmt::format("{:04}-{:02}-{:02}", d.year, d.month, d.day);
}

// A value as the messages show it: a text quoted, a number as written back, a table or an
// array by its kind.
std::string shown(const toml::node& value) {
    if (const auto* s = value.as_string()) return burns::repr(s->get());
    if (const auto* b = value.as_boolean()) return b->get() ? "true" : "false";
    if (const auto* i = value.as_integer()) return std::to_string(i->get());
    if (const auto* f = value.as_floating_point()) return burns::shortest_form(f->get());
    if (value.is_table()) return "a table";
    if (value.is_array()) return "an array";
    if (const auto* d = value.as_date()) return date_text(d->get());
    if (const auto* t = value.as_time()) return time_text(t->get());
    if (const auto* dt = value.as_date_time()) {
        const toml::date_time& m = dt->get();
        std::string text = date_text(m.date) + " " + time_text(m.time);
        if (m.offset) {
            const int minutes = m.offset->minutes;
            const int size = minutes < 0 ? -minutes : minutes;
            text += fmt::format("{}{:02}:{:02}", minutes < 0 ? '-' : '+', size / 60, size % 60);
        }
        return text;
    }
    return "a value";
}

Line line_of(const toml::source_region& where) {
    if (where.begin.line == 0) return std::nullopt;
    return where.begin.line;
}

// The line of `name` in `table`, else the table's own line (its header).
Line line_in(const toml::table& table, std::string_view name) {
    for (auto&& [key, value] : table)
        if (key.str() == name) return line_of(key.source());
    return line_of(table.source());
}

bool before(const toml::source_position& a, const toml::source_position& b) {
    return a.line != b.line ? a.line < b.line : a.column < b.column;
}

class Reader {
public:
    explicit Reader(std::string_view path) : path_(path) {}

    std::string fail(Line line, std::string_view where, std::string_view problem) const {
        if (line) return fmt::format("{}:{}: {}: {}", path_, *line, where, problem);
        return fmt::format("{}: {}: {}", path_, where, problem);
    }

    // The first key of `table` in the file's order that is not in `allowed`.
    std::optional<std::string> unknown(const toml::table& table,
                                       const std::set<std::string_view>& allowed,
                                       std::string_view prefix) const {
        const toml::key* first = nullptr;
        for (auto&& [key, value] : table)
            if (!allowed.contains(key.str()) &&
                (first == nullptr || before(key.source().begin, first->source().begin)))
                first = &key;
        if (first == nullptr) return std::nullopt;
        std::string names;
        for (std::string_view name : allowed) names += (names.empty() ? "" : ", ") + std::string(name);
        return fail(line_of(first->source()), std::string(prefix) + std::string(first->str()),
                    "unknown key (allowed: " + names + ")");
    }

    // A number >= 0 (> 0 when `positive`), or the error naming `where`.
    std::pair<double, std::string> number(const toml::node& value, std::string_view where,
                                          bool positive, Line line) const {
        double number = 0;
        if (const auto* i = value.as_integer()) number = static_cast<double>(i->get());
        else if (const auto* f = value.as_floating_point()) number = f->get();
        else return {0, fail(line, where, "must be a number, not " + shown(value))};
        if (!is_threshold(number) || (positive && number == 0))
            return {0, fail(line, where, std::string("must be a finite number ") +
                                             (positive ? "> 0" : ">= 0") + ", not " + shown(value))};
        return {number, ""};
    }

private:
    std::string_view path_;
};

struct RouteResult {
    routes::Route route;
    std::string error;
};

RouteResult chat_of(const Reader& r, const toml::node& chat, const std::string& name, Line line) {
    RouteResult out;
    std::string text;
    if (const auto* s = chat.as_string()) text = s->get();
    else if (const auto* i = chat.as_integer()) text = std::to_string(i->get());
    else {
        out.error = r.fail(line, name + ".chat_id", "must be a text or an integer, not " + shown(chat));
        return out;
    }
    out.route.chat_id = strip_white(text);
    if (!is_chat_id(out.route.chat_id))
        out.error = r.fail(line, name + ".chat_id", "is not a chat identifier: " + shown(chat) +
                                                         " (" + std::string(kChatIdShape) + ")");
    return out;
}

// A text value that names a file or a variable; the error when it is not one.
std::string path_text(const Reader& r, const toml::table& table, const std::string& name,
                      std::string_view key, std::string& out) {
    const toml::node* value = table.get(key);
    const Line line = line_in(table, key);
    const std::string where = name + "." + std::string(key);
    if (!value->is_string())
        return r.fail(line, where, "must be a text, not " + shown(*value));
    out = strip_white(value->as_string()->get());
    if (out.empty() || has_control(out)) return r.fail(line, where, "must name a file, not " + shown(*value));
    return "";
}

// A Discord or webhook destination: where its address (a secret, never in this file) is read.
std::string destination_of(const Reader& r, const toml::table& table, const std::string& name,
                           std::string_view key, routes::Route& route) {
    route.kind = key == "webhook_url_file" ? routes::DestinationKind::webhook : routes::DestinationKind::discord;
    if (key == "discord_webhook_env") {
        const toml::node* value = table.get(key);
        const std::string text = value->is_string() ? value->as_string()->get() : "";
        bool word = !text.empty() && !(text[0] >= '0' && text[0] <= '9');
        for (char c : text)
            word = word && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
        if (!word)
            return r.fail(line_in(table, key), name + "." + std::string(key),
                          "must be the name of an environment variable, not " + shown(*value));
        route.address_env = text;
    } else if (std::string error = path_text(r, table, name, key, route.address_file); !error.empty()) {
        return error;
    }
    if (table.get("webhook_secret_file")) {
        if (route.kind != routes::DestinationKind::webhook)
            return r.fail(line_in(table, "webhook_secret_file"), name + ".webhook_secret_file",
                          "signs webhook bodies: it goes with webhook_url_file");
        if (std::string error = path_text(r, table, name, "webhook_secret_file", route.signing_file);
            !error.empty())
            return error;
    }
    route.chat_id = routes::destination_name(route.kind, route.address_file, route.address_env);
    return "";
}

// The rules against flapping; the error of the first that cannot be used.
std::string flap_rules_of(const Reader& r, const toml::table& table, const std::string& name,
                          routes::FlapRules& rules) {
    const auto at = [&](std::string_view key) { return line_in(table, key); };
    if (const toml::node* confirm = table.get("confirm_cycles")) {
        if (!confirm->is_integer() || confirm->as_integer()->get() < 1 ||
            confirm->as_integer()->get() > kMaxConfirmCycles)
            return r.fail(at("confirm_cycles"), name + ".confirm_cycles",
                          fmt::format("must be a whole number from 1 to {}, not {}", kMaxConfirmCycles,
                                      shown(*confirm)));
        rules.confirm_cycles = static_cast<int>(confirm->as_integer()->get());
    }
    if (const toml::node* cooldown = table.get("cooldown")) {
        const std::optional<double> seconds =
            cooldown->is_string() ? bot::parse_duration(cooldown->as_string()->get()) : std::nullopt;
        if (!seconds)
            return r.fail(at("cooldown"), name + ".cooldown",
                          "must be a duration such as \"30m\", \"2h\" or \"90s\", not " + shown(*cooldown));
        rules.cooldown_seconds = *seconds;
    }
    if (const toml::node* direction = table.get("direction")) {
        const std::string text = direction->is_string() ? direction->as_string()->get() : "";
        if (text == "up") rules.direction = routes::Direction::up;
        else if (text == "down") rules.direction = routes::Direction::down;
        else if (text != "any")
            return r.fail(at("direction"), name + ".direction",
                          "must be \"up\", \"down\" or \"any\", not " + shown(*direction));
    }
    for (auto [key, target] : {std::pair{"above", &rules.above}, std::pair{"below", &rules.below},
                               std::pair{"rearm", &rules.rearm}}) {
        if (const toml::node* value = table.get(key)) {
            auto [number, error] = r.number(*value, name + "." + key, false, at(key));
            if (!error.empty()) return error;
            *target = number;
        }
    }
    if (rules.rearm) {
        const std::string where = name + ".rearm";
        if (rules.above.has_value() == rules.below.has_value())
            return r.fail(at("rearm"), where, "goes with one level: above or below");
        if (rules.above && *rules.rearm > *rules.above)
            return r.fail(at("rearm"), where, "must not be above the level `above` (" +
                                                  burns::shortest_form(*rules.above) + ")");
        if (rules.below && *rules.rearm < *rules.below)
            return r.fail(at("rearm"), where, "must not be below the level `below` (" +
                                                  burns::shortest_form(*rules.below) + ")");
    }
    if (rules.above && rules.below && *rules.below >= *rules.above)
        return r.fail(at("below"), name + ".below", "must be below the level `above`");
    return "";
}

RouteResult route_of(const Reader& r, const toml::node& raw, std::size_t index,
                     double default_threshold) {
    const std::string name = "route[" + std::to_string(index + 1) + "]";
    RouteResult out;
    const toml::table* table = raw.as_table();
    if (table == nullptr) {
        out.error = r.fail(line_of(raw.source()), name, "must be a table ([[route]])");
        return out;
    }
    if (auto unknown = r.unknown(*table, kRouteKeys, name + ".")) {
        out.error = *unknown;
        return out;
    }
    const auto at = [&](std::string_view key) { return line_in(*table, key); };
    std::vector<std::string_view> named;
    for (std::string_view key : kDestinationKeys)
        if (table->get(key)) named.push_back(key);
    if (named.empty()) {
        out.error = r.fail(line_of(table->source()), name + ".chat_id",
                           "missing: every route names its chat (chat_id), a Discord webhook "
                           "(discord_webhook_file or discord_webhook_env) or a webhook (webhook_url_file)");
        return out;
    }
    if (named.size() > 1) {
        out.error = r.fail(at(named[1]), name + "." + std::string(named[1]),
                           "a route sends to one destination, and " + std::string(named[0]) +
                               " names one already; make two routes");
        return out;
    }
    if (named[0] == "chat_id") {
        out = chat_of(r, *table->get("chat_id"), name, at("chat_id"));
        if (!out.error.empty()) return out;
    } else if (std::string error = destination_of(r, *table, name, named[0], out.route); !error.empty()) {
        out.error = error;
        return out;
    }
    routes::Route& route = out.route;
    route.threshold = default_threshold;
    if (const toml::node* values = table->get("netuids")) {
        const toml::array* list = values->as_array();
        bool whole = list != nullptr && !list->empty();
        for (std::size_t i = 0; whole && i < list->size(); ++i) whole = list->get(i)->is_integer();
        if (!whole) {
            out.error = r.fail(at("netuids"), name + ".netuids",
                               "must be a non-empty array of subnet numbers");
            return out;
        }
        std::vector<std::int64_t> netuids;
        for (const toml::node& item : *list) {
            const std::int64_t n = item.as_integer()->get();
            if (!is_netuid(n)) {
                out.error = r.fail(at("netuids"), name + ".netuids",
                                   fmt::format("{} is not a subnet number (0 to {})", n, kNetuidMax));
                return out;
            }
            if (std::find(netuids.begin(), netuids.end(), n) == netuids.end()) netuids.push_back(n);
        }
        route.netuids = std::move(netuids);
    }
    for (auto [key, target] : {std::pair{"threshold", &route.threshold},
                               std::pair{"min_relative_change", &route.min_relative_change}}) {
        if (const toml::node* value = table->get(key)) {
            auto [number, error] = r.number(*value, name + "." + key, false, at(key));
            if (!error.empty()) {
                out.error = error;
                return out;
            }
            *target = number;
        }
    }
    if (const toml::node* silent = table->get("silent")) {
        if (!silent->is_boolean()) {
            out.error = r.fail(at("silent"), name + ".silent", "must be true or false, not " + shown(*silent));
            return out;
        }
        route.silent = silent->as_boolean()->get();
    }
    if (const toml::node* thread = table->get("thread_id")) {
        if (!thread->is_integer() || thread->as_integer()->get() <= 0) {
            out.error = r.fail(at("thread_id"), name + ".thread_id",
                               "must be a positive integer, not " + shown(*thread));
            return out;
        }
        route.thread_id = thread->as_integer()->get();
        if (route.kind == routes::DestinationKind::webhook) {
            out.error = r.fail(at("thread_id"), name + ".thread_id", "a webhook has no threads");
            return out;
        }
    }
    if (std::string error = flap_rules_of(r, *table, name, route.flap); !error.empty()) {
        out.error = error;
        return out;
    }
    if (const toml::node* quiet = table->get("quiet_hours")) {
        if (quiet->is_string()) route.quiet_hours = routes::parse_quiet_hours(quiet->as_string()->get());
        if (!route.quiet_hours) {
            out.error = r.fail(at("quiet_hours"), name + ".quiet_hours",
                               "must be \"HH:MM-HH:MM\" in UTC with two different times, not " +
                                   shown(*quiet));
            return out;
        }
    }
    return out;
}

ConfigResult refused(std::string error) { return {std::nullopt, std::move(error)}; }

}  // namespace

Config single_route(std::string_view chat_id, double threshold) {
    routes::Route only;
    only.chat_id = std::string(chat_id);
    only.threshold = threshold;
    return Config{std::nullopt, threshold, {std::move(only)}, std::nullopt};
}

ConfigResult parse_config(std::string_view text, std::string_view path, double default_threshold,
                          const std::optional<std::string>& fallback_chat_id) {
    const Reader r(path);
    if (const auto deep = find_deep_nesting(text))
        return refused(fmt::format("{}: not valid TOML: nested deeper than {} levels (at line {}, "
                                   "column {})", path, kMaxNesting, deep->line, deep->column));
    toml::table raw;
    try {
        raw = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        return refused(fmt::format("{}: not valid TOML: {} (at line {}, column {})", path,
                                   e.description(), e.source().begin.line, e.source().begin.column));
    }
    if (auto unknown = r.unknown(raw, kTopKeys, "")) return refused(*unknown);
    Config config{std::string(path), default_threshold, {}, std::nullopt};
    if (const toml::node* threshold = raw.get("threshold")) {
        auto [number, error] = r.number(*threshold, "threshold", false, line_in(raw, "threshold"));
        if (!error.empty()) return refused(error);
        config.threshold = number;
    }
    if (const toml::node* listed = raw.get("route")) {
        const toml::array* items = listed->as_array();
        if (items == nullptr)
            return refused(r.fail(line_in(raw, "route"), "route", "must be an array of tables ([[route]])"));
        for (std::size_t i = 0; i < items->size(); ++i) {
            RouteResult one = route_of(r, *items->get(i), i, config.threshold);
            if (!one.error.empty()) return refused(one.error);
            config.routes.push_back(std::move(one.route));
        }
    }
    if (config.routes.empty()) {
        if (!fallback_chat_id || fallback_chat_id->empty())
            return refused(r.fail(std::nullopt, "route", "no [[route]] in the file and no "
                                  "TELEGRAM_CHAT_ID / --chat-id: there is no chat to send to"));
        config.routes = single_route(*fallback_chat_id, config.threshold).routes;
    }
    if (const std::optional<Duplicate> twice = first_duplicate(config.routes)) {
        const toml::node* item = raw.get("route") ? raw.get("route")->as_array()->get(twice->index) : nullptr;
        std::string_view key = "chat_id";
        if (item && item->is_table())
            for (std::string_view named : kDestinationKeys)
                if (item->as_table()->get(named)) key = named;
        const Line line = item && item->is_table() ? line_in(*item->as_table(), key) : std::nullopt;
        return refused(r.fail(line, fmt::format("route[{}].{}", twice->index + 1, key), twice->problem));
    }
    if (const toml::node* stale = raw.get("stale")) {
        const toml::table* table = stale->as_table();
        if (table == nullptr) return refused(r.fail(line_in(raw, "stale"), "stale", "must be a table ([stale])"));
        if (auto unknown = r.unknown(*table, kStaleKeys, "stale.")) return refused(*unknown);
        if (const toml::node* after = table->get("after_minutes")) {
            auto [minutes, error] = r.number(*after, "stale.after_minutes", true, line_in(*table, "after_minutes"));
            if (!error.empty()) return refused(error);
            config.stale = Stale{minutes};
        }
    }
    return {std::move(config), ""};
}

ConfigResult load_config(Files& files, std::string_view path, double default_threshold,
                         const std::optional<std::string>& fallback_chat_id) {
    const FileBytes read = files.read_regular(path, kMaxConfigBytes + 1);
    switch (read.outcome) {
        case FileBytes::Outcome::cannot_open:
            return refused(fmt::format("{}: cannot open the configuration file: {}", path, read.reason));
        case FileBytes::Outcome::not_regular:
            return refused(fmt::format("{}: the configuration file is not a regular file", path));
        case FileBytes::Outcome::cannot_read:
            return refused(fmt::format("{}: cannot read the configuration file: {}", path, read.reason));
        case FileBytes::Outcome::read: break;
    }
    if (read.bytes.size() > kMaxConfigBytes)
        return refused(fmt::format("{}: the configuration file is larger than 1 MiB", path));
    if (!utf8::is_strict(read.bytes))
        return refused(fmt::format("{}: the configuration file is not UTF-8 text", path));
    return parse_config(read.bytes, path, default_threshold, fallback_chat_id);
}

}  // namespace emberscope::config
