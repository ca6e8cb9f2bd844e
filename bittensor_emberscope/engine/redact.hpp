// Console hygiene of the engine: secrets masked, every line one line.
//
// Kept in one small file so that the package-wide masking and line escaping can take its place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace emberscope::engine {

/// What stands in for a secret in console lines and reports.
inline constexpr std::string_view kSecretMask = "<secret>";

/// Secrets shorter than this are not masked: they would blot out ordinary words, and no real
/// token or key is that short.
inline constexpr std::size_t kMinSecretLength = 4;

/// `text` with every occurrence of each secret of kMinSecretLength or more replaced by
/// kSecretMask.
std::string mask_secrets(std::string_view text, const std::vector<std::string>& secrets);

/// `text` with carriage returns and line feeds written as the two characters "\r" and "\n",
/// so that it stays on one console line.
std::string one_line(std::string_view text);

}  // namespace emberscope::engine
