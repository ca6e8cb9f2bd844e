// The POSIX services of the bot's threads: each its own libcurl handle (a long poll never holds
// back an answer, nor the cycle's exchanges), and one descriptor that ends the exchanges and the
// chart under way when the bot closes.
#pragma once

#include "native/posix_services.hpp"

namespace emberscope::native {

/// A pipe that, once triggered, stays readable: every wait that watches it ends.
class CancelPipe {
public:
    CancelPipe();
    ~CancelPipe();
    CancelPipe(const CancelPipe&) = delete;
    CancelPipe& operator=(const CancelPipe&) = delete;

    /// The end to watch; -1 when the pipe could not be made.
    int fd() const { return fds_[0]; }
    /// Makes fd() readable for good.
    void trigger();
    bool triggered() const;

private:
    int fds_[2] = {-1, -1};
};

/// PosixServices whose exchanges end ("the exchange was cancelled", an ordinary error) within a
/// moment of `cancel_fd` becoming readable.
class CancellableServices : public PosixServices {
public:
    explicit CancellableServices(int cancel_fd);
};

}  // namespace emberscope::native
