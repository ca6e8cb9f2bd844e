// A folder of its own for each test of the files beside the state.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "records/clock.hpp"
#include "routes/route.hpp"

namespace emberscope::records {

class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/emberscope-records-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        state_ = (dir_ / "state.json").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    static void write(const std::string& p, std::string_view content) {
        std::ofstream(p, std::ios::binary) << content;
    }
    static void append(const std::string& p, std::string_view content) {
        std::ofstream(p, std::ios::binary | std::ios::app) << content;
    }
    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }
    /// A clock reading on the wall clock alone (no boot named).
    static Clock wall(double epoch) { return Clock{epoch, "", 0}; }

    std::filesystem::path dir_;
    std::string state_;
};

/// A configured route.
inline routes::Route route(std::string chat, double threshold = 0.01,
                           std::optional<std::vector<std::int64_t>> netuids = std::nullopt,
                           std::optional<std::int64_t> thread = std::nullopt) {
    routes::Route r;
    r.chat_id = std::move(chat);
    r.threshold = threshold;
    r.netuids = std::move(netuids);
    r.thread_id = thread;
    return r;
}

/// 2026-03-01T12:00:00Z.
inline constexpr double kT0 = 1772366400;
/// 2026-12-08T12:00:00Z.
inline constexpr double kNow = 1796731200;

}  // namespace emberscope::records
