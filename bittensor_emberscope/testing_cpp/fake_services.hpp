// An in-memory Services for tests: a settable clock that sleeps advance, files in a map,
// scripted HTTP answers, recorded console lines and requests.
#pragma once

#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/services.hpp"

namespace emberscope::testing {

/// What a fake service throws; `ordinary` tells whether a loop may survive it.
struct FakeError : std::runtime_error {
    FakeError(const std::string& message, bool ordinary = true)
        : std::runtime_error(message), ordinary(ordinary) {}
    bool ordinary;
};

class FakeServices : public Services {
public:
    // Scripted state, set by the test.
    std::map<std::string, std::string, std::less<>> env;
    std::map<std::string, std::string, std::less<>> files;
    double clock = 1'765'152'000.0;  ///< seconds; sleeps advance it
    /// How far the wall clock (epoch_seconds, utc_now) is set off `clock`: a step of the wall
    /// clock leaves the monotonic one alone.
    double wall_offset = 0;
    std::string boot = "boot-1";
    /// Answers handed out in order; when empty, `responder` (if set) answers.
    std::deque<HttpAnswer> answers;
    std::function<HttpAnswer(const HttpRequest&)> responder;
    /// Called at each sleep and signal check; may throw to stand for a signal handler.
    std::function<void()> on_signal_check;
    /// When set, replace_file throws it for paths it returns true for.
    std::function<bool(std::string_view path)> fail_replace;
    /// When set, replace_file throws for paths it returns true for after the new content is in
    /// place (a failing sync of the directory).
    std::function<bool(std::string_view path)> fail_after_replace;
    /// Paths that exist but cannot be read, with the error reading them gives.
    std::map<std::string, std::string, std::less<>> unreadable;

    // Recorded calls.
    std::vector<std::string> console_lines;
    std::vector<HttpRequest> requests;
    std::vector<double> sleeps;
    std::vector<std::string> calls;  ///< "sleep", "http", "replace <path>", ... in order

    std::optional<std::string> environment(std::string_view name) override {
        auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
    }
    std::string utc_now(std::string_view pattern) override {
        calls.push_back("clock");
        std::time_t t = static_cast<std::time_t>(clock + wall_offset);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char buf[128];
        std::string p(pattern);
        std::size_t n = std::strftime(buf, sizeof buf, p.c_str(), &tm);
        return std::string(buf, n);
    }
    double epoch_seconds() override { return clock + wall_offset; }
    double monotonic_seconds() override { return clock; }
    std::string boot_id() override { return boot; }
    void sleep(double seconds) override {
        calls.push_back("sleep");
        sleeps.push_back(seconds);
        if (on_signal_check) on_signal_check();
        clock += seconds;
    }
    void console(std::string_view line) override { console_lines.emplace_back(line); }
    bool is_file(std::string_view path) override {
        return files.find(path) != files.end() || unreadable.find(path) != unreadable.end();
    }
    void check_signals() override {
        if (on_signal_check) on_signal_check();
    }
    std::optional<std::string> read_file(std::string_view path) override {
        if (unreadable.find(path) != unreadable.end()) return std::nullopt;
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    }
    FileText read_text_file(std::string_view path) override {
        calls.push_back("read " + std::string(path));
        if (auto bad = unreadable.find(path); bad != unreadable.end())
            return {FileText::Kind::unreadable, bad->second,
                    std::make_exception_ptr(FakeError(bad->second))};
        auto it = files.find(path);
        if (it == files.end()) return {FileText::Kind::missing, "", nullptr};
        return {FileText::Kind::text, it->second, nullptr};
    }
    void replace_file(std::string_view path, std::string_view content) override {
        calls.push_back("replace " + std::string(path));
        if (fail_replace && fail_replace(path))
            throw FakeError("[Errno 28] No space left on device: '" + std::string(path) + "'");
        files.insert_or_assign(std::string(path), std::string(content));
        if (fail_after_replace && fail_after_replace(path))
            throw FakeError("[Errno 5] Input/output error: '" + std::string(path) + "'");
    }
    void rename_file(std::string_view from, std::string_view to) override {
        calls.push_back("rename " + std::string(from) + " " + std::string(to));
        auto it = files.find(from);
        if (it == files.end())
            throw FakeError("[Errno 2] No such file or directory: '" + std::string(from) + "'");
        std::string content = std::move(it->second);
        files.erase(it);
        files.insert_or_assign(std::string(to), std::move(content));
    }
    void remove_file(std::string_view path) override {
        calls.push_back("remove " + std::string(path));
        auto it = files.find(path);
        if (it != files.end()) files.erase(it);
    }
    HttpAnswer http(const HttpRequest& request) override {
        calls.push_back("http");
        requests.push_back(request);
        if (!answers.empty()) {
            HttpAnswer answer = std::move(answers.front());
            answers.pop_front();
            return answer;
        }
        if (responder) return responder(request);
        throw FakeError("FakeServices: no answer scripted for " + request.url);
    }
    bool is_ordinary_error(const std::exception_ptr& error) override {
        try {
            std::rethrow_exception(error);
        } catch (const FakeError& e) {
            return e.ordinary;
        } catch (const std::exception&) {
            return true;
        }
    }
    std::string error_message(const std::exception_ptr& error) override {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            return e.what();
        }
    }
    [[noreturn]] void rethrow_masked(const std::exception_ptr& error,
                                     std::span<const secrets::Secret> secrets) override {
        try {
            std::rethrow_exception(error);
        } catch (const FakeError& e) {
            const std::string text = secrets::mask(e.what(), secrets);
            if (text == e.what()) throw;
            throw FakeError(text, e.ordinary);
        }
    }

    // Answers for scripts.
    static HttpAnswer answer(int status, std::string body, std::vector<Header> headers = {},
                             std::string reason = "") {
        HttpAnswer a;
        a.status = status;
        a.reason = std::move(reason);
        a.body = std::move(body);
        a.headers = std::move(headers);
        return a;
    }
    static HttpAnswer dropped(std::string message = "Remote end closed connection without response") {
        HttpAnswer a;
        a.failure = TransportFailure{TransportFailure::Kind::os_error, std::move(message), nullptr};
        return a;
    }
};

}  // namespace emberscope::testing
