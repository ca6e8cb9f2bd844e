// Host-facing burn state file operations, and the state file read by the host's JSON codec.
#pragma once

#include "burns/state.hpp"
#include "host/calls.hpp"

namespace emberscope::burns {

/// State files decoded by the host's `json`, as they have always been read.
class HostStateDecoder : public StateDecoder {
public:
    BurnMap state_entries(std::string_view file_text) override;
};

host::Object load_burn_state(const host::Args& args);  // (path)
host::Object save_burn_state(const host::Args& args);  // (path, burns, updated_at)

}  // namespace emberscope::burns
