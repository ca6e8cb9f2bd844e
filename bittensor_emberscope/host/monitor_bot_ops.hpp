// Host-facing operations of the monitor module for the bot `watch` answers: its rules (commands,
// who is answered, the per-chat cooldown, the offset file) for the command's bot loop.
#pragma once

#include "host/calls.hpp"

namespace emberscope::host {

inline constexpr Param kBotParseParams[] = {required("text", ParamType::text),
                                            required("bot_name", ParamType::text)};
inline constexpr Param kBotAllowedParams[] = {
    keyword("chats", ParamType::list),     keyword("users", ParamType::list),
    keyword("chat_id", ParamType::text),   keyword("chat_username", ParamType::text),
    keyword("user_id", ParamType::text)};
inline constexpr Param kBotUserIdsParams[] = {required("text", ParamType::text)};
inline constexpr Param kBotAdmitParams[] = {required("chat_id", ParamType::text),
                                            required("now", ParamType::real)};
inline constexpr Param kBotLoadOffsetParams[] = {required("path", ParamType::text)};
inline constexpr Param kBotSaveOffsetParams[] = {required("path", ParamType::text),
                                                 required("offset", ParamType::whole)};

inline constexpr Param kBotExchangeParams[] = {
    required("url", ParamType::text),
    keyword("body", ParamType::text),
    keyword("content_type", ParamType::text),
    keyword("timeout", ParamType::real),
    keyword("body_limit", ParamType::whole),
    keyword("token", ParamType::text),
    Param{"cancel_fd", ParamType::whole, true, true, "", -1}};

/// () -> [(name, arguments, description)] of every command, in menu order.
Object monitor_bot_commands(const Args& args);
/// (text, bot_name) -> {"kind": "ignored"|"command"|"usage", "name", "netuid",
/// "period_seconds", "usage"}.
Object monitor_bot_parse(const Args& args);
/// (chats=[...], users=[...], chat_id, chat_username, user_id) -> bool.
Object monitor_bot_allowed(const Args& args);
/// ("123, 456") -> ["123", "456"]; ValueError naming an item that is not a whole number.
Object monitor_bot_user_ids(const Args& args);
/// (chat_id, now) -> bool: the process's per-chat cooldown admits a command now.
Object monitor_bot_admit(const Args& args);
/// (path) -> the stored offset, 0 without a file (a damaged one says so on a console line).
Object monitor_bot_load_offset(const Args& args);
/// (path, offset) -> None, the file replaced atomically.
Object monitor_bot_save_offset(const Args& args);
/// One POST of the bot to the Bot API (kBotExchangeParams), judged as the engine judges every
/// Telegram answer (engine::judge_answer) -> {"kind": "delivered"|"flood"|"migrated"|
/// "transient"|"refused", "status": the HTTP status (0 without an answer), "error": "telegram: "
/// and the cause on one line ("" when delivered), "retry_after": seconds (flood) or None,
/// "new_chat_id" (migrated) or None, "result": the delivered answer's "result" as JSON text, or
/// None}. `token` is masked in every text, however spelled. `body` holds one byte a character
/// (U+0000..U+00FF), `timeout` bounds the whole exchange, `body_limit` the answer read. Each
/// calling thread has a libcurl handle of its own, apart from the cycle's, so a long poll never
/// holds back an answer or a cycle; the interpreter's lock is released while it runs, and it
/// sleeps until the answer, its time-out or `cancel_fd`, which ends it at once when readable
/// (a transient verdict, like any transport failure).
Object monitor_bot_exchange(const Args& args);

}  // namespace emberscope::host
