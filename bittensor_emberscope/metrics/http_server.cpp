#include "metrics/http_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <list>
#include <vector>

namespace emberscope::metrics {

namespace {

constexpr std::size_t kReadSize = 4096;
// After the system refused an accept for want of descriptors or memory, the listener rests
// this long rather than being polled again at once.
constexpr double kAcceptRestSeconds = 0.1;

std::string_view reason_of(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 414: return "URI Too Long";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "";
    }
}

Response error_response(int status, std::string_view text) {
    return Response{status, std::string(text) + "\n"};
}

// The characters of an HTTP method (a token).
bool is_token_char(unsigned char c) {
    return std::isalnum(c) != 0 || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

struct Target {
    bool head_only = false;
    std::string path;
};

// The method and path of a complete request head, or the error answer.
std::variant<Target, Response> request_target(std::string_view head) {
    std::string_view line = head.substr(0, head.find('\n'));
    while (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    const Response bad = error_response(400, "bad request");
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return bad;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (method.empty() || target.empty() || !version.starts_with("HTTP/1.")) return bad;
    for (unsigned char c : method)
        if (c == 0 || !is_token_char(c)) return bad;
    if (method != "GET" && method != "HEAD") return error_response(405, "only GET and HEAD");
    const std::string_view path = target.substr(0, target.find('?'));
    for (unsigned char c : path)
        if (c >= 0x80) return bad;
    return Target{method == "HEAD", std::string(path)};
}

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void close_quietly(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace

std::string render_response(const Response& response, bool with_body) {
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " ";
    out += reason_of(response.status);
    out += "\r\nContent-Type: " + response.content_type;
    out += "\r\nContent-Length: " + std::to_string(response.body.size());
    out += "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    if (response.status == 405) out += "Allow: GET, HEAD\r\n";
    out += "\r\n";
    if (with_body) out += response.body;
    return out;
}

// The serving thread's state: its connections and what it does with each.
struct HttpServer::Loop {
    enum class Phase { head, send, linger };
    struct Connection {
        Connection(int socket, double head_deadline) : fd(socket), deadline(head_deadline) {}
        int fd;
        double deadline;
        Phase phase = Phase::head;
        std::string head;
        std::string out;
        std::size_t sent = 0;
        std::size_t dropped = 0;
    };

    HttpServer& server;
    Handler handler;
    ServerLimits limits;
    std::list<Connection> connections;
    double listener_rests_until = 0;

    void run() {
        std::vector<pollfd> fds;
        std::vector<std::list<Connection>::iterator> polled;
        while (true) {
            const double now = now_seconds();
            const bool listening = now >= listener_rests_until;
            fds.clear();
            polled.clear();
            fds.push_back({server.wake_read_, POLLIN, 0});
            fds.push_back({listening ? server.listener_ : -1, POLLIN, 0});
            for (auto it = connections.begin(); it != connections.end(); ++it) {
                fds.push_back({it->fd, static_cast<short>(it->phase == Phase::send ? POLLOUT : POLLIN), 0});
                polled.push_back(it);
            }
            if (::poll(fds.data(), fds.size(), timeout_ms(now, listening)) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents) break;  // asked to stop
            for (std::size_t i = 0; i < polled.size(); ++i)
                if (fds[i + 2].revents) step(polled[i]);
            if (fds[1].revents) accept_all();
            expire();
        }
        for (Connection& c : connections) ::close(c.fd);
        connections.clear();
    }

    // Milliseconds until the soonest deadline; -1 (no time-out) when nothing waits for one.
    int timeout_ms(double now, bool listening) const {
        double soonest = listening ? INFINITY : listener_rests_until;
        for (const Connection& c : connections) soonest = std::min(soonest, c.deadline);
        if (std::isinf(soonest)) return -1;
        return static_cast<int>(std::ceil(std::max(0.0, soonest - now) * 1000));
    }

    void accept_all() {
        while (true) {
            const int fd = ::accept4(server.listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    listener_rests_until = now_seconds() + kAcceptRestSeconds;
                return;
            }
            if (connections.size() >= limits.max_connections) {
                ++server.turned_away_;
                ::close(fd);
                continue;
            }
            connections.emplace_back(fd, now_seconds() + limits.head_seconds);
        }
    }

    void expire() {
        const double now = now_seconds();
        for (auto it = connections.begin(); it != connections.end();) {
            auto next = std::next(it);
            if (it->deadline <= now) {
                if (it->phase != Phase::linger) ++server.timed_out_;
                close(it);
            }
            it = next;
        }
    }

    void close(std::list<Connection>::iterator it) {
        ::close(it->fd);
        connections.erase(it);
    }

    void step(std::list<Connection>::iterator it) {
        switch (it->phase) {
            case Phase::head: return read_head(it);
            case Phase::send: return send(it);
            case Phase::linger: return linger(it);
        }
    }

    // The bytes read, 0 at the end of the stream, -1 when nothing is there yet; closes the
    // connection (and gives -2) on an error.
    ssize_t receive(std::list<Connection>::iterator it, char* buffer, std::size_t size) {
        const ssize_t n = ::recv(it->fd, buffer, size, 0);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
        close(it);
        return -2;
    }

    // Reads at most head_limit bytes in all: a head is served when it ends within them.
    void read_head(std::list<Connection>::iterator it) {
        char buffer[kReadSize];
        const ssize_t n = receive(it, buffer, std::min(kReadSize, limits.head_limit - it->head.size()));
        if (n == 0) return close(it);  // the client gave up before its request was complete
        if (n < 0) return;
        std::string& head = it->head;
        const std::size_t start = head.size() >= 3 ? head.size() - 3 : 0;
        head.append(buffer, static_cast<std::size_t>(n));
        std::size_t end = head.find("\r\n\r\n", start);
        if (end == std::string::npos) end = head.find("\n\n", start > 0 ? start - 1 : 0);
        if (end != std::string::npos) {
            answer(it, std::string_view(head).substr(0, end));
        } else if (head.size() >= limits.head_limit) {
            const bool whole_line = head.find('\n') < limits.head_limit;
            respond(it, error_response(whole_line ? 431 : 414, "request head over " +
                                       std::to_string(limits.head_limit) + " bytes"), true);
        }
    }

    void answer(std::list<Connection>::iterator it, std::string_view head) {
        auto target = request_target(head);
        if (auto* refusal = std::get_if<Response>(&target)) return respond(it, *refusal, true);
        const Target& request = std::get<Target>(target);
        Response response;
        try {
            response = handler(request.path);
        } catch (...) {  // a fault of the exporter answers 500; the server goes on
            response = error_response(500, "internal error");
        }
        respond(it, response, !request.head_only);
    }

    void respond(std::list<Connection>::iterator it, const Response& response, bool with_body) {
        it->head = std::string();
        it->out = render_response(response, with_body);
        it->phase = Phase::send;
        it->deadline = now_seconds() + limits.send_seconds;
        send(it);
    }

    void send(std::list<Connection>::iterator it) {
        while (it->sent < it->out.size()) {
            const ssize_t n = ::send(it->fd, it->out.data() + it->sent, it->out.size() - it->sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
                return close(it);
            }
            it->sent += static_cast<std::size_t>(n);
        }
        // What the client still sends is read and dropped for a moment, so that closing does
        // not reset the connection before the client has read the answer.
        ::shutdown(it->fd, SHUT_WR);
        it->out = std::string();
        it->phase = Phase::linger;
        it->deadline = now_seconds() + limits.linger_seconds;
    }

    void linger(std::list<Connection>::iterator it) {
        char buffer[kReadSize];
        const ssize_t n = receive(it, buffer, kReadSize);
        if (n < -1) return;
        if (n > 0) it->dropped += static_cast<std::size_t>(n);
        if (n == 0 || it->dropped > limits.linger_bytes) close(it);
    }
};

HttpServer::HttpServer(Address address, int listener, int wake_read, int wake_write)
    : address_(std::move(address)), listener_(listener), wake_read_(wake_read), wake_write_(wake_write) {}

std::variant<std::unique_ptr<HttpServer>, std::string> HttpServer::start(
    const Address& address, Handler handler, ServerLimits limits) {
    const bool v6 = address.host.find(':') != std::string::npos;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<std::uint16_t>(address.port));
        if (inet_pton(AF_INET6, address.host.c_str(), &a->sin6_addr) != 1) return std::string(std::strerror(EINVAL));
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<std::uint16_t>(address.port));
        if (inet_pton(AF_INET, address.host.c_str(), &a->sin_addr) != 1) return std::string(std::strerror(EINVAL));
        length = sizeof *a;
    }
    const int listener = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) return std::string(std::strerror(errno));
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (v6) ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    int wake[2] = {-1, -1};
    if (::bind(listener, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&storage), &length) != 0 ||
        ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        close_quietly(listener);
        return std::string(std::strerror(error));
    }
    Address bound = address;
    bound.port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    std::unique_ptr<HttpServer> server(new HttpServer(std::move(bound), listener, wake[0], wake[1]));
    // The thread takes no signals: they stay with the threads that wait for them.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    server->thread_ = std::thread([s = server.get(), handler = std::move(handler), limits] {
        Loop{*s, handler, limits, {}, 0}.run();
    });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return server;
}

HttpServer::~HttpServer() {
    if (thread_.joinable()) {
        const char stop = 's';
        [[maybe_unused]] const ssize_t n = ::write(wake_write_, &stop, 1);
        thread_.join();
    }
    close_quietly(listener_);
    close_quietly(wake_read_);
    close_quietly(wake_write_);
}

}  // namespace emberscope::metrics
