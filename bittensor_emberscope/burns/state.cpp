// The burn state file over the services.
#include "burns/state.hpp"

#include <optional>
#include <string>

#include "burns/state_text.hpp"

namespace emberscope::burns {

std::optional<std::string> read_state_text(Services& services, std::string_view path) {
    if (!services.is_file(path)) return std::nullopt;
    return services.read_file(path);
}

BurnMap load_burn_state(Services& services, StateDecoder& decoder, std::string_view path) {
    const std::optional<std::string> text = read_state_text(services, path);
    if (!text) return {};
    return decoder.state_entries(*text);
}

void save_burn_state(Services& services, std::string_view path, const BurnMap& burns,
                     std::string_view updated_at) {
    services.replace_file(path, render_state_file(burns, updated_at));
}

}  // namespace emberscope::burns
