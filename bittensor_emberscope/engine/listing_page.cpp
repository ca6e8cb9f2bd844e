// One page of the Taostats listing read in one pass over its body.
#include "engine/listing_page.hpp"

#include "common/json_lexer.hpp"
#include "engine/json.hpp"

namespace emberscope::engine {
namespace {

namespace lex = json_lexer;

/// Deeper documents are decoded whole (parse_json's own limit is deeper).
constexpr int kMaxDepth = 64;

class PageScanner {
public:
    PageScanner(std::string_view body, PageSlices& page)
        : p_(body.data()), end_(body.data() + body.size()), page_(page) {}

    bool page() {
        page_.rows.clear();
        page_.pagination = {};
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
            return skip_value(1);
        });
        space();
        return members && p_ == end_ && seen_data;
    }

private:
    const char* p_;
    const char* const end_;
    PageSlices& page_;

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
        if (const char* quote = lex::plain_string_end<lex::AnyText>(p_, end_)) {
            content = std::string_view(p_, static_cast<std::size_t>(quote - p_));
            escaped = false;
            p_ = quote + 1;
            return true;
        }
        const lex::String t = lex::read_string<lex::AnyText, lex::StrictBytes>(p_, end_, nullptr);
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
                if (stop == nullptr || static_cast<std::size_t>(stop - p_) > kMaxNumberLength)
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
            if (key == "netuid") r.netuid = view(value);
            else if (key == "incentive_burn") r.burn = view(value);
            return true;
        });
    }
};

}  // namespace

bool scan_listing_page(std::string_view body, PageSlices& page) {
    return PageScanner(body, page).page();
}

}  // namespace emberscope::engine
