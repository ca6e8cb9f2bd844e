// UTC stamps and ages.
#include "records/clock.hpp"

#include <cmath>
#include <ctime>

#include "common/utf8.hpp"

namespace emberscope::records {

std::string format_utc(double epoch_seconds) {
    const auto t = static_cast<std::time_t>(std::floor(epoch_seconds));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[32];
    const std::size_t n = std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(out, n);
}

namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool leap(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned month_days(long long y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Reads fixed-width ASCII digits.
struct Cursor {
    std::string_view s;
    std::size_t pos = 0;
    bool done() const { return pos == s.size(); }
    bool peek(char c) const { return pos < s.size() && s[pos] == c; }
    bool take(char c) {
        if (!peek(c)) return false;
        ++pos;
        return true;
    }
    std::optional<long long> digits(std::size_t n) {
        if (s.size() - pos < n) return std::nullopt;
        long long v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const char c = s[pos + i];
            if (c < '0' || c > '9') return std::nullopt;
            v = v * 10 + (c - '0');
        }
        pos += n;
        return v;
    }
    bool digit_next() const { return pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; }
};

// HH[:MM[:SS[.fff]]] or HH[MM[SS[.fff]]] (the colons all or none): seconds into the day.
std::optional<double> read_clock(Cursor& c, bool allow_fraction_alone = true) {
    const auto h = c.digits(2);
    if (!h || *h > 23) return std::nullopt;
    double seconds = static_cast<double>(*h) * 3600;
    if (c.done() || (!c.peek(':') && !c.digit_next())) return seconds;
    const bool colons = c.take(':');
    const auto m = c.digits(2);
    if (!m || *m > 59) return std::nullopt;
    seconds += static_cast<double>(*m) * 60;
    if (c.done()) return seconds;
    if (colons ? !c.take(':') : !c.digit_next()) return seconds;
    const auto s = c.digits(2);
    if (!s || *s > 59) return std::nullopt;
    seconds += static_cast<double>(*s);
    if (allow_fraction_alone && (c.peek('.') || c.peek(','))) {
        ++c.pos;
        if (!c.digit_next()) return std::nullopt;
        double scale = 0.1, fraction = 0;
        int kept = 0;
        while (c.digit_next()) {
            if (kept < 6) fraction += (c.s[c.pos] - '0') * scale;
            scale /= 10;
            ++kept;
            ++c.pos;
        }
        seconds += std::floor(fraction * 1e6 + 0.5) / 1e6;
    }
    return seconds;
}

}  // namespace

std::optional<double> parse_utc(std::string_view text) {
    Cursor c{text};
    const auto year = c.digits(4);
    if (!year) return std::nullopt;
    const bool extended = c.take('-');
    const auto month = c.digits(2);
    if (!month || (extended && !c.take('-'))) return std::nullopt;
    const auto day = c.digits(2);
    if (!day || *year < 1 || *month < 1 || *month > 12 || *day < 1 ||
        *day > month_days(*year, static_cast<unsigned>(*month)))
        return std::nullopt;
    double epoch = static_cast<double>(days_from_civil(*year, static_cast<unsigned>(*month),
                                                       static_cast<unsigned>(*day))) * 86400;
    if (c.done()) return epoch;
    // Any one character separates the date from the time.
    utf8::next(text, c.pos);
    const auto clock = read_clock(c);
    if (!clock) return std::nullopt;
    epoch += *clock;
    if (c.done()) return epoch;
    if (c.take('Z')) return c.done() ? std::optional<double>(epoch) : std::nullopt;
    const bool minus = c.peek('-');
    if (!c.take('+') && !c.take('-')) return std::nullopt;
    const auto offset = read_clock(c);
    if (!offset || !c.done()) return std::nullopt;
    return minus ? epoch + *offset : epoch - *offset;
}

std::string span_text(double seconds) {
    const long long s = seconds > 0 ? static_cast<long long>(seconds) : 0;
    if (s < 120) return std::to_string(s) + " s";
    if (s < 7200) return std::to_string(s / 60) + " min";
    if (s < 172800) return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
    return std::to_string(s / 86400) + " days";
}

Moment moment_at(double epoch, const Clock& now) {
    Moment m{epoch, now.boot, 0};
    if (!now.boot.empty()) m.monotonic = now.monotonic - (now.epoch - epoch);
    return m;
}

double seconds_since(const Moment& then, const Clock& now) {
    if (!then.boot.empty() && then.boot == now.boot) return now.monotonic - then.monotonic;
    return now.epoch - then.epoch;
}

}  // namespace emberscope::records
