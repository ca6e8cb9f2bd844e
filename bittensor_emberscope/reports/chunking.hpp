// Division of a long report text into message-sized chunks that each repeat the header block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emberscope::reports {

/// Splits `text` into chunks of at most `max_len` code points (line feeds included) without
/// cutting any line. A text within the limit is the only chunk, unchanged. Otherwise each
/// chunk is the header lines, an empty line and as many body lines as fit, filled greedily; a
/// chunk with a single body line may exceed the limit.
///
/// The header is the first three lines and the body starts at the fifth when the fourth line
/// is empty (the snapshot layout). When the fourth line is not empty, no line is dropped: an
/// empty second or third line (being the first empty line) ends the header and is the
/// separator (the alert layout); otherwise the header is the first three lines and the body
/// starts at the fourth. Any `max_len`, zero or negative included, is accepted; the work is
/// linear in the size of the text and of the result.
std::vector<std::string> chunk_text(std::string_view text, std::int64_t max_len);

/// True when a text of `code_points` code points is its own only chunk under `max_len`: the
/// whole decision for a text within the limit, in constant time, for a caller that knows the
/// length already (the host keeps it with every string) and can hand back the text itself.
constexpr bool fits_in_one_chunk(std::size_t code_points, std::int64_t max_len) {
    return max_len >= 0 && code_points <= static_cast<std::uint64_t>(max_len);
}

/// The chunks of a text that does not fit in one (see chunk_text): the split alone, without
/// measuring the whole text first. REQUIRES: !fits_in_one_chunk(length of `text`, max_len).
std::vector<std::string> split_long_text(std::string_view text, std::int64_t max_len);

}  // namespace emberscope::reports
