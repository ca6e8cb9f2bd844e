// What the engine's cycle tests share: FakeServices answering from one scripted queue per
// service, the settings of a 600 s interval (a wait budget of 150 s), and the texts of listings
// and state files. Included by tests only.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing_cpp/fake_services.hpp"
#include "engine/cycle.hpp"
#include "engine/outbox.hpp"

namespace emberscope::engine::fixture {

inline const std::string kState = "/srv/state.json";
inline const std::string kOutbox = "/srv/state.outbox.json";
inline const std::string kPause = "/srv/pause";
inline const std::string kSentOk = R"({"ok": true, "result": {"message_id": 1}})";

/// Netuid text -> owner burn text, as JSON tokens.
using Rows = std::vector<std::pair<std::string, std::string>>;

/// One whole listing page of `rows`; a row whose burn is "" has no "incentive_burn".
inline std::string listing(const Rows& rows) {
    std::string data;
    for (const auto& [netuid, burn] : rows) {
        if (!data.empty()) data += ", ";
        data += "{\"netuid\": " + netuid + (burn.empty() ? "" : ", \"incentive_burn\": " + burn) + "}";
    }
    return R"({"pagination": {"current_page": 1, "next_page": null}, "data": [)" + data + "]}";
}

/// A state file exactly as the engine writes it.
inline std::string state_file(const Rows& burns, std::string_view stamp = "2025-12-07T23:55:00Z") {
    std::string out = "{\n  \"owner_burn_rate\": {";
    for (std::size_t i = 0; i < burns.size(); ++i)
        out += (i ? ",\n    \"" : "\n    \"") + burns[i].first + "\": \"" + burns[i].second + "\"";
    return out + "\n  },\n  \"updated_at_utc\": \"" + std::string(stamp) + "\"\n}\n";
}

class CycleFixture : public ::testing::Test {
protected:
    explicit CycleFixture(std::string token) : token_(std::move(token)) {}

    void SetUp() override {
        fake.env["TAOSTATS_API_KEY"] = "taostats-key-0001";
        fake.env["TAOSTATS_API_BASE"] = "http://127.0.0.1:1";
        fake.env["TELEGRAM_API_BASE"] = "http://127.0.0.1:2";
        fake.responder = [this](const HttpRequest& r) {
            auto& queue = r.url.find("/api/subnet/") != std::string::npos ? taostats : telegram;
            if (queue.empty()) throw testing::FakeError("no answer scripted for " + r.url);
            HttpAnswer a = std::move(queue.front());
            queue.pop_front();
            return a;
        };
        settings.state_path = kState;
        settings.threshold = 0.05;
        settings.token = token_;
        settings.chat_id = "-1001";
        settings.pause_path = kPause;
        settings.interval_seconds = 600;  // a budget of 150 s
    }

    void list(const Rows& rows) { taostats.push_back(testing::FakeServices::answer(200, listing(rows))); }
    /// The bodies of every POST sent, in order.
    std::vector<std::string> sent_texts() const {
        std::vector<std::string> out;
        for (const auto& r : fake.requests)
            if (r.method == "POST") out.push_back(r.body);
        return out;
    }
    /// The console lines written since the last call.
    std::vector<std::string> lines() { return std::exchange(fake.console_lines, {}); }
    /// The outbox file's content, empty without one.
    Outbox outbox() const {
        auto it = fake.files.find(kOutbox);
        if (it == fake.files.end()) return {};
        return std::get<Outbox>(read_outbox(it->second));
    }

    testing::FakeServices fake;
    std::deque<HttpAnswer> taostats, telegram;
    CycleSettings settings;

private:
    std::string token_;
};

}  // namespace emberscope::engine::fixture
