// The owner burn rule.
#include "burns/owner_burn.hpp"

#include <cmath>

#include "burns/numeric.hpp"

namespace emberscope::burns {

bool is_reading(BurnValue value, std::string_view text) {
    if (value.kind == BurnKind::absent || value.kind == BurnKind::null) return false;
    const std::optional<double> number = parse_numeric_text(text);
    return !number || std::isfinite(*number);
}

}  // namespace emberscope::burns
