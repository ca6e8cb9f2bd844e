// The services through which every sequence of the monitor reaches the world outside it:
// environment, clocks, sleep, console, files, HTTP and pending signals.
//
// host/ implements them once over the interpreter's services, looked up at call time, so a
// substitute installed by a test (`time.sleep`, `urllib.request.urlopen`) is seen; tests of the
// sequences use FakeServices (testing_cpp/fake_services.hpp). Errors raised by the host travel as
// C++ exceptions that sequences never look into: they ask `is_ordinary_error` whether one may be
// survived and `error_message` for its text.
#pragma once

#include <cstddef>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/secrets.hpp"
#include "common/text.hpp"

namespace emberscope {

/// One HTTP header: name and value, as sent or received.
using Header = std::pair<std::string, std::string>;

/// Why an exchange ended without an answer.
struct TransportFailure {
    enum class Kind {
        os_error,  ///< refused, reset, dropped, name not found, a wait that timed out
        deadline,  ///< the whole exchange outlived its deadline
        cut_off,   ///< the answer broke off or was not HTTP (only with `protocol_errors_fail`)
    };
    Kind kind = Kind::os_error;
    std::string message;          ///< the failure's own text
    std::exception_ptr original;  ///< the host's error, to be thrown again unchanged (may be null)
};

/// What to do with a 3xx answer.
enum class Redirects {
    follow,             ///< follow as the host's client does
    keep_credentials_on_origin,  ///< follow, but drop `Authorization` when the origin changes
    none,               ///< a 3xx is a final answer
};

struct HttpRequest {
    std::string method = "GET";   ///< "GET", or "POST" with `body`
    std::string url;
    std::vector<Header> headers;
    std::string body;             ///< bytes of a POST body
    /// Fields of a form POST, encoded as the host's `urlencode` encodes them (UTF-8, `+` for
    /// spaces); when there are any, they are the body and `body` is not used.
    std::vector<std::pair<std::string, std::string>> form;
    double timeout_seconds = 60;  ///< bound on each blocking wait (connect, each read)
    double deadline_seconds = 0;  ///< bound on the whole exchange; 0 for none
    std::size_t max_body_bytes = std::numeric_limits<std::size_t>::max();  ///< of a 2xx body
    /// Most bytes read of the body of any other status.
    std::size_t max_error_body_bytes = std::numeric_limits<std::size_t>::max();
    Redirects redirects = Redirects::follow;
    /// When set, an answer the client cannot read to its end (cut off after its headers, a
    /// status line that is not HTTP) comes back as a `cut_off` failure instead of being thrown.
    bool protocol_errors_fail = false;
};

struct HttpAnswer {
    int status = 0;               ///< the final status; 0 when `failure` is set
    std::string reason;           ///< its reason phrase
    std::vector<Header> headers;
    std::string body;             ///< at most max_body_bytes (max_error_body_bytes) of the body
    bool body_over_limit = false; ///< the body was longer than its limit (not read further)
    std::optional<TransportFailure> failure;

    bool ok() const { return !failure && status >= 200 && status < 300; }
    /// The first header of that name (compared without regard to case), or nullopt.
    std::optional<std::string> header(std::string_view name) const {
        for (const auto& [key, value] : headers)
            if (text::same_ignoring_case(key, name)) return value;
        return std::nullopt;
    }
};

/// What reading a whole text file found.
struct FileText {
    enum class Kind {
        text,        ///< `text` holds the content
        missing,     ///< nothing exists at the path
        not_utf8,    ///< the content is not UTF-8; `text` holds the decoder's message
        unreadable,  ///< something exists but cannot be read (permissions, I/O error, not a
                     ///< regular file); `text` holds the reason
    };
    Kind kind = Kind::missing;
    std::string text;
    std::exception_ptr original;  ///< the host's error, when there was one (may be null)
};

class Services {
public:
    virtual ~Services() = default;

    /// The variable's text, or nullopt when unset.
    virtual std::optional<std::string> environment(std::string_view name) = 0;
    /// The current UTC time formatted by the host's strftime `pattern`.
    virtual std::string utc_now(std::string_view pattern) = 0;
    /// The current time in seconds since the epoch (UTC), for ages of stored entries.
    virtual double epoch_seconds() = 0;
    /// A clock that never goes back, in seconds, for gaps and budgets.
    virtual double monotonic_seconds() = 0;
    /// A name of the machine's current boot, "" when unknown. Readings of monotonic_seconds
    /// taken in one boot compare with each other, across processes too; those of two boots do
    /// not.
    virtual std::string boot_id() = 0;
    /// Blocks the calling thread; a signal handler's error propagates.
    virtual void sleep(double seconds) = 0;
    /// Writes one console line (standard error) in one piece; `line` ends with "\n".
    virtual void console(std::string_view line) = 0;
    /// True when `path` names an existing regular file.
    virtual bool is_file(std::string_view path) = 0;
    /// Runs the handlers of signals that have arrived; throws what a handler raises.
    virtual void check_signals() = 0;

    /// The whole content of the file as UTF-8 text, or nullopt when it does not exist or cannot
    /// be opened or read. Content that is not UTF-8 throws.
    virtual std::optional<std::string> read_file(std::string_view path) = 0;
    /// The whole content of the file as UTF-8 text, as read_file reads it, telling a missing
    /// file from one that exists and cannot be read. Errors other than the host's OSError family
    /// and its refusal to decode are thrown.
    virtual FileText read_text_file(std::string_view path) = 0;
    /// Replaces the file's content so that it holds the old or the new content in full at every
    /// moment (temporary file, sync, rename).
    virtual void replace_file(std::string_view path, std::string_view content) = 0;
    /// Renames `from` to `to` in one step.
    virtual void rename_file(std::string_view from, std::string_view to) = 0;
    /// Removes the file; a missing file is not an error.
    virtual void remove_file(std::string_view path) = 0;

    /// One HTTP exchange. Transport failures of the OSError family and deadlines come back as
    /// `failure` (so do broken answers, when the request asks for it); anything else the host
    /// raises is thrown.
    virtual HttpAnswer http(const HttpRequest& request) = 0;

    /// True when a thrown error is one a loop may report and survive (the host's `Exception`
    /// family); false for interrupts and exit requests, which must propagate.
    virtual bool is_ordinary_error(const std::exception_ptr& error) = 0;
    /// The error's own message text.
    virtual std::string error_message(const std::exception_ptr& error) = 0;
    /// Throws `error` again with every spelling of every secret masked wherever the error can
    /// show it (common/secrets.hpp): an error of the same kind with nothing of the original
    /// chained when anything changes, `error` itself when nothing does.
    [[noreturn]] virtual void rethrow_masked(const std::exception_ptr& error,
                                             std::span<const secrets::Secret> secrets) = 0;
};

}  // namespace emberscope
