// Alert and start-up snapshot texts, assembled from display texts the caller has prepared.
#include "reports/texts.hpp"

namespace emberscope::reports {

namespace {

constexpr std::string_view kAlertTitle = "Owner burn rate changed";
constexpr std::string_view kSnapshotTitle = "Subnet owner burn rates (startup)";
constexpr std::string_view kArrow = " \xE2\x86\x92 ";  // space, U+2192, space

}  // namespace

std::string render_alert(const std::vector<AlertLine>& lines, std::string_view updated_at) {
    std::size_t size = kAlertTitle.size() + updated_at.size() + 8;
    for (const auto& line : lines) {
        size += line.netuid.size() + line.old_display.size() + line.new_display.size() + 12;
    }
    std::string out;
    out.reserve(size);
    out += kAlertTitle;
    out += '\n';
    out += updated_at;
    out += " UTC\n";  // the empty line follows; each change line brings its own leading feed
    for (const auto& line : lines) {
        out += "\nSN";
        out += line.netuid;
        out += ": ";
        out += line.old_display;
        out += kArrow;
        out += line.new_display;
    }
    return out;
}

std::string render_snapshot(std::size_t row_count, const std::vector<SnapshotLine>& sorted_lines,
                            std::string_view updated_at) {
    const std::string count = std::to_string(row_count);
    std::size_t size = kSnapshotTitle.size() + updated_at.size() + count.size() + 16;
    for (const auto& line : sorted_lines) size += line.label.size() + line.display.size() + 5;
    std::string out;
    out.reserve(size);
    out += kSnapshotTitle;
    out += '\n';
    out += updated_at;
    out += " UTC\n";
    out += count;
    out += " subnets\n";
    for (const auto& line : sorted_lines) {
        out += "\nSN";
        out += line.label;
        out += ": ";
        out += line.display;
    }
    return out;
}

}  // namespace emberscope::reports
