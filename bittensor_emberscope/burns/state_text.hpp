// Text of the burn state file: JSON string escaping and the whole document, byte for byte.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::burns {

/// The state file's keys: the burn map, and the UTC time stamp of the cycle that wrote it.
/// (In key order: the file is written with its keys sorted.)
inline constexpr std::string_view kBurnsKey = "owner_burn_rate";
inline constexpr std::string_view kUpdatedAtKey = "updated_at_utc";

/// Appends `text` to `out` as a quoted JSON string in the host encoder's default ASCII-only
/// form: short escapes for quote, backslash, \n \r \t \b \f; every other character outside
/// 0x20..0x7E as \uXXXX (lower-case hex, surrogate pairs beyond U+FFFF); "/" left as is.
void append_json_string(std::string& out, std::string_view text);

/// Renders the state file for `burns` (netuid text -> owner burn text, unique keys) stamped
/// `updated_at`: two-space indentation, keys in code point order, a final line feed. The
/// result is pure ASCII and matches the host's indented, key-sorted JSON dump exactly.
std::string render_state_file(const std::vector<std::pair<std::string, std::string>>& burns,
                              std::string_view updated_at);

/// The "owner_burn_rate" entries of a state-file text, read in one pass, in the file's order;
/// empty when the member is absent or a text. Reads the files that render_state_file writes
/// and others of their shape: an ASCII JSON object whose members are texts or objects of texts,
/// the keys of each object in strictly ascending order. For any other text, valid JSON or
/// not, the result is nullopt and the host's decoder is the one to read it (and to fail).
std::optional<std::vector<std::pair<std::string, std::string>>> read_state_file(
    std::string_view text);

/// The entries read_state_file reads, as views: of the file's text itself for a text written
/// without escapes (printable ASCII only, then), else of its decoded form kept in `decoded`.
struct StateEntryViews {
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    std::deque<std::string> decoded;
};

/// read_state_file without copies: fills `out` (views valid while `text` and `out` live) and
/// answers true where read_state_file has entries, false where it has nullopt.
bool read_state_file(std::string_view text, StateEntryViews& out);

/// Receives the entries of a state file's burn map one at a time, in the file's order, as
/// StateEntryViews holds them; the views are valid until read_state_file returns.
class StateEntrySink {
public:
    virtual void entry(std::string_view key, std::string_view value) = 0;

protected:
    ~StateEntrySink() = default;
};

/// read_state_file without a list: hands each entry to `sink` as it is read and answers true
/// where read_state_file has entries. On false, the entries handed over by then are not the
/// file's, and the caller drops them.
bool read_state_file(std::string_view text, StateEntrySink& sink);

}  // namespace emberscope::burns
