// The history log.
#include "records/history.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "burns/numeric.hpp"
#include "common/utf8.hpp"
#include "engine/json.hpp"
#include "native/posix_files.hpp"
#include "records/clock.hpp"
#include "records/files.hpp"
#include "records/values.hpp"

namespace emberscope::records {

std::optional<double> Change::moment() const { return parse_utc(time_utc); }

std::string history_line(std::string_view stamp, const burns::BurnChange& change, bool unconfirmed) {
    JsonValue line = JsonValue::make_object();
    line.set("time_utc", JsonValue::make_text(std::string(stamp)));
    line.set("netuid", JsonValue::make_text(change.netuid));
    line.set("old", JsonValue::make_text(change.old_burn));
    line.set("new", JsonValue::make_text(change.new_burn));
    if (unconfirmed) {
        JsonValue yes;
        yes.kind = JsonValue::Kind::boolean;
        yes.flag = true;
        line.set("unconfirmed", std::move(yes));
    }
    return engine::dump_json(line, {.indent = 0, .sort_keys = false, .ascii = false});
}

void append_history(std::string_view state_path, std::string_view stamp,
                    const std::vector<burns::BurnChange>& changes, std::size_t max_bytes,
                    bool unconfirmed) {
    if (changes.empty()) return;
    const std::string path = history_path(state_path);
    std::string lines;
    for (const burns::BurnChange& change : changes) lines += history_line(stamp, change, unconfirmed) + "\n";
    struct stat st {};
    const std::size_t size = ::stat(native::fs_path(path).c_str(), &st) == 0
                                 ? static_cast<std::size_t>(st.st_size)
                                 : 0;
    if (size && size + lines.size() > max_bytes)
        native::rename_path(path, rotated_history_path(state_path));
    const int fd = open_regular(path, O_WRONLY | O_APPEND | O_CREAT);
    std::size_t done = 0;
    while (done < lines.size()) {
        const ssize_t n = ::write(fd, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw native::OsError(error, path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        throw native::OsError(error, path);
    }
    ::close(fd);
}

namespace {

// The host's UTF-8 decoding with errors="replace": each maximal piece of a sequence that cannot
// be completed reads as one U+FFFD.
std::string decode_replacing(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        if (*p < 0x80) {
            out += static_cast<char>(*p++);
            continue;
        }
        if (const std::size_t n = utf8::strict_sequence_length(p, end)) {
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
            continue;
        }
        // How far the sequence went before it failed: the lead byte and the continuation
        // bytes the strict rules still allowed.
        const unsigned c = *p;
        std::size_t need = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
        std::size_t taken = 1;
        if (need && p + 1 < end) {
            const unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
            const unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
            if (p[1] >= lo && p[1] <= hi) {
                ++taken;
                while (taken <= need && p + taken < end && (p[taken] & 0xC0) == 0x80) ++taken;
            }
        }
        out += "\xEF\xBF\xBD";
        p += taken;
    }
    return out;
}

// The host's text-mode lines: "\n", "\r\n" and "\r" each end one.
std::vector<std::string_view> text_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

bool blank(std::string_view line) {
    std::size_t pos = 0;
    while (pos < line.size()) {
        const char32_t cp = utf8::next(line, pos);
        if (!(cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F) || cp == 0x85 ||
              cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
              cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000))
            return false;
    }
    return true;
}

void read_generation(const std::string& path, History& history) {
    // The log is read whole: it is bounded by its rotation.
    const std::optional<std::string> bytes = read_regular(path, std::size_t{1} << 40);
    if (!bytes) return;
    const std::string text = decode_replacing(*bytes);
    for (const std::string_view line : text_lines(text)) {
        if (blank(line)) continue;
        auto parsed = engine::parse_json(line);
        const JsonValue* entry = std::get_if<JsonValue>(&parsed);
        const std::string* fields[4] = {};
        if (entry && entry->is_object()) {
            fields[0] = text_of(entry->get("time_utc"));
            fields[1] = text_of(entry->get("netuid"));
            fields[2] = text_of(entry->get("old"));
            fields[3] = text_of(entry->get("new"));
        }
        if (!fields[0] || !fields[1] || !fields[2] || !fields[3]) {
            ++history.unreadable;
            continue;
        }
        history.changes.push_back({*fields[0], *fields[1], *fields[2], *fields[3]});
    }
}

}  // namespace

History read_history(std::string_view state_path) {
    History history;
    read_generation(rotated_history_path(state_path), history);
    read_generation(history_path(state_path), history);
    return history;
}

std::string sparkline(const std::vector<std::string>& values) {
    static constexpr std::string_view kBars[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    constexpr int kTop = 7;
    std::vector<std::optional<double>> numbers;
    numbers.reserve(values.size());
    std::optional<double> low, high;
    for (const std::string& text : values) {
        std::optional<double> n = burns::parse_numeric_text(text);
        if (n && !std::isfinite(*n)) n.reset();
        if (n) {
            low = low ? std::min(*low, *n) : *n;
            high = high ? std::max(*high, *n) : *n;
        }
        numbers.push_back(n);
    }
    std::string out;
    for (const std::optional<double>& n : numbers) {
        if (!n) {
            out += ' ';
        } else if (*high == *low) {
            out += kBars[kTop / 2];
        } else {
            // The host's round(): halves to even.
            const double at = std::nearbyint((*n - *low) / (*high - *low) * kTop);
            out += kBars[static_cast<int>(at)];
        }
    }
    return out;
}

}  // namespace emberscope::records
