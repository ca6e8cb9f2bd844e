// The Services of the running module: the interpreter's own services, looked up by their
// module-level names at each call (host/module.hpp), so a substitute installed by a test or an
// operator (`time.sleep`, `urllib.request.urlopen`, `os`, `open`) is the one that runs.
//
// Errors the host raises travel as host::Error inside the exception_ptr the sequences see; an
// interrupt or an exit request is never an ordinary error.
#pragma once

#include "common/services.hpp"
#include "host/object.hpp"

namespace emberscope::host {

class HostServices final : public Services {
public:
    std::optional<std::string> environment(std::string_view name) override;
    std::string utc_now(std::string_view pattern) override;
    double epoch_seconds() override;
    double monotonic_seconds() override;
    /// The kernel's boot id (/proc/sys/kernel/random/boot_id), "" where there is none.
    std::string boot_id() override;
    void sleep(double seconds) override;
    void console(std::string_view line) override;
    bool is_file(std::string_view path) override;
    void check_signals() override;

    std::optional<std::string> read_file(std::string_view path) override;
    /// `os.stat` first (a pipe or a device at the path would block a read), then read as
    /// read_file reads.
    FileText read_text_file(std::string_view path) override;
    void replace_file(std::string_view path, std::string_view content) override;
    void rename_file(std::string_view from, std::string_view to) override;
    void remove_file(std::string_view path) override;

    /// `urllib.request.Request` built from the request (form fields through `urlencode`), sent
    /// through the module's own exchange (host/http.hpp) with the request's time-out, deadline,
    /// body limits and redirect rule. A success gives its status, reason and headers too; an
    /// HTTPError its status, reason, headers and body; an OSError-family failure of the exchange,
    /// or its deadline, becomes `failure`, its host error kept in `original`; a failure while
    /// reading an error's body, and anything else, is thrown.
    HttpAnswer http(const HttpRequest& request) override;

    bool is_ordinary_error(const std::exception_ptr& error) override;
    std::string error_message(const std::exception_ptr& error) override;
    [[noreturn]] void rethrow_masked(const std::exception_ptr& error,
                                     std::span<const secrets::Secret> secrets) override;
};

/// A host bytes value holding `data`.
Object bytes(std::string_view data);

/// The services of the running module (one per process; stateless).
Services& services();

}  // namespace emberscope::host
