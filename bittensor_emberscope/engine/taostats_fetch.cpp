// The cycle's Taostats listing.
#include "engine/taostats_fetch.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/text.hpp"
#include "engine/failures.hpp"
#include "engine/outbox.hpp"
#include "taostats/answer.hpp"
#include "taostats/client.hpp"
#include "taostats/listing_scan.hpp"
#include "taostats/settings.hpp"

namespace emberscope::engine {
namespace {

// The scan takes no number the reader of a declined page would refuse.
static_assert(taostats::kCommandScan.longest_number == kMaxNumberLength);

constexpr std::string_view kService = "taostats: ";

FetchFailure failed(std::string cause) {
    return FetchFailure{FetchFailure::Kind::record, std::string(kService) + std::move(cause)};
}

std::string rate_limited_text(double retry_after) {
    return "rate limited (HTTP 429, retry after " + seconds_text(retry_after) + ")";
}

std::optional<long long> whole_number(const JsonValue* v) {
    if (!v || v->kind != JsonValue::Kind::integer || v->text.size() > 15) return std::nullopt;
    return std::stoll(v->text);
}

// What one request of the listing needs besides its page number.
struct Exchange {
    Services& services;
    Waits& waits;
    std::span<const secrets::Secret> secrets;
    std::optional<double>& not_before;
    HttpRequest request;
    std::string base;  ///< the listing address without a query
    std::string endpoint;
    taostats::PageSlices slices;  ///< where the values of the page last scanned are
};

// One page's answer: scanned in place (its values are in `slices`, views of `body`), or decoded
// whole when the scan declined it.
struct Page {
    std::string body;
    bool scanned = false;
    JsonValue answer;
    std::size_t bytes = 0;  ///< the body's size
};

Exchange exchange_for(Services& services, Waits& waits, const std::string& key,
                      std::span<const secrets::Secret> secrets, std::optional<double>& not_before,
                      std::optional<double> deadline_seconds) {
    namespace ts = taostats;
    Exchange x{services, waits, secrets, not_before, {}, {}, {}, {}};
    // The documented client's request, with the command's own deadline and its judgement of
    // broken answers.
    x.request = ts::get_request(services, ts::kListingPath, {}, key);
    x.base = x.request.url;
    x.endpoint = endpoint_of(services, x.base);
    x.request.deadline_seconds =
        deadline_seconds.value_or(kTaostatsDeadlineFactor * ts::kRequestTimeoutSeconds);
    x.request.protocol_errors_fail = true;
    return x;
}

// The cause of an error status other than a rate limit.
std::string refusal_text(const HttpAnswer& a, std::span<const secrets::Secret> secrets) {
    std::string out = status_text(a.status, a.reason);
    if (a.status == 401 || a.status == 403) return out + " (check TAOSTATS_API_KEY)";
    if (a.body_over_limit) return out + ": " + text::over_limit_text(kTaostatsMaxErrorBody);
    if (std::string quoted = excerpt(a.body, secrets); !quoted.empty()) out += ": " + quoted;
    return out;
}

// Waits out a pause the service asked for, when it fits the budget.
std::optional<FetchFailure> honour_pause(Exchange& x) {
    if (!x.not_before) return std::nullopt;
    const double left = *x.not_before - x.services.epoch_seconds();
    if (left > 0) {
        const Waits::Result waited = x.waits.wait(left);
        if (waited != Waits::Result::done)
            return failed("rate limited (HTTP 429), no request before " +
                          utc_text(std::ceil(*x.not_before)) +
                          (waited == Waits::Result::paused ? ", paused" : ""));
    }
    x.not_before.reset();
    return std::nullopt;
}

// A page's body as the command reads it: a success of the usual shape scanned in place (its
// values left in the exchange's slices), any other body decoded whole when it can be.
class PageReader final : public taostats::AnswerReader {
public:
    explicit PageReader(taostats::PageSlices& slices) : slices_(slices) {}
    void read(const HttpAnswer& answer) override {
        if (answer.body_over_limit || !is_utf8(answer.body)) return;
        if (answer.ok() && taostats::scan_listing_page(answer.body, slices_, taostats::kCommandScan)) {
            scanned = true;
            return;
        }
        auto result = parse_json(answer.body);
        if (auto* v = std::get_if<JsonValue>(&result)) parsed = std::move(*v);
        else parse_error = std::move(std::get<JsonError>(result).message);
    }
    bool says_rate_limited() override { return parsed && parsed->is_object() && is_rate_limited(*parsed); }

    bool scanned = false;
    std::optional<JsonValue> parsed;
    std::string parse_error = "not UTF-8";

private:
    taostats::PageSlices& slices_;
};

// The answer of one page, with its rate limits waited out.
std::variant<Page, FetchFailure> get_page(Exchange& x, long long page) {
    namespace ts = taostats;
    x.request.url = x.base + "?" +
                    ts::query_text({{"limit", std::to_string(kTaostatsPageSize)},
                                    {"order", std::string(ts::kListingOrder)},
                                    {"page", std::to_string(page)}});
    double delay = ts::kRetryPolicy.first_delay;
    for (std::int64_t attempt = 0;; ++attempt) {
        if (auto held = honour_pause(x)) return std::move(*held);
        HttpAnswer answer = x.services.http(x.request);
        PageReader reader(x.slices);
        switch (ts::judge_taostats_answer(answer, reader, ts::kListingPage)) {
            case ts::AnswerKind::transport:
                return FetchFailure{FetchFailure::Kind::transport,
                                    std::string(kService) + transport_text(*answer.failure,
                                                                           x.request.deadline_seconds,
                                                                           x.endpoint, x.secrets)};
            case ts::AnswerKind::rate_limited: {
                const double now = x.services.epoch_seconds();
                const std::optional<double> asked = retry_after_header(answer, now);
                const double wait = asked.value_or(delay);
                x.not_before = now + wait;
                if (attempt + 1 >= ts::kRetryPolicy.attempts || x.waits.wait(wait) != Waits::Result::done)
                    return failed(rate_limited_text(wait));
                x.not_before.reset();
                delay = ts::kRetryPolicy.next_delay(delay);
                continue;
            }
            case ts::AnswerKind::refused:
                return failed(refusal_text(answer, x.secrets));
            case ts::AnswerKind::body:
                break;
        }
        const std::size_t bytes = answer.body.size();
        // The usual answer: a success whose rows were read in place.
        if (reader.scanned) return Page{std::move(answer.body), true, {}, bytes};
        if (answer.body_over_limit)
            return failed("page " + std::to_string(page) + " over " + text::over_limit_text(kTaostatsMaxBody));
        if (!reader.parsed) {
            std::string cause = "answer is not JSON (" + excerpt(reader.parse_error, x.secrets) + ")";
            if (std::string quoted = excerpt(answer.body, x.secrets); !quoted.empty())
                cause += ": " + quoted;
            return failed(cause);
        }
        if (!reader.parsed->is_object())
            return failed("answer is not a JSON object: " + excerpt(answer.body, x.secrets));
        return Page{{}, false, std::move(*reader.parsed), bytes};
    }
}

}  // namespace

bool is_rate_limited(const JsonValue& record) {
    if (const JsonValue* status = record.get("status_code")) {
        if (status->kind == JsonValue::Kind::integer && status->text == "429") return true;
        if (status->kind == JsonValue::Kind::real && status->real == 429.0) return true;
    }
    const JsonValue* message = record.get("message");
    return message && taostats::message_says_rate_limited(host_str(*message));
}

std::variant<Listing, FetchFailure> fetch_listing(Services& services, Waits& waits,
                                                  const std::string& key,
                                                  std::span<const secrets::Secret> secrets,
                                                  std::optional<double>& not_before,
                                                  std::optional<double> deadline_seconds) {
    Exchange x = exchange_for(services, waits, key, secrets, not_before, deadline_seconds);
    ListingReader reader(secrets);
    std::optional<long long> total;
    // What the rules made of the page before, and its number of rows: a page of the same rows
    // is the server repeating itself.
    std::uint64_t previous_digest = 0;
    std::size_t previous_rows = 0;
    std::size_t largest = 0;  // bytes of the largest page
    long long page = 1;
    for (int read = 0;; ++read) {
        if (read == kTaostatsMaxPages)
            return failed("listing not read whole: more than " + std::to_string(kTaostatsMaxPages) +
                          " pages");
        auto got = get_page(x, page);
        if (auto* failure = std::get_if<FetchFailure>(&got)) return std::move(*failure);
        Page& answer = std::get<Page>(got);
        const std::size_t before = reader.rows();
        JsonValue scanned_pagination;
        const JsonValue* pagination = nullptr;
        if (answer.scanned) {
            for (const taostats::RowSlices& row : x.slices.rows) reader.add(row);
            if (!x.slices.pagination.empty()) {
                scanned_pagination = std::get<JsonValue>(parse_json(x.slices.pagination));
                pagination = &scanned_pagination;
            }
        } else {
            const JsonValue* data = nullptr;
            for (const auto& [name, value] : answer.answer.members)
                if (name == "data") data = &value;
            if (!data || !data->is_array())
                return failed("answer without a \"data\" list: " +
                              excerpt(dump_json(answer.answer), secrets));
            for (const JsonValue& row : data->items) reader.add(row);
            pagination = answer.answer.get("pagination");
        }
        largest = std::max(largest, answer.bytes);
        answer.body = std::string();  // the page's bytes are no longer needed
        const std::size_t rows = reader.rows() - before;
        const std::uint64_t digest = reader.take_page_digest();
        if (!pagination || !pagination->is_object()) {
            if (read > 0)
                return failed("listing not read whole: page " + std::to_string(page) +
                              " has no \"pagination\"");
            break;
        }
        const std::string at = "page " + std::to_string(page);
        const std::optional<long long> current = whole_number(pagination->get("current_page"));
        if (current && *current != page)
            return failed("listing not read whole: asked for " + at + ", got page " +
                          std::to_string(*current));
        if (const std::optional<long long> items = whole_number(pagination->get("total_items"))) {
            if (total && *total != *items)
                return failed("listing not read whole: total_items went from " +
                              std::to_string(*total) + " to " + std::to_string(*items) + " at " + at);
            total = items;
        }
        if (read > 0 && rows > 0 && rows == previous_rows && digest == previous_digest)
            return failed("listing not read whole: " + at + " repeats page " +
                          std::to_string(page - 1));
        previous_digest = digest;
        previous_rows = rows;
        const JsonValue* next = pagination->get("next_page");
        if (!next || next->kind == JsonValue::Kind::null) break;
        const std::optional<long long> following = whole_number(next);
        if (!following || *following != page + 1)
            return failed("listing not read whole: " + at + " names " +
                          excerpt(dump_json(*next), secrets) + " as the next page");
        page = *following;
    }
    if (total && static_cast<long long>(reader.rows()) != *total)
        return failed("listing not read whole: " + std::to_string(reader.rows()) + " of " +
                      std::to_string(*total) + " rows (total_items)");
    if (reader.rows() == 0) return failed("no subnet rows in the listing");
    if (largest > kTaostatsReleaseAfter) {
        // The allocator keeps what a listing far larger than usual freed, for good: hand it back.
        x.slices = taostats::PageSlices{};
#if defined(__GLIBC__)
        malloc_trim(0);
#endif
    }
    return reader.finish();
}

}  // namespace emberscope::engine
