// The Services of the command's engine on POSIX: the process environment, the system clocks,
// nanosleep, standard error, files (native/posix_files.hpp) and HTTP through libcurl
// (native/curl_http.hpp). Nothing here knows the interpreter; the module's glue (host/) adds
// what only the interpreter can do: its signal handlers, and the classing of its errors.
#pragma once

#include <time.h>

#include "common/services.hpp"
#include "native/curl_http.hpp"

namespace emberscope::native {

/// The seconds `clock` (CLOCK_REALTIME, CLOCK_MONOTONIC, ...) reads now.
double clock_seconds(clockid_t clock);

/// An error of these services whose text has had the secrets masked out of it.
class MaskedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PosixServices : public Services {
public:
    PosixServices();

    std::optional<std::string> environment(std::string_view name) override;
    std::string utc_now(std::string_view pattern) override;
    double epoch_seconds() override;
    double monotonic_seconds() override;
    /// Sleeps the whole time; a signal that interrupts it has check_signals run at once (which
    /// may throw to end the sleep) before the rest is slept.
    void sleep(double seconds) override;
    /// One write(2) of the whole line to standard error (more only when the first is short).
    void console(std::string_view line) override;
    bool is_file(std::string_view path) override;
    /// No handlers to run here.
    void check_signals() override {}
    std::optional<std::string> read_file(std::string_view path) override;
    FileText read_text_file(std::string_view path) override;
    std::string boot_id() override;
    void replace_file(std::string_view path, std::string_view content) override;
    void rename_file(std::string_view from, std::string_view to) override;
    void remove_file(std::string_view path) override;
    HttpAnswer http(const HttpRequest& request) override;
    /// Every error of these services is ordinary (standard exceptions); anything else is not.
    bool is_ordinary_error(const std::exception_ptr& error) override;
    std::string error_message(const std::exception_ptr& error) override;
    [[noreturn]] void rethrow_masked(const std::exception_ptr& error,
                                     std::span<const secrets::Secret> secrets) override;

    CurlHttp& curl() { return http_; }

private:
    CurlHttp http_;
};

}  // namespace emberscope::native
