// Text of the burn state file: JSON string escaping and the whole document, byte for byte.
#include "burns/state_text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "common/json_lexer.hpp"
#include "common/utf8.hpp"

namespace emberscope::burns {

namespace {

namespace lex = json_lexer;

void append_u_escape(std::string& out, char32_t unit) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    out += kHex[(unit >> 12) & 0xF];
    out += kHex[(unit >> 8) & 0xF];
    out += kHex[(unit >> 4) & 0xF];
    out += kHex[unit & 0xF];
}

// Printable ASCII other than the quotation mark and the backslash, by byte.
constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int b = 0x20; b <= 0x7E; ++b) plain[static_cast<std::size_t>(b)] = b != '"' && b != '\\';
    return plain;
}();

bool is_plain(char c) { return kPlain[static_cast<unsigned char>(c)]; }

// Byte order (that of code points), as std::string's operator< orders; inline for short keys.
bool ordered_before(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Printable ASCII other than the quotation mark and the backslash is copied as a run.
        std::size_t run = pos;
        while (run < text.size() && is_plain(text[run])) ++run;
        if (run != pos) {
            out.append(text.data() + pos, run - pos);
            pos = run;
            if (pos == text.size()) break;
        }
        const char32_t cp = utf8::next(text, pos);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\b': out += "\\b"; continue;
            case U'\f': out += "\\f"; continue;
            default: break;
        }
        if (cp >= 0x20 && cp <= 0x7E) {
            out += static_cast<char>(cp);
        } else if (cp < 0x10000) {
            // Lone surrogates land here too and keep their own value, as the host writes them.
            append_u_escape(out, cp);
        } else {
            const char32_t v = cp - 0x10000;
            append_u_escape(out, 0xD800 | (v >> 10));
            append_u_escape(out, 0xDC00 | (v & 0x3FF));
        }
    }
    out += '"';
}

std::string render_state_file(const std::vector<std::pair<std::string, std::string>>& entries,
                              std::string_view updated_at) {
    // Byte order of UTF-8 is code point order, surrogate forms included; keys are unique, so
    // values never take part in the comparison. The entries stay where they are: only pointers
    // to them are sorted.
    // Each key's first eight bytes, read as a big-endian number (zeros past its end), order
    // most pairs at the cost of one integer compare; equal prefixes compare the whole keys.
    using Entry = std::pair<std::string, std::string>;
    struct Sorted {
        std::uint64_t prefix;
        const Entry* entry;
    };
    std::vector<Sorted> order;
    order.reserve(entries.size());
    for (const auto& entry : entries) {
        std::uint64_t prefix = 0;
        const std::size_t n = std::min<std::size_t>(entry.first.size(), 8);
        for (std::size_t i = 0; i < n; ++i)
            prefix |= std::uint64_t{static_cast<unsigned char>(entry.first[i])} << (56 - 8 * i);
        order.push_back({prefix, &entry});
    }
    std::sort(order.begin(), order.end(), [](const Sorted& a, const Sorted& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return std::string_view(a.entry->first) < std::string_view(b.entry->first);
    });
    std::vector<const Entry*> burns;
    burns.reserve(order.size());
    for (const Sorted& s : order) burns.push_back(s.entry);

    // Plain ASCII texts (the usual case) fit exactly; escapes may grow the buffer once or twice.
    std::size_t estimate = 64 + updated_at.size();
    for (const auto* entry : burns) estimate += entry->first.size() + entry->second.size() + 12;
    std::string out;
    out.reserve(estimate);

    out += "{\n  ";
    append_json_string(out, kBurnsKey);
    out += ": {";
    if (!burns.empty()) {
        out += '\n';
        for (std::size_t i = 0; i < burns.size(); ++i) {
            out += "    ";
            append_json_string(out, burns[i]->first);
            out += ": ";
            append_json_string(out, burns[i]->second);
            out += i + 1 < burns.size() ? ",\n" : "\n";
        }
        out += "  ";
    }
    out += "},\n  ";
    append_json_string(out, kUpdatedAtKey);
    out += ": ";
    append_json_string(out, updated_at);
    out += "\n}\n";
    return out;
}

namespace {

// Where a reader puts the burn map's entries: a list of copies or of views, or a sink.
struct CopiedEntries {
    using Text = std::string;
    std::vector<std::pair<std::string, std::string>>& entries;
    void reserve(std::size_t) {}
    void add(const std::string& key, std::string&& value) { entries.emplace_back(key, std::move(value)); }
};

struct ViewedEntries {
    using Text = std::string_view;
    std::vector<std::pair<std::string_view, std::string_view>>& entries;
    void reserve(std::size_t n) { entries.reserve(n); }
    void add(std::string_view key, std::string_view value) { entries.emplace_back(key, value); }
};

struct SunkEntries {
    using Text = std::string_view;
    StateEntrySink& sink;
    void reserve(std::size_t) {}
    void add(std::string_view key, std::string_view value) { sink.entry(key, value); }
};

// A one-pass reader of the state file's shape; every method returns false on anything outside it.
// Texts are read as strings, or as views (of the file's text where they hold no escape, else of
// their decoded form kept in `decoded`). The burn map's entries go to `Out` as they are read.
template <class Out>
class StateReader {
public:
    using Text = typename Out::Text;

    StateReader(std::string_view text, std::deque<std::string>* decoded)
        : text_(text), decoded_(decoded) {}

    // The top level's keys are unique (strictly ascending), so the burn map is read at most once.
    bool read(Out& burns) {
        skip_space();
        if (!take('{')) return false;
        Text last_key;
        bool first = true;
        skip_space();
        if (take('}')) return at_end();
        while (true) {
            Text key;
            if (!first && !(key_after(last_key, key))) return false;
            if (first && !text(key)) return false;
            first = false;
            skip_space();
            if (!take(':')) return false;
            skip_space();
            if (peek() == '{') {
                if (!object_of_texts(key == kBurnsKey ? &burns : nullptr)) return false;
            } else {
                Text value;
                if (!text(value)) return false;
            }
            last_key = std::move(key);
            skip_space();
            if (take('}')) return at_end();
            if (!take(',')) return false;
            skip_space();
        }
    }

private:
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    bool take(char c) {
        if (peek() != c || pos_ >= text_.size()) return false;
        ++pos_;
        return true;
    }

    // True when the text at the reading position starts with `s`.
    template <std::size_t N>
    bool next_is(const char (&s)[N]) const {
        return lex::starts_with(text_.data() + pos_, text_.data() + text_.size(), s);
    }

    void skip_space() {
        const char* const begin = text_.data();
        pos_ = static_cast<std::size_t>(lex::skip_space(begin + pos_, begin + text_.size()) - begin);
    }

    bool at_end() {
        skip_space();
        return pos_ == text_.size();
    }

    // A key that must sort after `previous`: unique keys, so no duplicate rule is needed.
    bool key_after(const Text& previous, Text& key) {
        return text(key) && ordered_before(previous, key);
    }

    // An object of texts, keys in ascending order; its entries go to `out` unless it is null.
    bool object_of_texts(Out* out) {
        if (!take('{')) return false;
        skip_space();
        if (take('}')) return true;
        // Room for as many entries as the rest of the text could hold in the written shape (some
        // 14 bytes at the least), so that a list of views never moves.
        if (out != nullptr) out->reserve((text_.size() - pos_) / 14 + 1);
        Text last;
        bool first = true;
        while (true) {
            Text key;
            Text value;
            if (!text(key)) return false;
            if (!first && !ordered_before(last, key)) return false;
            first = false;
            // The separators as the module writes them are taken whole; any other spacing
            // byte by byte (the same bytes either way).
            if (next_is(": \"")) {
                pos_ += 2;
            } else {
                skip_space();
                if (!take(':')) return false;
                skip_space();
            }
            if (!text(value)) return false;
            if (out != nullptr) out->add(key, std::move(value));
            last = std::move(key);
            if (next_is(",\n    \"")) {
                pos_ += 6;
                continue;
            }
            skip_space();
            if (take('}')) return true;
            if (!take(',')) return false;
            skip_space();
        }
    }

    // A text of printable ASCII and escapes; any other byte leaves the file to the host. Most
    // texts are one plain run, read here; escaped_text decodes the others.
    template <class Text>
    [[gnu::always_inline]] bool text(Text& out) {
        if (!take('"')) return false;
        const char* const begin = text_.data();
        const char* const end = begin + text_.size();
        const char* const content = begin + pos_;
        if (const char* quote = lex::plain_string_end<lex::PrintableText>(content, end)) {
            out = Text(content, static_cast<std::size_t>(quote - content));
            pos_ = static_cast<std::size_t>(quote + 1 - begin);
            return true;
        }
        return escaped_text(out);
    }

    bool escaped_text(std::string& out) {
        if (!decode_text()) return false;
        out = scratch_;
        return true;
    }

    bool escaped_text(std::string_view& out) {
        if (!decode_text()) return false;
        out = decoded_->emplace_back(scratch_);
        return true;
    }

    // Decodes the text whose content starts at the reading position into scratch_.
    bool decode_text() {
        const char* const begin = text_.data();
        const char* const end = begin + text_.size();
        const char* const content = begin + pos_;
        const lex::String t = lex::finish_string<lex::PrintableText, lex::StrictBytes>(
            content, lex::run_end<lex::PrintableText>(content, end), end, &scratch_);
        if (t.fault != lex::Fault::none) return false;
        pos_ = static_cast<std::size_t>(t.next - begin);
        return true;
    }

    std::string_view text_;
    std::deque<std::string>* decoded_;
    std::size_t pos_ = 0;
    std::string scratch_;  // the decoded form of the last text with an escape
};

}  // namespace

std::optional<std::vector<std::pair<std::string, std::string>>> read_state_file(
    std::string_view text) {
    std::vector<std::pair<std::string, std::string>> burns;
    CopiedEntries out{burns};
    StateReader<CopiedEntries> reader(text, nullptr);
    if (!reader.read(out)) return std::nullopt;
    return burns;
}

bool read_state_file(std::string_view text, StateEntryViews& out) {
    out.entries.clear();
    out.decoded.clear();
    ViewedEntries entries{out.entries};
    StateReader<ViewedEntries> reader(text, &out.decoded);
    return reader.read(entries);
}

bool read_state_file(std::string_view text, StateEntrySink& sink) {
    std::deque<std::string> decoded;
    SunkEntries entries{sink};
    StateReader<SunkEntries> reader(text, &decoded);
    return reader.read(entries);
}

}  // namespace emberscope::burns
