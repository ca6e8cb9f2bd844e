#include "metrics/counters.hpp"

#include <simdjson.h>

namespace emberscope::metrics {

namespace {

constexpr std::string_view kCycles = "cycles";
constexpr std::string_view kChanges = "changes";
constexpr std::string_view kTelegram = "telegram_messages";
constexpr std::string_view kMessages = "messages";

template <std::size_t N>
std::size_t index_of(const std::array<std::string_view, N>& names, std::string_view name,
                     std::size_t otherwise) {
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == name) return i;
    return otherwise;
}

template <std::size_t N>
void append_object(std::string& out, const std::array<std::string_view, N>& names,
                   const std::array<std::uint64_t, N>& values) {
    out += '{';
    for (std::size_t i = 0; i < N; ++i) {
        if (i) out += ',';
        out += '"';
        out += names[i];
        out += "\":";
        out += std::to_string(values[i]);
    }
    out += '}';
}

std::uint64_t count_of(simdjson::dom::element value) {
    std::uint64_t count = 0;
    return value.get_uint64().get(count) == simdjson::SUCCESS ? count : 0;
}

template <std::size_t N>
void read_object(simdjson::dom::element value, const std::array<std::string_view, N>& names,
                 std::array<std::uint64_t, N>& out) {
    simdjson::dom::object object;
    if (value.get_object().get(object) != simdjson::SUCCESS) return;
    for (auto [key, member] : object) {
        const std::size_t i = index_of(names, key, N);
        if (i < N) out[i] = count_of(member);
    }
}

}  // namespace

Counters counted(Counters counters, const engine::CycleReport& report) {
    const std::size_t error = index_of(kOutcomes, engine::kOutcomeError, 0);
    ++counters.cycles[index_of(kOutcomes, report.outcome, error)];
    counters.changes += report.changes.size();
    // A destination found gone refused the message for good.
    auto result_of = [](std::string_view failure) {
        return index_of(kTelegramResults, failure == "gone" ? "refused" : failure, 0);
    };
    if (report.routes.empty()) {
        counters.telegram[0] += report.delivered;
        counters.messages[0][0] += report.delivered;
        if (const std::size_t k = result_of(report.telegram_failure)) {
            ++counters.telegram[k];
            ++counters.messages[0][k];
        }
        return counters;
    }
    std::size_t telegram_stop = 0;
    for (const engine::RouteReport& route : report.routes) {
        const std::size_t kind = index_of(kDestinations, route.destination, 0);
        const std::size_t stop = result_of(route.telegram_failure);
        counters.messages[kind][0] += route.delivered;
        if (stop) ++counters.messages[kind][stop];
        if (kind == 0) {
            counters.telegram[0] += route.delivered;
            if (!telegram_stop) telegram_stop = stop;
        }
    }
    if (telegram_stop) ++counters.telegram[telegram_stop];
    return counters;
}

std::string counters_json(const Counters& counters) {
    std::string out = "{\"";
    out += kCycles;
    out += "\":";
    append_object(out, kOutcomes, counters.cycles);
    out += ",\"";
    out += kChanges;
    out += "\":" + std::to_string(counters.changes) + ",\"";
    out += kTelegram;
    out += "\":";
    append_object(out, kTelegramResults, counters.telegram);
    out += ",\"";
    out += kMessages;
    out += "\":{";
    for (std::size_t d = 0; d < kDestinations.size(); ++d) {
        if (d) out += ',';
        out += '"';
        out += kDestinations[d];
        out += "\":";
        append_object(out, kTelegramResults, counters.messages[d]);
    }
    out += "}}";
    return out;
}

std::optional<Counters> parse_counters(std::string_view json) {
    simdjson::dom::parser parser;
    const simdjson::padded_string text(json);
    simdjson::dom::object object;
    if (parser.parse(text).get_object().get(object) != simdjson::SUCCESS)
        return std::nullopt;
    Counters counters;
    for (auto [key, member] : object) {
        if (key == kCycles) read_object(member, kOutcomes, counters.cycles);
        else if (key == kChanges) counters.changes = count_of(member);
        else if (key == kTelegram) read_object(member, kTelegramResults, counters.telegram);
        else if (key == kMessages) {
            simdjson::dom::object kinds;
            if (member.get_object().get(kinds) != simdjson::SUCCESS) continue;
            for (auto [kind, results] : kinds) {
                const std::size_t d = index_of(kDestinations, kind, kDestinations.size());
                if (d < kDestinations.size()) read_object(results, kTelegramResults, counters.messages[d]);
            }
        }
    }
    return counters;
}

}  // namespace emberscope::metrics
