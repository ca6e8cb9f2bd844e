// Masking of secrets in every spelling the host or a server may give them.
#include "common/secrets.hpp"

#include <algorithm>
#include <optional>

namespace emberscope::secrets {
namespace {

std::optional<unsigned> hex_digit(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return std::nullopt;
}

// The value of the `n` hex digits at `at`, either case.
std::optional<std::uint32_t> hex_at(std::string_view text, std::size_t at, std::size_t n) {
    if (at + n > text.size()) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::optional<unsigned> d = hex_digit(text[at + i]);
        if (!d) return std::nullopt;
        value = value * 16 + *d;
    }
    return value;
}

bool starts_with(std::string_view text, std::size_t at, std::string_view what) {
    return text.substr(at, what.size()) == what;
}

// The two-character escape of an ASCII character in the host's repr() or in JSON.
std::string_view short_escape(unsigned char c) {
    switch (c) {
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\\': return "\\\\";
        case '\'': return "\\'";
        case '"': return "\\\"";
        case '/': return "\\/";
        default: return {};
    }
}

struct CodePoint {
    std::uint32_t value;
    std::size_t length;
};

CodePoint code_point_at(std::string_view s, std::size_t at) {
    const auto b = static_cast<unsigned char>(s[at]);
    std::size_t length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (at + length > s.size()) length = 1;
    if (length == 1) return {b, 1};
    std::uint32_t value = b & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i)
        value = (value << 6) | (static_cast<unsigned char>(s[at + i]) & 0x3Fu);
    return {value, length};
}

std::size_t code_point_count(std::string_view s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u;
    }));
}

// Matching of one secret against a text. The secret's bytes are the nodes 0..L of a graph; each
// spelling of a byte or of a code point is an edge that consumes some text. A match is a path
// from node 0 to node L; the text positions reachable at each node are kept, so any mix of
// spellings is found without backtracking.
class Matcher {
public:
    explicit Matcher(std::string_view secret) : s_(secret), reach_(secret.size() + 1) {}

    /// The end of the longest spelling of the secret starting at `at`, or nullopt.
    std::optional<std::size_t> longest_at(std::string_view text, std::size_t at) {
        if (s_.empty() || at >= text.size()) return std::nullopt;
        const char first = text[at];
        if (first != s_[0] && first != '%' && first != '\\' && first != '+') return std::nullopt;
        for (auto& r : reach_) r.clear();
        reach_[0].push_back(at);
        for (std::size_t node = 0; node < s_.size(); ++node) {
            if (reach_[node].empty()) continue;
            const CodePoint cp = code_point_at(s_, node);
            for (std::size_t i = 0; i < reach_[node].size(); ++i) {
                const std::size_t p = reach_[node][i];
                step_byte(text, p, node);
                step_code_point(text, p, node, cp);
            }
        }
        const auto& done = reach_[s_.size()];
        if (done.empty()) return std::nullopt;
        return *std::max_element(done.begin(), done.end());
    }

private:
    void reach(std::size_t node, std::size_t pos) {
        auto& r = reach_[node];
        if (std::find(r.begin(), r.end(), pos) == r.end()) r.push_back(pos);
    }

    // Spellings of the single byte at `node`.
    void step_byte(std::string_view text, std::size_t p, std::size_t node) {
        const auto b = static_cast<unsigned char>(s_[node]);
        if (p < text.size() && static_cast<unsigned char>(text[p]) == b) reach(node + 1, p + 1);
        if (p >= text.size()) return;
        if (text[p] == '%') {
            if (hex_at(text, p + 1, 2) == b) reach(node + 1, p + 3);
        } else if (text[p] == '+') {
            if (b == ' ') reach(node + 1, p + 1);
        } else if (text[p] == '\\') {
            if (starts_with(text, p, "\\x") && hex_at(text, p + 2, 2) == b) reach(node + 1, p + 4);
            const std::string_view e = short_escape(b);
            if (!e.empty() && starts_with(text, p, e)) reach(node + 1, p + e.size());
        }
    }

    // Spellings of the whole code point starting at `node`: \xhh, \uhhhh, \Uhhhhhhhh and a
    // JSON surrogate pair.
    void step_code_point(std::string_view text, std::size_t p, std::size_t node, CodePoint cp) {
        if (p + 1 >= text.size() || text[p] != '\\') return;
        const std::size_t next = node + cp.length;
        const char kind = text[p + 1];
        if (kind == 'x' && cp.value < 0x100 && hex_at(text, p + 2, 2) == cp.value) reach(next, p + 4);
        if (kind == 'U' && hex_at(text, p + 2, 8) == cp.value) reach(next, p + 10);
        if (kind != 'u') return;
        if (cp.value <= 0xFFFF) {
            if (hex_at(text, p + 2, 4) == cp.value) reach(next, p + 6);
            return;
        }
        const std::uint32_t v = cp.value - 0x10000;
        const std::uint32_t high = 0xD800 + (v >> 10), low = 0xDC00 + (v & 0x3FF);
        if (hex_at(text, p + 2, 4) == high && starts_with(text, p + 6, "\\u") &&
            hex_at(text, p + 8, 4) == low)
            reach(next, p + 12);
    }

    std::string_view s_;
    std::vector<std::vector<std::size_t>> reach_;
};

}  // namespace

bool is_maskable(std::string_view secret) {
    return code_point_count(secret) >= kShortestMaskedSecret;
}

Masked mask_all(std::string_view data, std::span<const Secret> secrets) {
    std::vector<std::pair<Matcher, std::string_view>> matchers;
    for (const Secret& secret : secrets)
        if (is_maskable(secret.value)) matchers.emplace_back(Matcher(secret.value), secret.mask);
    Masked out;
    if (matchers.empty()) {
        out.text = std::string(data);
        return out;
    }
    out.text.reserve(data.size());
    std::size_t p = 0;
    while (p < data.size()) {
        std::optional<std::size_t> best;
        std::string_view mask;
        for (auto& [matcher, m] : matchers) {
            std::optional<std::size_t> end = matcher.longest_at(data, p);
            if (end && (!best || *end > *best)) {
                best = end;
                mask = m;
            }
        }
        if (!best) {
            out.text.push_back(data[p++]);
            continue;
        }
        const std::size_t out_begin = out.text.size();
        out.text.append(mask);
        out.replaced.push_back({p, *best, out_begin, out.text.size()});
        p = *best;
    }
    return out;
}

std::string mask(std::string_view data, std::span<const Secret> secrets) {
    return mask_all(data, secrets).text;
}

std::pair<std::size_t, std::size_t> map_range(const Masked& masked, std::size_t begin,
                                              std::size_t end) {
    // Output position of an input position outside every replacement, or of one inside (then
    // the start or the end of that replacement's mask).
    auto map = [&](std::size_t x, bool is_end) {
        std::ptrdiff_t shift = 0;
        for (const Replacement& r : masked.replaced) {
            if (is_end ? x <= r.begin : x < r.begin) break;
            if (is_end ? x <= r.end : x < r.end) return is_end ? r.out_end : r.out_begin;
            shift += static_cast<std::ptrdiff_t>(r.out_end - r.out_begin) -
                     static_cast<std::ptrdiff_t>(r.end - r.begin);
        }
        return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(x) + shift);
    };
    const std::size_t b = map(begin, false);
    return {b, std::max(b, map(end, true))};
}

}  // namespace emberscope::secrets
