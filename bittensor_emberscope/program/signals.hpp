// The signals of the program: SIGTERM and SIGINT stop it, SIGHUP asks for the configuration to be
// read again. Each handler only takes note and writes the signal's number into a socket pair, so
// that a wait or an HTTP exchange under way ends at once, whatever thread the kernel chose.
#pragma once

#include <optional>
#include <string>

namespace emberscope::program {

class Signals {
public:
    /// Installs the handlers (`stops`: SIGTERM and SIGINT; `reloads`: SIGHUP); one instance at a
    /// time. The previous dispositions come back when it goes.
    Signals(bool stops, bool reloads);
    ~Signals();
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

    /// The reading end: readable while a signal's number or the bot's zero byte waits in it.
    int wake_fd() const { return reader_; }
    /// Ends the wait under way, or the next one (any thread): a zero byte.
    void poke();
    /// A second descriptor that only signals make readable, for HTTP exchanges to wait on (the
    /// bot's bytes are not theirs to see); drain_exchange_fd() empties it.
    int exchange_fd() const { return exchange_reader_; }
    void drain_exchange_fd() const;
    /// Throws engine::StopRequest ("SIGTERM", "SIGINT") once a stop signal came, and every time
    /// after: the way out is not to be interrupted.
    void check() const;
    /// The name of the stop signal that came, if any.
    std::optional<std::string> stop_signal() const;
    /// True once per SIGHUP (or several that came together).
    bool take_reload();

private:
    int reader_ = -1;
    int writer_ = -1;
    int exchange_reader_ = -1;
    int exchange_writer_ = -1;
    bool stops_;
    bool reloads_;
};

}  // namespace emberscope::program
