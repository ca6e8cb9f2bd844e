// The engine's watch cycle and start-up list.
#include "engine/cycle.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "burns/changes.hpp"
#include "burns/numeric.hpp"
#include "burns/state_text.hpp"
#include "driver/console.hpp"
#include "engine/console_out.hpp"
#include "engine/delivery.hpp"
#include "engine/destination.hpp"
#include "engine/listing.hpp"
#include "engine/outbox.hpp"
#include "engine/stale.hpp"
#include "engine/state.hpp"
#include "engine/taostats_fetch.hpp"
#include "engine/telegram.hpp"
#include "reports/chunking.hpp"
#include "reports/telegram_text.hpp"
#include "reports/texts.hpp"
#include "routes/digest.hpp"
#include "routes/selection.hpp"
#include "taostats/settings.hpp"

namespace emberscope::engine {
namespace {

// Decimals of the display form in messages: the documented module's OWNER_BURN_DECIMALS default
// (the engine has no module constant a host could change).
constexpr int kDisplayDecimals = 4;

// Most decimals tried before a change whose display forms stay equal is shown in its shortest
// form instead.
constexpr int kMostDecimals = 17;

std::string display(const std::string& burn) {
    std::optional<double> number = burns::parse_numeric_text(burn);
    return number ? burns::fixed_form(*number, kDisplayDecimals) : burn;
}

// The two sides of a change as its alert line shows them: with four decimals, or with the fewest
// more at which they differ, so that a move under a low threshold never reads "0.1800 → 0.1800".
std::pair<std::string, std::string> display_change(const std::string& old_burn,
                                                   const std::string& new_burn) {
    std::pair<std::string, std::string> shown{display(old_burn), display(new_burn)};
    if (shown.first != shown.second) return shown;
    const std::optional<double> a = burns::parse_numeric_text(old_burn);
    const std::optional<double> b = burns::parse_numeric_text(new_burn);
    if (!a || !b || *a == *b) return shown;
    for (int decimals = kDisplayDecimals + 1; decimals <= kMostDecimals; ++decimals) {
        shown = {burns::fixed_form(*a, decimals), burns::fixed_form(*b, decimals)};
        if (shown.first != shown.second) return shown;
    }
    return {burns::shortest_form(*a), burns::shortest_form(*b)};
}

bool is_muted(const std::vector<std::string>& muted, const std::string& netuid) {
    for (const std::string& m : muted)
        if (m == netuid || m == "all") return true;
    return false;
}

// The routes a cycle sends to: the settings' own, else one to the chat with the threshold.
std::vector<routes::Route> routes_of(const CycleSettings& c) {
    if (!c.routes.empty()) return c.routes;
    routes::Route only;
    only.chat_id = c.chat_id;
    only.threshold = c.threshold;
    return {only};
}

// The threshold changes are found with: the smallest of the routes', so that every route can
// pick its own from them.
double detection_threshold(const std::vector<routes::Route>& routes) {
    double least = routes.front().threshold;
    for (const auto& r : routes) least = std::min(least, r.threshold);
    return least;
}

enum class Kind { watch, snapshot };

// The addresses of the routes' destinations, read once a cycle so that a changed file is seen.
std::vector<Address> read_addresses(Services& s, const std::vector<routes::Route>& routes) {
    std::vector<Address> out;
    out.reserve(routes.size());
    for (const routes::Route& route : routes) out.push_back(read_address(s, route));
    return out;
}

// Every secret a line or report of the cycle may meet.
std::vector<secrets::Secret> cycle_secrets(const CycleSettings& c, const std::string& key,
                                           const std::vector<routes::Route>& routes,
                                           const std::vector<Address>& addresses) {
    std::vector<secrets::Secret> out = {{c.token, secrets::kTokenMask}, {key, secrets::kTaostatsKeyMask}};
    for (std::size_t i = 0; i < routes.size(); ++i)
        for (secrets::Secret& one : address_secrets(routes[i], addresses[i])) out.push_back(std::move(one));
    return out;
}

// One run of either operation: the shared steps and the outbox kept in step with its file.
class Run {
public:
    Run(Services& s, const CycleSettings& c, Kind kind)
        : s_(s), c_(c), kind_(kind),
          key_(taostats::strip_white_space(s.environment("TAOSTATS_API_KEY").value_or(""))),
          routes_(routes_of(c)), addresses_(read_addresses(s, routes_)),
          console_(s, cycle_secrets(c, key_, routes_, addresses_)),
          waits_(s, c.pause_path,
                 c.wait_budget_seconds ? *c.wait_budget_seconds
                                       : kDefaultBudgetShare * c.interval_seconds),
          box_path_(outbox_path(c.state_path)) {}

    CycleReport go() {
        report_.updated_at_utc = s_.utc_now(driver::kStampPattern);
        report_.chat_id = c_.chat_id;
        if (key_.empty()) {
            console_.write(driver::kNoApiKeyLine);
            return finish(kOutcomeNoApiKey, "TAOSTATS_API_KEY is not set");
        }
        try {
            steps();
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            save_outbox_quietly();
            if (!s_.is_ordinary_error(error)) throw;
            const std::string message = console_.masked(s_.error_message(error));
            console_.write(driver::detail_line("[burn] error: ", message));
            return finish(kOutcomeError, message);
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
        // A file that exists but cannot be read ends the cycle before anything is sent or
        // written: taken for a missing one, it would lose the queue or the values.
        std::optional<FileText> box_file = read_or_refuse(box_path_, "outbox file");
        if (!box_file) return;
        std::optional<FileText> state_file;
        if (kind_ == Kind::watch) {
            state_file = read_or_refuse(c_.state_path, "state file");
            if (!state_file) return;
        }
        load_outbox(*box_file);
        now_ = s_.epoch_seconds();
        assign_routes();
        prune_flap_states();
        release_digests();
        share_holds();
        deliveries_.reserve(routes_.size());
        for (std::size_t i = 0; i < routes_.size(); ++i)
            deliveries_.emplace_back(s_, waits_, console_, outbox_, c_.token, routes_[i],
                                     telegram_prefix(), c_.exchange_deadline_seconds, c_.chat_holds,
                                     addresses_[i], c_.gone);
        double oldest = 0;
        const std::size_t dropped =
            outbox_.drop_older_than(queue_clock(), c_.outbox_max_age_seconds, oldest);
        if (dropped) {
            console_.write(outbox_dropped_line(dropped, c_.outbox_max_age_seconds, utc_text(oldest)));
            box_changed_ = true;
        }
        // Pauses a service asked for that are over by now are forgotten.
        outbox_.forget_passed_holds(s_.epoch_seconds());
        // Earlier messages first, in their order; with several routes, a held chat is waited
        // for once this cycle's own messages are queued too.
        if (!outbox_.messages.empty()) deliver(deliveries_.size() == 1);

        auto fetched = fetch_listing(s_, waits_, key_, console_.secrets(),
                                     outbox_.taostats_not_before, c_.exchange_deadline_seconds);
        if (auto* failure = std::get_if<FetchFailure>(&fetched)) {
            const std::string detail = console_.masked(failure->detail);
            console_.write(driver::detail_line(
                failure->kind == FetchFailure::Kind::transport ? "[burn] error: " : fetch_prefix(),
                detail));
            listing_read(false);
            conclude(kOutcomeFetchFailed, detail);
            return;
        }
        const Listing listing = std::move(std::get<Listing>(fetched));
        report_.invalid_rows = listing.invalid;
        if (listing.invalid) console_.write(invalid_rows_line(listing));
        if (listing.rows.empty()) {
            const std::string detail = "taostats: no row with a valid netuid (" +
                                       std::to_string(listing.invalid) + " row(s))";
            console_.write(driver::detail_line(fetch_prefix(), detail));
            listing_read(false);
            conclude(kOutcomeFetchFailed, detail);
            return;
        }
        report_.subnets = listing.rows.size();
        burns::BurnMap current;
        current.reserve(listing.rows.size());
        for (const auto& row : listing.rows) current.emplace_back(row.netuid, row.burn);
        listing_read(true);
        const std::size_t queued_before = outbox_.messages.size();
        const std::size_t held_before = outbox_.held.size();

        if (kind_ == Kind::watch) {
            const burns::BurnMap prev = load_state(*state_file);
            if (!prev.empty()) {
                std::vector<burns::DecimalInteger> numbers;
                numbers.reserve(listing.rows.size());
                for (const auto& row : listing.rows) numbers.push_back(row.number);
                report_.changes =
                    burns::list_changes(prev, current, numbers, detection_threshold(routes_));
            }
            keep_last_values(prev, listing, current);
            std::vector<burns::BurnChange> alerted;
            for (const auto& change : report_.changes)
                if (!is_muted(c_.muted, change.netuid)) alerted.push_back(change);
            flap_before_ = outbox_.flap;
            for (const routes::Route& route : routes_) {
                const std::vector<burns::BurnChange> chosen =
                    route.flap.any() ? flap_changes(route, current) : routes::select_changes(route, alerted);
                if (chosen.empty()) continue;
                if (route.quiet_hours && route.quiet_hours->contains_moment(now_)) {
                    for (const auto& change : chosen)
                        outbox_.held.push_back({route.chat_id, route.thread_id, change});
                    box_changed_ = true;
                    continue;
                }
                queue(kAlertKind, chosen.size(),
                      reports::render_alert(alert_lines(chosen), report_.updated_at_utc), route,
                      "alert", chosen);
            }
        } else {
            std::vector<burns::DecimalInteger> numbers;
            for (const auto& row : listing.rows) numbers.push_back(row.number);
            const std::vector<std::size_t> order = burns::netuid_order(numbers);
            for (const routes::Route& route : routes_) {
                std::vector<reports::SnapshotLine> lines;
                for (std::size_t i : order)
                    if (routes::route_hears(route, listing.rows[i].netuid))
                        lines.push_back({listing.rows[i].netuid, display(listing.rows[i].burn)});
                if (!lines.empty())
                    queue(kSnapshotKind, lines.size(),
                          reports::render_snapshot(lines.size(), lines, report_.updated_at_utc),
                          route, "startup");
            }
        }
        // The new messages are on disk before the values that made them: a crash in between
        // repeats an alert rather than losing it.
        save_outbox();
        const std::string values = burns::render_state_file(current, report_.updated_at_utc);
        try {
            s_.replace_file(c_.state_path, values);
        } catch (...) {
            // An interrupt, or a file that may hold the new values after all (a failing sync of
            // its directory), keeps the messages: a repeat rather than a loss.
            const std::exception_ptr error = std::current_exception();
            if (s_.is_ordinary_error(error) && !holds(c_.state_path, values)) {
                // The rules' states go back with the messages: the moves are seen again.
                if (flap_before_) outbox_.flap = std::move(*flap_before_);
                withdraw_from(queued_before, held_before);
            }
            throw;
        }
        // A first run: nothing to compare with, so nothing to alert; it says so, or an operator
        // trying the command sees no line at all.
        if (kind_ == Kind::watch && state_file->kind == FileText::Kind::missing)
            console_.write(baseline_recorded_line(listing.rows.size()));
        deliver();
        conclude(kOutcomeOk, "");
    }

    // Keeps the time of the last good listing and tells every route when listings stopped
    // coming for too long, and when they are back (a stale-data alert configured only).
    void listing_read(bool good) {
        if (!c_.stale_after_seconds) {
            if (outbox_.last_good_listing || outbox_.stale_alert_sent) {
                outbox_.last_good_listing.reset();
                outbox_.last_good_boot.clear();
                outbox_.stale_alert_sent = false;
                box_changed_ = true;
            }
            return;
        }
        const QueueClock clock = queue_clock();
        std::optional<QueueClock> last_good;
        if (outbox_.last_good_listing)
            last_good = QueueClock{*outbox_.last_good_listing, outbox_.last_good_boot, outbox_.last_good_monotonic};
        const StaleStep step = stale_step(last_good, outbox_.stale_alert_sent, good, clock,
                                          *c_.stale_after_seconds);
        if (step.kind != StaleStep::Kind::none) {
            const std::string text = step.kind == StaleStep::Kind::stale
                                         ? stale_text(step.minutes, *outbox_.last_good_listing)
                                         : back_text(step.minutes);
            for (const routes::Route& route : routes_)
                queue(kNoticeKind, 1, text, route,
                      step.kind == StaleStep::Kind::stale ? "stale" : "recovered");
            outbox_.stale_alert_sent = step.kind == StaleStep::Kind::stale;
        }
        if (good) {
            outbox_.last_good_listing = now_;
            outbox_.last_good_boot = clock.boot;
            outbox_.last_good_monotonic = clock.monotonic;
        }
        if (good || step.kind != StaleStep::Kind::none) box_changed_ = true;
        if (step.kind == StaleStep::Kind::stale) {
            // No listing, so nothing else sends it in this cycle: on disk first, then sent.
            save_outbox();
            deliver();
        }
    }

    // Every route's messages. With several routes, a chat Telegram holds is waited for only
    // once the others have had their turn, and only when `wait_for_holds`.
    void deliver(bool wait_for_holds = true) {
        const bool alone = deliveries_.size() == 1;
        for (Delivery& d : deliveries_)
            if (!d.stopped() && d.has_messages()) d.run(alone && wait_for_holds);
        if (alone || !wait_for_holds) return;
        for (Delivery& d : deliveries_)
            if (d.deferred() && !d.stopped()) d.run(true);
    }

    // The route a message or a held change queued for `chat` and `thread` belongs to now. A chat
    // Telegram moved and the id it moved to are one chat, so the operator who follows the
    // migration advice and configures the new id keeps what was queued for the old one; and when
    // the chat has one route, its queue follows a change of that route's topic. Null when no
    // route sends to the chat any more.
    const routes::Route* route_of(const std::string& chat,
                                  const std::optional<std::int64_t>& thread) const {
        for (const routes::Route& r : routes_)
            if (r.chat_id == chat && r.thread_id == thread) return &r;
        const std::string where = outbox_.chat_for(chat);
        const routes::Route* only = nullptr;
        std::size_t same_chat = 0;
        for (const routes::Route& r : routes_) {
            if (outbox_.chat_for(r.chat_id) != where) continue;
            if (r.thread_id == thread) return &r;
            only = &r;
            ++same_chat;
        }
        return same_chat == 1 ? only : nullptr;
    }

    // Moves what was queued or held under an earlier name of a route (its chat before a
    // migration, its former topic) to the route's present name; returns false when no route
    // sends to the chat any more.
    template <typename Queued>
    bool follow_route(Queued& q) {
        const routes::Route* r = route_of(q.chat_id, q.thread_id);
        if (!r) return false;
        if (q.chat_id != r->chat_id || q.thread_id != r->thread_id) {
            q.chat_id = r->chat_id;
            q.thread_id = r->thread_id;
            box_changed_ = true;
        }
        return true;
    }

    // Messages of a file written before there were routes belong to the first route; those of
    // a chat no route sends to any more are dropped, the operator having taken their chat out.
    // A start-up list among them never reached anyone: a line says how to send one.
    void assign_routes() {
        std::vector<std::pair<std::string, std::size_t>> unrouted;
        std::vector<OutboxEntry> kept;
        bool start_up_list_dropped = false;
        for (OutboxEntry& m : outbox_.messages) {
            if (m.chat_id.empty()) {
                m.chat_id = routes_.front().chat_id;
                m.thread_id = routes_.front().thread_id;
                box_changed_ = true;
            }
            if (follow_route(m)) {
                kept.push_back(m);
                continue;
            }
            if (m.kind == kSnapshotKind) start_up_list_dropped = true;
            auto same = std::find_if(unrouted.begin(), unrouted.end(),
                                     [&](const auto& u) { return u.first == m.chat_id; });
            if (same == unrouted.end())
                unrouted.emplace_back(m.chat_id, 1);
            else
                ++same->second;
        }
        for (HeldChange& h : outbox_.held) follow_route(h);
        if (unrouted.empty()) return;
        outbox_.messages = std::move(kept);
        box_changed_ = true;
        for (const auto& [chat, count] : unrouted) console_.write(outbox_unrouted_line(count, chat));
        if (start_up_list_dropped) console_.write(std::string(kStartUpListDroppedLine));
    }

    // The changes a route with rules against flapping alerts in this cycle: each subnet it hears
    // taken one step through its rules (routes/flap.hpp), from the state kept in the outbox.
    std::vector<burns::BurnChange> flap_changes(const routes::Route& route, const burns::BurnMap& current) {
        std::vector<burns::BurnChange> out;
        for (const auto& [netuid, value] : current) {
            if (!routes::route_hears(route, netuid)) continue;
            auto it = std::find_if(outbox_.flap.begin(), outbox_.flap.end(), [&](const FlapEntry& e) {
                return e.chat_id == route.chat_id && e.thread_id == route.thread_id && e.netuid == netuid;
            });
            if (it == outbox_.flap.end()) {
                outbox_.flap.push_back({route.chat_id, route.thread_id, netuid, {}});
                it = std::prev(outbox_.flap.end());
            }
            const routes::FlapState before = it->state;
            const routes::FlapStep step = routes::step_flap(route, it->state, netuid, value, now_);
            if (it->state != before) box_changed_ = true;
            if (step.alert && !is_muted(c_.muted, netuid)) out.push_back(*step.alert);
            if (step.unconfirmed) report_.unconfirmed.push_back(*step.unconfirmed);
        }
        return out;
    }

    // States of routes that are gone or have no rules any more are forgotten.
    void prune_flap_states() {
        const std::size_t before = outbox_.flap.size();
        std::erase_if(outbox_.flap, [&](const FlapEntry& e) {
            return std::none_of(routes_.begin(), routes_.end(), [&](const routes::Route& r) {
                return r.flap.any() && r.chat_id == e.chat_id && r.thread_id == e.thread_id;
            });
        });
        if (outbox_.flap.size() != before) box_changed_ = true;
    }

    static std::vector<reports::AlertLine> alert_lines(const std::vector<burns::BurnChange>& changes) {
        std::vector<reports::AlertLine> lines;
        for (const auto& change : changes) {
            auto [from, to] = display_change(change.old_burn, change.new_burn);
            lines.push_back({change.netuid, std::move(from), std::move(to)});
        }
        return lines;
    }

    // The changes held for a route whose quiet hours are over (or that has none any more) are
    // queued as one digest; those held for a chat no route sends to any more are dropped.
    void release_digests() {
        if (outbox_.held.empty()) return;
        std::vector<HeldChange> kept;
        std::vector<std::pair<std::string, std::size_t>> unrouted;
        for (const routes::Route& route : routes_) {
            std::vector<burns::BurnChange> changes;
            for (const HeldChange& h : outbox_.held)
                if (h.chat_id == route.chat_id && h.thread_id == route.thread_id)
                    changes.push_back(h.change);
            if (changes.empty()) continue;
            if (route.quiet_hours && route.quiet_hours->contains_moment(now_)) {
                for (const HeldChange& h : outbox_.held)
                    if (h.chat_id == route.chat_id && h.thread_id == route.thread_id) kept.push_back(h);
                continue;
            }
            const std::vector<burns::BurnChange> folded = routes::fold_held_changes(changes);
            std::string text = reports::render_alert(alert_lines(folded), report_.updated_at_utc);
            text = routes::digest_title(route.quiet_hours) + text.substr(text.find('\n'));
            queue(kDigestKind, folded.size(), text, route, "digest", folded);
        }
        for (const HeldChange& h : outbox_.held) {
            const bool routed = std::any_of(routes_.begin(), routes_.end(), [&](const auto& r) {
                return h.chat_id == r.chat_id && h.thread_id == r.thread_id;
            });
            if (routed) continue;
            auto same = std::find_if(unrouted.begin(), unrouted.end(),
                                     [&](const auto& u) { return u.first == h.chat_id; });
            if (same == unrouted.end())
                unrouted.emplace_back(h.chat_id, 1);
            else
                ++same->second;
        }
        for (const auto& [chat, count] : unrouted) console_.write(held_unrouted_line(count, chat));
        if (kept.size() != outbox_.held.size()) box_changed_ = true;
        outbox_.held = std::move(kept);
    }

    // The texts of a message as the route's kind of destination posts them, each a message of
    // the outbox. `event` and `changes` name what it is for destinations that carry more than
    // text.
    void queue(std::string_view kind, std::size_t count, const std::string& text,
               const routes::Route& route, std::string_view event,
               const std::vector<burns::BurnChange>& changes = {}) {
        const std::vector<std::string> parts = queued_texts(
            route, Message{std::string(event), report_.updated_at_utc, text, changes, route.chat_id});
        const QueueClock now = queue_clock();
        for (std::size_t i = 1; i <= parts.size(); ++i) {
            outbox_.messages.push_back(
                {std::string(kind), count, report_.updated_at_utc, now.epoch, i, parts.size(),
                 parts[i - 1], now.boot, now.monotonic});
            outbox_.messages.back().chat_id = route.chat_id;
            outbox_.messages.back().thread_id = route.thread_id;
        }
        box_changed_ = true;
    }

    // True unless the file demonstrably does not hold `content`.
    bool holds(const std::string& path, const std::string& content) {
        const FileText file = s_.read_text_file(path);
        return file.kind == FileText::Kind::unreadable ||
               (file.kind == FileText::Kind::text && file.text == content);
    }

    QueueClock queue_clock() {
        QueueClock now;
        now.epoch = s_.epoch_seconds();
        now.boot = s_.boot_id();
        if (!now.boot.empty()) now.monotonic = s_.monotonic_seconds();
        return now;
    }

    // The values that made the messages queued from `first` on could not be saved: left in the
    // outbox, they would be delivered while the change is found again next cycle and queued
    // again, every cycle the disk stays full. They leave the outbox unsent; the change, still
    // unsaved, is found again once the values can be written.
    void withdraw_from(std::size_t first, std::size_t first_held) {
        if (outbox_.messages.size() <= first && outbox_.held.size() <= first_held) return;
        if (outbox_.messages.size() > first)
            outbox_.messages.erase(outbox_.messages.begin() + static_cast<std::ptrdiff_t>(first),
                                   outbox_.messages.end());
        if (outbox_.held.size() > first_held)
            outbox_.held.erase(outbox_.held.begin() + static_cast<std::ptrdiff_t>(first_held),
                               outbox_.held.end());
        box_changed_ = true;
        // An outbox left empty is removed, which a full disk still allows.
        save_outbox_quietly();
    }

    // A subnet listed without a usable owner burn keeps its last value, in the saved values too:
    // its next reading is compared with what it was before.
    // One pass over the saved values, whatever the number of such subnets.
    static void keep_last_values(const burns::BurnMap& prev, const Listing& listing,
                                 burns::BurnMap& current) {
        if (listing.unvalued.empty()) return;
        std::unordered_map<std::string_view, const std::string*> last;
        last.reserve(listing.unvalued.size());
        for (const std::string& netuid : listing.unvalued) last.emplace(netuid, nullptr);
        // The last of two entries under one key is the one the state stands for.
        for (const auto& [netuid, value] : prev)
            if (auto it = last.find(netuid); it != last.end()) it->second = &value;
        for (const std::string& netuid : listing.unvalued)
            if (const std::string* value = last[netuid]) current.emplace_back(netuid, *value);
    }

    // The file's content, or nullopt (with the cycle ended on an error line) when it exists
    // and cannot be read.
    std::optional<FileText> read_or_refuse(const std::string& path, std::string_view what) {
        FileText file = s_.read_text_file(path);
        if (file.kind != FileText::Kind::unreadable) return file;
        const std::string detail =
            "cannot read the " + std::string(what) + " " + path + ": " + console_.masked(file.text);
        console_.write(driver::detail_line("[burn] error: ", detail));
        finish(kOutcomeError, detail);
        return std::nullopt;
    }

    // Where an unusable file goes: its stamped name, with a counter when a copy kept earlier
    // holds that name already (two in one second), so that no kept copy is ever replaced.
    std::string aside_path(const std::string& path) {
        const std::string first = corrupt_path(path, s_.utc_now(kCorruptStampPattern));
        std::string name = first;
        for (int n = 2; s_.is_file(name); ++n) name = first + "-" + std::to_string(n);
        return name;
    }

    // The previous values, or none when the file is missing or unusable (then moved aside).
    burns::BurnMap load_state(const FileText& file) {
        if (file.kind == FileText::Kind::missing) return {};
        std::variant<burns::BurnMap, std::string> state;
        if (file.kind == FileText::Kind::text)
            state = read_state(file.text);
        else
            state = file.text;
        if (auto* map = std::get_if<burns::BurnMap>(&state)) return std::move(*map);
        const std::string moved = aside_path(c_.state_path);
        s_.rename_file(c_.state_path, moved);
        console_.write(unreadable_file_line("state file", c_.state_path, std::get<std::string>(state),
                                            moved, "recording a fresh baseline"));
        return {};
    }

    void load_outbox(const FileText& file) {
        if (file.kind == FileText::Kind::missing) return;
        std::variant<Outbox, std::string> box;
        if (file.kind == FileText::Kind::text)
            box = read_outbox(file.text);
        else
            box = file.text;
        if (auto* ok = std::get_if<Outbox>(&box)) {
            outbox_ = std::move(*ok);
            saved_taostats_hold_ = outbox_.taostats_not_before;
            saved_chat_holds_ = outbox_.chat_not_before;
            return;
        }
        const std::string moved = aside_path(box_path_);
        s_.rename_file(box_path_, moved);
        console_.write(unreadable_file_line("outbox file", box_path_, std::get<std::string>(box),
                                            moved, "starting an empty one"));
    }

    // The outbox's holds and migrations go to the process's shared holds, and what the other
    // senders met (a pause Telegram asked of an answer, a chat it moved) comes into the outbox,
    // so that alerts follow it and it outlives the process. The shared holds run on the
    // monotonic clock, the file on the wall clock.
    void share_holds() {
        ChatHolds* shared = c_.chat_holds;
        if (!shared) return;
        take_outbox_holds(*shared, outbox_, s_.epoch_seconds(), s_.monotonic_seconds());
        for (const auto& [from, to] : shared->migrations())
            if (outbox_.chat_for(from) != outbox_.chat_for(to)) {
                outbox_.migrate(from, to);
                box_changed_ = true;
            }
        bring_back_holds();
    }

    void bring_back_holds() {
        ChatHolds* shared = c_.chat_holds;
        if (!shared) return;
        const double epoch = s_.epoch_seconds();
        const double mono = s_.monotonic_seconds();
        for (const auto& [chat, until] : shared->holds(mono)) {
            const double wall = epoch + (until - mono);
            const std::optional<double> kept = outbox_.chat_hold(chat);
            // Within a second of the file's: the same hold, read back through two clocks.
            if (!kept || *kept + 1 < wall) outbox_.hold_chat(chat, wall);
        }
    }

    void save_outbox() {
        bring_back_holds();
        for (Delivery& d : deliveries_)
            if (d.take_changed()) box_changed_ = true;
        if (outbox_.taostats_not_before != saved_taostats_hold_ ||
            outbox_.chat_not_before != saved_chat_holds_)
            box_changed_ = true;
        if (!box_changed_) return;
        box_saving_ = true;
        if (outbox_.empty())
            s_.remove_file(box_path_);
        else
            s_.replace_file(box_path_, render_outbox(outbox_));
        box_saving_ = false;
        box_changed_ = false;
        saved_taostats_hold_ = outbox_.taostats_not_before;
        saved_chat_holds_ = outbox_.chat_not_before;
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
    void conclude(std::string_view outcome, const std::string& detail) {
        save_outbox();
        std::string out(outcome);
        std::string why = detail;
        if (out == kOutcomeOk && !outbox_.messages.empty()) {
            out = kOutcomeTelegramFailed;
            why = "";
            for (const Delivery& d : deliveries_) {
                if (d.paused()) {
                    why = "paused with messages waiting";
                    break;
                }
                if (d.stopped() && why.empty()) why = d.error();
            }
        }
        finish(out, why);
    }

    CycleReport finish(std::string_view outcome, const std::string& detail) {
        report_.outcome = outcome;
        report_.detail = console_.masked(detail);
        if (detail.find_first_of("\r\n") != std::string::npos) {
            std::string flat;
            for (char ch : report_.detail) flat += (ch == '\n' || ch == '\r') ? ' ' : ch;
            report_.detail = flat;
        }
        report_.outbox_size = outbox_.messages.size();
        report_.routes.clear();
        report_.delivered = 0;
        report_.telegram_failure.clear();
        for (std::size_t i = 0; i < routes_.size(); ++i) {
            const routes::Route& route = routes_[i];
            RouteReport r;
            r.destination = routes::destination_word(route.kind);
            r.chat_id = outbox_.chat_for(route.chat_id);
            r.thread_id = route.thread_id;
            for (const OutboxEntry& m : outbox_.messages)
                if (m.is_for(route.chat_id, route.thread_id)) ++r.queued;
            for (const HeldChange& h : outbox_.held)
                if (h.chat_id == route.chat_id && h.thread_id == route.thread_id) ++r.held;
            if (i < deliveries_.size()) {
                const Delivery& d = deliveries_[i];
                r.chat_id = d.chat();
                r.delivered = d.delivered();
                if (d.stopped() && !d.paused()) {
                    r.telegram_failure = d.gone() ? "gone" : d.refused() ? "refused" : "failed";
                    r.last_failure = d.error();
                }
            }
            report_.delivered += r.delivered;
            // A destination that is gone declined, as far as the cycle's totals go.
            const std::string failure = r.telegram_failure == "gone" ? "refused" : r.telegram_failure;
            if (failure == "refused" || (report_.telegram_failure.empty() && !failure.empty()))
                report_.telegram_failure = failure;
            report_.routes.push_back(std::move(r));
        }
        if (!report_.routes.empty()) report_.chat_id = report_.routes.front().chat_id;
        if (!outbox_.messages.empty()) {
            double oldest = outbox_.messages.front().queued_at;
            for (const auto& m : outbox_.messages) oldest = std::min(oldest, m.queued_at);
            report_.outbox_oldest_utc = utc_text(oldest);
            if (outcome != kOutcomeNoApiKey)
                console_.write(outbox_waiting_line(outbox_.messages.size(), *report_.outbox_oldest_utc));
        }
        return report_;
    }

    Services& s_;
    const CycleSettings& c_;
    Kind kind_;
    std::string key_;
    std::vector<routes::Route> routes_;
    std::vector<Address> addresses_;
    Console console_;
    Waits waits_;
    std::string box_path_;
    Outbox outbox_;
    bool box_changed_ = false;
    bool box_saving_ = false;
    // The pauses as the file holds them: a change to them is saved like a change of messages.
    std::optional<double> saved_taostats_hold_;
    std::vector<std::pair<std::string, double>> saved_chat_holds_;
    std::vector<Delivery> deliveries_;
    std::optional<std::vector<FlapEntry>> flap_before_;  // the rules' states before this cycle's step
    double now_ = 0;  // the cycle's wall clock, epoch seconds, for quiet hours
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
