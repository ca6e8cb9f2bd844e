// Proxy choice from the environment.
#include "native/proxies.hpp"

#include <unistd.h>

#include <cctype>

extern char** environ;

namespace emberscope::native {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' ||
                                           c == '\f' || c == '\v'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

void put(std::vector<std::pair<std::string, std::string>>& map, const std::string& key,
         const std::string& value) {
    for (auto& [k, v] : map)
        if (k == key) {
            v = value;
            return;
        }
    map.emplace_back(key, value);
}

void drop(std::vector<std::pair<std::string, std::string>>& map, std::string_view key) {
    for (auto it = map.begin(); it != map.end(); ++it)
        if (it->first == key) {
            map.erase(it);
            return;
        }
}

const std::string* find(const std::vector<std::pair<std::string, std::string>>& map,
                        std::string_view key) {
    for (const auto& [k, v] : map)
        if (k == key) return &v;
    return nullptr;
}

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Host and port of `host`: the port is what follows the last ':' when that is all digits.
std::pair<std::string_view, std::string_view> split_port(std::string_view host) {
    const std::size_t colon = host.rfind(':');
    if (colon == std::string_view::npos) return {host, {}};
    for (char c : host.substr(colon + 1))
        if (c < '0' || c > '9') return {host, {}};
    return {host.substr(0, colon), host.substr(colon + 1)};
}

}  // namespace

Environment process_environment() {
    Environment env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        const std::size_t eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        env.emplace_back(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
    }
    return env;
}

std::vector<std::pair<std::string, std::string>> proxy_settings(const Environment& env) {
    std::vector<std::pair<std::string, std::string>> proxies;
    bool cgi = false;
    for (const auto& [name, value] : env) {
        if (name == "REQUEST_METHOD") cgi = true;
        if (name.size() > 5 && name[name.size() - 6] == '_' &&
            lower(name.substr(name.size() - 5)) == "proxy" && !value.empty())
            put(proxies, lower(name.substr(0, name.size() - 6)), value);
    }
    // A CGI server sets HTTP_PROXY from a request's own "Proxy:" header: not to be trusted.
    if (cgi) drop(proxies, "http");
    for (const auto& [name, value] : env) {
        if (!ends_with(name, "_proxy")) continue;
        const std::string scheme = lower(name.substr(0, name.size() - 6));
        if (value.empty()) drop(proxies, scheme);
        else put(proxies, scheme, value);
    }
    return proxies;
}

bool bypasses_proxy(std::string_view host_in, std::string_view no_proxy) {
    if (no_proxy == "*") return true;
    const std::string host = lower(host_in);
    const std::string_view only = split_port(host).first;
    std::size_t start = 0;
    while (start <= no_proxy.size()) {
        std::size_t comma = no_proxy.find(',', start);
        if (comma == std::string_view::npos) comma = no_proxy.size();
        std::string_view name = trimmed(no_proxy.substr(start, comma - start));
        start = comma + 1;
        while (!name.empty() && name.front() == '.') name.remove_prefix(1);
        if (name.empty()) continue;
        const std::string entry = lower(name);
        if (only == entry || host == entry) return true;
        const std::string suffix = "." + entry;
        if (ends_with(only, suffix) || ends_with(host, suffix)) return true;
    }
    return false;
}

std::string percent_decoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::optional<Proxy> proxy_for(const Environment& env, std::string_view scheme,
                               std::string_view host) {
    const auto proxies = proxy_settings(env);
    const std::string* setting = find(proxies, scheme);
    if (setting == nullptr) return std::nullopt;
    if (!host.empty()) {
        if (const std::string* no = find(proxies, "no"); no && bypasses_proxy(host, *no))
            return std::nullopt;
    }
    // "scheme://[user:password@]host[:port][/...]" or a bare "[user:password@]host[:port]".
    std::string_view value = *setting;
    std::string_view authority = value;
    const std::size_t colon = value.find(':');
    if (colon != std::string_view::npos && colon > 0 &&
        value.substr(0, colon).find('/') == std::string_view::npos &&
        value.substr(colon + 1).starts_with("/")) {
        const std::string_view rest = value.substr(colon + 1);
        if (!rest.starts_with("//"))
            throw ProxyError{"proxy URL with no authority: '" + std::string(value) + "'"};
        const std::size_t at = rest.find('@');
        const std::size_t end = rest.find('/', at == std::string_view::npos ? 2 : at);
        authority = rest.substr(2, end == std::string_view::npos ? std::string_view::npos : end - 2);
    }
    Proxy proxy;
    std::string_view hostport = authority;
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        hostport = authority.substr(at + 1);
        const std::size_t sep = userinfo.find(':');
        if (sep != std::string_view::npos && sep > 0 && sep + 1 < userinfo.size()) {
            proxy.user = percent_decoded(userinfo.substr(0, sep));
            proxy.password = percent_decoded(userinfo.substr(sep + 1));
        }
    }
    const std::string decoded = percent_decoded(hostport);
    const auto [name, port] = split_port(decoded);
    proxy.host = std::string(name);
    // The host's client opens its connection to the proxy as it would to the server itself:
    // without a port, that is the scheme's own.
    if (port.empty()) proxy.port = scheme == "https" ? 443 : 80;
    else if (port.size() > 5 || (proxy.port = std::stol(std::string(port))) > 65535)
        throw ProxyError{"invalid proxy port: '" + std::string(port) + "'"};
    return proxy;
}

}  // namespace emberscope::native
