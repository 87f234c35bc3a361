#include "display/service_notifier.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTest>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using ecran::display::NotifySocketChannel;
using ecran::display::ServiceNotifier;
using Messages = std::vector<std::string>;

// Plays the service manager: a datagram socket that collects notifications,
// on a path in a fresh directory or, when `abstract`, on an abstract name.
class ManagerSocket {
public:
    explicit ManagerSocket(bool abstract = false) {
        if (abstract) {
            address_ = "@ecran-notify-test-" + std::to_string(::getpid());
        } else {
            dir_.emplace("ecran-notify");
            address_ = (dir_->path() / "notify").string();
        }
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::memcpy(sa.sun_path, address_.data(), address_.size());
        if (abstract) sa.sun_path[0] = '\0';
        const auto length = offsetof(sockaddr_un, sun_path) + address_.size() + (abstract ? 0 : 1);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), static_cast<socklen_t>(length)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~ManagerSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] const std::string& address() const { return address_; }

    // Every notification that has arrived so far.
    Messages drain() {
        Messages all;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
            all.emplace_back(buffer, static_cast<size_t>(n));
        }
        return all;
    }

    // Turns the event loop until `count` notifications have arrived or
    // `limit` passes; returns what arrived.
    Messages waitFor(size_t count, std::chrono::milliseconds limit = 5000ms) {
        Messages all;
        (void)QTest::qWaitFor([&] {
            for (auto& m : drain()) all.push_back(std::move(m));
            return all.size() >= count;
        }, static_cast<int>(limit.count()));
        return all;
    }

private:
    std::optional<ecran::test_support::TempDir> dir_;
    std::string address_;
    int fd_ = -1;
};

std::unique_ptr<NotifySocketChannel> channelTo(const std::string& address) {
    std::string error;
    auto channel = NotifySocketChannel::open(address, error);
    EXPECT_TRUE(channel) << error;
    return channel;
}

TEST(ServiceNotifier, SaysReadyOnceWithItsStatusAndStoppingOnce) {
    for (bool abstract : {false, true}) {
        ManagerSocket manager(abstract);
        ASSERT_TRUE(manager.ok()) << manager.address();
        {
            ServiceNotifier notifier(channelTo(manager.address()), 0us);
            EXPECT_TRUE(manager.drain().empty());  // nothing before the window is up
            notifier.ready("Listening on UDP port 4445\nsecond line");
            notifier.ready("again");
            notifier.stopping();
            notifier.stopping();
        }  // and not again when destroyed
        EXPECT_EQ(manager.drain(), (Messages{"READY=1\nSTATUS=Listening on UDP port 4445 second line", "STOPPING=1"}))
            << manager.address();
    }
}

// The watchdog is fed by the GUI thread's event loop and by nothing else:
// while the loop is blocked no WATCHDOG=1 leaves, so systemd's watchdog runs
// out on a hung display.
TEST(ServiceNotifier, WatchdogIsFedOnlyWhileTheEventLoopTurns) {
    ManagerSocket manager;
    ASSERT_TRUE(manager.ok());
    ServiceNotifier notifier(channelTo(manager.address()), 40ms);
    EXPECT_EQ(notifier.feedInterval(), 20ms);
    notifier.ready();
    ASSERT_EQ(manager.drain(), Messages{"READY=1"});
    EXPECT_EQ(manager.waitFor(3), Messages(3, "WATCHDOG=1"));

    // The loop blocks for ten feeding periods: nothing may arrive.
    manager.drain();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(manager.drain().empty());

    // Once the loop turns again the feeding resumes.
    const auto resumed = manager.waitFor(1);
    ASSERT_FALSE(resumed.empty());
    EXPECT_EQ(resumed.front(), "WATCHDOG=1");

    // After STOPPING=1 the watchdog is left alone.
    notifier.stopping();
    EXPECT_EQ(manager.drain(), Messages{"STOPPING=1"});
    EXPECT_TRUE(manager.waitFor(1, 150ms).empty());
}

// The variables are taken and cleared, so that a second notifier (or a
// program started later) finds itself outside any service manager.
TEST(ServiceNotifier, TakesTheSocketAndWatchdogFromTheEnvironmentAndClearsThem) {
    ManagerSocket manager;
    ASSERT_TRUE(manager.ok());
    ::setenv("NOTIFY_SOCKET", manager.address().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "30000000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    {
        ServiceNotifier notifier;
        EXPECT_TRUE(notifier.active());
        EXPECT_EQ(notifier.feedInterval(), 15000ms);
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) EXPECT_FALSE(std::getenv(name));
        EXPECT_TRUE(notifier.report().contains(QString::fromStdString(manager.address())));
        EXPECT_TRUE(notifier.report().contains(QStringLiteral("15000 ms")));
        notifier.ready();

        ServiceNotifier outside;
        EXPECT_FALSE(outside.active());
        EXPECT_EQ(outside.feedInterval(), 0ms);
        outside.ready();
        EXPECT_TRUE(outside.report().contains(QStringLiteral("NOTIFY_SOCKET is not set")));
    }  // destroyed after ready: says it stops
    EXPECT_EQ(manager.drain(), (Messages{"READY=1", "STOPPING=1"}));
}

TEST(ServiceNotifier, AManagerThatWentAwayIsReportedOnceNotFatal) {
    std::string address = ManagerSocket().address();
    ServiceNotifier notifier(channelTo(address), 0us);
    testing::internal::CaptureStderr();
    notifier.ready();
    notifier.stopping();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(address), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "reported more than once: " << err;
}

TEST(NotifySettings, AreReadFromTheServiceEnvironment) {
    struct Row {
        const char *socket, *usec, *pid;  // this process is 1234
        long long watchdogUsec;
        bool problem;
    };
    for (const Row& e : {Row{nullptr, "1000", nullptr, 0, false},  // no socket: nothing at all
                         Row{"/run/n", nullptr, nullptr, 0, false}, Row{"@n", "30000000", nullptr, 30000000, false},
                         Row{"/run/n", "30000000", "1234", 30000000, false},
                         Row{"/run/n", "30000000", "999", 0, false},  // another process's watchdog
                         Row{"/run/n", "0", nullptr, 0, false}, Row{"/run/n", "30s", nullptr, 0, true},
                         Row{"/run/n", "99999999999999999999999", nullptr, 0, true},
                         Row{"/run/n", "1000", "12a", 0, true}}) {
        const auto s = ecran::display::notifySettings(e.socket, e.usec, e.pid, 1234);
        SCOPED_TRACE(testing::Message() << "usec " << (e.usec ? e.usec : "-") << ", pid " << (e.pid ? e.pid : "-"));
        EXPECT_EQ(s.socketAddress, e.socket ? e.socket : "");
        EXPECT_EQ(s.watchdog.count(), e.watchdogUsec);
        EXPECT_EQ(!s.problem.empty(), e.problem) << s.problem;
    }
}

TEST(NotifySocketChannel, RefusesAddressesThatAreNotSockets) {
    const Messages bad = {"relative/path", "@", "/", std::string(108, '/'), "vsock:2:1234"};
    for (const std::string& address : bad) {
        std::string error;
        EXPECT_EQ(NotifySocketChannel::open(address, error), nullptr) << address;
        EXPECT_NE(error.find("NOTIFY_SOCKET"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_NE(NotifySocketChannel::open("@" + std::string(107, 'a'), error), nullptr) << error;
}

}  // namespace
