// Failure texts of the engine's services.
#include "engine/failures.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "common/utf8.hpp"

namespace emberscope::engine {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string_view standard_reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 413: return "Content Too Large";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: return "";
    }
}

struct Address {
    std::string scheme;
    std::string host;  ///< lower case, brackets of an IPv6 literal kept
    std::string port;
};

// The parts of "scheme://[user@]host[:port]/..." that name where a connection goes; a value
// without "scheme://" (as proxy settings are often written) is read as host[:port].
Address address_of(std::string_view url, std::string_view default_scheme) {
    Address a;
    const std::size_t colon = url.find("://");
    if (colon != std::string_view::npos) {
        a.scheme = lower(url.substr(0, colon));
        url.remove_prefix(colon + 3);
    } else {
        a.scheme = std::string(default_scheme);
    }
    url = url.substr(0, url.find_first_of("/?#"));
    if (const std::size_t at = url.rfind('@'); at != std::string_view::npos) url.remove_prefix(at + 1);
    std::size_t port_at = std::string_view::npos;
    if (url.starts_with('[')) {
        const std::size_t close = url.find(']');
        if (close != std::string_view::npos && close + 1 < url.size() && url[close + 1] == ':')
            port_at = close + 1;
    } else {
        port_at = url.rfind(':');
    }
    a.host = lower(url.substr(0, port_at));
    if (port_at != std::string_view::npos) a.port = std::string(url.substr(port_at + 1));
    if (a.port.empty()) a.port = a.scheme == "https" ? "443" : "80";
    return a;
}

std::optional<std::string> setting(Services& services, const std::string& name) {
    if (auto v = services.environment(lower(name)); v && !v->empty()) return v;
    std::string upper = name;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if (auto v = services.environment(upper); v && !v->empty()) return v;
    return std::nullopt;
}

// True when a no_proxy list ("*", or names and domains separated by commas) waives the proxy.
bool waived(std::string_view list, const Address& target) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string entry = lower(trimmed(list.substr(0, comma)));
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        if (entry == "*") return true;
        while (entry.starts_with('.')) entry.erase(0, 1);
        if (entry.empty()) continue;
        if (entry == target.host || entry == target.host + ":" + target.port) return true;
        if (target.host.size() > entry.size() && target.host.ends_with("." + entry)) return true;
    }
    return false;
}

// The words inside "Name(words)", or the text itself.
std::string_view inner(std::string_view text) {
    const std::size_t open = text.find('(');
    if (open == std::string_view::npos || !text.ends_with(')')) return text;
    return text.substr(open + 1, text.size() - open - 2);
}

std::string os_error_cause(std::string_view message, std::span<const secrets::Secret> secrets) {
    const std::string m = lower(message);
    struct Known {
        std::string_view seen;
        std::string_view cause;
    };
    static constexpr Known kKnown[] = {
        {"connection refused", "connection refused"},
        {"remote end closed connection", "connection closed before an answer"},
        {"connection reset", "connection reset"},
        {"connection aborted", "connection reset"},
        {"broken pipe", "connection closed while sending"},
        {"timed out", "timed out"},
        {"name or service not known", "host name not found"},
        {"temporary failure in name resolution", "host name not found"},
        {"nodename nor servname", "host name not found"},
        {"no address associated", "host name not found"},
        {"network is unreachable", "network unreachable"},
        {"no route to host", "no route to host"},
        {"certificate verify failed", "TLS certificate not accepted"},
    };
    for (const auto& k : kKnown)
        if (m.find(k.seen) != std::string::npos) return std::string(k.cause);
    return excerpt(message, secrets);
}

}  // namespace

std::string excerpt(std::string_view text, std::span<const secrets::Secret> secrets) {
    if (!utf8::is_strict(text)) return "(" + std::to_string(text.size()) + " bytes, not UTF-8)";
    const std::string masked = secrets::mask(text, secrets);
    std::string flat;
    flat.reserve(std::min(masked.size(), 4 * kExcerptLength + 8));
    std::size_t count = 0;
    bool space = false;
    bool cut = false;
    for (std::size_t pos = 0; pos < masked.size();) {
        const std::size_t start = pos;
        const char32_t cp = utf8::next(masked, pos);
        if (cp <= 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029) {
            space = count > 0;
            continue;
        }
        if (count + (space ? 1 : 0) + 1 > kExcerptLength) {
            cut = true;
            break;
        }
        if (space) {
            flat += ' ';
            ++count;
            space = false;
        }
        flat.append(masked, start, pos - start);
        ++count;
    }
    if (cut) {
        // Room for the marker: drop whole code points from the end.
        const std::size_t keep = kExcerptLength - kExcerptCut.size();
        while (count > keep) {
            std::size_t last = flat.size() - 1;
            while (last > 0 && (static_cast<unsigned char>(flat[last]) & 0xC0) == 0x80) --last;
            flat.erase(last);
            --count;
        }
        while (flat.ends_with(' ')) flat.pop_back();
        flat += kExcerptCut;
    }
    return flat;
}

std::string status_text(int status, std::string_view reason) {
    std::string out = "HTTP " + std::to_string(status);
    std::string_view phrase = trimmed(reason);
    if (phrase.empty()) phrase = standard_reason(status);
    if (!phrase.empty()) out += " " + std::string(phrase);
    return out;
}

std::string endpoint_of(Services& services, std::string_view url) {
    const Address target = address_of(url, "http");
    const std::string place = target.host + ":" + target.port;
    const std::optional<std::string> proxy = setting(services, target.scheme + "_proxy");
    if (!proxy) return place;
    if (auto exempt = setting(services, "no_proxy"); exempt && waived(*exempt, target)) return place;
    const Address via = address_of(*proxy, "http");
    return "proxy " + via.host + ":" + via.port;
}

std::string transport_text(const TransportFailure& failure, double deadline_seconds,
                           std::string_view endpoint, std::span<const secrets::Secret> secrets) {
    std::string cause;
    switch (failure.kind) {
        case TransportFailure::Kind::deadline:
            cause = "no complete answer within " + seconds_text(deadline_seconds);
            break;
        case TransportFailure::Kind::cut_off:
            if (failure.message.find("IncompleteRead") != std::string::npos)
                cause = "answer cut off (" + excerpt(inner(failure.message), secrets) + ")";
            else
                cause = "answer is not HTTP (" + excerpt(failure.message, secrets) + ")";
            break;
        case TransportFailure::Kind::os_error:
            cause = os_error_cause(failure.message, secrets);
            break;
    }
    return endpoint.empty() ? cause : cause + " (" + std::string(endpoint) + ")";
}

std::optional<double> retry_after_header(const HttpAnswer& answer, double now) {
    const std::optional<std::string> header = answer.header("Retry-After");
    if (!header) return std::nullopt;
    const std::string_view value = trimmed(*header);
    if (value.empty()) return std::nullopt;
    bool digits = true;
    for (char c : value) digits = digits && c >= '0' && c <= '9';
    if (digits) return value.size() > 9 ? 1e9 : std::strtod(std::string(value).c_str(), nullptr);
    // An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT".
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    char weekday[4] = {}, month[4] = {}, zone[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    const std::string text(value);
    if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z]", weekday,
                    &day, month, &year, &hour, &minute, &second, zone) != 8 ||
        std::string_view(zone) != "GMT")
        return std::nullopt;
    std::tm tm{};
    tm.tm_mon = -1;
    for (int i = 0; i < 12; ++i)
        if (lower(month) == kMonths[i]) tm.tm_mon = i;
    if (tm.tm_mon < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    tm.tm_mday = day;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const double at = static_cast<double>(timegm(&tm));
    return at > now ? at - now : 0.0;
}

std::string seconds_text(double seconds) {
    char buffer[32];
    if (seconds == std::floor(seconds) && seconds < 1e15)
        std::snprintf(buffer, sizeof buffer, "%.0f s", seconds);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f s", seconds);
    return buffer;
}

}  // namespace emberscope::engine
