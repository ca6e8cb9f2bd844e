// The program's signal handlers.
#include "program/signals.hpp"

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "engine/watch_loop.hpp"

namespace emberscope::program {
namespace {

volatile std::sig_atomic_t g_stop = 0;    // the number of the stop signal that came, 0 for none
volatile std::sig_atomic_t g_reload = 0;  // SIGHUPs not yet taken
volatile std::sig_atomic_t g_writer = -1;
volatile std::sig_atomic_t g_exchange_writer = -1;

struct sigaction g_previous_term{}, g_previous_int{}, g_previous_hup{};

void on_signal(int number) {
    const int saved = errno;
    if (number == SIGHUP) {
        g_reload = 1;
    } else if (g_stop == 0) {
        g_stop = number;
    }
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full socket already holds a wake-up: the missing byte is no loss.
    for (const int fd : {static_cast<int>(g_writer), static_cast<int>(g_exchange_writer)})
        if (fd >= 0) [[maybe_unused]] const ssize_t n = ::send(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = saved;
}

void install(int number, struct sigaction* previous) {
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call the signal interrupts comes back to look at it.
    action.sa_flags = 0;
    ::sigaction(number, &action, previous);
}

}  // namespace

Signals::Signals(bool stops, bool reloads) : stops_(stops), reloads_(reloads) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    reader_ = pair[0];
    writer_ = pair[1];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        const int error = errno;
        ::close(reader_);
        ::close(writer_);
        throw std::system_error(error, std::generic_category(), "socketpair");
    }
    exchange_reader_ = pair[0];
    exchange_writer_ = pair[1];
    g_stop = 0;
    g_reload = 0;
    g_writer = writer_;
    g_exchange_writer = exchange_writer_;
    if (stops_) {
        install(SIGTERM, &g_previous_term);
        install(SIGINT, &g_previous_int);
    }
    if (reloads_) install(SIGHUP, &g_previous_hup);
}

Signals::~Signals() {
    if (stops_) {
        ::sigaction(SIGTERM, &g_previous_term, nullptr);
        ::sigaction(SIGINT, &g_previous_int, nullptr);
    }
    if (reloads_) ::sigaction(SIGHUP, &g_previous_hup, nullptr);
    g_writer = -1;
    g_exchange_writer = -1;
    for (const int fd : {writer_, reader_, exchange_writer_, exchange_reader_}) ::close(fd);
}

void Signals::drain_exchange_fd() const {
    char buffer[64];
    while (::recv(exchange_reader_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

void Signals::poke() {
    const unsigned char zero = 0;
    [[maybe_unused]] const ssize_t n = ::send(writer_, &zero, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}

std::optional<std::string> Signals::stop_signal() const {
    const int number = g_stop;
    if (number == 0) return std::nullopt;
    return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "signal " + std::to_string(number);
}

void Signals::check() const {
    if (std::optional<std::string> name = stop_signal()) throw engine::StopRequest{*name};
}

bool Signals::take_reload() {
    if (g_reload == 0) return false;
    g_reload = 0;
    return true;
}

}  // namespace emberscope::program
