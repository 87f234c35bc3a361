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
    bool busAnswers, x11Works;
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
    std::optional<quint32> inhibitIdle(const QString& application, const QString&, QString& why) override {
        calls_.push_back("Inhibit " + application.toStdString());
        if (!c_.busAnswers) why = QStringLiteral("why-bus");
        return c_.busAnswers ? std::optional<quint32>(77) : std::nullopt;
    }
    void uninhibitIdle(quint32 cookie) override { calls_.push_back("UnInhibit " + std::to_string(cookie)); }
    bool suspendX11(QString& how, QString& why) override {
        calls_.push_back("suspend X");
        if (c_.x11Works) how = QStringLiteral("how-X");
        else why = QStringLiteral("why-X");
        return c_.x11Works;
    }
    void resumeX11() override { calls_.push_back("resume X"); }

private:
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

// The bus first, X11 only on X11, nothing offscreen; a way not taken is not given back.
INSTANTIATE_TEST_SUITE_P(
    Table, ScreenAwakeChoice,
    testing::Values(
        Choice{"Offscreen", "offscreen", true, true, None, {}, {"no", "offscreen"}},
        Choice{"BusOnX11", "xcb", true, true, IdleInhibit, {"Inhibit ecran", "UnInhibit 77"}, {"ScreenSaver", "77"}},
        Choice{"NoBusOnX11", "xcb", false, true, X11, {"Inhibit ecran", "suspend X", "resume X"}, {"how-X", "why-bus"}},
        Choice{"NoBusNoX11", "xcb", false, false, None, {"Inhibit ecran", "suspend X"}, {"why-bus", "why-X"}},
        Choice{"NoBusOnWayland", "wayland", false, true, None, {"Inhibit ecran"}, {"why-bus", "wayland"}},
        Choice{"NoBusOnEglfs", "eglfs", false, true, None, {"Inhibit ecran"}, {"consoleblank=0"}},
        Choice{"NoBusOnLinuxfb", "linuxfb", false, true, None, {"Inhibit ecran"}, {"consoleblank=0"}}),
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
