#pragma once
// Another process for tests of what happens among processes: a forked
// child runs a function whose int result is its exit status, and reports
// to the test on a pipe. The child never returns into the test framework.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

namespace ecran::test_support {

class ChildProcess {
public:
    // Runs `body(reportFd)` in a child; what it writes on reportFd the test
    // reads with nextReport() or output().
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
        if (pid_ < 0) close();
    }
    // A child the test did not wait for is killed, so that a failed
    // assertion never leaves one running.
    ~ChildProcess() {
        close();
        if (!status_) kill(SIGKILL);
        (void)waitStatus();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool started() const { return pid_ > 0; }
    void kill(int signal) const {
        if (started()) ::kill(pid_, signal);
    }

    // The next number the child wrote, or nothing at the end of the pipe.
    std::optional<std::uint32_t> nextReport() {
        std::uint32_t n = 0;
        return readExactly(&n, sizeof n) ? std::optional(n) : std::nullopt;
    }
    // One byte the child wrote, or nothing at the end of the pipe.
    std::optional<char> nextByte() {
        char c = 0;
        return readExactly(&c, 1) ? std::optional(c) : std::nullopt;
    }
    // Everything the child writes until it closes the pipe (or ends).
    std::string output() {
        std::string out;
        char buffer[256];
        while (reports_ >= 0) {
            const ssize_t n = ::read(reports_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Waits for the child to end: its wait status (-1 when there is no child).
    int waitStatus() {
        if (started() && !status_) {
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = status;
        }
        return status_.value_or(-1);
    }
    // Waits for the child to end: its exit status, or -1 when it did not
    // exit (killed by a signal) or never started.
    int exitStatus() {
        const int status = waitStatus();
        return started() && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Waits for the child to end: the signal that killed it, or 0.
    int termSignal() {
        const int status = waitStatus();
        return started() && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

private:
    bool readExactly(void* to, std::size_t size) {
        std::size_t got = 0;
        while (reports_ >= 0 && got < size) {
            const ssize_t r = ::read(reports_, static_cast<char*>(to) + got, size - got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return got == size;
    }
    void close() {
        if (reports_ >= 0) ::close(reports_);
        reports_ = -1;
    }

    pid_t pid_ = -1;
    int reports_ = -1;
    std::optional<int> status_;
};

}  // namespace ecran::test_support
