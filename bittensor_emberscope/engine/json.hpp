// A JSON reader and writer for what the monitor engine reads and keeps: the Taostats listing,
// Telegram answers, the state file and the outbox.
//
// The reader decodes like the host's json.loads (NaN and Infinity accepted, the last of two
// equal keys wins at the first one's place, lone surrogate escapes kept) but refuses documents
// nested deeper than a limit and numbers longer than a limit, so a hostile document costs time
// and memory in proportion to its size and never exhausts the stack. Its error texts follow the
// host decoder's ("Expecting value: line 1 column 1 (char 0)").
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace emberscope::engine {

/// Deepest nesting of arrays and objects a document may have.
inline constexpr std::size_t kMaxJsonDepth = 256;
/// Longest number token, in characters (the host's own limit on integer digits).
inline constexpr std::size_t kMaxNumberLength = 4300;

struct JsonValue {
    enum class Kind { null, boolean, integer, real, text, array, object };
    Kind kind = Kind::null;
    bool flag = false;
    double real = 0.0;
    /// A text's UTF-8 bytes (lone surrogates in their three-byte form), or an integer's decimal
    /// digits with a leading '-' when negative ("0" for zero).
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    bool is_object() const { return kind == Kind::object; }
    bool is_array() const { return kind == Kind::array; }
    bool is_text() const { return kind == Kind::text; }
    /// The member's value, or null when absent or when this is not an object.
    const JsonValue* get(std::string_view key) const;
    /// The host's truth test: null, false, zero, "", [] and {} are false.
    bool truthy() const;

    static JsonValue make_text(std::string s);
    static JsonValue make_integer(long long n);
    static JsonValue make_object();
    static JsonValue make_array();
    static JsonValue make_boolean(bool value);
    static JsonValue make_real(double value);
    /// Adds or replaces a member (a replaced member keeps its place).
    void set(std::string key, JsonValue value);
};

/// Why a document was refused: the host decoder's message for what it refuses too, or this
/// reader's own for a limit (`over_limit`), both with the host's position suffix.
struct JsonError {
    std::string message;
    bool over_limit = false;
};

/// Parses `document` (UTF-8 text). Returns the value or the error.
std::variant<JsonValue, JsonError> parse_json(std::string_view document);

/// The double of a JSON number token with a fraction or an exponent, correctly rounded, as
/// parse_json reads it.
double json_real(std::string_view token);

/// True when `bytes` is well-formed UTF-8 (what the host's strict decoder accepts).
bool is_utf8(std::string_view bytes);

/// json.dumps(value) of the host with its defaults: one line, ", " and ": " separators, ASCII
/// only, reals in their shortest form, NaN and Infinity as such.
std::string dump_json(const JsonValue& value);

/// json.dumps(value, indent=2, sort_keys=True) of the host, followed by a line feed.
std::string dump_json_file(const JsonValue& value);

/// How json.dumps of the host was asked to write a document.
struct JsonLayout {
    int indent = 0;          ///< 0: one line with ", " and ": "; n: n spaces a level, "," and ": "
    bool sort_keys = false;  ///< members in key order rather than their own
    bool ascii = true;       ///< ensure_ascii: false writes texts as UTF-8, a lone surrogate as
                             ///< its "\\udc80" escape (the host's "backslashreplace")
};

/// json.dumps(value, indent=..., sort_keys=..., ensure_ascii=...) of the host, no final line feed.
std::string dump_json(const JsonValue& value, const JsonLayout& layout);

/// str(value) of the host for a decoded value: texts unchanged, integers as their digits, reals
/// in their shortest form, True/False/None, and lists and dicts in the host's display notation.
std::string host_str(const JsonValue& value);

}  // namespace emberscope::engine
