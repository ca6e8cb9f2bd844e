// The burn map of a plain listing answer, read straight from its body.
#include "taostats/listing_scan.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "burns/numeric.hpp"
#include "burns/owner_burn.hpp"
#include "common/json_lexer.hpp"

namespace emberscope::taostats {
namespace {

/// Deeper documents are left to the host (whose own limit then applies).
constexpr int kMaxDepth = 64;
/// Longer number tokens are left to the host: it refuses integers of more than 4,300 digits.
constexpr std::size_t kMaxNumberLength = 4000;

namespace lex = json_lexer;

class Scanner {
public:
    explicit Scanner(std::string_view body) : p_(body.data()), end_(body.data() + body.size()) {}

    bool listing(ScannedListing& out) {
        space();
        if (!eat('{')) return false;
        space();
        bool seen_data = false;
        const bool members = items_until('}', [&] {
            std::string_view key;
            if (!plain_key(key)) return false;
            if (key == "data") {
                if (seen_data || !rows(out)) return false;
                seen_data = true;
                return true;
            }
            // The rate-limit test reads these two: such an answer goes the host's way.
            if (key == "status_code" || key == "message") return false;
            return skip_value(1);
        });
        space();
        return members && p_ == end_ && seen_data;
    }

private:
    const char* p_;
    const char* end_;
    // Keys of the entries so far, as views of the body. While every netuid was an integer
    // greater than the one before (the listing asks for ascending order) no key can repeat and
    // the entries need no index; the first that breaks the order builds it.
    std::vector<std::string_view> keys_;
    bool ascending_ = true;
    std::int64_t last_ = 0;
    std::unordered_map<std::string_view, std::size_t> position_;

    /// Items separated by commas up to `close`, each read by `item` from its first byte on.
    template <class Item>
    bool items_until(char close, Item item) {
        for (;;) {
            if (!item()) return false;
            space();
            if (eat(',')) {
                space();
                continue;
            }
            return eat(close);
        }
    }

    void space() { p_ = lex::skip_space(p_, end_); }
    bool eat(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }
    template <std::size_t N>
    bool word(const char (&w)[N]) {
        if (!lex::starts_with(p_, end_, w)) return false;
        p_ += N - 1;
        return true;
    }

    /// A string at the quotation mark: `content` is what lies between the marks, `escaped` tells
    /// whether it holds an escape (all of them checked as the host's decoder checks them). Its
    /// bytes are checked as strict UTF-8: outside texts any byte above ASCII breaks the grammar,
    /// so the texts are where the body's UTF-8 is checked.
    bool string(std::string_view& content, bool& escaped) {
        if (!eat('"')) return false;
        const lex::String t = lex::read_string<lex::AsciiText, lex::Utf8Bytes>(p_, end_, nullptr);
        if (t.fault != lex::Fault::none) return false;
        content = t.content;
        escaped = t.escaped;
        p_ = t.next;
        return true;
    }

    bool plain_key(std::string_view& key) {
        bool escaped;
        if (!string(key, escaped) || escaped) return false;
        space();
        if (!eat(':')) return false;
        space();
        return true;
    }

    /// A number token; `integral` when it has neither fraction nor exponent.
    bool number(std::string_view& token, bool& integral) {
        const char* const stop = lex::number_end(p_, end_, integral);
        if (stop == nullptr) return false;
        token = std::string_view(p_, static_cast<std::size_t>(stop - p_));
        p_ = stop;
        return token.size() <= kMaxNumberLength;
    }

    bool skip_value(int depth) {
        if (p_ == end_) return false;
        switch (*p_) {
            case '"': {
                std::string_view s;
                bool escaped;
                return string(s, escaped);
            }
            case '{': return skip_object(depth + 1);
            case '[': return skip_array(depth + 1);
            case 't': return word("true");
            case 'f': return word("false");
            case 'n': return word("null");
            case 'N': return word("NaN");
            case 'I': return word("Infinity");
            default: {
                if (word("-Infinity")) return true;
                std::string_view token;
                bool integral;
                return number(token, integral);
            }
        }
    }

    bool skip_object(int depth) {
        if (depth > kMaxDepth) return false;
        ++p_;
        space();
        if (eat('}')) return true;
        return items_until('}', [&] {
            std::string_view key;
            bool escaped;
            if (!string(key, escaped)) return false;
            space();
            if (!eat(':')) return false;
            space();
            return skip_value(depth);
        });
    }

    bool skip_array(int depth) {
        if (depth > kMaxDepth) return false;
        ++p_;
        space();
        if (eat(']')) return true;
        return items_until(']', [&] { return skip_value(depth); });
    }

    /// "data": a non-empty array of objects.
    bool rows(ScannedListing& out) {
        if (!eat('[')) return false;
        space();
        return items_until(']', [&] { return p_ != end_ && *p_ == '{' && row(out); });
    }

    // Kept out of line: inlined into scan_listing, which runs once a body, its member-name tests
    // were compiled as library calls (some 5% more instructions a row).
    [[gnu::noinline]] bool row(ScannedListing& out) {
        ++p_;
        space();
        std::string_view netuid;
        std::optional<std::int64_t> number;  // the netuid's value when it is a short integer
        bool has_netuid = false;
        ScannedBurn burn;
        bool has_burn = false;
        const bool members = eat('}') || items_until('}', [&] {
            std::string_view key;
            if (!plain_key(key)) return false;
            if (key == "netuid") {
                if (has_netuid || !netuid_text(netuid, number)) return false;
                has_netuid = true;
                return true;
            }
            if (key == "incentive_burn") {
                if (has_burn || !owner_burn_value(burn)) return false;
                has_burn = true;
                return true;
            }
            return skip_value(3);
        });
        if (!members) return false;
        ++out.rows;
        if (has_netuid) add(out, netuid, number, burn.text());
        return true;
    }

    void add(ScannedListing& out, std::string_view key, std::optional<std::int64_t> number,
             std::string burn) {
        if (ascending_ && number && (keys_.empty() || *number > last_)) {
            last_ = *number;
        } else {
            if (ascending_) {
                ascending_ = false;
                position_.reserve(keys_.size() * 2);
                for (std::size_t i = 0; i < keys_.size(); ++i) position_.emplace(keys_[i], i);
            }
            auto [it, inserted] = position_.try_emplace(key, out.burns.size());
            if (!inserted) {
                out.burns[it->second].second = std::move(burn);
                return;
            }
        }
        keys_.push_back(key);
        out.burns.emplace_back(std::string(key), std::move(burn));
    }

    /// The key of a row: an integer's digits (`value` set when it has at most 18), or a text
    /// without escapes as it is.
    bool netuid_text(std::string_view& key, std::optional<std::int64_t>& value) {
        if (p_ < end_ && *p_ == '"') {
            bool escaped;
            return string(key, escaped) && !escaped;
        }
        bool integral;
        if (!number(key, integral) || !integral) return false;
        if (key == "-0") key = "0";
        value = burns::small_integer_text(key);
        return true;
    }

    /// An "incentive_burn" value read in place: its description, and what its str() form is
    /// made of (a view of the body, or a real's value).
    struct ScannedBurn {
        burns::BurnValue value;  // absent until the member is read
        std::string_view shown;  // a text's content, an integer's digits, "True"
        double real = 0.0;       // a real's value (a non-finite one from its literal)

        /// The owner burn text.
        std::string text() const {
            return burns::owner_burn_text(value, [&] {
                if (value.kind != burns::BurnKind::real) return std::string(shown);
                char buffer[burns::kFormBuffer];
                return std::string(buffer, burns::shortest_form_chars(real, buffer));
            });
        }
    };

    /// An "incentive_burn" value: a scalar, an empty structure or a text without escapes (a
    /// structure with something in it goes the host's way).
    bool owner_burn_value(ScannedBurn& burn) {
        if (p_ == end_) return false;
        using B = burns::BurnKind;
        switch (*p_) {
            case '"': {
                bool escaped;
                if (!string(burn.shown, escaped) || escaped) return false;
                burn.value = {B::text, burn.shown.empty()};
                return true;
            }
            case '[':
            case '{': {
                const char close = *p_ == '[' ? ']' : '}';
                burn.value = {close == ']' ? B::array : B::object, true};
                ++p_;
                space();
                return eat(close);
            }
            case 't':
                burn.value = {B::boolean, false};
                burn.shown = "True";
                return word("true");
            case 'f': burn.value = {B::boolean, true}; return word("false");
            case 'n': burn.value = {B::null, true}; return word("null");
            case 'N': return real_literal(burn, "NaN", std::numeric_limits<double>::quiet_NaN());
            case 'I': return real_literal(burn, "Infinity", std::numeric_limits<double>::infinity());
            default: break;
        }
        if (lex::starts_with(p_, end_, "-Infinity"))
            return real_literal(burn, "-Infinity", -std::numeric_limits<double>::infinity());
        std::string_view token;
        bool integral;
        if (!number(token, integral)) return false;
        if (integral) {
            burn.value = {B::integer, token == "0" || token == "-0"};
            burn.shown = token;
            return true;
        }
        const std::optional<double> value = burns::parse_numeric_text(token);
        if (!value) return false;
        burn.value = {B::real, *value == 0.0};
        burn.real = *value;
        return true;
    }

    /// NaN, Infinity or -Infinity: a literal the host's decoder reads as a real.
    template <std::size_t N>
    bool real_literal(ScannedBurn& burn, const char (&w)[N], double value) {
        burn.value = {burns::BurnKind::real, false};
        burn.real = value;
        return word(w);
    }
};

}  // namespace

std::optional<ScannedListing> scan_listing(std::string_view body) {
    ScannedListing out;
    Scanner scanner(body);
    if (!scanner.listing(out) || out.rows == 0) return std::nullopt;
    return out;
}

}  // namespace emberscope::taostats
