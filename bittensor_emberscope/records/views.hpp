// What `emberscope status` and `emberscope history` print, as text or as JSON, from the files
// beside the state.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "burns/burn_map.hpp"
#include "records/clock.hpp"

namespace emberscope::records {

/// A command's answer: what goes to standard output, the lines for standard error (each without
/// the program's name, which the console puts first: "emberscope: "), and the exit status.
struct ViewOutput {
    int exit_status = 0;
    std::string out;
    std::vector<std::string> errors;
};

/// The state file's values and their stamp, or the reason they cannot be shown ("no state file
/// at P yet; ..." when there is none).
struct StoredValues {
    burns::BurnMap burns;
    std::optional<std::string> updated_at;
};
std::variant<StoredValues, std::string> load_values(std::string_view state_path);

/// Decimals of a stored owner burn as the views and the bot show it.
inline constexpr int kShownDecimals = 4;

/// The text a stored owner burn shows as: four decimals for a number, the text itself otherwise.
std::string shown_burn(std::string_view raw);

/// `emberscope status [--json]`: exit 0 when healthy, 3 when not, 1 when the files cannot be read.
ViewOutput status_view(std::string_view state_path, bool json, const Clock& now);

/// The --since option: the epoch second it names, or the usage error's text.
std::variant<double, std::string> parse_since(std::string_view text);

/// `emberscope history [--netuid N] [--since T] [--json]`; `netuid` as the digits the option's
/// number prints as.
ViewOutput history_view(std::string_view state_path, const std::optional<std::string>& netuid,
                        std::optional<double> since, bool json);

}  // namespace emberscope::records
