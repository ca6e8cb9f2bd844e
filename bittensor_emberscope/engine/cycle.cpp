// The engine's watch cycle and start-up list.
#include "engine/cycle.hpp"

#include <variant>

#include "burns/changes.hpp"
#include "burns/numeric.hpp"
#include "burns/state_text.hpp"
#include "driver/console.hpp"
#include "engine/console_out.hpp"
#include "engine/delivery.hpp"
#include "engine/listing.hpp"
#include "engine/outbox.hpp"
#include "engine/state.hpp"
#include "engine/taostats_fetch.hpp"
#include "engine/telegram.hpp"
#include "reports/chunking.hpp"
#include "reports/telegram_text.hpp"
#include "reports/texts.hpp"
#include "taostats/settings.hpp"

namespace emberscope::engine {
namespace {

// Decimals of the display form in messages: the documented module's OWNER_BURN_DECIMALS default
// (the engine has no module constant a host could change).
constexpr int kDisplayDecimals = 4;

std::string display(const std::string& burn) {
    std::optional<double> number = burns::parse_numeric_text(burn);
    return number ? burns::fixed_form(*number, kDisplayDecimals) : burn;
}

enum class Kind { watch, snapshot };

// One run of either operation: the shared steps and the outbox kept in step with its file.
class Run {
public:
    Run(Services& s, const CycleSettings& c, Kind kind)
        : s_(s), c_(c), kind_(kind),
          key_(taostats::strip_white_space(s.environment("TAOSTATS_API_KEY").value_or(""))),
          console_(s, {{c.token, secrets::kTokenMask}, {key_, secrets::kTaostatsKeyMask}}),
          waits_(s, c.pause_path,
                 c.wait_budget_seconds ? *c.wait_budget_seconds
                                       : kDefaultBudgetShare * c.interval_seconds),
          box_path_(outbox_path(c.state_path)) {}

    CycleReport go() {
        report_.updated_at_utc = s_.utc_now(driver::kStampPattern);
        report_.chat_id = c_.chat_id;
        if (key_.empty()) {
            console_.write(driver::kNoApiKeyLine);
            return finish("no_api_key", "TAOSTATS_API_KEY is not set");
        }
        try {
            steps();
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            save_outbox_quietly();
            if (!s_.is_ordinary_error(error)) throw;
            const std::string message = console_.masked(s_.error_message(error));
            console_.write(driver::detail_line("[burn] error: ", message));
            return finish("error", message);
        }
        return report_;
    }

private:
    const char* fetch_prefix() const {
        return kind_ == Kind::watch ? "[burn] fetch failed: " : "[burn] startup fetch failed: ";
    }
    const char* telegram_prefix() const {
        return kind_ == Kind::watch ? "[burn] telegram failed: " : "[burn] startup telegram failed: ";
    }

    void steps() {
        load_outbox();
        delivery_.emplace(s_, waits_, console_, outbox_, c_.token, c_.chat_id, telegram_prefix(),
                          c_.exchange_deadline_seconds);
        double oldest = 0;
        const std::size_t dropped =
            outbox_.drop_older_than(s_.epoch_seconds(), c_.outbox_max_age_seconds, oldest);
        if (dropped) {
            console_.write(outbox_dropped_line(dropped, c_.outbox_max_age_seconds, utc_text(oldest)));
            box_changed_ = true;
        }
        // Earlier messages first, in their order.
        if (!outbox_.messages.empty()) delivery_->run();

        auto fetched = fetch_listing(s_, waits_, key_, c_.exchange_deadline_seconds);
        if (auto* failure = std::get_if<FetchFailure>(&fetched)) {
            const std::string detail = console_.masked(failure->detail);
            console_.write(driver::detail_line(
                failure->kind == FetchFailure::Kind::transport ? "[burn] error: " : fetch_prefix(),
                detail));
            conclude("fetch_failed", detail);
            return;
        }
        const Listing listing = read_listing(std::get<JsonValue>(fetched));
        report_.invalid_rows = listing.invalid;
        if (listing.invalid) console_.write(invalid_rows_line(listing));
        if (listing.rows.empty()) {
            JsonValue record = JsonValue::make_object();
            record.set("error", JsonValue::make_text("no_valid_netuid"));
            record.set("rows", JsonValue::make_integer(static_cast<long long>(listing.invalid)));
            const std::string detail = dump_json(record);
            console_.write(driver::detail_line(fetch_prefix(), detail));
            conclude("fetch_failed", detail);
            return;
        }
        report_.subnets = listing.rows.size();
        burns::BurnMap current;
        current.reserve(listing.rows.size());
        for (const auto& row : listing.rows) current.emplace_back(row.netuid, row.burn);

        if (kind_ == Kind::watch) {
            const burns::BurnMap prev = load_state();
            if (!prev.empty()) {
                std::vector<burns::DecimalInteger> numbers;
                numbers.reserve(listing.rows.size());
                for (const auto& row : listing.rows) numbers.push_back(row.number);
                report_.changes = burns::list_changes(prev, current, numbers, c_.threshold);
            }
            if (!report_.changes.empty()) {
                std::vector<reports::AlertLine> lines;
                for (const auto& change : report_.changes)
                    lines.push_back({change.netuid, display(change.old_burn), display(change.new_burn)});
                queue(kAlertKind, report_.changes.size(),
                      reports::render_alert(lines, report_.updated_at_utc));
            }
        } else {
            std::vector<reports::SnapshotLine> lines;
            std::vector<burns::DecimalInteger> numbers;
            for (const auto& row : listing.rows) numbers.push_back(row.number);
            for (std::size_t i : burns::netuid_order(numbers))
                lines.push_back({listing.rows[i].netuid, display(listing.rows[i].burn)});
            queue(kSnapshotKind, listing.rows.size(),
                  reports::render_snapshot(listing.rows.size(), lines, report_.updated_at_utc));
        }
        // The new messages are on disk before the values that made them: a crash in between
        // repeats an alert rather than losing it.
        save_outbox();
        s_.replace_file(c_.state_path, burns::render_state_file(current, report_.updated_at_utc));
        if (!delivery_->stopped()) delivery_->run();
        conclude("ok", "");
    }

    void queue(std::string_view kind, std::size_t count, const std::string& text) {
        const std::vector<std::string> parts = reports::chunk_text(text, reports::kMessageTextLimit);
        const double now = s_.epoch_seconds();
        for (std::size_t i = 1; i <= parts.size(); ++i) {
            outbox_.messages.push_back(
                {std::string(kind), count, report_.updated_at_utc, now, i, parts.size(),
                 fit_message(reports::numbered_part(parts[i - 1], i, parts.size()))});
        }
        box_changed_ = true;
    }

    // The file's content, nullopt when there is none to read, or the reason it cannot be read
    // as text (the host's reader refuses content that is not UTF-8 with an ordinary error).
    std::variant<std::optional<std::string>, std::string> read_text(const std::string& path) {
        if (!s_.is_file(path)) return std::optional<std::string>{};
        try {
            return s_.read_file(path);
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            if (!s_.is_ordinary_error(error)) throw;
            return s_.error_message(error);
        }
    }

    // The previous values, or none when the file is missing or unusable (then moved aside).
    burns::BurnMap load_state() {
        auto content = read_text(c_.state_path);
        std::variant<burns::BurnMap, std::string> state;
        if (auto* text = std::get_if<std::optional<std::string>>(&content)) {
            if (!*text) return {};
            state = read_state(**text);
        } else {
            state = std::get<std::string>(content);
        }
        if (auto* map = std::get_if<burns::BurnMap>(&state)) return std::move(*map);
        const std::string moved = corrupt_path(c_.state_path, s_.utc_now(kCorruptStampPattern));
        s_.rename_file(c_.state_path, moved);
        console_.write(unreadable_file_line("state file", c_.state_path, std::get<std::string>(state),
                                            moved, "recording a fresh baseline"));
        return {};
    }

    void load_outbox() {
        auto content = read_text(box_path_);
        std::variant<Outbox, std::string> box;
        if (auto* text = std::get_if<std::optional<std::string>>(&content)) {
            if (!*text) return;
            box = read_outbox(**text);
        } else {
            box = std::get<std::string>(content);
        }
        if (auto* ok = std::get_if<Outbox>(&box)) {
            outbox_ = std::move(*ok);
            return;
        }
        const std::string moved = corrupt_path(box_path_, s_.utc_now(kCorruptStampPattern));
        s_.rename_file(box_path_, moved);
        console_.write(unreadable_file_line("outbox file", box_path_, std::get<std::string>(box),
                                            moved, "starting an empty one"));
    }

    void save_outbox() {
        if (delivery_ && delivery_->take_changed()) box_changed_ = true;
        if (!box_changed_) return;
        box_saving_ = true;
        if (outbox_.empty())
            s_.remove_file(box_path_);
        else
            s_.replace_file(box_path_, render_outbox(outbox_));
        box_saving_ = false;
        box_changed_ = false;
    }

    void save_outbox_quietly() noexcept {
        // A save that was itself cut short (a signal while writing, a full disk) is not tried
        // again on the way out: the file holds its old or its new content.
        if (box_saving_) return;
        try {
            save_outbox();
        } catch (...) {
            // The error being handled matters more than this one.
        }
    }

    // Outcome of a run that got as far as the listing; the outbox saved and reported.
    void conclude(const char* outcome, const std::string& detail) {
        save_outbox();
        std::string out = outcome;
        std::string why = detail;
        if (out == "ok" && !outbox_.messages.empty()) {
            out = "telegram_failed";
            why = delivery_->paused() ? "paused with messages waiting" : delivery_->error();
        }
        finish(out, why);
    }

    CycleReport finish(const std::string& outcome, const std::string& detail) {
        report_.outcome = outcome;
        report_.detail = console_.masked(detail);
        if (detail.find_first_of("\r\n") != std::string::npos) {
            std::string flat;
            for (char ch : report_.detail) flat += (ch == '\n' || ch == '\r') ? ' ' : ch;
            report_.detail = flat;
        }
        report_.outbox_size = outbox_.messages.size();
        if (delivery_) {
            report_.delivered = delivery_->delivered();
            report_.chat_id = delivery_->chat();
            if (delivery_->stopped() && !delivery_->paused())
                report_.telegram_failure = delivery_->refused() ? "refused" : "failed";
        }
        if (!outbox_.messages.empty()) {
            double oldest = outbox_.messages.front().queued_at;
            for (const auto& m : outbox_.messages) oldest = std::min(oldest, m.queued_at);
            report_.outbox_oldest_utc = utc_text(oldest);
            if (outcome != "no_api_key")
                console_.write(outbox_waiting_line(outbox_.messages.size(), *report_.outbox_oldest_utc));
        }
        return report_;
    }

    Services& s_;
    const CycleSettings& c_;
    Kind kind_;
    std::string key_;
    Console console_;
    Waits waits_;
    std::string box_path_;
    Outbox outbox_;
    bool box_changed_ = false;
    bool box_saving_ = false;
    std::optional<Delivery> delivery_;
    CycleReport report_;
};

}  // namespace

CycleReport run_cycle(Services& services, const CycleSettings& settings) {
    return Run(services, settings, Kind::watch).go();
}

CycleReport run_snapshot(Services& services, const CycleSettings& settings) {
    return Run(services, settings, Kind::snapshot).go();
}

}  // namespace emberscope::engine
