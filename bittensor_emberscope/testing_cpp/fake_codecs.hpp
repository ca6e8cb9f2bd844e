// Stand-ins for the host's codecs in tests of the sequences: answers, listings and state files
// in a small text form instead of the host's JSON.
//
// A success body "rows:1=0.5,2=0.25" is a listing of two rows; any other success body is an
// answer without rows. A body "429" says rate limited. A Telegram answer "ok" is ok; a refusal
// body "description:<text>" is JSON with that description, "{}" JSON without one. A state file
// holds "1=0.5,2=0.25".
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "burns/changes.hpp"
#include "driver/watch.hpp"
#include "reports/texts.hpp"

namespace emberscope::testing {

struct FakePayload final : taostats::Payload {
    explicit FakePayload(std::string b) : body(std::move(b)) {}
    std::string body;
};

inline const std::string& body_of(const taostats::Payload& payload) {
    return static_cast<const FakePayload&>(payload).body;
}

/// "k=v,k=v" as a burn map, in order.
inline burns::BurnMap pairs_of(std::string_view text) {
    burns::BurnMap out;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const std::size_t eq = item.find('=');
        out.emplace_back(std::string(item.substr(0, eq)), std::string(item.substr(eq + 1)));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return out;
}

class FakeDecoder : public taostats::Decoder {
public:
    taostats::PayloadPtr success(const HttpAnswer& answer) override {
        return std::make_unique<FakePayload>(answer.body);
    }
    taostats::PayloadPtr refusal(const HttpAnswer& answer) override {
        return std::make_unique<FakePayload>(answer.status == 429 ? "429" : answer.body);
    }
    bool is_rate_limited(const taostats::Payload& payload) override {
        return body_of(payload) == "429";
    }
    taostats::PayloadPtr listing_of(taostats::PayloadPtr answer) override {
        if (body_of(*answer).starts_with("rows:")) return answer;
        return std::make_unique<FakePayload>("{\"error\": \"no_subnet_rows\"}");
    }
    taostats::PayloadPtr masked(taostats::PayloadPtr payload,
                                std::span<const secrets::Secret> secrets) override {
        std::string& body = static_cast<FakePayload&>(*payload).body;
        if (!body.starts_with("rows:")) body = secrets::mask(body, secrets);
        return payload;
    }
};

class FakeTelegramReader : public reports::TelegramReader {
public:
    reports::TelegramBody read(std::string_view body, bool success) override {
        using Form = reports::TelegramBody::Form;
        reports::TelegramBody read;
        read.form = Form::object;
        if (success) {
            read.ok = body == "ok";
            if (!read.ok) read.printed = "{'ok': False, 'body': '" + std::string(body) + "'}";
        } else if (body.starts_with("description:")) {
            read.description = std::string(body.substr(12));
        } else if (body != "{}") {
            read.form = Form::not_json;
        }
        return read;
    }
};

class FakeCycleHost : public driver::CycleHost {
public:
    FakeDecoder decoder;
    FakeTelegramReader answers;

    taostats::Decoder& taostats() override { return decoder; }
    reports::TelegramReader& telegram() override { return answers; }
    burns::BurnMap state_entries(std::string_view file_text) override { return pairs_of(file_text); }
    std::optional<std::string> listing_failure(const taostats::Payload& listing) override {
        if (body_of(listing).starts_with("rows:")) return std::nullopt;
        return body_of(listing);
    }
    burns::BurnMap burn_map(const taostats::Payload& rows) override {
        return pairs_of(std::string_view(body_of(rows)).substr(5));
    }
    std::size_t row_count(const taostats::Payload& rows) override { return burn_map(rows).size(); }
    std::vector<burns::BurnChange> changes(const burns::BurnMap& prev, const burns::BurnMap& current,
                                           double threshold) override {
        std::vector<burns::DecimalInteger> netuids;
        for (const auto& entry : current)
            netuids.push_back(burns::parse_integer_text(entry.first).value());
        return burns::list_changes(prev, current, netuids, threshold);
    }
    std::string alert_text(const std::vector<burns::BurnChange>& changes,
                           std::string_view updated_at) override {
        std::vector<reports::AlertLine> lines;
        for (const auto& c : changes) lines.push_back({c.netuid, c.old_burn, c.new_burn});
        return reports::render_alert(lines, updated_at);
    }
    std::string snapshot_text(const taostats::Payload& rows, std::string_view updated_at) override {
        std::vector<reports::SnapshotLine> lines;
        for (const auto& [netuid, burn] : burn_map(rows)) lines.push_back({netuid, burn});
        return reports::render_snapshot(lines.size(), lines, updated_at);
    }
};

}  // namespace emberscope::testing
