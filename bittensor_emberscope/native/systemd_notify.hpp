// systemd's notification protocol, spoken directly: one datagram per message to the socket named
// by NOTIFY_SOCKET (an `@` at its start names the abstract namespace). Outside a notify service
// (no such variable) nothing is sent and nothing fails; a notification that cannot be sent is
// dropped, the monitor's work never depends on it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace emberscope::native {

class SystemdNotifier {
public:
    /// From the process environment: NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID.
    SystemdNotifier();
    /// From given values (tests): the socket's name, and the watchdog's microseconds and pid texts.
    SystemdNotifier(std::string_view socket_name, std::string_view watchdog_usec,
                    std::string_view watchdog_pid);
    ~SystemdNotifier();
    SystemdNotifier(const SystemdNotifier&) = delete;
    SystemdNotifier& operator=(const SystemdNotifier&) = delete;

    bool enabled() const { return !address_.empty(); }
    /// The watchdog interval systemd asks of this process, in seconds; nullopt for none.
    std::optional<double> watchdog_seconds() const { return watchdog_; }
    /// Sends "FIELD=value" lines as one datagram; whether it went out.
    bool send(std::string_view fields);

private:
    std::string address_;  // the socket's name; a leading NUL for the abstract namespace
    std::optional<double> watchdog_;
    std::mutex mutex_;
    int fd_ = -1;
};

/// Keeps systemd's watchdog fed while a cycle runs, for at most a limit. Between cycles the loop
/// feeds the watchdog from its waits and this thread sleeps. A cycle can take minutes (rate-limit
/// retries, slow answers), longer than a watchdog interval meant to catch a stuck wait quickly:
/// this thread covers the cycle, and stops covering it after the limit, so that a cycle stuck for
/// good still gets the process restarted.
class CycleWatchdog {
public:
    explicit CycleWatchdog(SystemdNotifier& notifier);
    ~CycleWatchdog();
    CycleWatchdog(const CycleWatchdog&) = delete;
    CycleWatchdog& operator=(const CycleWatchdog&) = delete;

    /// Begins covering a cycle for at most `limit` seconds (no thread without a watchdog).
    void begin(double limit);
    void end();

private:
    void run();

    SystemdNotifier& notifier_;
    double period_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::chrono::steady_clock::time_point> until_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace emberscope::native
