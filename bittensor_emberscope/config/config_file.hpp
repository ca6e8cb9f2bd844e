// The command's configuration file: routes to several chats with their rules, and the
// stale-data alert. TOML; every key is checked, and what cannot be used is refused naming the
// file, the line and the key. Secrets never live here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/files.hpp"
#include "routes/route.hpp"

namespace emberscope::config {

/// Netuids a route may name: any that Taostats may list.
inline constexpr std::int64_t kNetuidMax = 65535;
/// Largest configuration file read.
inline constexpr std::size_t kMaxConfigBytes = std::size_t{1} << 20;

struct Stale {
    double after_minutes = 0;
};

struct Config {
    /// The file the routes came from; nullopt for the one route of TELEGRAM_CHAT_ID.
    std::optional<std::string> path;
    /// The file's threshold, else the command's: that of routes without their own.
    double threshold = 0;
    /// At least one; no two to one chat and topic.
    std::vector<routes::Route> routes;
    std::optional<Stale> stale;
};

/// A configuration, or the one line that says why there is none ("<path>:<line>: <key>: ...").
struct ConfigResult {
    std::optional<Config> config;
    std::string error;
};

/// The configuration without a file: one route to `chat_id`, for every subnet, with `threshold`.
Config single_route(std::string_view chat_id, double threshold);

/// The configuration in `text`, the content of `path`. Routes without a threshold take the
/// file's `threshold`, else `default_threshold`; a file without routes routes to
/// `fallback_chat_id` (TELEGRAM_CHAT_ID), and is refused without one. A text nested deeper than
/// kMaxNesting is refused before it is parsed.
ConfigResult parse_config(std::string_view text, std::string_view path, double default_threshold,
                          const std::optional<std::string>& fallback_chat_id);

/// The configuration in the file at `path`, read through `files` (a regular file of at most
/// kMaxConfigBytes of UTF-8), as parse_config reads it; the error names the file when it cannot
/// be read.
ConfigResult load_config(Files& files, std::string_view path, double default_threshold,
                         const std::optional<std::string>& fallback_chat_id);

}  // namespace emberscope::config
