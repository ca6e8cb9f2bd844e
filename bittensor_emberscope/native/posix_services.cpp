// The Services of the command's engine on POSIX.
#include "native/posix_services.hpp"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "native/posix_files.hpp"

namespace emberscope::native {

double clock_seconds(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

PosixServices::PosixServices() {
    // A stop or a signal check during an exchange ends it as it would end a sleep.
    http_.set_interruption_check([this] { check_signals(); });
}

std::optional<std::string> PosixServices::environment(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string PosixServices::utc_now(std::string_view pattern) {
    const std::time_t now = static_cast<std::time_t>(std::floor(epoch_seconds()));
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    const std::string format(pattern);
    std::string out(64 + format.size() * 4, '\0');
    const std::size_t n = std::strftime(out.data(), out.size(), format.c_str(), &tm);
    out.resize(n);
    return out;
}

double PosixServices::epoch_seconds() { return clock_seconds(CLOCK_REALTIME); }

double PosixServices::monotonic_seconds() { return clock_seconds(CLOCK_MONOTONIC); }

void PosixServices::sleep(double seconds) {
    if (!(seconds > 0)) {
        check_signals();
        return;
    }
    const double whole = std::floor(std::min(seconds, 1e9));
    timespec left{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
    while (::nanosleep(&left, &left) != 0) {
        if (errno != EINTR) break;
        check_signals();  // a handler that raises ends the sleep here
    }
}

void PosixServices::console(std::string_view line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // standard error is gone: nothing else to tell
        done += static_cast<std::size_t>(n);
    }
}

bool PosixServices::is_file(std::string_view path) { return is_regular_file(path); }

std::optional<std::string> PosixServices::read_file(std::string_view path) {
    return native::read_text_file(path);
}

FileText PosixServices::read_text_file(std::string_view path) { return read_text(path); }

std::string PosixServices::boot_id() { return native::boot_id(); }

void PosixServices::replace_file(std::string_view path, std::string_view content) {
    replace_file_atomically(path, content, [this] { check_signals(); });
}

void PosixServices::rename_file(std::string_view from, std::string_view to) { rename_path(from, to); }

void PosixServices::remove_file(std::string_view path) { remove_path(path); }

HttpAnswer PosixServices::http(const HttpRequest& request) { return http_.exchange(request); }

bool PosixServices::is_ordinary_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception&) {
        return true;
    } catch (...) {
        return false;
    }
}

std::string PosixServices::error_message(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

void PosixServices::rethrow_masked(const std::exception_ptr& error,
                                   std::span<const secrets::Secret> secrets) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        const std::string text = e.what();
        const std::string masked = secrets::mask(text, secrets);
        if (masked == text) throw;
        throw MaskedError(masked);
    }
}

}  // namespace emberscope::native
