// Alert and start-up snapshot texts, assembled from display texts the caller has prepared.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace emberscope::reports {

/// One change line of an alert: the netuid text as given, and the old and new burn texts
/// already in their display form.
struct AlertLine {
    std::string netuid;
    std::string old_display;
    std::string new_display;
};

/// Renders "Owner burn rate changed", the "<updated_at> UTC" line, an empty line and one
/// "SN<netuid>: <old> → <new>" line per entry, in the given order, joined by line feeds with
/// nothing after the last line (an empty list therefore ends with a line feed).
std::string render_alert(const std::vector<AlertLine>& lines, std::string_view updated_at);

/// One body line of the snapshot: the subnet label (the netuid as text, without "SN") and the
/// burn text in its display form.
struct SnapshotLine {
    std::string label;
    std::string display;
};

/// Renders "Subnet owner burn rates (startup)", the "<updated_at> UTC" line, the
/// "<row_count> subnets" line, an empty line and one "SN<label>: <display>" line per entry in
/// the given (already sorted) order, joined by line feeds with nothing after the last line.
std::string render_snapshot(std::size_t row_count, const std::vector<SnapshotLine>& sorted_lines,
                            std::string_view updated_at);

}  // namespace emberscope::reports
