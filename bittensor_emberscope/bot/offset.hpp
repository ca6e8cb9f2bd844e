// Where the bot's reading of its updates stands: the next update id to ask for, kept in a file
// beside the state so that a restart neither answers an update twice nor skips one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// Where the reading stands when a command was answered out of order (its chat's answers went
/// on while another chat waited out flood control): the next update id to ask for, and the ids
/// past it already answered, which a restart skips.
struct OffsetRecord {
    std::int64_t offset = 0;
    std::vector<std::int64_t> answered;  ///< ascending, each > offset
    bool operator==(const OffsetRecord&) const = default;
};

/// render_offset's content when nothing past the offset is answered (the common case, byte for
/// byte), else `{"offset": 12, "answered": [14, 15]}` and a newline.
std::string render_offset_record(const OffsetRecord& record);

/// Either form of the file; nullopt for anything else (ids of "answered" must be whole numbers
/// past the offset, at most kMaxAnswered of them).
std::optional<OffsetRecord> parse_offset_record(std::string_view content);
inline constexpr std::size_t kMaxAnswered = 1000;

/// load_offset for either form (the same line for a file it cannot read).
OffsetRecord load_offset_record(Services& services, std::string_view path);

/// Replaces the file with the record.
void save_offset_record(Services& services, std::string_view path, const OffsetRecord& record);

}  // namespace emberscope::bot
