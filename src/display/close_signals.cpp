#include "display/close_signals.h"

#include <QWidget>

#include <csignal>
#include <cstddef>
#include <iterator>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ecran::display {
namespace {

constexpr int kCloseSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t kSignalCount = std::size(kCloseSignals);

// What each signal did before, put back when the window goes.
struct sigaction previous[kSignalCount];
bool installed[kSignalCount] = {};

// The signal handler only writes one byte; the GUI thread reads it.
int signalPipe[2] = {-1, -1};

extern "C" void onCloseSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

CloseSignals::CloseSignals(QWidget* target) : QObject(target), target_(target) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        target_->close();
    });
    struct sigaction action = {};
    action.sa_handler = onCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        // A display started under nohup keeps ignoring the hangup, as asked.
        if (::sigaction(kCloseSignals[i], nullptr, &previous[i]) != 0) continue;
        if (kCloseSignals[i] == SIGHUP && previous[i].sa_handler == SIG_IGN) continue;
        installed[i] = ::sigaction(kCloseSignals[i], &action, nullptr) == 0;
    }
}

CloseSignals::~CloseSignals() {
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (installed[i]) ::sigaction(kCloseSignals[i], &previous[i], nullptr);
        installed[i] = false;
    }
    if (signalPipe[0] >= 0) ::close(signalPipe[0]);
    if (signalPipe[1] >= 0) ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

}  // namespace ecran::display
