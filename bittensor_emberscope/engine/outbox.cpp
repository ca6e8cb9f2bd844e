// The outbox file.
#include "engine/outbox.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "engine/json.hpp"

namespace emberscope::engine {
namespace {

constexpr int kOutboxVersion = 1;

JsonValue real_value(double d) {
    JsonValue v;
    v.kind = JsonValue::Kind::real;
    v.real = d;
    return v;
}

std::optional<std::size_t> whole(const JsonValue* v) {
    if (!v || v->kind != JsonValue::Kind::integer || v->text.front() == '-' || v->text.size() > 9)
        return std::nullopt;
    return static_cast<std::size_t>(std::stoul(v->text));
}

const std::string* text_of(const JsonValue* v) { return v && v->is_text() ? &v->text : nullptr; }

bool is_number(const JsonValue& v) {
    return v.kind == JsonValue::Kind::real || v.kind == JsonValue::Kind::integer;
}

double number_of(const JsonValue& v) {
    return v.kind == JsonValue::Kind::real ? v.real : std::strtod(v.text.c_str(), nullptr);
}

// An epoch second written as a JSON number.
std::optional<double> epoch_of(const JsonValue* v) {
    if (!v || (v->kind != JsonValue::Kind::real && v->kind != JsonValue::Kind::integer))
        return std::nullopt;
    const double at = v->kind == JsonValue::Kind::real ? v->real : std::strtod(v->text.c_str(), nullptr);
    if (!std::isfinite(at)) return std::nullopt;
    return at;
}

}  // namespace

std::string Outbox::chat_for(const std::string& chat_id) const {
    std::string chat = chat_id;
    // A chain of upgrades is followed, a loop is not.
    for (std::size_t hop = 0; hop <= migrations.size(); ++hop) {
        bool moved = false;
        for (const auto& [from, to] : migrations)
            if (from == chat) {
                chat = to;
                moved = true;
                break;
            }
        if (!moved) break;
    }
    return chat;
}

void Outbox::migrate(const std::string& from, const std::string& to) {
    for (auto& [old, now] : migrations)
        if (old == from) {
            now = to;
            return;
        }
    migrations.emplace_back(from, to);
}

double OutboxEntry::age(const QueueClock& now) const {
    if (!boot.empty() && boot == now.boot) return now.monotonic - queued_monotonic;
    return now.epoch - queued_at;
}

std::size_t Outbox::drop_older_than(const QueueClock& now, double max_age, double& oldest) {
    std::size_t dropped = 0;
    std::vector<OutboxEntry> kept;
    for (auto& m : messages) {
        if (m.age(now) > max_age) {
            if (dropped == 0 || m.queued_at < oldest) oldest = m.queued_at;
            ++dropped;
        } else {
            kept.push_back(std::move(m));
        }
    }
    messages = std::move(kept);
    return dropped;
}

std::optional<double> Outbox::chat_hold(const std::string& chat) const {
    for (const auto& [id, until] : chat_not_before)
        if (id == chat) return until;
    return std::nullopt;
}

void Outbox::hold_chat(const std::string& chat, double until) {
    for (auto& [id, held] : chat_not_before)
        if (id == chat) {
            held = std::max(held, until);
            return;
        }
    chat_not_before.emplace_back(chat, until);
}

void Outbox::release_chat(const std::string& chat) {
    std::erase_if(chat_not_before, [&chat](const auto& hold) { return hold.first == chat; });
}

bool Outbox::forget_passed_holds(double now) {
    const std::size_t before = chat_not_before.size();
    std::erase_if(chat_not_before, [now](const auto& hold) { return hold.second <= now; });
    bool changed = chat_not_before.size() != before;
    if (taostats_not_before && *taostats_not_before <= now) {
        taostats_not_before.reset();
        changed = true;
    }
    return changed;
}

std::string beside_state(std::string_view state_path, std::string_view suffix) {
    constexpr std::string_view kJson = ".json";
    std::string_view stem = state_path;
    if (state_path.size() > kJson.size() && state_path.ends_with(kJson) &&
        state_path[state_path.size() - kJson.size() - 1] != '/')
        stem.remove_suffix(kJson.size());
    std::string path(stem);
    path += suffix;
    return path;
}

bool is_destination_name(std::string_view name) {
    return name.starts_with("discord:") || name.starts_with("webhook:");
}

std::string outbox_path(std::string_view state_path) {
    return beside_state(state_path, kOutboxSuffix);
}

std::string render_outbox(const Outbox& outbox) {
    JsonValue doc = JsonValue::make_object();
    JsonValue migrations = JsonValue::make_object();
    for (const auto& [from, to] : outbox.migrations) migrations.set(from, JsonValue::make_text(to));
    doc.set("chat_migrations", std::move(migrations));
    JsonValue messages;
    messages.kind = JsonValue::Kind::array;
    for (const auto& m : outbox.messages) {
        JsonValue e = JsonValue::make_object();
        e.set("kind", JsonValue::make_text(m.kind));
        e.set("count", JsonValue::make_integer(static_cast<long long>(m.count)));
        e.set("stamp", JsonValue::make_text(m.stamp));
        e.set("queued_at", real_value(m.queued_at));
        e.set("part", JsonValue::make_integer(static_cast<long long>(m.part)));
        e.set("total", JsonValue::make_integer(static_cast<long long>(m.total)));
        e.set("text", JsonValue::make_text(m.text));
        if (!m.chat_id.empty()) e.set("chat_id", JsonValue::make_text(m.chat_id));
        if (m.thread_id) e.set("thread_id", JsonValue::make_integer(*m.thread_id));
        if (!m.boot.empty()) {
            e.set("boot", JsonValue::make_text(m.boot));
            e.set("queued_monotonic", real_value(m.queued_monotonic));
        }
        messages.items.push_back(std::move(e));
    }
    doc.set("messages", std::move(messages));
    // Telegram's chats under their own key, as files have always had them; other destinations
    // (named "discord:...", "webhook:...", which no chat id can be) under another.
    JsonValue chat_holds = JsonValue::make_object(), destination_holds = JsonValue::make_object();
    for (const auto& [chat, until] : outbox.chat_not_before)
        (is_destination_name(chat) ? destination_holds : chat_holds).set(chat, real_value(until));
    if (!chat_holds.members.empty()) doc.set("telegram_not_before", std::move(chat_holds));
    if (!destination_holds.members.empty()) doc.set("destination_not_before", std::move(destination_holds));
    if (outbox.taostats_not_before) doc.set("taostats_not_before", real_value(*outbox.taostats_not_before));
    if (!outbox.held.empty()) {
        JsonValue held;
        held.kind = JsonValue::Kind::array;
        for (const HeldChange& h : outbox.held) {
            JsonValue e = JsonValue::make_object();
            e.set("chat_id", JsonValue::make_text(h.chat_id));
            if (h.thread_id) e.set("thread_id", JsonValue::make_integer(*h.thread_id));
            e.set("netuid", JsonValue::make_text(h.change.netuid));
            e.set("old", JsonValue::make_text(h.change.old_burn));
            e.set("new", JsonValue::make_text(h.change.new_burn));
            held.items.push_back(std::move(e));
        }
        doc.set("held", std::move(held));
    }
    if (outbox.last_good_listing) {
        doc.set("last_good_listing_at", real_value(*outbox.last_good_listing));
        if (!outbox.last_good_boot.empty()) {
            doc.set("last_good_listing_boot", JsonValue::make_text(outbox.last_good_boot));
            doc.set("last_good_listing_monotonic", real_value(outbox.last_good_monotonic));
        }
    }
    if (outbox.stale_alert_sent) {
        JsonValue yes;
        yes.kind = JsonValue::Kind::boolean;
        yes.flag = true;
        doc.set("stale_alert_sent", std::move(yes));
    }
    if (!outbox.flap.empty()) doc.set("flap", flap_json(outbox.flap));
    doc.set("version", JsonValue::make_integer(kOutboxVersion));
    return dump_json_file(doc);
}

std::variant<Outbox, std::string> read_outbox(std::string_view content) {
    if (!is_utf8(content)) return std::string("not UTF-8");
    auto parsed = parse_json(content);
    if (auto* e = std::get_if<JsonError>(&parsed)) return e->message;
    const JsonValue& doc = std::get<JsonValue>(parsed);
    if (!doc.is_object()) return std::string("not a JSON object");
    Outbox outbox;
    if (const JsonValue* migrations = doc.get("chat_migrations")) {
        if (!migrations->is_object()) return std::string("\"chat_migrations\" is not an object");
        for (const auto& [from, to] : migrations->members) {
            if (!to.is_text()) return "chat migration of " + from + " is not a text";
            outbox.migrations.emplace_back(from, to.text);
        }
    }
    // A hold that cannot be read is let go rather than the messages: at worst a service is
    // asked once too early.
    for (const char* key : {"telegram_not_before", "destination_not_before"})
        if (const JsonValue* holds = doc.get(key); holds && holds->is_object()) {
            for (const auto& [chat, until] : holds->members)
                if (const std::optional<double> at = epoch_of(&until)) outbox.chat_not_before.emplace_back(chat, *at);
        }
    outbox.taostats_not_before = epoch_of(doc.get("taostats_not_before"));
    outbox.last_good_listing = epoch_of(doc.get("last_good_listing_at"));
    // The monotonic reading goes with its boot: one without the other is not used.
    const std::string* good_boot = text_of(doc.get("last_good_listing_boot"));
    const std::optional<double> good_monotonic = epoch_of(doc.get("last_good_listing_monotonic"));
    if (outbox.last_good_listing && good_boot && !good_boot->empty() && good_monotonic) {
        outbox.last_good_boot = *good_boot;
        outbox.last_good_monotonic = *good_monotonic;
    }
    if (const JsonValue* sent = doc.get("stale_alert_sent"))
        outbox.stale_alert_sent = sent->kind == JsonValue::Kind::boolean && sent->flag;
    if (const JsonValue* flap = doc.get("flap"))
        if (std::optional<std::string> problem = read_flap(*flap, outbox.flap)) return *problem;
    if (const JsonValue* held = doc.get("held")) {
        if (!held->is_array()) return std::string("\"held\" is not a list");
        for (const JsonValue& h : held->items) {
            const std::string* chat = text_of(h.get("chat_id"));
            const std::string* netuid = text_of(h.get("netuid"));
            const std::string* old_burn = text_of(h.get("old"));
            const std::string* new_burn = text_of(h.get("new"));
            if (!chat || !netuid || !old_burn || !new_burn)
                return std::string("a held change without its chat, netuid or values");
            HeldChange change{*chat, std::nullopt, {*netuid, *old_burn, *new_burn}};
            if (const JsonValue* thread = h.get("thread_id")) {
                if (thread->kind != JsonValue::Kind::integer || thread->text.size() > 18)
                    return std::string("a held change whose \"thread_id\" is not a whole number");
                change.thread_id = std::stoll(thread->text);
            }
            outbox.held.push_back(std::move(change));
        }
    }
    const JsonValue* messages = doc.get("messages");
    if (!messages || !messages->is_array()) return std::string("no \"messages\" list");
    for (const JsonValue& m : messages->items) {
        const std::string* kind = text_of(m.get("kind"));
        const std::string* stamp = text_of(m.get("stamp"));
        const std::string* text = text_of(m.get("text"));
        const JsonValue* queued = m.get("queued_at");
        auto count = whole(m.get("count"));
        auto part = whole(m.get("part"));
        auto total = whole(m.get("total"));
        const bool queued_ok = queued && is_number(*queued);
        if (!kind || !stamp || !text || !queued_ok || !count || !part || !total)
            return std::string("a message without its kind, stamp, text, time or numbers");
        const double at = number_of(*queued);
        if (!std::isfinite(at)) return std::string("a message queued at no finite time");
        OutboxEntry entry{*kind, *count, *stamp, at, *part, *total, *text};
        // The monotonic reading goes with its boot: one without the other is not used.
        const std::string* boot = text_of(m.get("boot"));
        const JsonValue* monotonic = m.get("queued_monotonic");
        if (boot && !boot->empty() && monotonic && is_number(*monotonic) &&
            std::isfinite(number_of(*monotonic))) {
            entry.boot = *boot;
            entry.queued_monotonic = number_of(*monotonic);
        }
        if (const JsonValue* chat = m.get("chat_id")) {
            if (!chat->is_text()) return std::string("a message whose \"chat_id\" is not a text");
            entry.chat_id = chat->text;
        }
        if (const JsonValue* thread = m.get("thread_id")) {
            if (thread->kind != JsonValue::Kind::integer || thread->text.size() > 18)
                return std::string("a message whose \"thread_id\" is not a whole number");
            entry.thread_id = std::stoll(thread->text);
        }
        outbox.messages.push_back(std::move(entry));
    }
    return outbox;
}

std::string utc_text(double epoch_seconds) {
    std::time_t t = static_cast<std::time_t>(std::floor(epoch_seconds));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(buffer, n);
}

}  // namespace emberscope::engine
