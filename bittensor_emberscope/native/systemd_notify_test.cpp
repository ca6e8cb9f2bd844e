#include "native/systemd_notify.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "native/loop_services.hpp"

namespace emberscope::native {
namespace {

// A datagram socket bound where the notifications are to go.
struct Listener {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string name;

    explicit Listener(bool abstract) {
        const std::string unique = "emberscope-notify-" + std::to_string(::getpid()) + "-" +
                                   std::to_string(reinterpret_cast<std::uintptr_t>(this));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        socklen_t length;
        if (abstract) {
            name = "@" + unique;
            std::memcpy(a.sun_path + 1, unique.data(), unique.size());
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + unique.size());
        } else {
            name = ::testing::TempDir() + unique;
            std::memcpy(a.sun_path, name.data(), name.size());
            length = sizeof a;
        }
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), length), 0) << std::strerror(errno);
    }
    ~Listener() {
        ::close(fd);
        if (name.front() == '/') ::unlink(name.c_str());
    }
    // The datagrams that came within `seconds`.
    std::vector<std::string> received(double seconds) {
        std::vector<std::string> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[512];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n >= 0) out.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }
};

TEST(SystemdNotifier, SendsOneDatagramToAPathOrAnAbstractName) {
    for (bool abstract : {false, true}) {
        Listener listener(abstract);
        SystemdNotifier notifier(listener.name, "", "");
        ASSERT_TRUE(notifier.enabled());
        EXPECT_TRUE(notifier.send("READY=1\nSTATUS=started"));
        EXPECT_EQ(listener.received(0.5), std::vector<std::string>{"READY=1\nSTATUS=started"});
    }
}

TEST(SystemdNotifier, OutsideANotifyServiceNothingIsSent) {
    for (const char* name : {"", "relative/socket", "@"}) {
        SystemdNotifier notifier(name, "", "");
        EXPECT_FALSE(notifier.enabled()) << name;
        EXPECT_FALSE(notifier.send("READY=1")) << name;
    }
    // A socket nobody listens on: dropped, never an error.
    SystemdNotifier gone(::testing::TempDir() + "no-such-socket", "", "");
    EXPECT_FALSE(gone.send("READY=1"));
}

TEST(SystemdNotifier, TheWatchdogIsOnlyThisProcesssOwn) {
    const std::string me = std::to_string(::getpid());
    struct Case {
        std::string usec, pid;
        std::optional<double> seconds;
    };
    const Case cases[] = {
        {"400000", "", 0.4},   {"400000", me, 0.4},        {"400000", "1", std::nullopt},
        {"0", "", std::nullopt}, {"", "", std::nullopt},   {"-5", "", std::nullopt},
        {"4e5", "", std::nullopt}, {"99999999999999999999999", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SystemdNotifier notifier("/run/x", c.usec, c.pid);
        EXPECT_EQ(notifier.watchdog_seconds(), c.seconds) << c.usec << " " << c.pid;
    }
}

TEST(CycleWatchdog, FeedsWhileACycleIsCoveredAndNotAfter) {
    Listener listener(false);
    SystemdNotifier notifier(listener.name, "600000", "");  // fed every 0.5 s while covered
    CycleWatchdog watchdog(notifier);
    EXPECT_TRUE(listener.received(0.8).empty());  // no cycle: asleep
    watchdog.begin(60);
    const std::vector<std::string> fed = listener.received(1.8);
    watchdog.end();
    EXPECT_GE(fed.size(), 1u);
    for (const std::string& one : fed) EXPECT_EQ(one, "WATCHDOG=1");
    listener.received(0.6);  // one may have been on its way
    EXPECT_TRUE(listener.received(1.2).empty());
    // A limit shorter than the cycle: the cycle stuck for good gets no more feeding.
    watchdog.begin(0.01);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(listener.received(1.2).empty());
}

TEST(WakeDescriptor, AZeroByteIsTheBotsAnyOtherASignals) {
    struct Case {
        std::string bytes;
        bool signalled, poked;
    };
    const Case cases[] = {
        {"", false, false}, {std::string(1, '\0'), false, true}, {"\x0f", true, false},
        {std::string("\x01\0\x0f", 3), true, true}, {std::string(600, '\0'), false, true},
    };
    for (const Case& c : cases) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        if (!c.bytes.empty()) {
            ASSERT_EQ(::write(pair[1], c.bytes.data(), c.bytes.size()),
                      static_cast<ssize_t>(c.bytes.size()));
        }
        const engine::Woken woken = drain_wake_descriptor(pair[0]);
        EXPECT_EQ(woken.signalled, c.signalled) << c.bytes.size();
        EXPECT_EQ(woken.poked, c.poked) << c.bytes.size();
        pollfd p{pair[0], POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 0), 0) << "everything was read";
        ::close(pair[0]);
        ::close(pair[1]);
    }
}

}  // namespace
}  // namespace emberscope::native
