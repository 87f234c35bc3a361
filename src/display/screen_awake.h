#pragma once
// Keeps the screen from blanking and powering down while the display runs:
// on Wayland through the compositor's idle-inhibit protocol on the window's
// surface, else through the desktop's idle-inhibit service when one answers
// on the session bus, else through the X server's screen saver, else not at
// all (offscreen, or a platform without any). Never touches the mouse cursor.

#include <QDBusConnection>
#include <QString>

#include <memory>
#include <optional>

class QWindow;

namespace ecran::display {

class WaylandIdleInhibitor;

// The platform calls behind ScreenAwake, so that tests can check the choice
// without a real bus or X server.
class AwakeBackend {
public:
    virtual ~AwakeBackend() = default;
    // Qt's platform plugin: "xcb", "wayland", "eglfs", "offscreen"...
    [[nodiscard]] virtual QString platformName() const = 0;
    // An idle inhibitor of the Wayland compositor on the window's surface:
    // true while it holds, or false with the reason in `why`.
    [[nodiscard]] virtual bool inhibitWayland(QString& why) = 0;
    virtual void releaseWayland() = 0;
    // org.freedesktop.ScreenSaver Inhibit: the cookie, or nothing with the
    // reason in `why`.
    [[nodiscard]] virtual std::optional<quint32> inhibitIdle(const QString& application, const QString& reason,
                                                             QString& why) = 0;
    virtual void uninhibitIdle(quint32 cookie) = 0;
    // Stops the X server's screen saver and power saving; says what it did
    // in `how`, or returns false with the reason in `why`.
    [[nodiscard]] virtual bool suspendX11(QString& how, QString& why) = 0;
    virtual void resumeX11() = 0;
    // The X server is Xwayland: its screen saver is its own, and the
    // Wayland compositor above it goes idle regardless.
    [[nodiscard]] virtual bool underXwayland() const = 0;
};

// The real calls: libwayland on Qt's own Wayland connection, QtDBus on
// `bus`, Xlib on Qt's own X connection.
class SystemAwakeBackend : public AwakeBackend {
public:
    // `bus` defaults to the session bus, reached only when it is needed;
    // `platform` to the running application's platform plugin; `window` is
    // the shown window whose surface the compositor is asked to keep awake.
    explicit SystemAwakeBackend(std::optional<QDBusConnection> bus = std::nullopt, QString platform = {},
                                QWindow* window = nullptr);
    ~SystemAwakeBackend() override;

    [[nodiscard]] QString platformName() const override { return platform_; }
    [[nodiscard]] bool inhibitWayland(QString& why) override;
    void releaseWayland() override;
    [[nodiscard]] std::optional<quint32> inhibitIdle(const QString& application, const QString& reason,
                                                     QString& why) override;
    void uninhibitIdle(quint32 cookie) override;
    [[nodiscard]] bool suspendX11(QString& how, QString& why) override;
    void resumeX11() override;
    [[nodiscard]] bool underXwayland() const override;

private:
    std::optional<QDBusConnection> bus_;
    QString platform_;
    QWindow* window_;
    std::unique_ptr<WaylandIdleInhibitor> wayland_;
    QString inhibitPath_;  // the object path that answered Inhibit
    struct X11State;
    std::unique_ptr<X11State> x11_;
};

class ScreenAwake {
public:
    enum class Method { None, Wayland, IdleInhibit, X11 };

    // Keeps the screen awake for `window`, shown full screen.
    explicit ScreenAwake(QWindow* window = nullptr);
    explicit ScreenAwake(std::unique_ptr<AwakeBackend> backend);
    // Gives the screen back: the Wayland inhibitor destroyed, UnInhibit, or
    // the X server's settings as found.
    ~ScreenAwake();
    ScreenAwake(const ScreenAwake&) = delete;
    ScreenAwake& operator=(const ScreenAwake&) = delete;

    [[nodiscard]] Method method() const { return method_; }
    // One line saying which way was used, or that none was available.
    [[nodiscard]] const QString& report() const { return report_; }

private:
    std::unique_ptr<AwakeBackend> backend_;
    Method method_ = Method::None;
    quint32 cookie_ = 0;
    QString report_;
};

}  // namespace ecran::display
