#include "metrics/http_server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "testing_cpp/loopback_client.hpp"

namespace emberscope::metrics {
namespace {

using testing::Socket;

const std::string kNotFound = "not found: try /metrics or /healthz\n";

std::string answer_bytes(const std::string& status_line, const std::string& body,
                         const std::string& extra = "", bool with_body = true) {
    return "HTTP/1.1 " + status_line + "\r\nContent-Type: text/plain; charset=utf-8\r\n"
           "Content-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n" + extra + "\r\n" +
           (with_body ? body : "");
}

Response by_path(std::string_view path) {
    if (path == "/healthz") return Response{200, "ok\n"};
    if (path == "/boom") throw std::runtime_error("boom");
    return Response{404, kNotFound};
}

ServerLimits head_seconds(double seconds) {
    ServerLimits limits;
    limits.head_seconds = seconds;
    return limits;
}

std::unique_ptr<HttpServer> serve(ServerLimits limits = {}) {
    auto started = HttpServer::start({"127.0.0.1", 0}, by_path, limits);
    if (auto* reason = std::get_if<std::string>(&started)) ADD_FAILURE() << *reason;
    return std::move(std::get<std::unique_ptr<HttpServer>>(started));
}

std::string ask(const HttpServer& server, std::string_view request) {
    return testing::exchange(server.address().host, server.address().port, request);
}

struct Case {
    std::string request;
    std::string answer;
};

TEST(HttpServer, AnswersByteForByte) {
    const auto server = serve();
    const std::string allow = "Allow: GET, HEAD\r\n";
    const std::string only = "only GET and HEAD\n";
    const std::string bad = "bad request\n";
    const std::string over = "request head over 8192 bytes\n";
    const Case cases[] = {
        {"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", answer_bytes("200 OK", "ok\n")},
        {"HEAD /healthz HTTP/1.1\r\n\r\n", answer_bytes("200 OK", "ok\n", "", false)},
        {"GET /healthz?verbose=1 HTTP/1.0\n\n", answer_bytes("200 OK", "ok\n")},
        {"GET /nowhere HTTP/1.1\r\n\r\n", answer_bytes("404 Not Found", kNotFound)},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", answer_bytes("404 Not Found", kNotFound)},
        {"GET /health%7A HTTP/1.1\r\n\r\n", answer_bytes("404 Not Found", kNotFound)},
        {"HEAD / HTTP/1.1\r\n\r\n", answer_bytes("404 Not Found", kNotFound, "", false)},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi",
         answer_bytes("405 Method Not Allowed", only, allow)},
        {"DELETE /healthz HTTP/1.1\r\n\r\n", answer_bytes("405 Method Not Allowed", only, allow)},
        {"get /healthz HTTP/1.1\r\n\r\n", answer_bytes("405 Method Not Allowed", only, allow)},
        {"GET\r\n\r\n", answer_bytes("400 Bad Request", bad)},
        {"GET /healthz SPDY/3\r\n\r\n", answer_bytes("400 Bad Request", bad)},
        {"GET /healthz HTTP/2.0\r\n\r\n", answer_bytes("400 Bad Request", bad)},
        {"GET  /healthz HTTP/1.1\r\n\r\n", answer_bytes("400 Bad Request", bad)},
        {"G(T /healthz HTTP/1.1\r\n\r\n", answer_bytes("400 Bad Request", bad)},
        {std::string("G\0T /healthz HTTP/1.1\r\n\r\n", 26), answer_bytes("400 Bad Request", bad)},
        {"GET /h\xc3\xa9 HTTP/1.1\r\n\r\n", answer_bytes("400 Bad Request", bad)},
        {"GET /boom HTTP/1.1\r\n\r\n",
         answer_bytes("500 Internal Server Error", "internal error\n")},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", answer_bytes("414 URI Too Long", over)},
        {"GET / HTTP/1.1\r\nCookie: " + std::string(9000, 'a') + "\r\n\r\n",
         answer_bytes("431 Request Header Fields Too Large", over)},
        // A head that ends at the limit's last byte is served; one byte more is over.
        {"GET /healthz HTTP/1.1\r\nX: " + std::string(8192 - 26 - 4, 'a') + "\r\n\r\n",
         answer_bytes("200 OK", "ok\n")},
        {"GET /healthz HTTP/1.1\r\nX: " + std::string(8192 - 26 - 3, 'a') + "\r\n\r\n",
         answer_bytes("431 Request Header Fields Too Large", over)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ask(*server, c.request), c.answer) << c.request.substr(0, 40);
}

TEST(HttpServer, ASlowClientIsClosedAtItsDeadlineWhileOthersAreServed) {
    const auto server = serve(head_seconds(1.0));
    Socket slow(server->address().host, server->address().port);
    ASSERT_TRUE(slow.send_all("GET /healthz HTTP/1.1\r\n"));
    const auto started = std::chrono::steady_clock::now();
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - started < std::chrono::seconds(20)) {
        closed = !slow.send_all("X") || slow.closed_by_peer(0.05);  // never the end of the head
        EXPECT_EQ(ask(*server, "GET /healthz HTTP/1.1\r\n\r\n"), answer_bytes("200 OK", "ok\n"));
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(server->timed_out(), 1u);
}

TEST(HttpServer, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    // Held connections keep their places for a minute: any connection beyond the eight that is
    // not closed at once fails the test by the time-out of its wait.
    const auto server = serve(head_seconds(60));
    const Address& at = server->address();
    std::vector<Socket> held;
    for (int i = 0; i < 8; ++i) held.emplace_back(at.host, at.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // accepted, waiting for requests
    for (int i = 0; i < 20; ++i) {
        Socket extra(at.host, at.port);
        ASSERT_TRUE(extra.valid());
        EXPECT_TRUE(extra.closed_by_peer(10)) << i;
    }
    EXPECT_EQ(server->turned_away(), 20u);
    EXPECT_EQ(server->timed_out(), 0u);

    held.front().close();
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (reply.empty() && std::chrono::steady_clock::now() < deadline) {
        reply = ask(*server, "GET /nowhere HTTP/1.1\r\n\r\n");
        if (reply.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(reply, answer_bytes("404 Not Found", kNotFound));
}

TEST(HttpServer, AMegabyteRequestLineIsCutShort) {
    const auto server = serve();
    Socket s(server->address().host, server->address().port);
    const std::string line = "GET /" + std::string(1 << 20, 'a');
    std::thread sender([&] { s.send_all(line); });  // fails once the server closes
    const std::string reply = s.read_all();
    sender.join();
    // The answer, unless the reset for the unread rest overtook it.
    if (!reply.empty()) {
        EXPECT_EQ(reply, answer_bytes("414 URI Too Long", "request head over 8192 bytes\n"));
    }
    EXPECT_EQ(ask(*server, "GET /healthz HTTP/1.1\r\n\r\n"), answer_bytes("200 OK", "ok\n"));
}

TEST(HttpServer, StoppingClosesTheListenerAndEveryConnection) {
    auto server = serve();
    const Address at = server->address();
    Socket held(at.host, at.port);
    ASSERT_TRUE(held.valid());
    server.reset();
    EXPECT_TRUE(held.closed_by_peer(10));
    EXPECT_FALSE(Socket(at.host, at.port).valid());
}

TEST(HttpServer, AnAddressInUseIsRefusedWithTheSystemsReason) {
    const auto server = serve();
    auto second = HttpServer::start(server->address(), by_path);
    ASSERT_TRUE(std::holds_alternative<std::string>(second));
    EXPECT_EQ(std::get<std::string>(second), "Address already in use");
    auto foreign = HttpServer::start({"192.0.2.1", 0}, by_path);  // not this machine's
    ASSERT_TRUE(std::holds_alternative<std::string>(foreign));
    EXPECT_EQ(std::get<std::string>(foreign), "Cannot assign requested address");
}

TEST(HttpServer, ServesTheIpv6Loopback) {
    if (!Socket("::1", 1).valid() && errno == EADDRNOTAVAIL) GTEST_SKIP() << "no IPv6 loopback";
    auto started = HttpServer::start({"::1", 0}, by_path);
    if (auto* reason = std::get_if<std::string>(&started)) GTEST_SKIP() << *reason;
    const auto& server = std::get<std::unique_ptr<HttpServer>>(started);
    EXPECT_EQ(server->address().host, "::1");
    EXPECT_NE(server->address().port, 0);
    EXPECT_EQ(ask(*server, "GET /healthz HTTP/1.1\r\n\r\n"), answer_bytes("200 OK", "ok\n"));
}

}  // namespace
}  // namespace emberscope::metrics
