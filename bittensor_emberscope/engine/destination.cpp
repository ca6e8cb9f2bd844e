// The destination seam, and Telegram as one kind of destination.
#include "engine/destination.hpp"

#include "engine/discord.hpp"
#include "engine/failures.hpp"
#include "engine/webhook.hpp"
#include "reports/chunking.hpp"
#include "reports/delivery.hpp"
#include "reports/telegram_text.hpp"

namespace emberscope::engine {
namespace {

std::string trimmed(std::string_view text) {
    constexpr std::string_view kWhite = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kWhite);
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(kWhite) - first + 1));
}

class TelegramSender : public Sender {
public:
    TelegramSender(Services& services, const routes::Route& route, std::string token)
        : services_(services), silent_(route.silent), thread_id_(route.thread_id),
          token_(std::move(token)) {}

    std::string_view service() const override { return "telegram"; }

    HttpRequest request(std::string_view queued, const std::string& chat) const override {
        HttpRequest request = reports::send_message_request(services_, token_);
        request.body = send_message_body(chat, queued, silent_, thread_id_);
        return request;
    }

    Outcome judge(const HttpAnswer& answer, const AnswerContext& context) const override {
        return outcome_of(judge_answer(answer, context));
    }

private:
    Services& services_;
    bool silent_;
    std::optional<std::int64_t> thread_id_;
    std::string token_;
};

}  // namespace

std::vector<std::string> telegram_texts(std::string_view text) {
    const std::vector<std::string> parts = reports::chunk_text(text, reports::kMessageTextLimit);
    std::vector<std::string> out;
    out.reserve(parts.size());
    for (std::size_t i = 1; i <= parts.size(); ++i)
        out.push_back(fit_message(reports::numbered_part(parts[i - 1], i, parts.size())));
    return out;
}

std::vector<std::string> queued_texts(const routes::Route& route, const Message& message) {
    switch (route.kind) {
        case routes::DestinationKind::discord: return discord_texts(message.text);
        case routes::DestinationKind::webhook: return {webhook_body(message)};
        case routes::DestinationKind::telegram: break;
    }
    return telegram_texts(message.text);
}

Outcome outcome_of(Verdict verdict) {
    Outcome out;
    out.error = std::move(verdict.error);
    out.retry_after = verdict.retry_after;
    out.new_chat_id = std::move(verdict.new_chat_id);
    switch (verdict.kind) {
        case Verdict::Kind::delivered: out.kind = Outcome::Kind::delivered; break;
        case Verdict::Kind::flood: out.kind = Outcome::Kind::held; break;
        case Verdict::Kind::migrated: out.kind = Outcome::Kind::migrated; break;
        case Verdict::Kind::transient: out.kind = Outcome::Kind::transient; break;
        case Verdict::Kind::refused: out.kind = Outcome::Kind::refused; break;
    }
    return out;
}

std::unique_ptr<Sender> make_sender(Services& services, const routes::Route& route,
                                    const std::string& token, const Address& address) {
    switch (route.kind) {
        case routes::DestinationKind::discord:
            return std::make_unique<DiscordSender>(address.url, route.silent, route.thread_id);
        case routes::DestinationKind::webhook:
            return std::make_unique<WebhookSender>(address.url, address.signing_key);
        case routes::DestinationKind::telegram: break;
    }
    return std::make_unique<TelegramSender>(services, route, token);
}

Address read_address(Services& services, const routes::Route& route) {
    Address out;
    if (route.kind == routes::DestinationKind::telegram) return out;
    const std::string where = route.address_file.empty() ? "the variable " + route.address_env
                                                         : "the file " + route.address_file;
    if (!route.address_file.empty()) {
        const FileText file = services.read_text_file(route.address_file);
        if (file.kind == FileText::Kind::text) out.url = trimmed(file.text);
        else if (file.kind == FileText::Kind::missing) out.problem = where + " does not exist";
        else out.problem = "cannot read " + where + ": " + file.text;
    } else {
        out.url = trimmed(services.environment(route.address_env).value_or(""));
    }
    if (out.problem.empty() && out.url.empty()) out.problem = where + " holds no address";
    if (out.problem.empty() && !out.url.starts_with("https://") && !out.url.starts_with("http://")) {
        out.problem = where + " does not hold an http:// or https:// address";
        out.url.clear();
    }
    if (!route.signing_file.empty()) {
        const FileText key = services.read_text_file(route.signing_file);
        if (key.kind == FileText::Kind::text) out.signing_key = trimmed(key.text);
        if (out.signing_key.empty() && out.problem.empty())
            out.problem = "the file " + route.signing_file + " holds no signing key";
    }
    return out;
}

std::vector<secrets::Secret> address_secrets(const routes::Route& route, const Address& address) {
    std::vector<secrets::Secret> out;
    if (!address.url.empty())
        out.push_back({address.url, route.kind == routes::DestinationKind::discord ? kDiscordUrlMask
                                                                                   : kWebhookUrlMask});
    // Discord's token is the address's last part: masked on its own too, wherever it is quoted.
    if (route.kind == routes::DestinationKind::discord) {
        std::string_view url = address.url;
        if (const std::size_t query = url.find('?'); query != std::string_view::npos)
            url = url.substr(0, query);
        if (const std::size_t slash = url.rfind('/'); slash != std::string_view::npos)
            out.push_back({std::string(url.substr(slash + 1)), kDiscordUrlMask});
    }
    if (!address.signing_key.empty()) out.push_back({address.signing_key, kSigningKeyMask});
    return out;
}

std::optional<Outcome> settled_before_reading(const HttpAnswer& a, const AnswerContext& c,
                                              std::string_view service) {
    if (a.failure)
        return Outcome::of(Outcome::Kind::transient,
                           std::string(service) + transport_text(*a.failure, c.deadline_seconds,
                                                                 c.endpoint, c.secrets));
    if (a.status >= 200 && a.status < 300) return Outcome::of(Outcome::Kind::delivered, "");
    return std::nullopt;
}

}  // namespace emberscope::engine
