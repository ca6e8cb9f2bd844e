// A small HTTP/1.1 server for the metrics of `watch`: GET and HEAD only, one request per
// connection, served from one thread of its own over poll(2).
//
// No client can stall the monitor or make it grow: the request head is read up to a fixed size,
// every connection has a deadline, only a few connections are served at once (more are closed as
// soon as they are accepted), and each answer is produced whole by the handler before it is sent.
// While no connection is open the thread sleeps in poll without a time-out.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "metrics/listen.hpp"

namespace emberscope::metrics {

/// The content type of plain answers.
inline constexpr std::string_view kPlainText = "text/plain; charset=utf-8";

/// One answer: its status, body and content type.
struct Response {
    int status = 200;
    std::string body;
    std::string content_type = std::string(kPlainText);
    bool operator==(const Response&) const = default;
};

/// The answer to a GET or HEAD of `path` (the request target without its query, ASCII). Called
/// on the server's thread; what it throws is answered 500.
using Handler = std::function<Response(std::string_view path)>;

/// The server's bounds.
struct ServerLimits {
    std::size_t max_connections = 8;
    std::size_t head_limit = 8 * 1024;  ///< bytes of request head read at most
    double head_seconds = 5.0;          ///< from the accept to the end of the request head
    double send_seconds = 10.0;         ///< to send the answer
    double linger_seconds = 1.0;        ///< to read and drop what the client still sends
    std::size_t linger_bytes = 64 * 1024;
};

/// The bytes of an answer: status line, headers (Content-Type, Content-Length,
/// Cache-Control: no-store, Connection: close, and Allow for a 405) and, when `with_body`, the body.
std::string render_response(const Response& response, bool with_body);

class HttpServer {
public:
    /// Binds, listens and starts serving `handler`; the system's reason ("Address already in
    /// use") when the address cannot be listened on.
    static std::variant<std::unique_ptr<HttpServer>, std::string> start(
        const Address& address, Handler handler, ServerLimits limits = {});

    /// Stops serving and closes every socket.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// The address listened on, with the port the system picked for port 0.
    const Address& address() const { return address_; }

    /// Connections closed at once for want of room, and closed at their deadline.
    std::size_t turned_away() const { return turned_away_; }
    std::size_t timed_out() const { return timed_out_; }

private:
    struct Loop;
    HttpServer(Address address, int listener, int wake_read, int wake_write);

    Address address_;
    int listener_;
    int wake_read_;
    int wake_write_;
    std::atomic<std::size_t> turned_away_{0};
    std::atomic<std::size_t> timed_out_{0};
    std::thread thread_;
};

}  // namespace emberscope::metrics
