// Where a route's messages go. A kind of destination is a sender: it turns a message into the
// texts the outbox keeps (each posted as it is), builds the request that posts one of them, and
// judges the answer into one outcome. Delivery (pacing, holds, retries) is the same for all.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "burns/burn_map.hpp"
#include "common/services.hpp"
#include "engine/telegram.hpp"
#include "routes/route.hpp"

namespace emberscope::engine {

/// How one answer of a destination ends.
struct Outcome {
    enum class Kind {
        delivered,  ///< taken
        held,       ///< asked for a pause: repeat after `retry_after` seconds
        migrated,   ///< the chat lives on as `new_chat_id` (Telegram)
        transient,  ///< 5xx, transport failure, an answer that cannot be read: repeated
        refused,    ///< declined: not repeated within the cycle
        gone,       ///< the destination no longer exists or its address is wrong: not called
                    ///< again until the address changes or the configuration is read again
    };
    Kind kind = Kind::refused;
    std::string error;        ///< "<service>: " and the cause, one line, secrets masked
    double retry_after = 0;
    /// A pause the destination shares with others (Discord's shared scope): not this route's
    /// doing, so it does not count against the route's flood waits.
    bool shared = false;
    std::string new_chat_id;

    static Outcome of(Kind kind, std::string error) {
        Outcome o;
        o.kind = kind;
        o.error = std::move(error);
        return o;
    }
};

/// What every kind but Telegram makes of an answer before reading it: a transport failure is
/// transient ("<service>" and its cause), a 2xx delivered (the message was taken, even when the
/// answer cannot be read); nullopt for any other status.
std::optional<Outcome> settled_before_reading(const HttpAnswer& answer, const AnswerContext& context,
                                              std::string_view service);

/// What a message is, beyond its text, for destinations that carry more than text.
struct Message {
    /// "alert", "startup", "digest", "stale", "recovered" or "test".
    std::string event;
    std::string time_utc;  ///< "%Y-%m-%dT%H:%M:%SZ" of the cycle that made it
    std::string text;      ///< the whole text as Telegram shows it, title first
    std::vector<burns::BurnChange> changes;
    std::string route;     ///< the route's name (its chat id or destination name)
};

/// The address and keys of one route's destination, read at the start of a cycle.
struct Address {
    std::string url;          ///< Discord's or the webhook's URL; "" for Telegram
    std::string signing_key;  ///< a webhook's key; "" for none
    std::string problem;      ///< why the address could not be read; "" when it was
};

/// What stands in for a Discord or webhook address, and a webhook's key, in every text.
inline constexpr std::string_view kDiscordUrlMask = "<discord-webhook>";
inline constexpr std::string_view kWebhookUrlMask = "<webhook-url>";
inline constexpr std::string_view kSigningKeyMask = "<webhook-secret>";

class Sender {
public:
    virtual ~Sender() = default;
    /// "telegram", "discord" or "webhook": what begins the sender's error texts.
    virtual std::string_view service() const = 0;
    /// The request that posts one queued text to `chat` (the Telegram chat after migrations;
    /// other kinds ignore it).
    virtual HttpRequest request(std::string_view queued, const std::string& chat) const = 0;
    virtual Outcome judge(const HttpAnswer& answer, const AnswerContext& context) const = 0;
};

/// The texts queued for `message` to `route`'s kind of destination, posted one by one in this
/// order: Telegram's and Discord's parts of the text, a webhook's one body.
std::vector<std::string> queued_texts(const routes::Route& route, const Message& message);

/// Destinations found gone, by route name, with the address they were gone at: no request goes
/// to one until its address changes. The caller keeps them across cycles and forgets them when
/// it reads the configuration again.
class GoneDestinations {
public:
    bool is_gone(const std::string& name, const std::string& url) const {
        for (const auto& [n, u] : gone_)
            if (n == name) return u == url;
        return false;
    }
    void mark(const std::string& name, const std::string& url) {
        forget(name);
        gone_.emplace_back(name, url);
    }
    void forget(const std::string& name) {
        std::erase_if(gone_, [&](const auto& g) { return g.first == name; });
    }
    void clear() { gone_.clear(); }

private:
    std::vector<std::pair<std::string, std::string>> gone_;
};

/// The sender of `route`'s kind. `token` is the bot token (Telegram), `address` what was read
/// for other kinds.
std::unique_ptr<Sender> make_sender(Services& services, const routes::Route& route,
                                    const std::string& token, const Address& address);

/// Reads the address of `route` (nothing for Telegram) through `services`: the file's text or
/// the variable's, white space trimmed; it must be an http:// or https:// URL.
Address read_address(Services& services, const routes::Route& route);

/// The masks of an address's secrets, for the console and every report.
std::vector<secrets::Secret> address_secrets(const routes::Route& route, const Address& address);

/// The texts of a message as Telegram gets them: split at kMessageTextLimit on line boundaries,
/// each part numbered when there are several, each fitted to Telegram's limit.
std::vector<std::string> telegram_texts(std::string_view text);

/// The outcome of a Bot API verdict.
Outcome outcome_of(Verdict verdict);

}  // namespace emberscope::engine
