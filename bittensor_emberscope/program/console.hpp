// The program's console: standard error for its own lines and the engine's alike, each stamped
// with the UTC time unless the journal stamps lines itself (JOURNAL_STREAM); standard output for
// what a command shows, where a reader that went away ends the command quietly.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace emberscope::program {

class Console {
public:
    /// `stamped`: put the UTC time before each line (the default outside the journal).
    explicit Console(bool stamped);
    /// True unless JOURNAL_STREAM is set and not empty (the journal stamps lines itself).
    static bool stamped_by_default();

    /// Writes `text` (one or more lines, each ending in "\n") to standard error in one write,
    /// from any thread; a standard error that cannot be written loses the line, never the monitor.
    void say(std::string_view text);
    /// Writes `text` unstamped (a usage error, which the command line's reader writes before any
    /// command runs).
    void say_plain(std::string_view text);
    /// Lines written so far.
    std::size_t lines() const { return lines_.load(); }
    bool stamped() const { return stamped_; }

private:
    bool stamped_;
    bool at_line_start_ = true;
    std::mutex mutex_;
    std::atomic<std::size_t> lines_{0};
};

/// Standard output closed by its reader (EPIPE): the command ends quietly with status 1.
struct OutputClosed {};
/// Standard output failed otherwise: the command ends with one line and status 1.
struct OutputFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Writes `text` to standard output at once, whole.
void out(std::string_view text);

/// `text` with each lone surrogate (a text from the network keeps them in their three-byte form,
/// which is not UTF-8) written as its escape, "\\ud800": what a terminal or a journal reads.
std::string escaped_surrogates(std::string_view text);


}  // namespace emberscope::program
