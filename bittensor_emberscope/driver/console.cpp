// The watch driver's console lines and its interval rule.
#include "driver/console.hpp"

namespace emberscope::driver {

std::string escape_line_breaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string detail_line(std::string_view prefix, std::string_view detail) {
    std::string line;
    line.reserve(prefix.size() + detail.size() + 1);
    line.append(prefix).append(escape_line_breaks(detail)).push_back('\n');
    return line;
}

std::string alert_sent_line(std::size_t changes) {
    return "[burn] alert sent (" + std::to_string(changes) + " subnet(s))\n";
}

std::string snapshot_sent_line(std::size_t rows) {
    return "[burn] startup snapshot sent (" + std::to_string(rows) + " subnets)\n";
}

double poll_interval_seconds(double minutes) {
    // "minutes > 1" is false for NaN, so a value that is not a number gives one minute too.
    return 60.0 * (minutes > 1.0 ? minutes : 1.0);
}

}  // namespace emberscope::driver
