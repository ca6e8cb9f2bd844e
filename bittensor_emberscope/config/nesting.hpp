// A bound on how deep a TOML text nests, found before the text is parsed: the parser keeps one
// table or array per level and frees them by recursion, so a key of a million dots ends the
// process however the parse itself is bounded.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace emberscope::config {

/// Deepest nesting a configuration file may have; the deepest that means something is 4
/// (the routes, a route, its subnets).
inline constexpr std::size_t kMaxNesting = 32;

/// Where a text first nests deeper than allowed: 1-based line and column (in bytes).
struct NestingFault {
    std::size_t line = 0;
    std::size_t column = 0;
};

/// The first place where `text` nests deeper than `max_depth` levels, or nullopt. A level is a
/// table header's part, a dotted key's part, an array or an inline table; strings and comments
/// are skipped. Counts never less than the parser would nest (dotted keys of sibling inline
/// table members add up), in one pass over the text.
std::optional<NestingFault> find_deep_nesting(std::string_view text,
                                              std::size_t max_depth = kMaxNesting);

}  // namespace emberscope::config
