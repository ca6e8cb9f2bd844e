// Where the bot's reading of its updates stands: the next update id to ask for, kept in a file
// beside the state so that a restart neither answers an update twice nor skips one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/services.hpp"

namespace emberscope::bot {

/// The file's content for `offset`: `{"offset": 123}` and a newline.
std::string render_offset(std::int64_t offset);

/// The offset in a file's content; nullopt when the content is not such an object with a
/// non-negative whole number.
std::optional<std::int64_t> parse_offset(std::string_view content);

/// The offset that confirms update `update_id` and everything before it, never behind `current`.
std::int64_t offset_after(std::int64_t current, std::int64_t update_id);

/// The stored offset; 0 (ask for everything Telegram still holds) when there is no file yet.
/// An unreadable file also gives 0, with one console line naming it.
std::int64_t load_offset(Services& services, std::string_view path);

/// Replaces the file (old or new content in full at every moment).
void save_offset(Services& services, std::string_view path, std::int64_t offset);

}  // namespace emberscope::bot
