#pragma once
// Another process for tests of what happens among processes: a forked
// child runs a function whose int result is its exit status, and reports
// to the test on a pipe. The child never returns into the test framework.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

namespace ecran::test_support {

class ChildProcess {
public:
    // Runs `body(reportFd)` in a child; the test reads what it writes there.
    template <class Body>
    explicit ChildProcess(Body&& body) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            int status = 127;
            try {
                status = body(fds[1]);
            } catch (...) {
            }
            ::_exit(status);
        }
        ::close(fds[1]);
        reports_ = fds[0];
    }
    // A child the test did not wait for is killed, so that a failed
    // assertion never leaves one running.
    ~ChildProcess() {
        if (reports_ >= 0) ::close(reports_);
        if (!status_) kill(SIGKILL);
        (void)waitStatus();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    void kill(int signal) const {
        if (pid_ > 0) ::kill(pid_, signal);
    }

    // The next number the child wrote, or nothing at the end of the pipe.
    std::optional<std::uint32_t> nextReport() {
        std::uint32_t n = 0;
        const std::string bytes = read(sizeof n);
        if (bytes.size() != sizeof n) return std::nullopt;
        bytes.copy(reinterpret_cast<char*>(&n), sizeof n);
        return n;
    }
    // Up to `limit` bytes the child wrote, fewer only at the end of the pipe.
    std::string read(std::size_t limit = SIZE_MAX) {
        std::string got;
        char buffer[256];
        for (ssize_t n = 1; pid_ > 0 && got.size() < limit && n != 0;) {
            n = ::read(reports_, buffer, std::min(sizeof buffer, limit - got.size()));
            if (n < 0 && errno != EINTR) break;
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // Waits for the child to end: its wait status, -1 when there is none.
    int waitStatus() {
        while (pid_ > 0 && !status_) {
            int status = 0;
            if (::waitpid(pid_, &status, 0) == pid_) status_ = status;
            else if (errno != EINTR) status_ = -1;
        }
        return status_.value_or(-1);
    }
    // Its exit status, or -1 when it did not exit (a signal killed it).
    int exitStatus() {
        const int status = waitStatus();
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int reports_ = -1;
    std::optional<int> status_;
};

}  // namespace ecran::test_support
