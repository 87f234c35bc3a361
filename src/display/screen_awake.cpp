#include "display/screen_awake.h"

#include "display/wayland_idle_inhibitor.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QList>
#include <QMetaType>
#include <QScreen>
#include <QVariant>

#if ECRAN_WITH_X11
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>
// Xlib's macro would clash with Method::None.
#undef None
#endif

namespace ecran::display {
namespace {

constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
// The standard path first; older KDE and some others answer on the short one.
constexpr const char* kPaths[] = {"/org/freedesktop/ScreenSaver", "/ScreenSaver"};
// A desktop that does not answer within this time is taken as absent, so a
// wedged service cannot hold the window back for long.
constexpr int kBusTimeoutMs = 3000;

}  // namespace

// What the X11 path changed, to put it back at the end.
struct SystemAwakeBackend::X11State {
#if ECRAN_WITH_X11
    Display* display = nullptr;
    bool suspended = false;       // XScreenSaverSuspend(True) is in force
    bool dpmsDisabled = false;    // DPMS was on and this program turned it off
    bool saverChanged = false;    // the core screen saver's timeout was set to 0
    int timeout = 0, interval = 0, preferBlanking = 0, allowExposures = 0;
#endif
};

SystemAwakeBackend::SystemAwakeBackend(std::optional<QDBusConnection> bus, QString platform, QWindow* window)
    : bus_(std::move(bus)),
      platform_(platform.isEmpty() ? QGuiApplication::platformName() : std::move(platform)),
      window_(window),
      x11_(std::make_unique<X11State>()) {}

SystemAwakeBackend::~SystemAwakeBackend() = default;

bool SystemAwakeBackend::inhibitWayland(QString& why) {
    wayland_ = std::make_unique<WaylandIdleInhibitor>(window_);
    if (wayland_->active()) return true;
    why = wayland_->why();
    wayland_.reset();
    return false;
}

void SystemAwakeBackend::releaseWayland() { wayland_.reset(); }

std::optional<quint32> SystemAwakeBackend::inhibitIdle(const QString& application, const QString& reason,
                                                       QString& why) {
    if (!bus_) bus_ = QDBusConnection::sessionBus();
    if (!bus_->isConnected()) {
        why = QStringLiteral("no session bus");
        const QString detail = bus_->lastError().message();
        if (!detail.isEmpty()) why += QStringLiteral(" (%1)").arg(detail);
        return std::nullopt;
    }
    for (const char* path : kPaths) {
        QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(path),
                                                           QLatin1String(kInterface), QStringLiteral("Inhibit"));
        call << application << reason;
        const QDBusMessage reply = bus_->call(call, QDBus::Block, kBusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage) {
            const QList<QVariant> args = reply.arguments();
            if (args.size() == 1 && args[0].metaType() == QMetaType::fromType<uint>()) {
                inhibitPath_ = QLatin1String(path);
                return args[0].toUInt();
            }
            why = QStringLiteral("%1 answered Inhibit with %2 values, not one cookie")
                      .arg(QLatin1String(kService))
                      .arg(args.size());
            return std::nullopt;
        }
        why = QStringLiteral("%1: %2").arg(reply.errorName(), reply.errorMessage());
        // A service that is there but knows no such object may know the other path.
        if (reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.UnknownObject") &&
            reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
            break;
        }
    }
    return std::nullopt;
}

void SystemAwakeBackend::uninhibitIdle(quint32 cookie) {
    if (!bus_ || inhibitPath_.isEmpty()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), inhibitPath_,
                                                       QLatin1String(kInterface), QStringLiteral("UnInhibit"));
    call << cookie;
    // Waited for, so that it leaves before the program does; the desktop also
    // drops the inhibition by itself when this program leaves the bus.
    (void)bus_->call(call, QDBus::Block, kBusTimeoutMs);
}

#if ECRAN_WITH_X11

bool SystemAwakeBackend::suspendX11(QString& how, QString& why) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (display == nullptr) {
        why = QStringLiteral("no X11 connection");
        return false;
    }
    X11State& s = *x11_;
    s.display = display;

    // MIT-SCREEN-SAVER 1.1 suspends both the screen saver and the DPMS timers,
    // and the X server lifts the suspension by itself when this connection
    // ends, so a display that crashes or is killed by the watchdog leaves
    // the server's power saving as it found it.
    int event = 0, error = 0, major = 0, minor = 0;
    if (XScreenSaverQueryExtension(display, &event, &error) && XScreenSaverQueryVersion(display, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 1))) {
        XScreenSaverSuspend(display, True);
        XFlush(display);
        s.suspended = true;
        how = QStringLiteral("X screen saver and DPMS timers suspended (MIT-SCREEN-SAVER %1.%2)").arg(major).arg(minor);
        return true;
    }

    // Without that extension: turn the core screen saver's timeout and DPMS
    // off, remembering both to restore them at the end.
    XGetScreenSaver(display, &s.timeout, &s.interval, &s.preferBlanking, &s.allowExposures);
    XSetScreenSaver(display, 0, s.interval, s.preferBlanking, s.allowExposures);
    s.saverChanged = true;
    how = QStringLiteral("X core screen saver off");
    int dpmsEvent = 0, dpmsError = 0;
    if (DPMSQueryExtension(display, &dpmsEvent, &dpmsError) && DPMSCapable(display)) {
        CARD16 level = 0;
        BOOL enabled = False;
        if (DPMSInfo(display, &level, &enabled) && enabled) {
            DPMSDisable(display);
            s.dpmsDisabled = true;
            how += QStringLiteral(", DPMS disabled");
        }
    }
    XFlush(display);
    return true;
}

void SystemAwakeBackend::resumeX11() {
    X11State& s = *x11_;
    if (s.display == nullptr) return;
    if (s.suspended) XScreenSaverSuspend(s.display, False);
    if (s.saverChanged) XSetScreenSaver(s.display, s.timeout, s.interval, s.preferBlanking, s.allowExposures);
    if (s.dpmsDisabled) DPMSEnable(s.display);
    XFlush(s.display);
    s = X11State{};
}

bool SystemAwakeBackend::underXwayland() const {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (display == nullptr) return false;
    // Xwayland names its RandR outputs XWAYLAND0, XWAYLAND1... (Qt's screen
    // names); from 23.1 on it also has an extension of its own name.
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen->name().startsWith(QLatin1String("XWAYLAND"))) return true;
    }
    int opcode = 0, event = 0, error = 0;
    return XQueryExtension(display, "XWAYLAND", &opcode, &event, &error);
}

#else

bool SystemAwakeBackend::suspendX11(QString&, QString& why) {
    why = QStringLiteral("built without X11 support");
    return false;
}

void SystemAwakeBackend::resumeX11() {}

bool SystemAwakeBackend::underXwayland() const { return false; }

#endif

ScreenAwake::ScreenAwake(QWindow* window)
    : ScreenAwake(std::make_unique<SystemAwakeBackend>(std::nullopt, QString(), window)) {}

ScreenAwake::ScreenAwake(std::unique_ptr<AwakeBackend> backend) : backend_(std::move(backend)) {
    const QString platform = backend_->platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
        report_ = QStringLiteral("screen kept awake: no, platform %1 drives no screen").arg(platform);
        return;
    }

    // The compositor's own protocol first: the session bus of a kiosk
    // compositor (cage, sway, weston) has no idle-inhibit service.
    QString waylandWhy;
    const bool wayland = platform.startsWith(QLatin1String("wayland"));
    if (wayland) {
        if (backend_->inhibitWayland(waylandWhy)) {
            method_ = Method::Wayland;
            report_ = QStringLiteral("screen kept awake: idle inhibited on the window's surface (Wayland "
                                     "zwp_idle_inhibit_manager_v1)");
            return;
        }
        waylandWhy = QStringLiteral("Wayland idle inhibit: %1; ").arg(waylandWhy);
    }

    QString busWhy;
    if (auto cookie = backend_->inhibitIdle(QStringLiteral("ecran"), QStringLiteral("Full-screen message display"),
                                            busWhy)) {
        method_ = Method::IdleInhibit;
        cookie_ = *cookie;
        report_ = QStringLiteral("screen kept awake: idle inhibited through org.freedesktop.ScreenSaver (cookie %1)")
                      .arg(cookie_);
        if (wayland) report_ += QStringLiteral(" (%1)").arg(waylandWhy.chopped(2));
        return;
    }

    if (platform == QLatin1String("xcb")) {
        QString how, x11Why;
        if (backend_->suspendX11(how, x11Why)) {
            method_ = Method::X11;
            if (backend_->underXwayland()) {
                report_ = QStringLiteral("screen kept awake: no (no idle-inhibit service: %1; %2 on Xwayland, which "
                                         "cannot keep the Wayland compositor awake: run on Wayland with "
                                         "QT_QPA_PLATFORM=wayland and qt6-wayland installed)")
                              .arg(busWhy, how);
                return;
            }
            report_ = QStringLiteral("screen kept awake: %1 (no idle-inhibit service: %2)").arg(how, busWhy);
            return;
        }
        report_ = QStringLiteral("screen kept awake: no (no idle-inhibit service: %1; X11: %2)").arg(busWhy, x11Why);
        return;
    }

    report_ = QStringLiteral("screen kept awake: no (%1no idle-inhibit service: %2").arg(waylandWhy, busWhy);
    if (!wayland) report_ += QStringLiteral("; platform %1 has no X screen saver").arg(platform);
    if (platform == QLatin1String("eglfs") || platform == QLatin1String("linuxfb")) {
        report_ += QStringLiteral("; the console's blanking is the kernel's: boot with consoleblank=0");
    }
    report_ += QLatin1Char(')');
}

ScreenAwake::~ScreenAwake() {
    switch (method_) {
        case Method::Wayland: backend_->releaseWayland(); break;
        case Method::IdleInhibit: backend_->uninhibitIdle(cookie_); break;
        case Method::X11: backend_->resumeX11(); break;
        case Method::None: break;
    }
}

}  // namespace ecran::display
