// The program's console.
#include "program/console.hpp"

#include "records/clock.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace emberscope::program {
namespace {

void write_all(int fd, std::string_view text, bool raise) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!raise) return;
            if (n < 0 && errno == EPIPE) throw OutputClosed{};
            throw OutputFailed(n < 0 ? std::strerror(errno) : "nothing written");
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string escaped_surrogates(std::string_view text) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t k = 0; k + 2 < text.size(); ++k) {
        const auto b0 = static_cast<unsigned char>(text[k]);
        const auto b1 = static_cast<unsigned char>(text[k + 1]);
        const auto b2 = static_cast<unsigned char>(text[k + 2]);
        if (b0 != 0xED || b1 < 0xA0 || b1 > 0xBF || (b2 & 0xC0) != 0x80) continue;
        const unsigned unit = 0xD000u | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", unit);
        out.append(text.substr(start, k - start)).append(escape);
        start = k + 3;
        k += 2;
    }
    if (start == 0) return std::string(text);
    out.append(text.substr(start));
    return out;
}

Console::Console(bool stamped) : stamped_(stamped) {}

bool Console::stamped_by_default() {
    const char* journal = std::getenv("JOURNAL_STREAM");
    return journal == nullptr || *journal == '\0';
}

void Console::say(std::string_view text) {
    std::lock_guard lock(mutex_);
    std::string out;
    out.reserve(text.size() + 24);
    std::size_t start = 0;
    std::size_t ended = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end + 1;
        if (at_line_start_ && stamped_) {
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            out += records::format_utc(static_cast<double>(now.tv_sec)) + " ";
        }
        out.append(text.substr(start, stop - start));
        at_line_start_ = end != std::string_view::npos;
        ended += at_line_start_ ? 1 : 0;
        start = stop;
    }
    write_all(STDERR_FILENO, escaped_surrogates(out), false);
    lines_ += ended;
}

void Console::say_plain(std::string_view text) {
    std::lock_guard lock(mutex_);
    write_all(STDERR_FILENO, text, false);
}

void out(std::string_view text) { write_all(STDOUT_FILENO, escaped_surrogates(text), true); }

}  // namespace emberscope::program
