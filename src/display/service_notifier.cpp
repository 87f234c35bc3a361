#include "display/service_notifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ecran::display {
namespace {

// A decimal number made of digits only; false for anything else.
bool parseDecimal(const char* text, unsigned long long& value) {
    if (text == nullptr || *text == '\0') return false;
    value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const unsigned long long digit = static_cast<unsigned long long>(*p - '0');
        if (value > (~0ull - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

}  // namespace

// --- the socket ---------------------------------------------------------------

std::unique_ptr<NotifySocketChannel> NotifySocketChannel::open(const std::string& address, std::string& error) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (address.size() < 2 || (address[0] != '/' && address[0] != '@')) {
        error = "NOTIFY_SOCKET '" + address + "' is neither an absolute path nor an abstract name (@...)";
        return nullptr;
    }
    // A path needs its terminating NUL inside sun_path; an abstract name
    // takes the leading NUL in place of "@" and no terminator.
    const bool abstract = address[0] == '@';
    if (address.size() + (abstract ? 0 : 1) > sizeof sa.sun_path) {
        error = "NOTIFY_SOCKET '" + address + "' is longer than a socket address can hold";
        return nullptr;
    }
    std::unique_ptr<NotifySocketChannel> channel(new NotifySocketChannel());
    channel->address_ = address;
    channel->fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (channel->fd_ < 0) {
        error = std::string("cannot open a socket for NOTIFY_SOCKET: ") + std::strerror(errno);
        return nullptr;
    }
    return channel;
}

NotifySocketChannel::~NotifySocketChannel() {
    if (fd_ >= 0) ::close(fd_);
}

bool NotifySocketChannel::send(const std::string& message, std::string& error) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, address_.data(), address_.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    if (address_[0] == '@') {
        sa.sun_path[0] = '\0';
    } else {
        length += 1;  // the terminating NUL, already zero
    }
    ssize_t sent;
    do {
        sent = ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                        length);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

// --- the environment ----------------------------------------------------------

NotifySettings notifySettings(const char* notifySocket, const char* watchdogUsec, const char* watchdogPid,
                              long self) {
    NotifySettings s;
    if (notifySocket == nullptr || *notifySocket == '\0') return s;
    s.socketAddress = notifySocket;

    if (watchdogUsec == nullptr || *watchdogUsec == '\0') return s;
    unsigned long long usec = 0;
    if (!parseDecimal(watchdogUsec, usec)) {
        s.problem = std::string("WATCHDOG_USEC '") + watchdogUsec + "' is not a number of microseconds";
        return s;
    }
    if (watchdogPid != nullptr && *watchdogPid != '\0') {
        unsigned long long pid = 0;
        if (!parseDecimal(watchdogPid, pid)) {
            s.problem = std::string("WATCHDOG_PID '") + watchdogPid + "' is not a process number";
            return s;
        }
        if (pid != static_cast<unsigned long long>(self)) return s;  // another process's watchdog
    }
    // Anything beyond a day is no watchdog worth a timer.
    constexpr unsigned long long kDay = 86'400'000'000ull;
    s.watchdog = std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(usec < kDay ? usec : kDay));
    return s;
}

// --- the notifier -------------------------------------------------------------

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent) {
    const NotifySettings s = notifySettings(std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"),
                                            std::getenv("WATCHDOG_PID"), static_cast<long>(::getpid()));
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    problem_ = s.problem;
    if (!s.socketAddress.empty()) {
        std::string error;
        channel_ = NotifySocketChannel::open(s.socketAddress, error);
        if (!channel_) problem_ = error;
    }
    start(s.watchdog);
}

ServiceNotifier::ServiceNotifier(std::unique_ptr<NotifyChannel> channel, std::chrono::microseconds watchdog,
                                 QObject* parent)
    : QObject(parent), channel_(std::move(channel)) {
    start(watchdog);
}

ServiceNotifier::~ServiceNotifier() {
    if (readySent_ && !stoppingSent_) stopping();
}

void ServiceNotifier::start(std::chrono::microseconds watchdog) {
    if (!channel_ || watchdog.count() <= 0) return;
    watchdog_ = watchdog;
    // Fed by a timer of this (the GUI) thread: the feeding stops exactly when
    // the event loop stops turning. Half the period leaves the other half for
    // a busy moment.
    watchdogTimer_.setInterval(feedInterval());
    connect(&watchdogTimer_, &QTimer::timeout, this, &ServiceNotifier::feed);
    watchdogTimer_.start();
}

std::chrono::milliseconds ServiceNotifier::feedInterval() const {
    if (watchdog_.count() <= 0) return std::chrono::milliseconds(0);
    const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_ / 2);
    return half.count() > 0 ? half : std::chrono::milliseconds(1);
}

void ServiceNotifier::ready(const QString& status) {
    if (!channel_ || readySent_) return;
    readySent_ = true;
    std::string message = "READY=1";
    if (!status.isEmpty()) {
        // One line: a line break would start another assignment.
        QString line = status;
        line.replace(QLatin1Char('\n'), QLatin1Char(' '));
        message += "\nSTATUS=" + line.toStdString();
    }
    notify(message);
}

void ServiceNotifier::stopping() {
    if (!channel_ || stoppingSent_) return;
    stoppingSent_ = true;
    watchdogTimer_.stop();
    notify("STOPPING=1");
}

void ServiceNotifier::feed() { notify("WATCHDOG=1"); }

void ServiceNotifier::notify(const std::string& message) {
    std::string error;
    if (channel_->send(message, error)) return;
    // Said once: a service manager that went away would otherwise fill the
    // log at every watchdog tick.
    if (!failureReported_) {
        failureReported_ = true;
        std::fprintf(stderr, "ecran: cannot notify the service manager at %s: %s\n", channel_->address().c_str(),
                     error.c_str());
    }
}

QString ServiceNotifier::report() const {
    QString line;
    if (!channel_ && !problem_.empty()) {
        return QStringLiteral("service manager: not notified: %1").arg(QString::fromStdString(problem_));
    } else if (!channel_) {
        line = QStringLiteral("service manager: none (NOTIFY_SOCKET is not set)");
    } else if (watchdog_.count() > 0) {
        line = QStringLiteral("service manager: notifying %1, watchdog fed every %2 ms")
                   .arg(QString::fromStdString(channel_->address()))
                   .arg(static_cast<qint64>(feedInterval().count()));
    } else {
        line = QStringLiteral("service manager: notifying %1, no watchdog")
                   .arg(QString::fromStdString(channel_->address()));
    }
    if (!problem_.empty()) line += QStringLiteral(" (%1)").arg(QString::fromStdString(problem_));
    return line;
}

}  // namespace ecran::display
