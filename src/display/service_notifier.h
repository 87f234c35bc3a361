#pragma once
// Tells systemd how the display is doing, through its notify protocol:
// READY=1 once the window is up, WATCHDOG=1 from the GUI thread's event
// loop, STOPPING=1 at exit. A loop that hangs stops feeding the watchdog, and
// systemd restarts the service.
//
// Outside systemd (no $NOTIFY_SOCKET) every call does nothing.

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>

namespace ecran::display {

// Where notifications go. The real one is a datagram socket; tests may put
// their own in its place.
class NotifyChannel {
public:
    virtual ~NotifyChannel() = default;
    // Sends one notification; on failure returns false and says why in `error`.
    [[nodiscard]] virtual bool send(const std::string& message, std::string& error) = 0;
    // The address, for messages.
    [[nodiscard]] virtual std::string address() const = 0;
};

// A datagram socket to the service manager's notify socket: a file system
// path ("/run/user/1000/systemd/notify") or an abstract name written with a
// leading "@".
class NotifySocketChannel : public NotifyChannel {
public:
    // Opens the socket; nullptr with the reason in `error` when the address
    // is not usable.
    [[nodiscard]] static std::unique_ptr<NotifySocketChannel> open(const std::string& address, std::string& error);
    ~NotifySocketChannel() override;
    NotifySocketChannel(const NotifySocketChannel&) = delete;
    NotifySocketChannel& operator=(const NotifySocketChannel&) = delete;

    [[nodiscard]] bool send(const std::string& message, std::string& error) override;
    [[nodiscard]] std::string address() const override { return address_; }

private:
    NotifySocketChannel() = default;
    std::string address_;
    int fd_ = -1;
};

// What the environment of a service asks for.
struct NotifySettings {
    std::string socketAddress;                // empty: not started by a service manager
    std::chrono::microseconds watchdog{0};    // zero: no watchdog
    std::string problem;                      // why a variable that was set is not used
};

// Reads the values of $NOTIFY_SOCKET, $WATCHDOG_USEC and $WATCHDOG_PID (null
// when unset) for the process `self`. The watchdog counts only when
// $WATCHDOG_PID is unset or names this process.
[[nodiscard]] NotifySettings notifySettings(const char* notifySocket, const char* watchdogUsec,
                                            const char* watchdogPid, long self);

class ServiceNotifier : public QObject {
    Q_OBJECT

public:
    // Reads the environment of this process, then removes those variables
    // so that no program started later mistakes itself for the service.
    explicit ServiceNotifier(QObject* parent = nullptr);
    // With a given channel (nullptr: outside a service manager) and watchdog
    // period (zero: none).
    ServiceNotifier(std::unique_ptr<NotifyChannel> channel, std::chrono::microseconds watchdog,
                    QObject* parent = nullptr);
    // Says STOPPING=1 if ready() was said and stopping() was not.
    ~ServiceNotifier() override;

    // READY=1 (with the status line when given), once; later calls do nothing.
    void ready(const QString& status = {});
    // STOPPING=1, once; the watchdog is no longer fed after it.
    void stopping();

    [[nodiscard]] bool active() const { return channel_ != nullptr; }
    // How often the watchdog is fed: half its period; zero without one.
    [[nodiscard]] std::chrono::milliseconds feedInterval() const;
    // One line saying what the notifier does, for the start-up report.
    [[nodiscard]] QString report() const;
    // True when a service manager gave a socket, or gave one that failed.
    [[nodiscard]] bool managed() const noexcept { return channel_ != nullptr || !problem_.empty(); }

private slots:
    void feed();

private:
    void start(std::chrono::microseconds watchdog);
    void notify(const std::string& message);

    std::unique_ptr<NotifyChannel> channel_;
    QTimer watchdogTimer_;
    std::chrono::microseconds watchdog_{0};
    std::string problem_;
    bool readySent_ = false;
    bool stoppingSent_ = false;
    bool failureReported_ = false;
};

}  // namespace ecran::display
