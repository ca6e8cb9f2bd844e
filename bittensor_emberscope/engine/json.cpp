// JSON reader and writer of the monitor engine.
#include "engine/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <tuple>

#include "burns/numeric.hpp"
#include "burns/repr.hpp"
#include "burns/state_text.hpp"
#include "common/json_lexer.hpp"
#include "common/utf8.hpp"

namespace emberscope::engine {
namespace {

namespace lex = json_lexer;

struct Failure {
    std::string what;
    std::size_t at;  // byte offset
    bool over_limit = false;
};

using Member = std::pair<std::string, JsonValue>;

// Makes a new slot's null in place. (A value-initialised JsonValue() is cleared byte by byte
// before it is constructed, which costs more than reading the value into it.)
struct Fresh {
    operator JsonValue() const {
        JsonValue v;
        return v;
    }
};

// A set of member indices of one large object, keyed by the members' names (open addressing).
class KeyIndex {
public:
    void clear() { slots_.clear(); }
    bool empty() const { return slots_.empty(); }

    // The index of the member named `key`, or adds `next` under that name and returns it.
    std::size_t find_or_add(const std::vector<Member>& members, std::string_view key,
                            std::size_t next) {
        if ((next + 1) * 2 > slots_.size()) rebuild(members, next);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t h = hash(key) & mask;; h = (h + 1) & mask) {
            const std::uint32_t slot = slots_[h];
            if (slot == 0) {
                slots_[h] = static_cast<std::uint32_t>(next + 1);
                return next;
            }
            if (members[slot - 1].first == key) return slot - 1;
        }
    }

private:
    static std::size_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

    // A table at most a quarter full, holding the first `count` members (refilled once half full).
    void rebuild(const std::vector<Member>& members, std::size_t count) {
        std::size_t size = 64;
        while (size < (count + 1) * 4) size *= 2;
        slots_.assign(size, 0);
        const std::size_t mask = size - 1;
        for (std::size_t k = 0; k < count; ++k) {
            std::size_t h = hash(members[k].first) & mask;
            while (slots_[h] != 0) h = (h + 1) & mask;
            slots_[h] = static_cast<std::uint32_t>(k + 1);
        }
    }

    std::vector<std::uint32_t> slots_;  // member index + 1; 0 is free
};

// Recursive descent that mirrors the host's scanner step for step, so that the first error it
// meets, and the position it names, are the host's.
//
// A container's storage is mostly allocated once: it starts with room for as many members or
// items as the last one of its kind closed at its nesting level had (the rows of a listing share
// one shape). Values are read in place rather than moved into their parents, and strings without
// escapes are copied from the document in one piece.
class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}

    JsonValue document() {
        JsonValue v;
        std::size_t i = skip(0);
        value(v, i, 0);
        i = skip(pos_);
        if (i != s_.size()) fail("Extra data", i);
        return v;
    }

    [[noreturn]] static void fail(std::string what, std::size_t at, bool over = false) {
        throw Failure{std::move(what), at, over};
    }

private:
    struct Level {
        std::size_t members_seen = 0;  // of the last object closed at this level
        std::size_t items_seen = 0;    // of the last array closed at this level
        KeyIndex index;
    };
    // The most room made for an object from its predecessor's size.
    static constexpr std::size_t kShapeLimit = 64;

    std::size_t skip(std::size_t i) const {
        const char* const base = s_.data();
        return static_cast<std::size_t>(lex::skip_space(base + i, base + s_.size()) - base);
    }
    template <std::size_t N>
    bool matches(std::size_t i, const char (&word)[N]) const {
        return lex::starts_with(s_.data() + i, s_.data() + s_.size(), word);
    }

    // The scratch of nesting level `depth` (1 for the outermost container).
    Level& level(std::size_t depth) {
        if (levels_.size() <= depth) levels_.resize(depth + 1);
        return levels_[depth];
    }

    // Parses the value at `i` into `v` (a null); leaves pos_ just after it.
    void value(JsonValue& v, std::size_t i, std::size_t depth) {
        if (i >= s_.size()) fail("Expecting value", i);
        switch (s_[i]) {
            case '"':
                v.kind = JsonValue::Kind::text;
                string_at(v.text, i + 1);
                return;
            case '{':
                if (depth >= kMaxJsonDepth) fail("nested deeper than 256 levels", i, true);
                object(v, i + 1, depth + 1);
                return;
            case '[':
                if (depth >= kMaxJsonDepth) fail("nested deeper than 256 levels", i, true);
                array(v, i + 1, depth + 1);
                return;
            case 'n':
                if (matches(i, "null")) { pos_ = i + 4; return; }
                break;
            case 't':
                if (matches(i, "true")) {
                    v.kind = JsonValue::Kind::boolean;
                    v.flag = true;
                    pos_ = i + 4;
                    return;
                }
                break;
            case 'f':
                if (matches(i, "false")) {
                    v.kind = JsonValue::Kind::boolean;
                    pos_ = i + 5;
                    return;
                }
                break;
            case 'N':
                if (matches(i, "NaN"))
                    return special(v, i, 3, std::numeric_limits<double>::quiet_NaN());
                break;
            case 'I':
                if (matches(i, "Infinity"))
                    return special(v, i, 8, std::numeric_limits<double>::infinity());
                break;
            case '-':
                if (matches(i, "-Infinity"))
                    return special(v, i, 9, -std::numeric_limits<double>::infinity());
                break;
            default: break;
        }
        number(v, i);
    }

    void special(JsonValue& v, std::size_t i, std::size_t n, double d) {
        v.kind = JsonValue::Kind::real;
        v.real = d;
        pos_ = i + n;
    }

    void number(JsonValue& v, std::size_t start) {
        const char* const base = s_.data();
        bool integral = true;
        const char* const stop = lex::number_end(base + start, base + s_.size(), integral);
        if (stop == nullptr) fail("Expecting value", start);
        const bool is_real = !integral;
        const auto i = static_cast<std::size_t>(stop - base);
        const std::string_view token = s_.substr(start, i - start);
        if (token.size() > kMaxNumberLength)
            fail("number of " + std::to_string(token.size()) + " characters, over the limit of " +
                     std::to_string(kMaxNumberLength),
                 start, true);
        if (is_real) {
            v.kind = JsonValue::Kind::real;
            v.real = json_real(token);
        } else {
            v.kind = JsonValue::Kind::integer;
            if (token == "-0")
                v.text = "0";
            else
                v.text = std::string(token);
        }
        pos_ = i;
    }

    // The text whose content starts at `start` (just after the opening quote), as a view of the
    // document when it has no escapes, else of `decoded_`. Leaves pos_ after the closing quote.
    std::string_view string_view_at(std::size_t start) {
        const char* const base = s_.data();
        const char* const content = base + start;
        const char* const end = base + s_.size();
        if (const char* quote = lex::plain_string_end<lex::AnyText>(content, end)) {
            pos_ = static_cast<std::size_t>(quote + 1 - base);
            return std::string_view(content, static_cast<std::size_t>(quote - content));
        }
        return decode_string(content);
    }

    // The text at `content` that is not one plain run.
    std::string_view decode_string(const char* content) {
        const char* const base = s_.data();
        const char* const end = base + s_.size();
        const lex::String t = lex::finish_string<lex::AnyText, lex::StrictBytes>(
            content, lex::run_end<lex::AnyText>(content, end), end, &decoded_);
        if (t.fault != lex::Fault::none) fail(fault_text(t.fault), static_cast<std::size_t>(t.at - base));
        pos_ = static_cast<std::size_t>(t.next - base);
        return t.content;
    }

    // (Constructing a string and moving it in costs less than assigning to the empty one.)
    void string_at(std::string& out, std::size_t start) { out = std::string(string_view_at(start)); }

    static const char* fault_text(lex::Fault fault) {
        switch (fault) {
            case lex::Fault::unterminated: return "Unterminated string starting at";
            case lex::Fault::bad_escape: return "Invalid \\escape";
            case lex::Fault::bad_unicode: return "Invalid \\uXXXX escape";
            default: return "Invalid control character at";
        }
    }

    // A cheap sketch of a key for the duplicate test of small objects: a key whose bit is not yet
    // set in the object's sketch is certainly new.
    static std::uint64_t key_bit(std::string_view key) {
        const std::size_t n = key.size();
        const unsigned mix = n == 0 ? 0u
                                    : static_cast<unsigned char>(key[0]) * 7u +
                                          static_cast<unsigned char>(key[n / 2]) * 3u +
                                          static_cast<unsigned char>(key[n - 1]) + static_cast<unsigned>(n) * 13u;
        return std::uint64_t{1} << (mix & 63u);
    }

    // Objects up to this many members look duplicates up directly; larger ones through an index.
    static constexpr std::size_t kIndexFrom = 16;

    void object(JsonValue& v, std::size_t i, std::size_t depth) {
        v.kind = JsonValue::Kind::object;
        const std::size_t len = s_.size();
        i = skip(i);
        if (i < len && s_[i] == '}') {
            pos_ = i + 1;
            return;
        }
        Level& at = level(depth);
        std::vector<Member>& members = v.members;
        members.reserve(at.members_seen);
        std::uint64_t sketch = 0;
        JsonValue repeated;
        while (true) {
            if (i >= len || s_[i] != '"')
                fail("Expecting property name enclosed in double quotes", i);
            const std::string_view key = string_view_at(i + 1);
            // The slot the value goes to: a new member's, or a scratch value that replaces an
            // earlier member's once read (the last of equal keys wins at the first one's place).
            std::size_t same = members.size();
            if (members.size() < kIndexFrom) {
                const std::uint64_t bit = key_bit(key);
                if (sketch & bit) {
                    for (std::size_t k = 0; k < members.size(); ++k)
                        if (members[k].first == key) {
                            same = k;
                            break;
                        }
                }
                sketch |= bit;
            } else {
                same = at.index.find_or_add(members, key, members.size());
            }
            JsonValue* slot = &repeated;
            if (same == members.size()) {
                members.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                                     std::forward_as_tuple(Fresh{}));
                slot = &members.back().second;
            }
            i = skip(pos_);
            if (i >= len || s_[i] != ':') fail("Expecting ':' delimiter", i);
            i = skip(i + 1);
            value(*slot, i, depth);
            if (slot == &repeated) {
                members[same].second = std::move(repeated);
                repeated = JsonValue{};
            }
            i = skip(pos_);
            if (i < len && s_[i] == '}') break;
            if (i >= len || s_[i] != ',') fail("Expecting ',' delimiter", i);
            const std::size_t comma = i;
            i = skip(i + 1);
            if (i < len && s_[i] == '}') fail("Illegal trailing comma before end of object", comma);
        }
        // Objects at one level tend to have one shape (rows): the next one starts at this size.
        at.members_seen = std::min(members.size(), kShapeLimit);
        if (members.capacity() > members.size() * 2) members.shrink_to_fit();
        if (!at.index.empty()) at.index.clear();
        pos_ = i + 1;
    }

    void array(JsonValue& v, std::size_t i, std::size_t depth) {
        v.kind = JsonValue::Kind::array;
        const std::size_t len = s_.size();
        i = skip(i);
        if (i < len && s_[i] == ']') {
            pos_ = i + 1;
            return;
        }
        Level& at = level(depth);
        std::vector<JsonValue>& items = v.items;
        items.reserve(at.items_seen);
        while (true) {
            value(items.emplace_back(Fresh{}), i, depth);
            i = skip(pos_);
            if (i < len && s_[i] == ']') break;
            if (i >= len || s_[i] != ',') fail("Expecting ',' delimiter", i);
            const std::size_t comma = i;
            i = skip(i + 1);
            if (i < len && s_[i] == ']') fail("Illegal trailing comma before end of array", comma);
        }
        at.items_seen = std::min(items.size(), kShapeLimit);
        if (items.capacity() > items.size() * 2) items.shrink_to_fit();
        pos_ = i + 1;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    std::deque<Level> levels_;  // references stay valid as it grows
    std::string decoded_;
};

// "<what>: line L column C (char P)" with positions in code points, as the host counts them.
std::string located(std::string_view doc, const Failure& f) {
    std::size_t chars = 0, line = 1, last_newline_char = 0;
    bool seen_newline = false;
    for (std::size_t b = 0; b < f.at && b < doc.size(); ++b) {
        const auto c = static_cast<unsigned char>(doc[b]);
        if ((c & 0xC0u) == 0x80u) continue;
        if (c == '\n') {
            ++line;
            last_newline_char = chars;
            seen_newline = true;
        }
        ++chars;
    }
    const std::size_t column = seen_newline ? chars - last_newline_char : chars + 1;
    return f.what + ": line " + std::to_string(line) + " column " + std::to_string(column) +
           " (char " + std::to_string(chars) + ")";
}

// A text as the host's encoder writes it with ensure_ascii=False: only the quotation mark, the
// backslash and the controls escaped; a lone surrogate as its backslash escape ("\\udc80"), as
// the host's "backslashreplace" writes it out, which reads back as the same text.
void append_unicode_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c == 0xED && pos + 2 < text.size() && static_cast<unsigned char>(text[pos + 1]) >= 0xA0) {
            std::size_t at = pos;
            const char32_t cp = utf8::next(text, at);
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
            pos = at;
            continue;
        }
        ++pos;
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\b': out += "\\b"; continue;
            case '\f': out += "\\f"; continue;
            default: break;
        }
        if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void dump(const JsonValue& v, std::string& out, int indent, int level, bool sort, bool ascii = true) {
    using K = JsonValue::Kind;
    switch (v.kind) {
        case K::null: out += "null"; return;
        case K::boolean: out += v.flag ? "true" : "false"; return;
        case K::integer: out += v.text; return;
        case K::real:
            if (std::isnan(v.real)) out += "NaN";
            else if (std::isinf(v.real)) out += v.real < 0 ? "-Infinity" : "Infinity";
            else out += burns::shortest_form(v.real);
            return;
        case K::text:
            if (ascii) burns::append_json_string(out, v.text);
            else append_unicode_json_string(out, v.text);
            return;
        default: break;
    }
    const bool is_array = v.kind == K::array;
    const std::size_t n = is_array ? v.items.size() : v.members.size();
    if (n == 0) {
        out += is_array ? "[]" : "{}";
        return;
    }
    std::vector<std::size_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = k;
    if (!is_array && sort)
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return v.members[a].first < v.members[b].first;
        });
    out += is_array ? '[' : '{';
    for (std::size_t k = 0; k < n; ++k) {
        if (indent > 0) {
            out += k == 0 ? "\n" : ",\n";
            out.append(static_cast<std::size_t>(indent * (level + 1)), ' ');
        } else if (k > 0) {
            out += ", ";
        }
        if (is_array) {
            dump(v.items[order[k]], out, indent, level + 1, sort, ascii);
        } else {
            if (ascii) burns::append_json_string(out, v.members[order[k]].first);
            else append_unicode_json_string(out, v.members[order[k]].first);
            out += ": ";
            dump(v.members[order[k]].second, out, indent, level + 1, sort, ascii);
        }
    }
    if (indent > 0) {
        out += '\n';
        out.append(static_cast<std::size_t>(indent * level), ' ');
    }
    out += is_array ? ']' : '}';
}

void append_display(std::string& out, const JsonValue& v, bool nested) {
    using K = JsonValue::Kind;
    switch (v.kind) {
        case K::null: out += "None"; return;
        case K::boolean: out += v.flag ? "True" : "False"; return;
        case K::integer: out += v.text; return;
        case K::real: out += burns::shortest_form(v.real); return;
        case K::text:
            if (nested) burns::append_repr(out, v.text);
            else out += v.text;
            return;
        case K::array:
            out += '[';
            for (std::size_t k = 0; k < v.items.size(); ++k) {
                if (k) out += ", ";
                append_display(out, v.items[k], true);
            }
            out += ']';
            return;
        case K::object:
            out += '{';
            for (std::size_t k = 0; k < v.members.size(); ++k) {
                if (k) out += ", ";
                burns::append_repr(out, v.members[k].first);
                out += ": ";
                append_display(out, v.members[k].second, true);
            }
            out += '}';
            return;
    }
}

}  // namespace

// A finite non-zero result of the library's reader is final; zeros, overflow and underflow take
// the host's float() rule, which gives their signed zero or infinity.
double json_real(std::string_view token) {
    double d = 0.0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), d);
    if (ec == std::errc() && end == token.data() + token.size() && std::isfinite(d) && d != 0.0)
        return d;
    return *burns::parse_numeric_text(token);
}

const JsonValue* JsonValue::get(std::string_view key) const {
    if (kind != Kind::object) return nullptr;
    for (const auto& [k, v] : members)
        if (k == key) return &v;
    return nullptr;
}

bool JsonValue::truthy() const {
    switch (kind) {
        case Kind::null: return false;
        case Kind::boolean: return flag;
        case Kind::integer: return text != "0";
        case Kind::real: return real != 0.0;
        case Kind::text: return !text.empty();
        case Kind::array: return !items.empty();
        case Kind::object: return !members.empty();
    }
    return false;
}

JsonValue JsonValue::make_text(std::string s) {
    JsonValue v;
    v.kind = Kind::text;
    v.text = std::move(s);
    return v;
}

JsonValue JsonValue::make_integer(long long n) {
    JsonValue v;
    v.kind = Kind::integer;
    v.text = std::to_string(n);
    return v;
}

JsonValue JsonValue::make_object() {
    JsonValue v;
    v.kind = Kind::object;
    return v;
}

JsonValue JsonValue::make_array() {
    JsonValue v;
    v.kind = Kind::array;
    return v;
}

JsonValue JsonValue::make_boolean(bool value) {
    JsonValue v;
    v.kind = Kind::boolean;
    v.flag = value;
    return v;
}

JsonValue JsonValue::make_real(double value) {
    JsonValue v;
    v.kind = Kind::real;
    v.real = value;
    return v;
}

void JsonValue::set(std::string key, JsonValue value) {
    for (auto& [k, old] : members)
        if (k == key) {
            old = std::move(value);
            return;
        }
    members.emplace_back(std::move(key), std::move(value));
}

std::variant<JsonValue, JsonError> parse_json(std::string_view document) {
    if (document.substr(0, 3) == "\xEF\xBB\xBF")
        return JsonError{located(document, {"Unexpected UTF-8 BOM (decode using utf-8-sig)", 0})};
    try {
        return Reader(document).document();
    } catch (const Failure& f) {
        return JsonError{located(document, f), f.over_limit};
    }
}

bool is_utf8(std::string_view s) { return utf8::is_strict(s); }

std::string dump_json(const JsonValue& value) {
    std::string out;
    dump(value, out, 0, 0, false);
    return out;
}

std::string dump_json_file(const JsonValue& value) {
    std::string out;
    dump(value, out, 2, 0, true);
    out += '\n';
    return out;
}

std::string dump_json(const JsonValue& value, const JsonLayout& layout) {
    std::string out;
    dump(value, out, layout.indent, 0, layout.sort_keys, layout.ascii);
    return out;
}

std::string host_str(const JsonValue& value) {
    std::string out;
    append_display(out, value, false);
    return out;
}

}  // namespace emberscope::engine
