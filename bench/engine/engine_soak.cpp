// Soak of the monitor engine: thousands of watch cycles over the in-memory services with a fake
// clock, under a random mix of the faults Taostats and Telegram really produce, a corrupted state
// file now and then, a disk too full for the state file, readings that are null, absent or NaN,
// pauses and stop signals. After every cycle it checks the delivery promise: every alert part
// made so far was delivered exactly once or is still in the outbox, in order; an alert whose
// values could not be saved is neither sent nor kept (the change is alerted once they can be);
// and that the changes reported are those between the saved values and the listing.
//
// Usage: engine_soak [--cycles N] [--seed S]      prints a Markdown summary; exit 1 on a breach.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "burns/changes.hpp"
#include "testing_cpp/fake_services.hpp"
#include "engine/cycle.hpp"
#include "engine/listing.hpp"
#include "engine/outbox.hpp"
#include "engine/state.hpp"

namespace {

using emberscope::HttpAnswer;
using emberscope::HttpRequest;
using emberscope::testing::FakeError;
using emberscope::testing::FakeServices;
namespace engine = emberscope::engine;
namespace burns = emberscope::burns;

// The messages of the outbox file, none when there is no file.
std::vector<engine::OutboxEntry> queued_messages(const FakeServices& fake, const std::string& path) {
    auto it = fake.files.find(path);
    if (it == fake.files.end()) return {};
    auto box = engine::read_outbox(it->second);
    return std::get<engine::Outbox>(box).messages;
}

long rss_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

// "(i/n)\n" and the stamp line of a message, as its identity.
struct MessageId {
    std::string stamp;
    std::size_t part = 1, total = 1;
    auto operator<=>(const MessageId&) const = default;
};

MessageId id_of(const std::string& text) {
    MessageId id;
    std::string rest = text;
    if (rest.starts_with("(")) {
        std::sscanf(rest.c_str(), "(%zu/%zu)", &id.part, &id.total);
        rest = rest.substr(rest.find('\n') + 1);
    }
    const std::size_t line2 = rest.find('\n') + 1;
    id.stamp = rest.substr(line2, rest.find('\n', line2) - line2);
    return id;
}

std::string form_text(const std::string& body) {
    const std::size_t at = body.find("&text=") + 6;
    const std::string encoded = body.substr(at, body.find("&disable_web_page_preview") - at);
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '+') out += ' ';
        else if (encoded[i] == '%') {
            out += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else out += encoded[i];
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t cycles = 10000;
    unsigned seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--cycles") cycles = std::stoul(argv[i + 1]);
        else if (flag == "--seed") seed = static_cast<unsigned>(std::stoul(argv[i + 1]));
    }
    std::mt19937 rng(seed);
    auto chance = [&](double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; };
    auto pick = [&](int n) { return std::uniform_int_distribution<>(0, n - 1)(rng); };

    FakeServices fake;
    fake.env["TAOSTATS_API_KEY"] = "soak-key-0001";
    const std::string state = "/soak/state.json", box = "/soak/state.outbox.json", pause = "/soak/pause";
    engine::CycleSettings settings;
    settings.state_path = state;
    settings.threshold = 0.01;
    settings.token = "42:soak-token";
    settings.chat_id = "-100";
    settings.pause_path = pause;
    settings.interval_seconds = 300;
    settings.outbox_max_age_seconds = 1e12;  // nothing ages out: every part must be accounted for

    std::map<int, double> burn;
    // Enough subnets that a storm's alert takes several messages.
    for (int n = 0; n < 400; ++n) burn[n] = pick(101) / 100.0;

    std::map<std::string, std::string> chats = {{"-100", "-100"}};  // what Telegram accepts
    std::map<MessageId, int> delivered;                  // accepted messages, by identity
    std::vector<MessageId> delivered_order;
    std::map<std::string, std::size_t> alert_parts;      // stamp -> parts, for every alert made
    std::set<std::size_t> settled;  // hashes of the stamps of alerts whose every part was delivered
    const std::hash<std::string> stamp_hash;
    std::size_t settled_parts = 0, duplicates_after_settling = 0;
    std::map<std::string, int> outcomes, faults;
    std::size_t breaches = 0, requests = 0, changes_reported = 0, stops = 0;
    long rss_early = 0;

    std::string listing_body;
    fake.responder = [&](const HttpRequest& r) -> HttpAnswer {
        ++requests;
        if (r.method == "GET") {
            const int f = pick(100);
            if (f < 4) { ++faults["taostats 429"]; return FakeServices::answer(429, R"({"message": "Rate Limited"})"); }
            if (f < 6) { ++faults["taostats 500"]; return FakeServices::answer(500, "", {}, "Internal Server Error"); }
            if (f < 8) { ++faults["taostats drop"]; return FakeServices::dropped(); }
            if (f < 9) { ++faults["taostats html"]; return FakeServices::answer(200, "<html>\r\n</html>"); }
            if (f < 10) { ++faults["taostats no valid row"]; return FakeServices::answer(200, R"({"data": [null, {"netuid": "sn7"}]})"); }
            if (f < 11) { ++faults["taostats cut short"]; return FakeServices::answer(200, listing_body.substr(0, listing_body.size() / 2)); }
            return FakeServices::answer(200, listing_body);
        }
        const int f = pick(100);
        if (f < 5) { ++faults["telegram 429"]; return FakeServices::answer(429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after )" + std::to_string(1 + pick(90)) + "\"}", {{"Retry-After", std::to_string(1 + pick(90))}}); }
        if (f < 8) { ++faults["telegram 500"]; return FakeServices::answer(500, R"({"ok": false, "error_code": 500, "description": "Internal Server Error: restart"})"); }
        if (f < 11) { ++faults["telegram 502 html"]; return FakeServices::answer(502, "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n</html>\r\n", {}, "Bad Gateway"); }
        if (f < 14) { ++faults["telegram drop"]; return FakeServices::dropped(); }
        if (f < 16) { ++faults["telegram 200 html"]; return FakeServices::answer(200, "<html></html>"); }
        if (f < 17) { ++faults["telegram 403"]; return FakeServices::answer(403, R"({"ok": false, "error_code": 403, "description": "Forbidden: bot was blocked by the user"})"); }
        const std::string body_chat = r.body.substr(8, r.body.find('&') - 8);
        const std::string chat = body_chat == "-100" ? "-100" : body_chat;
        if (f < 18 && chats.size() < 4 && chats.count(chat)) {
            ++faults["telegram migration"];
            const std::string next = chat + "9";
            chats.erase(chat);
            chats[next] = next;
            return FakeServices::answer(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: group chat was upgraded to a supergroup chat", "parameters": {"migrate_to_chat_id": )" + next + "}}");
        }
        if (!chats.count(chat)) return FakeServices::answer(400, R"({"ok": false, "error_code": 400, "description": "Bad Request: chat not found"})");
        const MessageId id = id_of(form_text(r.body));
        if (settled.count(stamp_hash(id.stamp))) ++duplicates_after_settling;
        ++delivered[id];
        delivered_order.push_back(id);
        return FakeServices::answer(200, R"({"ok": true, "result": {"message_id": 1}})");
    };

    for (std::size_t cycle = 1; cycle <= cycles; ++cycle) {
        // The network moves: a few subnets most cycles, every subnet now and then.
        const bool storm = chance(0.01);
        for (auto& [n, v] : burn)
            if (storm || chance(0.02)) v = pick(101) / 100.0;
        if (chance(0.002)) burn[static_cast<int>(burn.size())] = 0.5;  // a new subnet
        listing_body = R"({"data": [)";
        bool first = true;
        // Now and then a subnet is listed without a usable reading: it keeps its last value.
        const int unread = chance(0.03) ? pick(static_cast<int>(burn.size())) : -1;
        if (unread >= 0) ++faults["reading null, absent or NaN"];
        for (const auto& [n, v] : burn) {
            listing_body += (first ? "" : ", ") + std::string("{\"netuid\": ") + std::to_string(n);
            if (n != unread)
                listing_body += ", \"incentive_burn\": " + std::to_string(v);
            else if (n % 3)
                listing_body += n % 3 == 1 ? ", \"incentive_burn\": null" : ", \"incentive_burn\": NaN";
            listing_body += "}";
            first = false;
        }
        if (chance(0.05)) { listing_body += R"(, {"netuid": null}, {"netuid": 1.5})"; ++faults["invalid rows"]; }
        listing_body += "]}";

        if (chance(0.01)) { fake.files[state] = "[" + std::string(pick(2) ? 5000 : 3, '['); ++faults["state corrupted"]; }
        const bool disk_full = chance(0.01);
        if (disk_full) ++faults["disk full for the state file"];
        fake.fail_replace = [&](std::string_view path) { return disk_full && path == state; };
        const bool paused = chance(0.01);
        if (paused) { fake.files[pause] = ""; ++faults["pause"]; }
        int checks = 0;
        const bool stop = chance(0.005);
        fake.on_signal_check = [&] {
            if (stop && ++checks == 2) throw FakeError("KeyboardInterrupt", false);
        };

        burns::BurnMap prev;
        if (auto it = fake.files.find(state); it != fake.files.end()) {
            auto saved = engine::read_state(it->second);
            if (auto* map = std::get_if<burns::BurnMap>(&saved)) prev = *map;
        }

        engine::CycleReport report;
        try {
            report = engine::run_cycle(fake, settings);
            ++outcomes[report.outcome];
        } catch (const FakeError&) {
            ++stops;
            ++outcomes["stopped by a signal"];
        }
        fake.files.erase(pause);
        fake.on_signal_check = nullptr;
        fake.clock += settings.interval_seconds;

        if (!report.changes.empty()) {
            changes_reported += report.changes.size();
            // The parts of this cycle's alert: the delivered ones and the queued ones.
            std::size_t total = 0;
            for (const auto& [id, count] : delivered)
                if (id.stamp == report.updated_at_utc + " UTC") total = id.total;
            for (const auto& m : queued_messages(fake, box))
                if (m.stamp == report.updated_at_utc) total = m.total;
            if (report.outcome == "error") {
                // The values could not be saved: the alert must be neither sent nor kept, or the
                // change, found again, would be alerted again.
                if (total != 0) {
                    ++breaches;
                    std::printf("cycle %zu: an alert kept though its values were not saved\n", cycle);
                }
            } else if (total == 0) {
                ++breaches;
                std::printf("cycle %zu: alert neither delivered nor queued (%s, %zu delivered, %s)\n",
                            cycle, report.outcome.c_str(), report.delivered, report.updated_at_utc.c_str());
                for (const auto& l : fake.console_lines) std::printf("    %s", l.c_str());
            }
            if (total) alert_parts[report.updated_at_utc + " UTC"] = total;
        }
        // The changes reported are exactly those between the saved values and the listing.
        if ((report.outcome == "ok" || report.outcome == "telegram_failed") && report.subnets > 0) {
            auto parsed = engine::parse_json(listing_body);
            const engine::Listing listing =
                engine::read_listing(*std::get<engine::JsonValue>(parsed).get("data"));
            burns::BurnMap current;
            std::vector<burns::DecimalInteger> numbers;
            for (const auto& row : listing.rows) {
                current.emplace_back(row.netuid, row.burn);
                numbers.push_back(row.number);
            }
            std::vector<burns::BurnChange> expected;
            if (!prev.empty()) expected = burns::list_changes(prev, current, numbers, settings.threshold);
            if (expected != report.changes) {
                ++breaches;
                std::printf("cycle %zu: reported changes differ from the listing\n", cycle);
            }
        }

        // An alert queued by a cycle that a stop signal ended is held to the same promise.
        for (const auto& m : queued_messages(fake, box))
            alert_parts.try_emplace(m.stamp + " UTC", m.total);
        // Delivery promise: every part exactly once, delivered or queued; never both, never twice.
        std::set<MessageId> queued;
        for (const auto& m : queued_messages(fake, box)) queued.insert({m.stamp + " UTC", m.part, m.total});
        for (const auto& [stamp, total] : alert_parts)
            for (std::size_t part = 1; part <= total; ++part) {
                const MessageId id{stamp, part, total};
                const int n = (delivered.count(id) ? delivered[id] : 0) + (queued.count(id) ? 1 : 0);
                if (n != 1) {
                    ++breaches;
                    std::printf("cycle %zu: %s part %zu/%zu delivered %d time(s), queued %d\n", cycle,
                                stamp.c_str(), part, total, delivered.count(id) ? delivered[id] : 0,
                                int(queued.count(id)));
                }
            }
        // A settled alert (every part delivered, none queued) was delivered in part order; its
        // bookkeeping is then reduced to its stamp, so the soak's own memory stays small.
        for (auto it = alert_parts.begin(); it != alert_parts.end();) {
            const auto& [stamp, total] = *it;
            bool done = true;
            for (std::size_t part = 1; part <= total && done; ++part)
                done = delivered.count({stamp, part, total}) && !queued.count({stamp, part, total});
            if (!done) { ++it; continue; }
            std::size_t last = 0;
            for (const auto& id : delivered_order)
                if (id.stamp == stamp) {
                    if (id.part <= last) { ++breaches; std::printf("%s parts out of order\n", stamp.c_str()); }
                    last = id.part;
                }
            for (std::size_t part = 1; part <= total; ++part) delivered.erase({stamp, part, total});
            std::erase_if(delivered_order, [&](const MessageId& id) { return id.stamp == stamp; });
            settled.insert(stamp_hash(stamp));
            settled_parts += total;
            it = alert_parts.erase(it);
        }
        if (breaches + duplicates_after_settling > 20) break;

        std::erase_if(fake.files, [](const auto& f) { return f.first.find(".corrupt-") != std::string::npos; });
        fake.console_lines.clear();
        fake.requests.clear();
        fake.calls.clear();
        fake.sleeps.clear();
        if (cycle == cycles / 10) rss_early = rss_kib();
    }
    breaches += duplicates_after_settling;
    std::size_t parts = settled_parts, queued_at_end = 0;
    for (const auto& [stamp, total] : alert_parts) parts += total;
    queued_at_end = queued_messages(fake, box).size();

    std::printf("| | |\n|---|---|\n");
    std::printf("| cycles | %zu (seed %u) |\n", cycles, seed);
    std::printf("| alerts made / parts | %zu / %zu |\n", alert_parts.size() + settled.size(), parts);
    std::printf("| changes reported | %zu |\n", changes_reported);
    std::printf("| parts delivered / still queued at the end | %zu / %zu |\n",
                settled_parts + delivered_order.size(), queued_at_end);
    std::printf("| HTTP requests | %zu |\n", requests);
    std::printf("| stop signals survived with the outbox saved | %zu |\n", stops);
    std::printf("| RSS after %zu cycles / at the end | %ld KiB / %ld KiB |\n", cycles / 10, rss_early, rss_kib());
    std::printf("| breaches of the delivery promise | %zu |\n\n", breaches);
    std::printf("| outcome | cycles |\n|---|---|\n");
    for (const auto& [k, v] : outcomes) std::printf("| %s | %d |\n", k.c_str(), v);
    std::printf("\n| fault injected | times |\n|---|---|\n");
    for (const auto& [k, v] : faults) std::printf("| %s | %d |\n", k.c_str(), v);
    return breaches == 0 ? 0 : 1;
}
