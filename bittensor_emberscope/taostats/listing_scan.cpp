// One page of the Taostats listing read in one pass over its body.
#include "taostats/listing_scan.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>

#include "burns/numeric.hpp"
#include "burns/owner_burn.hpp"
#include "common/json_lexer.hpp"

namespace emberscope::taostats {
namespace {

namespace lex = json_lexer;

/// Deeper documents are left to the decoder (whose own limit is deeper or the same).
constexpr int kMaxDepth = 64;

/// Texts are plain runs of `Run` bytes, other bytes taken as `Bytes` says.
template <class Run, class Bytes>
class PageScanner {
public:
    PageScanner(std::string_view body, PageSlices& page, std::size_t longest_number)
        : p_(body.data()), end_(body.data() + body.size()), page_(page),
          longest_number_(longest_number) {}

    bool page() {
        page_.rows.clear();
        page_.pagination = {};
        page_.record_words = false;
        space();
        if (!eat('{')) return false;
        space();
        bool seen_data = false;
        const bool members = eat('}') || items_until('}', [&] {
            std::string_view key;
            if (!key_of_member(key)) return false;
            if (key == "data") {
                if (seen_data) return false;
                seen_data = true;
                return rows();
            }
            if (key == "pagination") {
                if (!page_.pagination.empty()) return false;
                const char* start = p_;
                if (!skip_value(1)) return false;
                page_.pagination = view(start);
                return true;
            }
            if (key == "status_code" || key == "message") page_.record_words = true;
            return skip_value(1);
        });
        space();
        return members && p_ == end_ && seen_data;
    }

private:
    const char* p_;
    const char* const end_;
    PageSlices& page_;
    const std::size_t longest_number_;

    std::string_view view(const char* start) const {
        return std::string_view(start, static_cast<std::size_t>(p_ - start));
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

    /// A string at its quotation mark; `content` holds its bytes between the marks when it has
    /// no escape (empty otherwise, with `escaped` set).
    bool string(std::string_view& content, bool& escaped) {
        if (!eat('"')) return false;
        if (const char* quote = lex::plain_string_end<Run>(p_, end_)) {
            content = std::string_view(p_, static_cast<std::size_t>(quote - p_));
            escaped = false;
            p_ = quote + 1;
            return true;
        }
        const lex::String t = lex::read_string<Run, Bytes>(p_, end_, nullptr);
        if (t.fault != lex::Fault::none) return false;
        content = t.content;
        escaped = t.escaped;
        p_ = t.next;
        return true;
    }

    /// A member's name and its colon. A name with an escape is not taken where names are looked
    /// at (`plain`): it may spell one of them.
    bool key_of_member(std::string_view& key, bool plain = true) {
        bool escaped;
        if (!string(key, escaped) || (escaped && plain)) return false;
        space();
        if (!eat(':')) return false;
        space();
        return true;
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
                bool integral;
                const char* const stop = lex::number_end(p_, end_, integral);
                if (stop == nullptr || static_cast<std::size_t>(stop - p_) > longest_number_)
                    return false;
                p_ = stop;
                return true;
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
            return key_of_member(key, false) && skip_value(depth);
        });
    }

    bool skip_array(int depth) {
        if (depth > kMaxDepth) return false;
        ++p_;
        space();
        if (eat(']')) return true;
        return items_until(']', [&] { return skip_value(depth); });
    }

    /// "data": an array, each item a row.
    bool rows() {
        if (!eat('[')) return false;
        space();
        if (eat(']')) return true;
        return items_until(']', [&] { return row(); });
    }

    // Kept out of line: the member-name tests compile to inline compares here.
    [[gnu::noinline]] bool row() {
        RowSlices& r = page_.rows.emplace_back();
        const char* const start = p_;
        if (p_ == end_ || *p_ != '{') {
            if (!skip_value(2)) return false;
            r.whole = view(start);
            return true;
        }
        ++p_;
        space();
        if (eat('}')) return true;
        return items_until('}', [&] {
            std::string_view key;
            if (!key_of_member(key)) return false;
            const char* const value = p_;
            if (!skip_value(3)) return false;
            if (key == "netuid") {
                r.repeats |= !r.netuid.empty();
                r.netuid = view(value);
            } else if (key == "incentive_burn") {
                r.repeats |= !r.burn.empty();
                r.burn = view(value);
            }
            return true;
        });
    }
};

// The burn map of scanned rows, as the host's decoding followed by the row rules makes it.
class MapBuilder {
public:
    explicit MapBuilder(ScannedListing& out) : out_(out) {}

    bool row(const RowSlices& row) {
        if (!row.whole.empty() || row.repeats) return false;
        ++out_.rows;
        if (row.netuid.empty()) return true;
        std::string_view key;
        std::optional<std::int64_t> number;
        ScannedBurn burn;
        if (!netuid_text(row.netuid, key, number)) return false;
        if (!row.burn.empty() && !owner_burn_value(row.burn, burn)) return false;
        add(key, number, burn.text());
        return true;
    }

private:
    ScannedListing& out_;
    // Keys of the entries so far, as views of the body. While every netuid was an integer
    // greater than the one before (the listing asks for ascending order) no key can repeat and
    // the entries need no index; the first that breaks the order builds it.
    std::vector<std::string_view> keys_;
    bool ascending_ = true;
    std::int64_t last_ = 0;
    std::unordered_map<std::string_view, std::size_t> position_;

    void add(std::string_view key, std::optional<std::int64_t> number, std::string burn) {
        if (ascending_ && number && (keys_.empty() || *number > last_)) {
            last_ = *number;
        } else {
            if (ascending_) {
                ascending_ = false;
                position_.reserve(keys_.size() * 2);
                for (std::size_t i = 0; i < keys_.size(); ++i) position_.emplace(keys_[i], i);
            }
            auto [it, inserted] = position_.try_emplace(key, out_.burns.size());
            if (!inserted) {
                out_.burns[it->second].second = std::move(burn);
                return;
            }
        }
        keys_.push_back(key);
        out_.burns.emplace_back(std::string(key), std::move(burn));
    }

    /// The content of a text's JSON (`json` begins with its quotation mark) when it has no escape.
    static std::optional<std::string_view> plain_text(std::string_view json) {
        const std::string_view content = json.substr(1, json.size() - 2);
        if (content.find('\\') != std::string_view::npos) return std::nullopt;
        return content;
    }

    static bool is_integral(std::string_view token) {
        return token.find_first_of(".eE") == std::string_view::npos;
    }

    /// The key of a row: an integer's digits (`value` set when it has at most 18), or a text
    /// without escapes as it is.
    static bool netuid_text(std::string_view json, std::string_view& key,
                            std::optional<std::int64_t>& value) {
        if (json.front() == '"') {
            const std::optional<std::string_view> text = plain_text(json);
            if (!text) return false;
            key = *text;
            return true;
        }
        const char c = json.front();
        if (!(lex::is_digit(c) || (c == '-' && json.size() > 1 && lex::is_digit(json[1]))) ||
            !is_integral(json))
            return false;
        key = json == "-0" ? std::string_view("0") : json;
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
    static bool owner_burn_value(std::string_view json, ScannedBurn& burn) {
        using B = burns::BurnKind;
        const auto real = [&](double value) {
            burn.value = {B::real, false};
            burn.real = value;
            return true;
        };
        switch (json.front()) {
            case '"': {
                const std::optional<std::string_view> text = plain_text(json);
                if (!text) return false;
                burn.shown = *text;
                burn.value = {B::text, text->empty()};
                return true;
            }
            case '[':
            case '{':
                // Empty when nothing but white space lies between the brackets.
                if (lex::skip_space(json.data() + 1, json.data() + json.size()) !=
                    json.data() + json.size() - 1)
                    return false;
                burn.value = {json.front() == '[' ? B::array : B::object, true};
                return true;
            case 't':
                burn.value = {B::boolean, false};
                burn.shown = "True";
                return true;
            case 'f': burn.value = {B::boolean, true}; return true;
            case 'n': burn.value = {B::null, true}; return true;
            case 'N': return real(std::numeric_limits<double>::quiet_NaN());
            case 'I': return real(std::numeric_limits<double>::infinity());
            default: break;
        }
        if (json == "-Infinity") return real(-std::numeric_limits<double>::infinity());
        if (is_integral(json)) {
            burn.value = {B::integer, json == "0" || json == "-0"};
            burn.shown = json;
            return true;
        }
        const std::optional<double> value = burns::parse_numeric_text(json);
        if (!value) return false;
        burn.value = {B::real, *value == 0.0};
        burn.real = *value;
        return true;
    }
};

}  // namespace

bool scan_listing_page(std::string_view body, PageSlices& page, const ScanRules& rules) {
    if (rules.checks_utf8)
        return PageScanner<lex::AsciiText, lex::Utf8Bytes>(body, page, rules.longest_number).page();
    return PageScanner<lex::AnyText, lex::StrictBytes>(body, page, rules.longest_number).page();
}

std::optional<ScannedListing> scan_listing(std::string_view body) {
    PageSlices page;
    if (!scan_listing_page(body, page, kHostScan) || page.record_words || page.rows.empty())
        return std::nullopt;
    ScannedListing out;
    out.burns.reserve(page.rows.size());
    MapBuilder builder(out);
    for (const RowSlices& row : page.rows)
        if (!builder.row(row)) return std::nullopt;
    return out;
}

}  // namespace emberscope::taostats
