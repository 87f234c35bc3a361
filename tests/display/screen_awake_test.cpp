#include "display/screen_awake.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using ecran::display::AwakeBackend;
using ecran::display::ScreenAwake;
using Method = ScreenAwake::Method;
using enum ScreenAwake::Method;

struct Choice {
    const char* name;
    const char* platform;
    // What answers: W the compositor's idle inhibit, B the bus, X the X
    // server's screen saver; Y: that X server is Xwayland.
    std::string works;
    Method method;
    std::vector<std::string> calls;  // in order, the release at the end included
    std::vector<const char*> reportMentions;
};

// Answers as the row says and records every call; its reasons ("why-bus",
// "why-X") and its way ("how-X") are looked for in the report.
class FakeBackend : public AwakeBackend {
public:
    FakeBackend(const Choice& c, std::vector<std::string>& calls) : c_(c), calls_(calls) {}

    QString platformName() const override { return QString::fromLatin1(c_.platform); }
    bool inhibitWayland(QString& why) override {
        calls_.push_back("inhibit Wayland");
        if (!works('W')) why = QStringLiteral("why-wayland");
        return works('W');
    }
    void releaseWayland() override { calls_.push_back("release Wayland"); }
    std::optional<quint32> inhibitIdle(const QString& application, const QString&, QString& why) override {
        calls_.push_back("Inhibit " + application.toStdString());
        if (!works('B')) why = QStringLiteral("why-bus");
        return works('B') ? std::optional<quint32>(77) : std::nullopt;
    }
    void uninhibitIdle(quint32 cookie) override { calls_.push_back("UnInhibit " + std::to_string(cookie)); }
    bool suspendX11(QString& how, QString& why) override {
        calls_.push_back("suspend X");
        if (works('X')) how = QStringLiteral("how-X");
        else why = QStringLiteral("why-X");
        return works('X');
    }
    void resumeX11() override { calls_.push_back("resume X"); }
    bool underXwayland() const override { return works('Y'); }

private:
    bool works(char way) const { return c_.works.find(way) != std::string::npos; }
    const Choice& c_;
    std::vector<std::string>& calls_;
};

class ScreenAwakeChoice : public testing::TestWithParam<Choice> {};

TEST_P(ScreenAwakeChoice, TakesTheFirstWayThatWorksAndGivesItBack) {
    const auto& c = GetParam();
    std::vector<std::string> calls;
    QString report;
    {
        ScreenAwake awake(std::make_unique<FakeBackend>(c, calls));
        EXPECT_EQ(awake.method(), c.method);
        report = awake.report();
    }
    EXPECT_EQ(calls, c.calls);
    EXPECT_FALSE(report.contains(QLatin1Char('\n')));
    for (const char* part : c.reportMentions) EXPECT_TRUE(report.contains(QLatin1String(part))) << report.toStdString();
}

// The compositor's protocol first on Wayland, then the bus, X11 only on X11,
// nothing offscreen; a way not taken is not given back; Xwayland's own screen
// saver is no way to keep the compositor awake.
INSTANTIATE_TEST_SUITE_P(
    Table, ScreenAwakeChoice,
    testing::Values(
        Choice{"Offscreen", "offscreen", "WBX", None, {}, {"no", "offscreen"}},
        Choice{"BusOnX11", "xcb", "BX", IdleInhibit, {"Inhibit ecran", "UnInhibit 77"}, {"ScreenSaver", "77"}},
        Choice{"NoBusOnX11", "xcb", "X", X11, {"Inhibit ecran", "suspend X", "resume X"}, {"how-X", "why-bus"}},
        Choice{"NoBusNoX11", "xcb", "", None, {"Inhibit ecran", "suspend X"}, {"why-bus", "why-X"}},
        Choice{"NoBusOnXwayland", "xcb", "XY", X11, {"Inhibit ecran", "suspend X", "resume X"},
               {"awake: no (", "why-bus", "how-X", "cannot keep the Wayland compositor awake"}},
        Choice{"WaylandBeforeBus", "wayland", "WB", Wayland, {"inhibit Wayland", "release Wayland"},
               {"zwp_idle_inhibit_manager_v1"}},
        Choice{"WaylandEgl", "wayland-egl", "W", Wayland, {"inhibit Wayland", "release Wayland"}, {"Wayland"}},
        Choice{"BusOnWayland", "wayland", "B", IdleInhibit, {"inhibit Wayland", "Inhibit ecran", "UnInhibit 77"},
               {"ScreenSaver", "why-wayland"}},
        Choice{"NothingOnWayland", "wayland", "X", None, {"inhibit Wayland", "Inhibit ecran"},
               {"awake: no (", "why-wayland", "why-bus"}},
        Choice{"NoBusOnEglfs", "eglfs", "X", None, {"Inhibit ecran"}, {"consoleblank=0"}},
        Choice{"NoBusOnLinuxfb", "linuxfb", "X", None, {"Inhibit ecran"}, {"consoleblank=0"}}),
    [](const auto& param) { return std::string(param.param.name); });

// --- the real calls, on a private bus -------------------------------------------

// Stands in for the desktop's idle-inhibit service.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    QStringList calls() const {
        QMutexLocker lock(&mutex_);
        return calls_;
    }

public slots:
    uint Inhibit(const QString& application, const QString& reason) {
        QMutexLocker lock(&mutex_);
        calls_ << QStringLiteral("Inhibit %1 / %2").arg(application, reason);
        return 4242;
    }
    void UnInhibit(uint cookie) {
        QMutexLocker lock(&mutex_);
        calls_ << QStringLiteral("UnInhibit %1").arg(cookie);
    }

private:
    mutable QMutex mutex_;
    QStringList calls_;
};

// A dbus-daemon of the test's own, so nothing reaches the desktop's bus.
class PrivateBus : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed";
        daemon_.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                               QStringLiteral("--print-address=1")});
        ASSERT_TRUE(daemon_.waitForStarted(5000));
        while (!daemon_.canReadLine() && daemon_.waitForReadyRead(5000)) {
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        ASSERT_FALSE(address_.isEmpty()) << "dbus-daemon printed no address";
    }
    void TearDown() override {
        // Off the bus first, then stop the service's thread, and only then
        // delete the service: nothing can call into it any more.
        for (const char* name : {"service", "client"}) QDBusConnection::disconnectFromBus(QLatin1String(name));
        serviceThread_.quit();
        serviceThread_.wait();
        delete service_;
        service_ = nullptr;
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }

    QDBusConnection connect(const char* name) { return QDBusConnection::connectToBus(address_, QLatin1String(name)); }

    // Puts the fake service on the bus, answering from a thread of its own
    // (the caller blocks on its call).
    void startService(const char* path) {
        serviceThread_.start();
        service_ = new FakeScreenSaver;
        service_->moveToThread(&serviceThread_);
        QDBusConnection bus = connect("service");
        ASSERT_TRUE(bus.isConnected());
        ASSERT_TRUE(bus.registerObject(QLatin1String(path), service_, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
    }

    QProcess daemon_;
    QString address_;
    QThread serviceThread_;
    FakeScreenSaver* service_ = nullptr;
};

TEST_P(PrivateBus, InhibitsThroughTheDesktopServiceWhereOneAnswersAndUninhibitsAtTheEnd) {
    const char* path = GetParam();
    if (path) startService(path);
    {
        ScreenAwake awake(std::make_unique<ecran::display::SystemAwakeBackend>(connect("client"),
                                                                               QStringLiteral("wayland")));
        const std::string report = awake.report().toStdString();
        EXPECT_EQ(awake.method(), path ? Method::IdleInhibit : Method::None) << report;
        EXPECT_NE(report.find(path ? "4242" : "org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos)
            << report;
    }
    if (path) {
        EXPECT_EQ(service_->calls(), (QStringList{QStringLiteral("Inhibit ecran / Full-screen message display"),
                                                  QStringLiteral("UnInhibit 4242")}));
    }
}

// The standard object path, the short one that older desktops answer on, and
// no service at all (nothing is kept).
INSTANTIATE_TEST_SUITE_P(Paths, PrivateBus,
                         testing::Values("/org/freedesktop/ScreenSaver", "/ScreenSaver", nullptr));

}  // namespace

#include "screen_awake_test.moc"
