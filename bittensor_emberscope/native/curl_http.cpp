// HTTP exchanges through libcurl.
#include "native/curl_http.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "native/curl_library.hpp"
#include "native/proxies.hpp"

namespace emberscope::native {
namespace {

using Clock = std::chrono::steady_clock;

bool has_header(const std::vector<Header>& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (text::same_ignoring_case(key, name)) return true;
    return false;
}

std::string_view strip(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

struct UrlParts {
    std::string scheme;     ///< lower case
    std::string authority;  ///< as written, user information included
    std::string host_port;  ///< authority without user information, lower case
    std::size_t path_at = std::string::npos;  ///< where the path (or query) begins
};

std::optional<UrlParts> split_url(std::string_view url) {
    const std::size_t sep = url.find("://");
    if (sep == std::string_view::npos || sep == 0) return std::nullopt;
    UrlParts parts;
    for (char c : url.substr(0, sep)) parts.scheme += text::ascii_lower(c);
    const std::size_t start = sep + 3;
    std::size_t end = url.find_first_of("/?#", start);
    if (end == std::string_view::npos) end = url.size();
    parts.authority = std::string(url.substr(start, end - start));
    const std::size_t at = parts.authority.rfind('@');
    for (char c : std::string_view(parts.authority).substr(at == std::string::npos ? 0 : at + 1))
        parts.host_port += text::ascii_lower(c);
    if (end < url.size()) parts.path_at = end;
    return parts;
}

void replace_all(std::string& text, std::string_view what, std::string_view with) {
    if (what.empty()) return;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

bool is_followed_status(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

void remove_header(std::vector<Header>& headers, std::string_view name) {
    std::erase_if(headers, [&](const Header& h) { return text::same_ignoring_case(h.first, name); });
}

class HeaderList {
public:
    ~HeaderList() { curl_library().slist_free_all(list_); }
    void add(const std::string& line) {
        curl_slist* next = curl_library().slist_append(list_, line.c_str());
        if (next == nullptr) throw std::bad_alloc();
        list_ = next;
    }
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

std::optional<std::string> variable(const Environment& env, std::string_view name) {
    for (const auto& [key, value] : env)
        if (key == name) return value;
    return std::nullopt;
}

}  // namespace

std::string origin_of(std::string_view url) {
    const std::optional<UrlParts> parts = split_url(url);
    if (!parts) return "";
    std::string host_port = parts->host_port;
    const std::size_t colon = host_port.rfind(':');
    const bool has_port = colon != std::string::npos && host_port.find(']', colon) == std::string::npos;
    if (!has_port) host_port += parts->scheme == "https" ? ":443" : parts->scheme == "http" ? ":80" : ":";
    return parts->scheme + "://" + host_port;
}

std::string failure_text(std::string_view detail, std::string_view url) {
    std::string out(detail);
    const std::optional<UrlParts> parts = split_url(url);
    if (!parts) {
        replace_all(out, url, "(the request's URL)");
        return out;
    }
    const std::string shown = parts->scheme + "://" + parts->host_port;
    replace_all(out, url, shown);
    if (parts->path_at != std::string::npos) {
        const std::string_view path = url.substr(parts->path_at);
        if (path.size() > 1) replace_all(out, path, "/...");
    }
    if (parts->authority != parts->host_port) replace_all(out, parts->authority, parts->host_port);
    return out;
}

std::string deadline_text(double seconds) {
    char text[96];
    std::snprintf(text, sizeof text, "the exchange took longer than its deadline of %g s", seconds);
    return text;
}

// One request and its answer: what the callbacks collect while curl runs it.
struct CurlHttp::Hop {
    // Set before the transfer.
    std::string url;
    bool post = false;
    std::string method;
    const std::string* body = nullptr;
    std::vector<Header> headers;
    const HttpRequest* request = nullptr;
    double deadline_left = 0;  ///< seconds; 0 for none
    std::optional<Proxy> proxy;
    std::optional<std::string> cert_file, cert_dir;

    // Collected.
    long status = 0;
    bool head_done = false;  ///< the empty line that ends the headers has come
    std::string reason;
    std::vector<Header> answer_headers;
    std::string data;
    std::size_t size_hint = 0;  ///< the decoded size of the last success body from this address
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    bool limit_known = false;
    bool over = false;
    std::exception_ptr interruption;
    Clock::time_point last_check = Clock::now();
    std::function<void()>* check = nullptr;
    CURL* handle = nullptr;

    // Result.
    CURLcode code = CURLE_OK;
    char error[CURL_ERROR_SIZE] = {};
    std::string redirect_url;
    long connects = 0;
    long os_errno = 0;  ///< the system's error number of a failed connect, 0 when none
};

namespace {

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto& hop = *static_cast<CurlHttp::Hop*>(user);
    const std::size_t n = size * count;
    std::string_view line(data, n);
    if (line.starts_with("HTTP/")) {
        // A new answer (after a 100 Continue, for one): its headers replace the earlier ones.
        hop.answer_headers.clear();
        hop.reason.clear();
        hop.head_done = false;
        const std::size_t first = line.find(' ');
        if (first != std::string_view::npos) {
            std::string_view rest = line.substr(first + 1);
            const std::size_t second = rest.find(' ');
            hop.reason = second == std::string_view::npos ? "" : std::string(strip(rest.substr(second + 1)));
        }
        return n;
    }
    if (strip(line).empty()) {
        hop.head_done = true;
        return n;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !hop.answer_headers.empty()) {
        hop.answer_headers.back().second += " ";
        hop.answer_headers.back().second += strip(line);
        return n;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    hop.answer_headers.emplace_back(std::string(line.substr(0, colon)),
                                    std::string(strip(line.substr(colon + 1))));
    return n;
}

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
    auto& hop = *static_cast<CurlHttp::Hop*>(user);
    const std::size_t n = size * count;
    if (!hop.limit_known) {
        long status = 0;
        curl_library().easy_getinfo(hop.handle, CURLINFO_RESPONSE_CODE, &status);
        hop.limit = status >= 200 && status < 300 ? hop.request->max_body_bytes
                                                  : hop.request->max_error_body_bytes;
        hop.limit_known = true;
        // Room for the whole body at once: its length when sent (the compressed one for a
        // compressed body), or the last body from this address when that was larger, so that a
        // listing of megabytes is not copied from buffer to buffer as it grows.
        curl_off_t length = -1;
        curl_library().easy_getinfo(hop.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        const std::size_t sent = length > 0 ? static_cast<std::size_t>(length) : 0;
        hop.data.reserve(std::min(std::max(sent, hop.size_hint), hop.limit));
    }
    const std::size_t room = hop.limit - hop.data.size();
    if (n > room) {
        // Past the limit: what fits is kept, the rest is never read.
        hop.data.append(data, room);
        hop.over = true;
        return CURL_WRITEFUNC_ERROR;
    }
    hop.data.append(data, n);
    return n;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& hop = *static_cast<CurlHttp::Hop*>(user);
    if (hop.check == nullptr || !*hop.check) return 0;
    const Clock::time_point now = Clock::now();
    if (now - hop.last_check < std::chrono::milliseconds(100)) return 0;
    hop.last_check = now;
    try {
        (*hop.check)();
    } catch (...) {
        hop.interruption = std::current_exception();
        return 1;
    }
    return 0;
}

template <typename T>
void set(CURL* handle, CURLoption option, T value) {
    const CURLcode code = curl_library().easy_setopt(handle, option, value);
    if (code != CURLE_OK && code != CURLE_UNKNOWN_OPTION && code != CURLE_NOT_BUILT_IN)
        throw std::runtime_error(std::string("libcurl refused an option: ") + curl_library().easy_strerror(code));
}

long whole_seconds(double seconds) {
    if (!(seconds > 0)) return 1;
    return static_cast<long>(std::min(std::ceil(seconds), 1e9));
}

long milliseconds(double seconds) {
    return static_cast<long>(std::clamp(std::ceil(seconds * 1000), 1.0, 1e12));
}

}  // namespace

CurlHttp::CurlHttp() = default;

CurlHttp::~CurlHttp() {
    if (multi_ != nullptr) curl_library().multi_cleanup(multi_);
    if (handle_ != nullptr) curl_library().easy_cleanup(handle_);
}

void CurlHttp::perform(Hop& hop) {
    CURL* h = handle_;
    // Options go back to their defaults; the connections, the TLS sessions and the address
    // cache stay.
    curl_library().easy_reset(h);
    hop.handle = h;
    const HttpRequest& r = *hop.request;
    set(h, CURLOPT_NOSIGNAL, 1L);
    set(h, CURLOPT_URL, hop.url.c_str());
    set(h, CURLOPT_PROTOCOLS_STR, "http,https");
    set(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(h, CURLOPT_ERRORBUFFER, hop.error);
    set(h, CURLOPT_FOLLOWLOCATION, 0L);
    set(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (!has_header(hop.headers, "Accept-Encoding")) set(h, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");

    HeaderList headers;
    for (const auto& [name, value] : hop.headers)
        headers.add(value.empty() ? name + ";" : name + ": " + value);
    // libcurl's own additions the host's client never sends: a default Accept, and the
    // "Expect: 100-continue" wait before a larger POST body.
    if (!has_header(hop.headers, "Accept")) headers.add("Accept:");
    headers.add("Expect:");
    set(h, CURLOPT_HTTPHEADER, headers.get());

    if (hop.post) {
        set(h, CURLOPT_POST, 1L);
        set(h, CURLOPT_POSTFIELDS, hop.body->data());
        set(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(hop.body->size()));
        if (hop.method != "POST") set(h, CURLOPT_CUSTOMREQUEST, hop.method.c_str());
    } else if (hop.method != "GET") {
        set(h, CURLOPT_CUSTOMREQUEST, hop.method.c_str());
    }

    // Each wait is bounded by the time-out: connecting, and any stretch without a byte.
    set(h, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(r.timeout_seconds));
    // libcurl measures the speed once a second: an exchange that sleeps on its wake descriptor
    // (a long poll) is bounded by its deadline instead.
    if (wake_fd_ < 0 || hop.deadline_left <= 0) {
        set(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        set(h, CURLOPT_LOW_SPEED_TIME, whole_seconds(r.timeout_seconds));
    }
    if (hop.deadline_left > 0) set(h, CURLOPT_TIMEOUT_MS, milliseconds(hop.deadline_left));

    if (hop.proxy) {
        set(h, CURLOPT_PROXY, hop.proxy->host.c_str());
        set(h, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        set(h, CURLOPT_PROXYPORT, hop.proxy->port);
        if (!hop.proxy->user.empty()) {
            set(h, CURLOPT_PROXYUSERNAME, hop.proxy->user.c_str());
            set(h, CURLOPT_PROXYPASSWORD, hop.proxy->password.c_str());
        }
        // A tunnel for https, an absolute URL to the proxy for http: as the host's client does.
    } else {
        set(h, CURLOPT_PROXY, "");  // libcurl's own reading of the environment is not used
    }
    set(h, CURLOPT_NOPROXY, "");
    if (hop.cert_file) set(h, CURLOPT_CAINFO, hop.cert_file->c_str());
    if (hop.cert_dir) set(h, CURLOPT_CAPATH, hop.cert_dir->c_str());

    set(h, CURLOPT_HEADERFUNCTION, on_header);
    set(h, CURLOPT_HEADERDATA, &hop);
    set(h, CURLOPT_WRITEFUNCTION, on_data);
    set(h, CURLOPT_WRITEDATA, &hop);
    set(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    set(h, CURLOPT_XFERINFODATA, &hop);
    set(h, CURLOPT_NOPROGRESS, 0L);

    if (wake_fd_ < 0) {
        hop.code = curl_library().easy_perform(h);
    } else {
        perform_waking(hop);
    }
    curl_library().easy_getinfo(h, CURLINFO_RESPONSE_CODE, &hop.status);
    curl_library().easy_getinfo(h, CURLINFO_NUM_CONNECTS, &hop.connects);
    curl_library().easy_getinfo(h, CURLINFO_OS_ERRNO, &hop.os_errno);
    char* redirect = nullptr;
    if (curl_library().easy_getinfo(h, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect != nullptr)
        hop.redirect_url = redirect;
    // The handle keeps pointers to the hop's buffers: none of them may be used after it.
    curl_library().easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_library().easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
}

void CurlHttp::perform_waking(Hop& hop) {
    const CurlLibrary& curl = curl_library();
    if (multi_ == nullptr && (multi_ = curl.multi_init()) == nullptr)
        throw std::runtime_error("libcurl cannot make a multi handle");
    if (curl.multi_add_handle(multi_, handle_) != CURLM_OK)
        throw std::runtime_error("libcurl cannot start a transfer");
    hop.code = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl.multi_perform(multi_, &running) != CURLM_OK) {
            hop.code = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            while (CURLMsg* message = curl.multi_info_read(multi_, &left))
                if (message->msg == CURLMSG_DONE && message->easy_handle == handle_)
                    hop.code = message->data.result;
            break;
        }
        if (hop.interruption) {  // the progress callback's check ended it
            hop.code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        // libcurl shortens the wait to its own next time-out; an hour is only an upper bound.
        curl_waitfd wake{wake_fd_, CURL_WAIT_POLLIN, 0};
        int ready = 0;
        if (curl.multi_poll(multi_, &wake, 1, 3600 * 1000, &ready) != CURLM_OK) {
            hop.code = CURLE_FAILED_INIT;
            break;
        }
        if ((wake.revents & CURL_WAIT_POLLIN) != 0 && check_) {
            try {
                check_();
            } catch (...) {
                hop.interruption = std::current_exception();
                hop.code = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
        }
    }
    // Taken out whatever happened: an unfinished transfer is dropped with its connection.
    curl.multi_remove_handle(multi_, handle_);
}

HttpAnswer CurlHttp::exchange(const HttpRequest& request) {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr) {
        // The library is loaded by the first exchange; one that cannot load it fails as a
        // transport failure, and the next exchange tries again.
        try {
            handle_ = curl_library().easy_init();
        } catch (const std::runtime_error& e) {
            HttpAnswer answer;
            answer.failure = TransportFailure{TransportFailure::Kind::os_error, e.what(), nullptr};
            return answer;
        }
        if (handle_ == nullptr) {
            HttpAnswer answer;
            answer.failure = TransportFailure{TransportFailure::Kind::os_error,
                                              "libcurl cannot make a handle", nullptr};
            return answer;
        }
    }
    const Clock::time_point start = Clock::now();
    const Environment env = process_environment();
    const std::string body = request.form.empty() ? request.body : text::form_encoded(request.form);
    const bool post = request.method == "POST" || !body.empty();
    const std::string first_origin = origin_of(request.url);

    std::string url = request.url;
    std::vector<Header> headers = request.headers;
    HttpAnswer answer;
    auto fail = [&](TransportFailure::Kind kind, std::string message) {
        answer = HttpAnswer{};
        answer.failure = TransportFailure{kind, std::move(message), nullptr};
        return answer;
    };

    for (int redirects = 0;; ++redirects) {
        Hop hop;
        hop.url = url;
        hop.method = request.method;
        hop.post = post;
        hop.body = &body;
        hop.headers = headers;
        hop.request = &request;
        hop.check = &check_;
        const std::string address = url.substr(0, url.find('?'));
        if (auto known = body_sizes_.find(address); known != body_sizes_.end())
            hop.size_hint = known->second;
        if (request.deadline_seconds > 0) {
            const double spent = std::chrono::duration<double>(Clock::now() - start).count();
            hop.deadline_left = request.deadline_seconds - spent;
            if (hop.deadline_left <= 0)
                return fail(TransportFailure::Kind::deadline, deadline_text(request.deadline_seconds));
        }
        const std::optional<UrlParts> parts = split_url(url);
        if (parts) {
            try {
                hop.proxy = proxy_for(env, parts->scheme, parts->authority);
            } catch (const ProxyError& e) {
                return fail(TransportFailure::Kind::os_error, e.message);
            }
        }
        if (auto file = variable(env, "SSL_CERT_FILE"); file && !file->empty()) hop.cert_file = file;
        if (auto dir = variable(env, "SSL_CERT_DIR"); dir && !dir->empty()) hop.cert_dir = dir;

        perform(hop);
        opened_ += hop.connects;
        if (hop.interruption) std::rethrow_exception(hop.interruption);

        const bool cut_at_limit = hop.code == CURLE_WRITE_ERROR && hop.over;
        if (hop.code != CURLE_OK && !cut_at_limit) {
            const double spent = std::chrono::duration<double>(Clock::now() - start).count();
            if (hop.code == CURLE_OPERATION_TIMEDOUT && request.deadline_seconds > 0 &&
                spent >= request.deadline_seconds - 0.005)
                return fail(TransportFailure::Kind::deadline, deadline_text(request.deadline_seconds));
            std::string detail = hop.error[0] != '\0' ? std::string(hop.error)
                                                      : std::string(curl_library().easy_strerror(hop.code));
            // The system's own words where it gave a reason ("Connection refused"), as the
            // host's errors carry them.
            if (hop.os_errno != 0 && (hop.code == CURLE_COULDNT_CONNECT || hop.code == CURLE_RECV_ERROR ||
                                      hop.code == CURLE_SEND_ERROR))
                detail = "[Errno " + std::to_string(hop.os_errno) + "] " + std::strerror(static_cast<int>(hop.os_errno)) + ": " + detail;
            // An answer that stopped in the middle, or that is not HTTP at all, is a failure of the
            // answer, not of the connection.
            const bool cut = hop.code == CURLE_PARTIAL_FILE || hop.code == CURLE_WEIRD_SERVER_REPLY ||
                             hop.code == CURLE_UNSUPPORTED_PROTOCOL || hop.code == CURLE_BAD_CONTENT_ENCODING;
            return fail(cut ? TransportFailure::Kind::cut_off : TransportFailure::Kind::os_error,
                        failure_text(detail, url));
        }

        if (!hop.head_done)
            return fail(TransportFailure::Kind::cut_off,
                        "the connection closed before the answer's headers ended");

        if (request.redirects != Redirects::none && !post && is_followed_status(hop.status) &&
            redirects < kMaxRedirects && !hop.redirect_url.empty()) {
            const std::optional<UrlParts> next = split_url(hop.redirect_url);
            if (next && (next->scheme == "http" || next->scheme == "https")) {
                url = hop.redirect_url;
                if (request.redirects == Redirects::keep_credentials_on_origin &&
                    origin_of(url) != first_origin)
                    remove_header(headers, "Authorization");
                continue;
            }
        }
        if (hop.status >= 200 && hop.status < 300 && !hop.over) {
            if (body_sizes_.size() >= kRememberedAddresses) body_sizes_.clear();
            body_sizes_[url.substr(0, url.find('?'))] = hop.data.size();
        }
        answer.status = static_cast<int>(hop.status);
        answer.reason = std::move(hop.reason);
        answer.headers = std::move(hop.answer_headers);
        answer.body = std::move(hop.data);
        answer.body_over_limit = hop.over;
        return answer;
    }
}

}  // namespace emberscope::native
