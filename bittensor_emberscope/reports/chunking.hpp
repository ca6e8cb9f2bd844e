// Division of a long report text into message-sized chunks that each repeat the header block.
#pragma once

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

}  // namespace emberscope::reports
