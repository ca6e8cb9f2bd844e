// The bot threads' services.
#include "native/bot_services.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

namespace emberscope::native {

CancelPipe::CancelPipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

CancelPipe::~CancelPipe() {
    for (int fd : fds_)
        if (fd >= 0) ::close(fd);
}

void CancelPipe::trigger() {
    if (fds_[1] >= 0) [[maybe_unused]] const ssize_t n = ::write(fds_[1], "x", 1);
}

bool CancelPipe::triggered() const {
    pollfd p{fds_[0], POLLIN, 0};
    return fds_[0] >= 0 && ::poll(&p, 1, 0) > 0;
}

CancellableServices::CancellableServices(int cancel_fd) {
    curl().set_wake_fd(cancel_fd);
    curl().set_interruption_check([cancel_fd] {
        pollfd p{cancel_fd, POLLIN, 0};
        if (cancel_fd >= 0 && ::poll(&p, 1, 0) > 0) throw std::runtime_error("the exchange was cancelled");
    });
}

}  // namespace emberscope::native
