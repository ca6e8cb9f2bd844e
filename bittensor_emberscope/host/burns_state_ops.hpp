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

// Operations and their parameters.
inline constexpr host::Param kLoadParams[] = {host::required("path", host::ParamType::text)};
inline constexpr host::Param kSaveParams[] = {host::required("path", host::ParamType::text), host::required("burns", host::ParamType::map), host::required("updated_at", host::ParamType::text)};

host::Object load_burn_state(const host::Args& args);  // kLoadParams
host::Object save_burn_state(const host::Args& args);  // kSaveParams

}  // namespace emberscope::burns
