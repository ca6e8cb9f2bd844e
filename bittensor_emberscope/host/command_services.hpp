// The Services of the command's engine: the POSIX ones (native/), with the interpreter's lock
// released while a cycle runs and taken back only where the interpreter is needed: to run its
// signal handlers (a SIGTERM handler that stops the command), to class and mask its errors, and
// to call a substitute a host program installed for `time.sleep`, `time.monotonic` or `time.time` (its
// tests, or a command whose waits are shortened).
#pragma once

#include <functional>
#include <memory>

#include "host/error.hpp"
#include "native/posix_services.hpp"

namespace emberscope::host {

/// A host exception carried through code that runs without the interpreter's lock: made with
/// the lock held from an Error, released (whatever thread holds the lock then) by taking it.
class HostRaised : public std::exception {
public:
    explicit HostRaised(Error&& error);
    const char* what() const noexcept override { return "host exception"; }
    /// With the lock held: makes the exception pending in the host again.
    void restore() const;
    RawObject* value() const { return exc_.get(); }

private:
    std::shared_ptr<RawObject> exc_;
};

class CommandServices : public native::PosixServices {
public:
    void check_signals() override;
    /// Through the host's `sys.stderr` when a program put a stream of its own there (the command
    /// stamps and counts its lines that way; tests capture them), else one write(2).
    void console(std::string_view line) override;
    void sleep(double seconds) override;
    double monotonic_seconds() override;
    double epoch_seconds() override;
    bool is_ordinary_error(const std::exception_ptr& error) override;
    std::string error_message(const std::exception_ptr& error) override;
    [[noreturn]] void rethrow_masked(const std::exception_ptr& error,
                                     std::span<const secrets::Secret> secrets) override;

    /// Runs `work` with the interpreter's lock released; called with it held. A host exception
    /// raised inside comes out as the host::Error it was.
    void run_released(const std::function<void()>& work);

private:
    // The host's `time.sleep` and `time.monotonic` when a program substituted them, looked up
    // when run_released begins; null while the host's own functions are in place.
    Object sleep_;
    Object monotonic_;
    Object time_;
    // The host's `sys.stderr` when it is not the process's own standard error, likewise.
    Object stderr_;
};

/// The process's one instance.
CommandServices& command_services();

/// Runs `work` with the interpreter's lock released (called with it held) and takes the lock
/// back whatever `work` throws; what it throws goes on unchanged.
void without_lock(const std::function<void()>& work);

/// Raises the host's error for a transport failure: TimeoutError for a deadline, OSError for
/// any other, with the failure's text.
[[noreturn]] void raise_transport_failure(const TransportFailure& failure);

}  // namespace emberscope::host
