// JSON reader and writer of the monitor engine.
#include "engine/json.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "burns/numeric.hpp"
#include "burns/state_text.hpp"
#include "common/text.hpp"
#include "common/utf8.hpp"

namespace emberscope::engine {
namespace {

bool is_white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct Failure {
    std::string what;
    std::size_t at;  // byte offset
    bool over_limit = false;
};

// Recursive descent that mirrors the host's scanner step for step, so that the first error it
// meets, and the position it names, are the host's.
class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}

    JsonValue document() {
        std::size_t i = skip(0);
        JsonValue v = value(i, 0);
        i = skip(pos_);
        if (i != s_.size()) fail("Extra data", i);
        return v;
    }

    [[noreturn]] static void fail(std::string what, std::size_t at, bool over = false) {
        throw Failure{std::move(what), at, over};
    }

private:
    std::size_t skip(std::size_t i) const {
        while (i < s_.size() && is_white(s_[i])) ++i;
        return i;
    }
    bool matches(std::size_t i, std::string_view word) const {
        return s_.substr(i, word.size()) == word;
    }

    // Parses the value at `i`; leaves pos_ just after it.
    JsonValue value(std::size_t i, std::size_t depth) {
        if (i >= s_.size()) fail("Expecting value", i);
        JsonValue v;
        switch (s_[i]) {
            case '"':
                v.kind = JsonValue::Kind::text;
                v.text = string_at(i + 1);
                return v;
            case '{':
                if (depth >= kMaxJsonDepth) fail("nested deeper than 256 levels", i, true);
                return object(i + 1, depth + 1);
            case '[':
                if (depth >= kMaxJsonDepth) fail("nested deeper than 256 levels", i, true);
                return array(i + 1, depth + 1);
            case 'n':
                if (matches(i, "null")) { pos_ = i + 4; return v; }
                break;
            case 't':
                if (matches(i, "true")) {
                    v.kind = JsonValue::Kind::boolean;
                    v.flag = true;
                    pos_ = i + 4;
                    return v;
                }
                break;
            case 'f':
                if (matches(i, "false")) {
                    v.kind = JsonValue::Kind::boolean;
                    pos_ = i + 5;
                    return v;
                }
                break;
            case 'N':
                if (matches(i, "NaN")) return special(i, 3, std::numeric_limits<double>::quiet_NaN());
                break;
            case 'I':
                if (matches(i, "Infinity"))
                    return special(i, 8, std::numeric_limits<double>::infinity());
                break;
            case '-':
                if (matches(i, "-Infinity"))
                    return special(i, 9, -std::numeric_limits<double>::infinity());
                break;
            default: break;
        }
        return number(i);
    }

    JsonValue special(std::size_t i, std::size_t n, double d) {
        JsonValue v;
        v.kind = JsonValue::Kind::real;
        v.real = d;
        pos_ = i + n;
        return v;
    }

    JsonValue number(std::size_t start) {
        const std::size_t end = s_.size();
        std::size_t i = start;
        if (s_[i] == '-') {
            ++i;
            if (i >= end) fail("Expecting value", start);
        }
        if (s_[i] >= '1' && s_[i] <= '9') {
            while (i < end && is_digit(s_[i])) ++i;
        } else if (s_[i] == '0') {
            ++i;
        } else {
            fail("Expecting value", start);
        }
        bool is_real = false;
        if (i + 1 < end && s_[i] == '.' && is_digit(s_[i + 1])) {
            is_real = true;
            i += 2;
            while (i < end && is_digit(s_[i])) ++i;
        }
        if (i + 1 < end && (s_[i] == 'e' || s_[i] == 'E')) {
            const std::size_t e_start = i++;
            if (i + 1 < end && (s_[i] == '-' || s_[i] == '+')) ++i;
            while (i < end && is_digit(s_[i])) ++i;
            if (is_digit(s_[i - 1]))
                is_real = true;
            else
                i = e_start;
        }
        const std::string_view token = s_.substr(start, i - start);
        if (token.size() > kMaxNumberLength)
            fail("number of " + std::to_string(token.size()) + " characters, over the limit of " +
                     std::to_string(kMaxNumberLength),
                 start, true);
        JsonValue v;
        if (is_real) {
            v.kind = JsonValue::Kind::real;
            v.real = *burns::parse_numeric_text(token);
        } else {
            v.kind = JsonValue::Kind::integer;
            v.text = token == "-0" ? "0" : std::string(token);
        }
        pos_ = i;
        return v;
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Four hex digits at `i`, or -1.
    long hex4(std::size_t i) const {
        long v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            int h = hex(s_[i + k]);
            if (h < 0) return -1;
            v = v * 16 + h;
        }
        return v;
    }

    // The text whose content starts at `end` (just after the opening quote).
    std::string string_at(std::size_t end) {
        const std::size_t begin = end - 1;
        const std::size_t len = s_.size();
        std::string out;
        while (true) {
            std::size_t next = end;
            char c = 0;
            for (; next < len; ++next) {
                c = s_[next];
                if (c == '"' || c == '\\') break;
                if (static_cast<unsigned char>(c) <= 0x1f) fail("Invalid control character at", next);
            }
            if (next >= len) fail("Unterminated string starting at", begin);
            out.append(s_.substr(end, next - end));
            ++next;
            if (c == '"') {
                pos_ = next;
                return out;
            }
            if (next == len) fail("Unterminated string starting at", begin);
            c = s_[next];
            if (c != 'u') {
                end = next + 1;
                const char plain = text::json_short_escape(c);
                if (plain == 0) fail("Invalid \\escape", end - 2);
                out += plain;
                continue;
            }
            ++next;
            end = next + 4;
            if (end >= len) fail("Invalid \\uXXXX escape", next - 1);
            long unit = hex4(next);
            if (unit < 0) fail("Invalid \\uXXXX escape", end - 5);
            char32_t cp = static_cast<char32_t>(unit);
            if (cp >= 0xD800 && cp <= 0xDBFF && end + 6 < len && s_[end] == '\\' &&
                s_[end + 1] == 'u') {
                long low = hex4(end + 2);
                if (low < 0) fail("Invalid \\uXXXX escape", end + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
                    end += 6;
                }
            }
            utf8::append(out, cp);
        }
    }

    JsonValue object(std::size_t i, std::size_t depth) {
        JsonValue v;
        v.kind = JsonValue::Kind::object;
        const std::size_t len = s_.size();
        std::unordered_map<std::string, std::size_t> index;
        i = skip(i);
        if (i >= len || s_[i] != '}') {
            while (true) {
                if (i >= len || s_[i] != '"')
                    fail("Expecting property name enclosed in double quotes", i);
                std::string key = string_at(i + 1);
                i = skip(pos_);
                if (i >= len || s_[i] != ':') fail("Expecting ':' delimiter", i);
                i = skip(i + 1);
                JsonValue member = value(i, depth);
                add_member(v, index, std::move(key), std::move(member));
                i = skip(pos_);
                if (i < len && s_[i] == '}') break;
                if (i >= len || s_[i] != ',') fail("Expecting ',' delimiter", i);
                const std::size_t comma = i;
                i = skip(i + 1);
                if (i < len && s_[i] == '}') fail("Illegal trailing comma before end of object", comma);
            }
        }
        pos_ = i + 1;
        return v;
    }

    static void add_member(JsonValue& v, std::unordered_map<std::string, std::size_t>& index,
                           std::string key, JsonValue member) {
        // Small objects (every row) are searched directly; large ones through an index.
        constexpr std::size_t kIndexFrom = 16;
        auto& m = v.members;
        if (m.size() < kIndexFrom) {
            for (auto& [k, old] : m)
                if (k == key) {
                    old = std::move(member);
                    return;
                }
            m.emplace_back(std::move(key), std::move(member));
            if (m.size() == kIndexFrom)
                for (std::size_t k = 0; k < m.size(); ++k) index.emplace(m[k].first, k);
            return;
        }
        auto [it, inserted] = index.try_emplace(key, m.size());
        if (inserted)
            m.emplace_back(std::move(key), std::move(member));
        else
            m[it->second].second = std::move(member);
    }

    JsonValue array(std::size_t i, std::size_t depth) {
        JsonValue v;
        v.kind = JsonValue::Kind::array;
        const std::size_t len = s_.size();
        i = skip(i);
        if (i >= len || s_[i] != ']') {
            while (true) {
                v.items.push_back(value(i, depth));
                i = skip(pos_);
                if (i < len && s_[i] == ']') break;
                if (i >= len || s_[i] != ',') fail("Expecting ',' delimiter", i);
                const std::size_t comma = i;
                i = skip(i + 1);
                if (i < len && s_[i] == ']') fail("Illegal trailing comma before end of array", comma);
            }
        }
        pos_ = i + 1;
        return v;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
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

void dump(const JsonValue& v, std::string& out, int indent, int level, bool sort) {
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
        case K::text: burns::append_json_string(out, v.text); return;
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
            dump(v.items[order[k]], out, indent, level + 1, sort);
        } else {
            burns::append_json_string(out, v.members[order[k]].first);
            out += ": ";
            dump(v.members[order[k]].second, out, indent, level + 1, sort);
        }
    }
    if (indent > 0) {
        out += '\n';
        out.append(static_cast<std::size_t>(indent * level), ' ');
    }
    out += is_array ? ']' : '}';
}

// True for the code points the host's str.isprintable() refuses, among those a burn value may
// plausibly hold: controls, the Latin-1 gap, separators, format characters and surrogates.
bool unprintable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) return true;
    if (cp >= 0xD800 && cp <= 0xDFFF) return true;
    if ((cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
        (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0xFEFF || cp == 0x1680)
        return true;
    return cp == 0x180E || (cp >= 0xFFF9 && cp <= 0xFFFB);
}

void append_repr(std::string& out, const std::string& text) {
    const bool has_single = text.find('\'') != std::string::npos;
    const bool has_double = text.find('"') != std::string::npos;
    const char quote = has_single && !has_double ? '"' : '\'';
    static constexpr char kHex[] = "0123456789abcdef";
    out += quote;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = utf8::next(text, pos);
        if (cp == static_cast<char32_t>(quote) || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (unprintable(cp)) {
            if (cp < 0x100) {
                out += "\\x";
            } else {
                out += "\\u";
                out += kHex[(cp >> 12) & 0xF];
                out += kHex[(cp >> 8) & 0xF];
            }
            out += kHex[(cp >> 4) & 0xF];
            out += kHex[cp & 0xF];
        } else {
            utf8::append(out, cp);
        }
    }
    out += quote;
}

void append_display(std::string& out, const JsonValue& v, bool nested) {
    using K = JsonValue::Kind;
    switch (v.kind) {
        case K::null: out += "None"; return;
        case K::boolean: out += v.flag ? "True" : "False"; return;
        case K::integer: out += v.text; return;
        case K::real: out += burns::shortest_form(v.real); return;
        case K::text:
            if (nested) append_repr(out, v.text);
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
                append_repr(out, v.members[k].first);
                out += ": ";
                append_display(out, v.members[k].second, true);
            }
            out += '}';
            return;
    }
}

}  // namespace

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

bool is_utf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t size;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) size = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) size = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) size = 4, cp = c & 0x07;
        else return false;
        if (i + size > n) return false;
        for (std::size_t k = 1; k < size; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are refused, as the host does.
        if ((size == 3 && cp < 0x800) || (size == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += size;
    }
    return true;
}

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

std::string host_str(const JsonValue& value) {
    std::string out;
    append_display(out, value, false);
    return out;
}

}  // namespace emberscope::engine
