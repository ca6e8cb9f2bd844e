#include "native/native_bot.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace emberscope::native {
namespace {

// A Bot API on loopback that introduces the bot and then holds every getUpdates unanswered,
// as a long poll with nothing to say does.
class HoldingTelegram {
public:
    HoldingTelegram() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), n);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HoldingTelegram() {
        stop_.trigger();
        thread_.join();
        for (int fd : held_) ::close(fd);
        ::close(listener_);
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void wait_for_poll() {
        std::unique_lock lock(mutex_);
        polled_.wait(lock, [&] { return polls_ > 0; });
    }

private:
    void serve() {
        while (true) {
            pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0 || fds[1].revents) return;
            const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            while (answer(c)) {}
        }
    }
    // Answers one request on `c`; false once the connection is held or closed.
    bool answer(int c) {
        std::string request;
        char buf[4096];
        std::size_t head_end;
        while ((head_end = request.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t r = ::read(c, buf, sizeof buf);
            if (r <= 0) return ::close(c), false;
            request.append(buf, static_cast<std::size_t>(r));
        }
        const std::size_t length_at = request.find("Content-Length: ");
        const std::size_t length = length_at == std::string::npos ? 0 : std::stoul(request.substr(length_at + 16));
        while (request.size() < head_end + 4 + length) {
            const ssize_t r = ::read(c, buf, sizeof buf);
            if (r <= 0) return ::close(c), false;
            request.append(buf, static_cast<std::size_t>(r));
        }
        if (request.find("/getUpdates ") != std::string::npos) {
            std::lock_guard lock(mutex_);
            ++polls_;
            held_.push_back(c);
            polled_.notify_all();
            return false;
        }
        const std::string body = request.find("/getMe ") != std::string::npos
                                     ? R"({"ok": true, "result": {"id": 1, "is_bot": true, "username": "emberscope_bot"}})"
                                     : R"({"ok": true, "result": true})";
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body;
        return ::write(c, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    }

    int listener_ = -1;
    int port_ = 0;
    CancelPipe stop_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable polled_;
    int polls_ = 0;
    std::vector<int> held_;
};

struct NoAnswers : bot::Answerer {
    std::optional<bot::Reply> answer(const bot::Parsed&, const bot::Message&) override { return std::nullopt; }
};

TEST(NativeBot, ClosingEndsARealLongPollUnderWay) {
    HoldingTelegram telegram;
    char folder[] = "/tmp/emberscope-bot-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    bot::BotSettings settings;
    settings.token = "123456:bot-token-that-must-never-show";
    settings.api_base = telegram.base();
    settings.offset_path = std::string(folder) + "/state.bot-offset.json";
    settings.access = {{"-1001"}, {}};
    engine::ChatHolds holds;
    NoAnswers answers;
    std::atomic<int> notes = 0;
    NativeBot bot(settings, holds, answers, "", [&] { ++notes; });
    bot.start();
    telegram.wait_for_poll();  // a 50 s long poll is under way
    EXPECT_EQ(bot.bot().note(), "answering as @emberscope_bot");
    bot.close();  // returns: the cancel pipe ended the exchange
    EXPECT_EQ(bot.bot().note(), std::nullopt);
    EXPECT_EQ(notes.load(), 2);
    ::rmdir(folder);
}

}  // namespace
}  // namespace emberscope::native
