#include "driver/watch.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "burns/state_text.hpp"
#include "testing_cpp/fake_codecs.hpp"
#include "testing_cpp/fake_services.hpp"

namespace emberscope::driver {
namespace {

using testing::FakeCycleHost;
using testing::FakeError;
using testing::FakeServices;

constexpr Watch kWatch{"state.json", "123:SECRET", "-100"};
constexpr const char* kStamp = "2025-12-08T00:00:00Z";  // the fake clock's start

struct Cycle : ::testing::Test {
    FakeServices services;
    FakeCycleHost host;
    void SetUp() override { services.env["TAOSTATS_API_KEY"] = "key"; }
    void listing(std::string rows) { services.answers.push_back(FakeServices::answer(200, rows)); }
    void telegram(int status, std::string body) {
        services.answers.push_back(FakeServices::answer(status, std::move(body)));
    }
};

TEST_F(Cycle, AQuietCycleSavesTheStateAndSendsNothing) {
    listing("rows:2=0.25,1=0.5");
    EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), 0);
    EXPECT_EQ(services.calls, (std::vector<std::string>{"clock", "http", "replace state.json"}));
    EXPECT_EQ(services.files["state.json"],
              burns::render_state_file({{"2", "0.25"}, {"1", "0.5"}}, kStamp));
    EXPECT_TRUE(services.console_lines.empty());
}

TEST_F(Cycle, AnAlertCycleSavesThenSendsAndSaysSo) {
    services.files["state.json"] = "1=0.5,2=0.25,3=0.1";
    listing("rows:1=0.55,2=0.75,3=0.9");
    telegram(200, "ok");
    EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), 0);
    EXPECT_EQ(services.calls,
              (std::vector<std::string>{"clock", "http", "replace state.json", "http"}));
    ASSERT_EQ(services.requests.size(), 2u);
    EXPECT_EQ(services.requests[1].form[1].second,
              "Owner burn rate changed\n2025-12-08T00:00:00Z UTC\n\nSN2: 0.25 → 0.75\nSN3: 0.1 → 0.9");
    EXPECT_EQ(services.console_lines, std::vector<std::string>{"[burn] alert sent (2 subnet(s))\n"});
}

TEST_F(Cycle, NoKeyEndsTheCycleBeforeAnyRequest) {
    services.env.erase("TAOSTATS_API_KEY");
    EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), 1);
    EXPECT_TRUE(services.calls.empty());
    EXPECT_EQ(services.console_lines,
              std::vector<std::string>{
                  "[burn] taostats API not available (must be bundled in package defaults)\n"});
}

TEST_F(Cycle, AFailedListingIsReportedAndNothingIsSaved) {
    listing("{\"message\": \"down\"}");
    EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), 1);
    EXPECT_EQ(services.calls, (std::vector<std::string>{"clock", "http"}));
    EXPECT_EQ(services.console_lines,
              std::vector<std::string>{"[burn] fetch failed: {\"error\": \"no_subnet_rows\"}\n"});
}

TEST_F(Cycle, AFailedDeliveryKeepsTheSavedStateAndSaysWhy) {
    services.files["state.json"] = "1=0.5";
    listing("rows:1=0.9");
    telegram(400, "description:Bad Request: chat not found");
    EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), 1);
    EXPECT_EQ(services.files["state.json"], burns::render_state_file({{"1", "0.9"}}, kStamp));
    EXPECT_EQ(services.console_lines,
              std::vector<std::string>{"[burn] telegram failed: Bad Request: chat not found\n"});
}

TEST_F(Cycle, ASaveThatFailsSendsNothing) {
    services.files["state.json"] = "1=0.5";
    listing("rows:1=0.9");
    services.fail_replace = [](std::string_view) { return true; };
    EXPECT_THROW(run_watch_cycle(services, host, kWatch, 0.1), FakeError);
    EXPECT_EQ(services.requests.size(), 1u);  // the listing only
    EXPECT_EQ(services.files["state.json"], "1=0.5");
    EXPECT_TRUE(services.console_lines.empty());
}

TEST_F(Cycle, TheStampIsTakenBeforeTheRetriesOfTheListing) {
    services.answers.push_back(FakeServices::answer(429, ""));
    listing("rows:1=0.9");
    EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), 0);
    EXPECT_EQ(services.sleeps, std::vector<double>{2.0});
    EXPECT_EQ(services.files["state.json"], burns::render_state_file({{"1", "0.9"}}, kStamp));
}

TEST_F(Cycle, TheStartupSnapshotSavesAndSendsEveryRow) {
    listing("rows:1=0.5,2=0.25");
    telegram(200, "ok");
    EXPECT_EQ(run_startup_snapshot(services, host, kWatch), 0);
    EXPECT_EQ(services.calls,
              (std::vector<std::string>{"clock", "http", "replace state.json", "http"}));
    EXPECT_EQ(services.console_lines,
              std::vector<std::string>{"[burn] startup snapshot sent (2 subnets)\n"});
}

TEST_F(Cycle, AStartupSnapshotThatFailsSaysSo) {
    listing("nothing");
    EXPECT_EQ(run_startup_snapshot(services, host, kWatch), 1);
    listing("rows:1=0.5");
    telegram(500, "");
    EXPECT_EQ(run_startup_snapshot(services, host, kWatch), 1);
    EXPECT_EQ(services.console_lines,
              (std::vector<std::string>{
                  "[burn] startup fetch failed: {\"error\": \"no_subnet_rows\"}\n",
                  "[burn] startup telegram failed: HTTP Error 500: \n"}));
}

}  // namespace
}  // namespace emberscope::driver

namespace emberscope::driver {
namespace {

// A host whose watch cycles scan plain listings, counting the maps it was asked to make itself.
struct ScanningHost : testing::FakeCycleHost {
    std::optional<taostats::MapOnlyDecoder> map_decoder;
    int maps_made = 0;
    taostats::Decoder& map_only_taostats() override { return map_decoder.emplace(decoder, true); }
    burns::BurnMap burn_map(const taostats::Payload& rows) override {
        ++maps_made;
        return FakeCycleHost::burn_map(rows);
    }
};

TEST(ScannedListingCycle, ComparesSavesAndAlertsFromTheScannedMap) {
    testing::FakeServices services;
    ScanningHost host;
    services.env["TAOSTATS_API_KEY"] = "key";
    services.files["state.json"] = "1=0.5,2=0.25";
    services.answers.push_back(testing::FakeServices::answer(
        200, R"({"pagination":{},"data":[{"netuid":2,"incentive_burn":0.75},{"netuid":1,"incentive_burn":"0.5"}]})"));
    services.answers.push_back(testing::FakeServices::answer(200, "ok"));
    EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), 0);
    EXPECT_EQ(host.maps_made, 0);
    EXPECT_EQ(services.files["state.json"],
              burns::render_state_file({{"2", "0.75"}, {"1", "0.5"}}, kStamp));
    ASSERT_EQ(services.requests.size(), 2u);
    EXPECT_EQ(services.requests[1].form[1].second,
              "Owner burn rate changed\n2025-12-08T00:00:00Z UTC\n\nSN2: 0.25 → 0.75");
    EXPECT_EQ(services.console_lines, std::vector<std::string>{"[burn] alert sent (1 subnet(s))\n"});
}

TEST(ScannedListingCycle, AnAnswerItCannotScanTakesTheHostsWay) {
    struct Case {
        const char* body;
        int status;
        const char* line;  // what the host's way says of it
    } cases[] = {
        // Rows the fake host reads itself: the map is the host's.
        {"rows:1=0.5", 0, nullptr},
        // A member the rate-limit test reads: the fake host finds no rows in it.
        {R"({"message":"x","data":[{"netuid":1}]})", 1,
         "[burn] fetch failed: {\"error\": \"no_subnet_rows\"}\n"},
    };
    for (const Case& c : cases) {
        testing::FakeServices services;
        ScanningHost host;
        services.env["TAOSTATS_API_KEY"] = "key";
        services.answers.push_back(testing::FakeServices::answer(200, c.body));
        EXPECT_EQ(run_watch_cycle(services, host, kWatch, 0.1), c.status) << c.body;
        if (c.line) {
            EXPECT_EQ(services.console_lines, std::vector<std::string>{c.line});
            EXPECT_EQ(services.files.count("state.json"), 0u);
        } else {
            EXPECT_EQ(host.maps_made, 1);
            EXPECT_EQ(services.files["state.json"], burns::render_state_file({{"1", "0.5"}}, kStamp));
        }
    }
}

}  // namespace
}  // namespace emberscope::driver
