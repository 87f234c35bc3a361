#include "display/screen_awake.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
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

// Answers as told and records every call.
struct Script {
    QString platform;
    bool busAnswers;
    bool x11Works;
};

class FakeBackend : public AwakeBackend {
public:
    FakeBackend(Script script, std::vector<std::string>& calls) : script_(std::move(script)), calls_(calls) {}

    QString platformName() const override { return script_.platform; }
    std::optional<quint32> inhibitIdle(const QString& application, const QString&, QString& why) override {
        calls_.push_back("Inhibit " + application.toStdString());
        if (script_.busAnswers) return 77u;
        why = QStringLiteral("bus says no");
        return std::nullopt;
    }
    void uninhibitIdle(quint32 cookie) override { calls_.push_back("UnInhibit " + std::to_string(cookie)); }
    bool suspendX11(QString& how, QString& why) override {
        calls_.push_back("suspendX11");
        if (script_.x11Works) {
            how = QStringLiteral("X saver suspended");
            return true;
        }
        why = QStringLiteral("X says no");
        return false;
    }
    void resumeX11() override { calls_.push_back("resumeX11"); }

private:
    Script script_;
    std::vector<std::string>& calls_;
};

struct Choice {
    const char* name;
    Script script;
    Method method;
    std::vector<std::string> calls;  // in order, the release at the end included
    std::vector<const char*> reportMentions;
};

class ScreenAwakeChoice : public testing::TestWithParam<Choice> {};

TEST_P(ScreenAwakeChoice, TakesTheFirstWayThatWorksAndGivesItBack) {
    const auto& c = GetParam();
    std::vector<std::string> calls;
    QString report;
    {
        ScreenAwake awake(std::make_unique<FakeBackend>(c.script, calls));
        EXPECT_EQ(awake.method(), c.method);
        report = awake.report();
    }
    EXPECT_EQ(calls, c.calls);
    EXPECT_FALSE(report.contains(QLatin1Char('\n')));
    for (const char* part : c.reportMentions) EXPECT_TRUE(report.contains(QLatin1String(part))) << report.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScreenAwakeChoice,
    testing::Values(
        // Offscreen shows nothing: neither the bus nor X is asked.
        Choice{"Offscreen", {"offscreen", true, true}, Method::None, {}, {"no", "offscreen"}},
        Choice{"BusAnswers", {"wayland", true, true}, Method::IdleInhibit, {"Inhibit ecran", "UnInhibit 77"},
               {"org.freedesktop.ScreenSaver", "77"}},
        Choice{"BusAnswersOnX11", {"xcb", true, true}, Method::IdleInhibit, {"Inhibit ecran", "UnInhibit 77"}, {}},
        Choice{"NoBusOnX11", {"xcb", false, true}, Method::X11, {"Inhibit ecran", "suspendX11", "resumeX11"},
               {"X saver suspended", "bus says no"}},
        Choice{"NoBusNoX11", {"xcb", false, false}, Method::None, {"Inhibit ecran", "suspendX11"},
               {"bus says no", "X says no"}},
        // X11 calls are for X11 alone.
        Choice{"NoBusOnWayland", {"wayland", false, true}, Method::None, {"Inhibit ecran"}, {"bus says no", "wayland"}},
        Choice{"NoBusOnEglfs", {"eglfs", false, true}, Method::None, {"Inhibit ecran"}, {"consoleblank=0"}},
        Choice{"NoBusOnLinuxfb", {"linuxfb", false, true}, Method::None, {"Inhibit ecran"}, {"consoleblank=0"}}),
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
class PrivateBus : public testing::Test {
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
        for (const QString& name : connections_) QDBusConnection::disconnectFromBus(name);
        serviceThread_.quit();
        serviceThread_.wait();
        delete service_;
        service_ = nullptr;
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }

    QDBusConnection connect(const QString& name) {
        connections_ << name;
        return QDBusConnection::connectToBus(address_, name);
    }

    // Puts the fake service on the bus, answering from a thread of its own
    // (the caller blocks on its call).
    void startService(const char* path) {
        serviceThread_.start();
        service_ = new FakeScreenSaver;
        service_->moveToThread(&serviceThread_);
        QDBusConnection bus = connect(QStringLiteral("service"));
        ASSERT_TRUE(bus.isConnected());
        ASSERT_TRUE(bus.registerObject(QLatin1String(path), service_, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
    }

    QProcess daemon_;
    QString address_;
    QStringList connections_;
    QThread serviceThread_;
    FakeScreenSaver* service_ = nullptr;
};

class PrivateBusPath : public PrivateBus, public testing::WithParamInterface<const char*> {};

TEST_P(PrivateBusPath, InhibitsThroughTheDesktopServiceAndUninhibitsAtTheEnd) {
    startService(GetParam());
    {
        ScreenAwake awake(std::make_unique<ecran::display::SystemAwakeBackend>(connect(QStringLiteral("client")),
                                                                               QStringLiteral("wayland")));
        EXPECT_EQ(awake.method(), Method::IdleInhibit) << awake.report().toStdString();
        EXPECT_TRUE(awake.report().contains(QStringLiteral("4242"))) << awake.report().toStdString();
    }
    EXPECT_EQ(service_->calls(), (QStringList{QStringLiteral("Inhibit ecran / Full-screen message display"),
                                              QStringLiteral("UnInhibit 4242")}));
}

// The standard object path, and the short one that older desktops answer on.
INSTANTIATE_TEST_SUITE_P(Paths, PrivateBusPath, testing::Values("/org/freedesktop/ScreenSaver", "/ScreenSaver"));

TEST_F(PrivateBus, WithoutTheServiceSaysWhyAndKeepsNothing) {
    ScreenAwake awake(std::make_unique<ecran::display::SystemAwakeBackend>(connect(QStringLiteral("client")),
                                                                           QStringLiteral("wayland")));
    EXPECT_EQ(awake.method(), Method::None);
    EXPECT_TRUE(awake.report().contains(QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")))
        << awake.report().toStdString();
}

}  // namespace

#include "screen_awake_test.moc"
