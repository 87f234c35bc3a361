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

constexpr std::uint32_t kChildFailed = 0xFFFFFFFF;

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
        const int status = body(fds[1]);
        _exit(status);
    }
    close(fds[1]);
    return Child{pid, fds[0]};
}

void report(int fd, std::uint32_t n) {
    (void)!write(fd, &n, sizeof n);
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

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string valueName(const char* prefix, std::uint32_t i) {
    return prefix + std::to_string(i);
}

// Reads a DWORD value through the registry functions.
std::optional<std::uint32_t> dwordValue(HKEY key, const std::string& name) {
    std::uint32_t v = 0;
    DWORD size = sizeof v;
    if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(&v), &size) != ERROR_SUCCESS ||
        size != sizeof v) {
        return std::nullopt;
    }
    return v;
}

// A child that writes forever: value n<i> = i, then creates sub key k<i> and
// deletes k<i-1>, and reports i once all three calls have returned.
int writeForever(const std::string& path, int reports) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        report(reports, kChildFailed);
        return 1;
    }
    for (std::uint32_t i = 0;; ++i) {
        HKEY sub = nullptr;
        const std::string name = valueName("n", i);
        const bool ok =
            RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof i) ==
                ERROR_SUCCESS &&
            RegCreateKeyExA(key, valueName("k", i).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) ==
                ERROR_SUCCESS &&
            RegCloseKey(sub) == ERROR_SUCCESS &&
            (i == 0 || RegDeleteKeyA(key, valueName("k", i - 1).c_str()) == ERROR_SUCCESS);
        report(reports, ok ? i : kChildFailed);
        if (!ok) return 1;
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
            ASSERT_NE(*last, kChildFailed);
        }
        usleep(static_cast<useconds_t>(round * 1500));  // land at different points of a write
        kill(child.pid, SIGKILL);
        const int status = waitFor(child.pid);
        while (const auto more = nextReport(child.reports)) {
            ASSERT_NE(*more, kChildFailed);
            last = more;
        }
        close(child.reports);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        EXPECT_EQ(queryStore(registryStorePath(), "PRAGMA integrity_check"), "ok") << "round " << round;
        HKEY key = open(HKEY_CURRENT_USER, path.c_str(), KEY_READ);
        for (std::uint32_t i = 0; i <= *last; ++i) {
            ASSERT_EQ(dwordValue(key, valueName("n", i)), i) << "round " << round << ": write " << i << " returned";
        }
        // The write after the last report may or may not have been made; the
        // one after that was never started.
        EXPECT_FALSE(dwordValue(key, valueName("n", *last + 2)).has_value());
        char name[32];
        EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
        const std::string first = name;
        EXPECT_TRUE(first == valueName("k", *last) || first == valueName("k", *last + 1)) << first;
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
}

TEST_F(RegistryTest, AKilledBatchIsStoredWholeOrNotAtAll) {
    constexpr int kBatch = 5000;
    Child child = spawn([](int fd) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Batch", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            return 1;
        }
        for (std::uint32_t b = 0;; ++b) {
            std::vector<RegistryValueEntry> values;
            for (int j = 0; j < kBatch; ++j) {
                values.push_back({"b" + std::to_string(b) + "_" + std::to_string(j), REG_SZ, std::string(40, 'd')});
            }
            if (setRegistryValues(key, values) != ERROR_SUCCESS) return 1;
            report(fd, b);
        }
    });
    ASSERT_GT(child.pid, 0);
    std::optional<std::uint32_t> last = nextReport(child.reports);
    ASSERT_TRUE(last.has_value());
    usleep(3000);
    kill(child.pid, SIGKILL);
    waitFor(child.pid);
    while (const auto more = nextReport(child.reports)) last = more;
    close(child.reports);

    EXPECT_EQ(queryStore(registryStorePath(), "PRAGMA integrity_check"), "ok");
    const long count = std::stol(queryStore(registryStorePath(), "SELECT count(*) FROM vals"));
    EXPECT_EQ(count % kBatch, 0) << count;
    EXPECT_GE(count, static_cast<long>(*last + 1) * kBatch);
}

TEST_F(RegistryTest, ProcessesWritingAtOnceLoseNothing) {
    constexpr std::uint32_t kWrites = 150;
    // The store is open here when the children are made: each must open its own.
    HKEY shared = create(HKEY_CURRENT_USER, "Shared");
    const auto writer = [&](const char* prefix) {
        return [prefix](int) {
            HKEY key = nullptr;
            int failures = 0;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, "Shared", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 100;
            for (std::uint32_t i = 0; i < kWrites; ++i) {
                const std::string name = valueName(prefix, i);
                HKEY common = nullptr;
                failures += RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i),
                                           sizeof i) != ERROR_SUCCESS;
                failures += RegCreateKeyExA(key, "Common\\Below", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &common,
                                            nullptr) != ERROR_SUCCESS;
                failures += RegCloseKey(common) != ERROR_SUCCESS;
            }
            failures += RegCloseKey(key) != ERROR_SUCCESS;
            return failures;
        };
    };
    Child a = spawn(writer("a"));
    Child b = spawn(writer("b"));
    ASSERT_GT(a.pid, 0);
    ASSERT_GT(b.pid, 0);
    for (std::uint32_t i = 0; i < kWrites; ++i) {
        ASSERT_EQ(RegSetValueExA(shared, valueName("p", i).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i),
                                 sizeof i),
                  ERROR_SUCCESS);
    }
    for (const Child& c : {a, b}) {
        const int status = waitFor(c.pid);
        close(c.reports);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "failed calls in a writer";
    }
    for (const char* prefix : {"a", "b", "p"}) {
        for (std::uint32_t i = 0; i < kWrites; ++i) {
            ASSERT_EQ(dwordValue(shared, valueName(prefix, i)), i) << prefix << i;
        }
    }
    char name[16];
    EXPECT_EQ(RegEnumKeyA(shared, 1, name, sizeof name), ERROR_NO_MORE_ITEMS) << "one Common key, made once";
    EXPECT_EQ(queryStore(registryStorePath(), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(RegCloseKey(shared), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AKeyDeletedByAnotherProcessAnswersKeyDeletedHere) {
    HKEY victim = create(HKEY_CURRENT_USER, "Victim");
    ASSERT_EQ(set(victim, "v", REG_SZ, "x"), ERROR_SUCCESS);
    Child child = spawn([](int) { return static_cast<int>(RegDeleteKeyA(HKEY_CURRENT_USER, "Victim")); });
    ASSERT_GT(child.pid, 0);
    const int status = waitFor(child.pid);
    close(child.reports);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(victim, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(set(victim, "v", REG_SZ, "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(victim), ERROR_SUCCESS);
}

}  // namespace
}  // namespace ecran::win32::testing
