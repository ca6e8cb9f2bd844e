// A plain-socket HTTP client for tests of servers on the loopback: every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace emberscope::testing {

/// A connected socket, closed with the object.
class Socket {
public:
    /// Connects to host:port (IPv4 or IPv6 numeric host); every read and write of it waits at
    /// most `seconds`. valid() is false when the connection failed.
    Socket(const std::string& host, int port, double seconds = 10) {
        const bool v6 = host.find(':') != std::string::npos;
        fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{static_cast<time_t>(seconds),
                      static_cast<suseconds_t>((seconds - static_cast<time_t>(seconds)) * 1e6)};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        int rc = -1;
        if (v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET6, host.c_str(), &a.sin6_addr);
            rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, host.c_str(), &a.sin_addr);
            rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        if (rc != 0) close();
    }
    ~Socket() { close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    /// Sends all of `bytes`; false when the peer closed or reset the connection first.
    bool send_all(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    void end_writing() { ::shutdown(fd_, SHUT_WR); }

    /// Everything the peer sends until it closes (or resets, or a read waits too long).
    std::string read_all() {
        std::string out;
        char buffer[65536];
        while (true) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

    /// True when the peer closes (or resets) the connection within `seconds` without sending.
    bool closed_by_peer(double seconds) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(seconds * 1000)) != 1) return false;
        char byte;
        const ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

private:
    int fd_ = -1;
};

/// Sends `request`, ends writing, and returns the whole answer.
inline std::string exchange(const std::string& host, int port, std::string_view request) {
    Socket s(host, port);
    if (!s.valid()) return "";
    s.send_all(request);
    s.end_writing();
    return s.read_all();
}

}  // namespace emberscope::testing
