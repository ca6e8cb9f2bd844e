// systemd's notifications over a datagram socket.
#include "native/systemd_notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace emberscope::native {
namespace {

std::string_view env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

}  // namespace

SystemdNotifier::SystemdNotifier()
    : SystemdNotifier(env("NOTIFY_SOCKET"), env("WATCHDOG_USEC"), env("WATCHDOG_PID")) {}

SystemdNotifier::SystemdNotifier(std::string_view socket_name, std::string_view watchdog_usec,
                                 std::string_view watchdog_pid) {
    if (socket_name.size() > 1 && socket_name.front() == '@') {
        address_ = std::string(1, '\0') + std::string(socket_name.substr(1));
    } else if (!socket_name.empty() && socket_name.front() == '/') {
        address_ = std::string(socket_name);
    }
    if (address_.size() > sizeof(sockaddr_un{}.sun_path)) address_.clear();
    unsigned long long usec = 0;
    const char* end = watchdog_usec.data() + watchdog_usec.size();
    const bool digits = !watchdog_usec.empty() &&
                        std::all_of(watchdog_usec.begin(), watchdog_usec.end(),
                                    [](char c) { return c >= '0' && c <= '9'; }) &&
                        std::from_chars(watchdog_usec.data(), end, usec).ec == std::errc();
    const bool ours = watchdog_pid.empty() || watchdog_pid == std::to_string(::getpid());
    if (digits && usec > 0 && ours) watchdog_ = static_cast<double>(usec) / 1e6;
}

SystemdNotifier::~SystemdNotifier() {
    if (fd_ >= 0) ::close(fd_);
}

bool SystemdNotifier::send(std::string_view fields) {
    if (address_.empty()) return false;
    std::lock_guard lock(mutex_);
    if (fd_ < 0) fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, address_.data(), address_.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() +
                               (address_.front() == '\0' ? 0 : 1));
    return ::sendto(fd_, fields.data(), fields.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), length) ==
           static_cast<ssize_t>(fields.size());
}

CycleWatchdog::CycleWatchdog(SystemdNotifier& notifier) : notifier_(notifier) {
    if (notifier.enabled() && notifier.watchdog_seconds()) {
        period_ = std::max(0.5, *notifier.watchdog_seconds() / 3);
        thread_ = std::thread([this] { run(); });
    }
}

CycleWatchdog::~CycleWatchdog() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void CycleWatchdog::begin(double limit) {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        until_ = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(limit));
    }
    wake_.notify_all();
}

void CycleWatchdog::end() {
    if (!thread_.joinable()) return;
    std::lock_guard lock(mutex_);
    until_.reset();
}

void CycleWatchdog::run() {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(period_));
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (!until_ || std::chrono::steady_clock::now() >= *until_) {
            wake_.wait(lock);  // no cycle under way: asleep until one begins
            continue;
        }
        wake_.wait_for(lock, period);
        if (!quit_ && until_ && std::chrono::steady_clock::now() < *until_) {
            lock.unlock();
            notifier_.send("WATCHDOG=1");
            lock.lock();
        }
    }
}

}  // namespace emberscope::native
