// HTTP exchanges through libcurl, for the command's engine.
//
// One easy handle serves every exchange of the process, so a connection to a host is kept and
// used again by the next exchange with that host (the listing every cycle, each Telegram
// message). Answers are asked for compressed (gzip, deflate) and decoded on the way in; every
// limit applies to the decoded bytes, so a small compressed body cannot unfold past it.
//
// The rules are those of the host's own client: proxies from the environment as urllib reads
// them (native/proxies.hpp), certificates from SSL_CERT_FILE / SSL_CERT_DIR when set, redirects
// of a GET followed up to ten times (a 3xx to a POST is its final answer), HTTP/1.1 with the
// status line's own reason phrase.
#pragma once

#include <curl/curl.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/services.hpp"

namespace emberscope::native {

/// Most redirects followed in one exchange, as the host's client follows.
inline constexpr int kMaxRedirects = 10;

/// The text of a transport failure: `detail` with the request's URL and path replaced by the
/// URL's origin, so a secret carried in the path (a bot token) never shows in it.
std::string failure_text(std::string_view detail, std::string_view url);

/// "scheme://host:port" of a URL in lower case (the scheme's port when none is written), or ""
/// when it has none.
std::string origin_of(std::string_view url);

/// The failure text of a deadline: "the exchange took longer than its deadline of 1.5 s".
std::string deadline_text(double seconds);

class CurlHttp {
public:
    CurlHttp();
    ~CurlHttp();
    CurlHttp(const CurlHttp&) = delete;
    CurlHttp& operator=(const CurlHttp&) = delete;

    /// Called now and then while an exchange waits (every tenth of a second at most): what it
    /// throws ends the exchange and goes out of `exchange` unchanged.
    void set_interruption_check(std::function<void()> check) { check_ = std::move(check); }

    /// A descriptor that ends the waits of an exchange when it becomes readable (-1: none).
    /// With one, an exchange sleeps until the answer's bytes, its time-outs or the descriptor,
    /// and the interruption check runs when the descriptor woke it; without one, libcurl looks
    /// in about once a second, and the check runs then.
    void set_wake_fd(int fd) { wake_fd_ = fd; }

    /// One exchange; transport failures and deadlines come back as `failure`.
    HttpAnswer exchange(const HttpRequest& request);

    /// Connections opened since the handle was made (for tests of reuse).
    long connections_opened() const { return opened_; }

    /// One request and its answer, as the transfer's callbacks fill it in.
    struct Hop;

private:
    void perform(Hop& hop);
    void perform_waking(Hop& hop);

    CURL* handle_ = nullptr;
    CURLM* multi_ = nullptr;  // made by the first exchange with a wake descriptor
    int wake_fd_ = -1;
    std::mutex mutex_;
    std::function<void()> check_;
    long opened_ = 0;
    /// The decoded size of the last success body of each address (without its query): the room
    /// the next answer from there starts with.
    std::unordered_map<std::string, std::size_t> body_sizes_;
    static constexpr std::size_t kRememberedAddresses = 16;
};

}  // namespace emberscope::native
