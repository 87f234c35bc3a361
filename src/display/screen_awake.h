#pragma once
// Keeps the screen from blanking and powering down while the display runs:
// through the desktop's idle-inhibit service when one answers on the session
// bus, else through the X server's screen saver, else not at all (offscreen,
// or a platform without either). Never touches the mouse cursor.

#include <QDBusConnection>
#include <QString>

#include <memory>
#include <optional>

namespace ecran::display {

// The platform calls behind ScreenAwake, so that tests can check the choice
// without a real bus or X server.
class AwakeBackend {
public:
    virtual ~AwakeBackend() = default;
    // Qt's platform plugin: "xcb", "wayland", "eglfs", "offscreen"...
    [[nodiscard]] virtual QString platformName() const = 0;
    // org.freedesktop.ScreenSaver Inhibit: the cookie, or nothing with the
    // reason in `why`.
    [[nodiscard]] virtual std::optional<quint32> inhibitIdle(const QString& application, const QString& reason,
                                                             QString& why) = 0;
    virtual void uninhibitIdle(quint32 cookie) = 0;
    // Stops the X server's screen saver and power saving; says what it did
    // in `how`, or returns false with the reason in `why`.
    [[nodiscard]] virtual bool suspendX11(QString& how, QString& why) = 0;
    virtual void resumeX11() = 0;
};

// The real calls: QtDBus on `bus`, Xlib on Qt's own X connection.
class SystemAwakeBackend : public AwakeBackend {
public:
    // `bus` defaults to the session bus, reached only when it is needed;
    // `platform` to the running application's platform plugin.
    explicit SystemAwakeBackend(std::optional<QDBusConnection> bus = std::nullopt, QString platform = {});
    ~SystemAwakeBackend() override;

    [[nodiscard]] QString platformName() const override { return platform_; }
    [[nodiscard]] std::optional<quint32> inhibitIdle(const QString& application, const QString& reason,
                                                     QString& why) override;
    void uninhibitIdle(quint32 cookie) override;
    [[nodiscard]] bool suspendX11(QString& how, QString& why) override;
    void resumeX11() override;

private:
    std::optional<QDBusConnection> bus_;
    QString platform_;
    QString inhibitPath_;  // the object path that answered Inhibit
    struct X11State;
    std::unique_ptr<X11State> x11_;
};

class ScreenAwake {
public:
    enum class Method { None, IdleInhibit, X11 };

    explicit ScreenAwake(std::unique_ptr<AwakeBackend> backend = std::make_unique<SystemAwakeBackend>());
    // Gives the screen back: UnInhibit, or the X server's settings as found.
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
