// Other processes on the same store: one killed with SIGKILL in the middle
// of its writes, several writing at once, one deleting a key this process
// has open.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "registry_test_support.h"

namespace ecran::win32::testing {
namespace {

struct Child {
    pid_t pid = -1;
    int reports = -1;  // read end of the pipe the child reports on
};

// Runs `body(reportFd)` in a child process, which ends with its result as
// exit status. The child never returns into the test framework.
template <class F>
Child spawn(F body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        _exit(body(fds[1]));
    }
    close(fds[1]);
    return Child{pid, fds[0]};
}

// The next number the child reported, or nothing at end of pipe.
std::optional<std::uint32_t> nextReport(int fd) {
    std::uint32_t n = 0;
    std::size_t got = 0;
    while (got < sizeof n) {
        const ssize_t r = read(fd, reinterpret_cast<char*>(&n) + got, sizeof n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        got += static_cast<std::size_t>(r);
    }
    return n;
}

// Waits for the child to end; its wait status.
int finish(const Child& child) {
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(child.reports);
    return status;
}

LSTATUS setDword(HKEY key, const std::string& name, std::uint32_t v) {
    return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

std::optional<std::uint32_t> dwordValue(HKEY key, const std::string& name) {
    std::uint32_t v = 0;
    DWORD size = sizeof v;
    const LSTATUS rc = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(&v), &size);
    return rc == ERROR_SUCCESS && size == sizeof v ? std::optional(v) : std::nullopt;
}

std::string numbered(const char* prefix, std::uint32_t i) { return prefix + std::to_string(i); }

// A child that writes until it fails or is killed: value n<i> = i, then sub
// key k<i> created and k<i-1> deleted, and i reported once all have returned.
int writeForever(const std::string& path, int reports) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return 1;
    }
    for (std::uint32_t i = 0;; ++i) {
        HKEY sub = nullptr;
        if (setDword(key, numbered("n", i), i) != ERROR_SUCCESS ||
            RegCreateKeyExA(key, numbered("k", i).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) !=
                ERROR_SUCCESS ||
            RegCloseKey(sub) != ERROR_SUCCESS ||
            (i > 0 && RegDeleteKeyA(key, numbered("k", i - 1).c_str()) != ERROR_SUCCESS)) {
            return 1;
        }
        (void)!write(reports, &i, sizeof i);
    }
}

TEST_F(RegistryTest, AWriterKilledAtAnyMomentLeavesAWholeStoreWithEveryReturnedWrite) {
    const std::uint32_t killAfter[] = {1, 15, 40, 90};
    for (std::size_t round = 0; round < std::size(killAfter); ++round) {
        const std::string path = "Crash\\Round" + std::to_string(round);
        Child child = spawn([&](int fd) { return writeForever(path, fd); });
        ASSERT_GT(child.pid, 0);
        std::optional<std::uint32_t> last;
        while (!last || *last + 1 < killAfter[round]) {
            last = nextReport(child.reports);
            ASSERT_TRUE(last.has_value()) << "the writer stopped on its own";
        }
        usleep(static_cast<useconds_t>(round * 1500));  // land at different points of a write
        kill(child.pid, SIGKILL);
        while (const auto more = nextReport(child.reports)) last = more;
        const int status = finish(child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer stopped on its own";

        EXPECT_EQ(queryStore("PRAGMA integrity_check"), "ok") << "round " << round;
        HKEY key = open(HKEY_CURRENT_USER, path.c_str(), KEY_READ);
        for (std::uint32_t i = 0; i <= *last; ++i) {
            ASSERT_EQ(dwordValue(key, numbered("n", i)), i) << "round " << round << ": write " << i << " returned";
        }
        // The write after the last report may or may not have been made; the
        // one after that was never started.
        EXPECT_FALSE(dwordValue(key, numbered("n", *last + 2)).has_value());
        const std::string first = enumName(key, 0, true);
        EXPECT_TRUE(first == numbered("k", *last) || first == numbered("k", *last + 1)) << first;
    }
}

TEST_F(RegistryTest, ProcessesWritingAtOnceLoseNothing) {
    constexpr std::uint32_t kWrites = 150;
    // Values <prefix>0..149, and the same sub key created again each time.
    const auto writeAll = [](const char* prefix) {
        HKEY key = nullptr;
        HKEY common = nullptr;
        int failures = RegOpenKeyExA(HKEY_CURRENT_USER, "Shared", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS;
        for (std::uint32_t i = 0; i < kWrites && failures == 0; ++i) {
            failures += setDword(key, numbered(prefix, i), i) != ERROR_SUCCESS;
            failures += RegCreateKeyExA(key, "Common\\Below", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &common,
                                        nullptr) != ERROR_SUCCESS;
            failures += RegCloseKey(common) != ERROR_SUCCESS;
        }
        return failures;
    };
    // The store is open here when the children are made: each must open its own.
    HKEY shared = create(HKEY_CURRENT_USER, "Shared");
    const Child children[] = {spawn([&](int) { return writeAll("a"); }), spawn([&](int) { return writeAll("b"); })};
    EXPECT_EQ(writeAll("p"), 0);
    for (const Child& c : children) {
        ASSERT_GT(c.pid, 0);
        const int status = finish(c);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed calls in a writer";
    }
    for (const char* prefix : {"a", "b", "p"}) {
        for (std::uint32_t i = 0; i < kWrites; ++i) ASSERT_EQ(dwordValue(shared, numbered(prefix, i)), i) << i;
    }
    EXPECT_EQ(enumNames(shared, true), std::vector<std::string>{"Common"}) << "made once";
    EXPECT_EQ(queryStore("PRAGMA integrity_check"), "ok");
}

TEST_F(RegistryTest, AKeyDeletedByAnotherProcessAnswersKeyDeletedHere) {
    HKEY victim = create(HKEY_CURRENT_USER, "Victim");
    ASSERT_EQ(set(victim, "v", REG_SZ, "x"), ERROR_SUCCESS);
    const Child child = spawn([](int) { return static_cast<int>(RegDeleteKeyA(HKEY_CURRENT_USER, "Victim")); });
    ASSERT_GT(child.pid, 0);
    const int status = finish(child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(victim, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(set(victim, "v", REG_SZ, "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(victim), ERROR_SUCCESS);
}

}  // namespace
}  // namespace ecran::win32::testing
