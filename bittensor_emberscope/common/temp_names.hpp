// Names of the temporary files a state save writes beside the state file.
//
// ".<base>.<pid>.<16 hex digits>.tmp": hidden, unique, and naming the process that wrote it, so
// a later save can tell a file left by a killed process from one that is being written now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace emberscope::temp_names {

/// Base names longer than this are left out of the name, which would otherwise pass the file
/// system's limit on name length where the state file's own name does not.
inline constexpr std::size_t kMaxBase = 200;

/// The temporary name for `base`, written by process `pid`, made unique by `token` (hex).
std::string make(std::string_view base, std::int64_t pid, std::string_view token);

/// The process that wrote `name`, when `name` is a temporary name made for `base`.
std::optional<std::int64_t> writer(std::string_view name, std::string_view base);

}  // namespace emberscope::temp_names
