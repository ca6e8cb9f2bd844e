// Division of a long report text into message-sized chunks that each repeat the header block.
#include "reports/chunking.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "common/utf8.hpp"

namespace emberscope::reports {

namespace {

struct Line {
    std::size_t begin;   // byte offset in the text
    std::size_t end;     // byte offset of its line feed, or the text's end
    std::int64_t width;  // code points
};

std::vector<Line> split_lines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        const auto width = utf8::length(text.substr(begin, end - begin));
        lines.push_back({begin, end, static_cast<std::int64_t>(width)});
        if (end == text.size()) return lines;
        begin = end + 1;
    }
}

bool is_empty(const Line& line) { return line.begin == line.end; }

}  // namespace

std::vector<std::string> chunk_text(std::string_view text, std::int64_t max_len) {
    if (fits_in_one_chunk(utf8::length(text), max_len)) return {std::string(text)};
    return split_long_text(text, max_len);
}

std::vector<std::string> split_long_text(std::string_view text, std::int64_t max_len) {
    const std::vector<Line> lines = split_lines(text);

    // Snapshot layout (empty fourth line, or too few lines to tell): three header lines, the
    // fourth line is the separator. Otherwise keep every line: an alert has its separator in
    // second or third place; any other text keeps three header lines and loses nothing.
    std::size_t header_count = std::min<std::size_t>(3, lines.size());
    std::size_t body_begin = 4;
    if (lines.size() >= 4 && !is_empty(lines[3])) {
        body_begin = 3;
        if (!is_empty(lines[0])) {
            if (is_empty(lines[1])) {
                header_count = 1;
                body_begin = 2;
            } else if (is_empty(lines[2])) {
                header_count = 2;
                body_begin = 3;
            }
        }
    }

    const std::string_view header = text.substr(0, lines[header_count - 1].end);
    if (body_begin >= lines.size()) return {std::string(header)};

    std::int64_t header_width = static_cast<std::int64_t>(header_count) - 1;
    for (std::size_t i = 0; i < header_count; ++i) header_width += lines[i].width;
    // Header, its line feed and the empty line: every chunk opens with this.
    const std::int64_t opening_width = header_width + 1;

    std::vector<std::string> chunks;
    // Body lines of one chunk are consecutive in the text, so each chunk is the header, two
    // line feeds and one slice of the text.
    auto close = [&](std::size_t first, std::size_t last) {
        const std::size_t begin = lines[first].begin;
        const std::string_view body = text.substr(begin, lines[last].end - begin);
        std::string chunk;
        chunk.reserve(header.size() + 2 + body.size());
        chunk += header;
        chunk += "\n\n";
        chunk += body;
        chunks.push_back(std::move(chunk));
    };

    std::size_t first = body_begin;
    std::int64_t width = opening_width + 1 + lines[first].width;
    for (std::size_t i = body_begin + 1; i < lines.size(); ++i) {
        const std::int64_t candidate = width + 1 + lines[i].width;
        if (candidate > max_len) {
            close(first, i - 1);
            first = i;
            width = opening_width + 1 + lines[i].width;
        } else {
            width = candidate;
        }
    }
    close(first, lines.size() - 1);
    return chunks;
}

}  // namespace emberscope::reports
