#include "display/service_notifier.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ecran::display::NotifySocketChannel;
using ecran::display::ServiceNotifier;

// Plays the service manager: a datagram socket that collects notifications.
class ManagerSocket {
public:
    // A path in a fresh directory, or an abstract name when `abstract`.
    explicit ManagerSocket(bool abstract = false) {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        socklen_t length;
        if (abstract) {
            address_ = "@ecran-notify-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++);
            std::memcpy(sa.sun_path + 1, address_.data() + 1, address_.size() - 1);
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
        } else {
            char pattern[] = "/tmp/ecran-notify-XXXXXX";
            dir_ = ::mkdtemp(pattern);
            address_ = dir_ + "/notify";
            std::memcpy(sa.sun_path, address_.c_str(), address_.size() + 1);
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() + 1);
        }
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), length) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~ManagerSocket() {
        if (fd_ >= 0) ::close(fd_);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] const std::string& address() const { return address_; }

    // Every notification that has arrived so far.
    std::vector<std::string> drain() {
        std::vector<std::string> all;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) all.emplace_back(buffer, size_t(n));
        return all;
    }

    // Runs the event loop until `count` notifications have arrived or a
    // generous limit passes; returns what arrived.
    std::vector<std::string> waitFor(size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::vector<std::string> all;
        QElapsedTimer clock;
        clock.start();
        while (all.size() < count && clock.elapsed() < limit.count()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            for (auto& m : drain()) all.push_back(std::move(m));
            std::this_thread::sleep_for(2ms);
        }
        return all;
    }

private:
    static inline int counter_ = 0;
    std::string dir_;
    std::string address_;
    int fd_ = -1;
};

std::unique_ptr<NotifySocketChannel> channelTo(const std::string& address) {
    std::string error;
    auto channel = NotifySocketChannel::open(address, error);
    EXPECT_TRUE(channel) << error;
    return channel;
}

TEST(ServiceNotifier, SaysReadyOnceWithItsStatusThenStopping) {
    for (bool abstract : {false, true}) {
        ManagerSocket manager(abstract);
        ASSERT_TRUE(manager.ok()) << manager.address();
        ServiceNotifier notifier(channelTo(manager.address()), 0us);
        EXPECT_TRUE(manager.drain().empty());  // nothing before the window is up

        notifier.ready("Listening on UDP port 4445\nsecond line");
        notifier.ready("again");
        notifier.stopping();
        notifier.stopping();

        EXPECT_EQ(manager.drain(), (std::vector<std::string>{
                                       "READY=1\nSTATUS=Listening on UDP port 4445 second line", "STOPPING=1"}))
            << manager.address();
    }
}

TEST(ServiceNotifier, SaysStoppingWhenDestroyedAfterReady) {
    ManagerSocket manager;
    ASSERT_TRUE(manager.ok());
    {
        ServiceNotifier notifier(channelTo(manager.address()), 0us);
        notifier.ready();
    }
    EXPECT_EQ(manager.drain(), (std::vector<std::string>{"READY=1", "STOPPING=1"}));
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
    ASSERT_EQ(manager.drain(), std::vector<std::string>{"READY=1"});

    const auto fed = manager.waitFor(3);
    EXPECT_EQ(fed, std::vector<std::string>(3, "WATCHDOG=1"));

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
    EXPECT_EQ(manager.drain(), std::vector<std::string>{"STOPPING=1"});
    manager.waitFor(1, 150ms);
    EXPECT_TRUE(manager.drain().empty());
}

TEST(ServiceNotifier, FromTheEnvironmentTakesTheSocketAndWatchdogThenClearsThem) {
    ManagerSocket manager;
    ASSERT_TRUE(manager.ok());
    ::setenv("NOTIFY_SOCKET", manager.address().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "30000000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);

    ServiceNotifier notifier;

    EXPECT_TRUE(notifier.active());
    EXPECT_EQ(notifier.feedInterval(), 15000ms);
    EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
    EXPECT_EQ(std::getenv("WATCHDOG_USEC"), nullptr);
    EXPECT_EQ(std::getenv("WATCHDOG_PID"), nullptr);
    EXPECT_TRUE(notifier.report().contains(QString::fromStdString(manager.address())));
    EXPECT_TRUE(notifier.report().contains(QStringLiteral("15000 ms")));
    notifier.ready();
    EXPECT_EQ(manager.drain(), std::vector<std::string>{"READY=1"});
}

TEST(ServiceNotifier, OutsideAServiceManagerDoesNothing) {
    ::unsetenv("NOTIFY_SOCKET");
    ServiceNotifier notifier;
    EXPECT_FALSE(notifier.active());
    EXPECT_EQ(notifier.feedInterval(), 0ms);
    notifier.ready();
    notifier.stopping();
    EXPECT_TRUE(notifier.report().contains(QStringLiteral("NOTIFY_SOCKET is not set")));
}

TEST(ServiceNotifier, AManagerThatWentAwayIsReportedNotFatal) {
    std::string address;
    {
        ManagerSocket manager;
        address = manager.address();
    }
    ServiceNotifier notifier(channelTo(address), 0us);
    testing::internal::CaptureStderr();
    notifier.ready();
    notifier.stopping();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(address), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "reported more than once: " << err;
}

struct Env {
    const char* socket;
    const char* usec;
    const char* pid;
    const char* address;
    long long watchdogUsec;
    bool problem;
};

class NotifySettings : public testing::TestWithParam<Env> {};

TEST_P(NotifySettings, ReadFromTheServiceEnvironment) {
    const auto& e = GetParam();
    const auto s = ecran::display::notifySettings(e.socket, e.usec, e.pid, 1234);
    EXPECT_EQ(s.socketAddress, e.address);
    EXPECT_EQ(s.watchdog.count(), e.watchdogUsec);
    EXPECT_EQ(!s.problem.empty(), e.problem) << s.problem;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NotifySettings,
    testing::Values(Env{nullptr, "1000", nullptr, "", 0, false},          // no socket: nothing at all
                    Env{"/run/n", nullptr, nullptr, "/run/n", 0, false},  // socket, no watchdog
                    Env{"@n", "30000000", nullptr, "@n", 30000000, false},
                    Env{"/run/n", "30000000", "1234", "/run/n", 30000000, false},
                    Env{"/run/n", "30000000", "999", "/run/n", 0, false},  // another process's watchdog
                    Env{"/run/n", "0", nullptr, "/run/n", 0, false},
                    Env{"/run/n", "30s", nullptr, "/run/n", 0, true},
                    Env{"/run/n", "99999999999999999999999", nullptr, "/run/n", 0, true},
                    Env{"/run/n", "1000", "12a", "/run/n", 0, true}));

TEST(NotifySocketChannel, RefusesAddressesThatAreNotSockets) {
    const std::vector<std::string> bad = {"relative/path", "@", "/", std::string(108, '/'), "vsock:2:1234"};
    for (const std::string& address : bad) {
        std::string error;
        EXPECT_EQ(NotifySocketChannel::open(address, error), nullptr) << address;
        EXPECT_NE(error.find("NOTIFY_SOCKET"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_NE(NotifySocketChannel::open("@" + std::string(107, 'a'), error), nullptr) << error;
}

}  // namespace
