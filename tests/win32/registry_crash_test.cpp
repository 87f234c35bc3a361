// Other processes on the same store: one killed with SIGKILL in the middle
// of its writes, several writing at once, one deleting a key this process
// has open.

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "registry_test_support.h"

namespace ecran::win32::testing {
namespace {

using test_support::ChildProcess;

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
        ChildProcess child([&](int fd) { return writeForever(path, fd); });
        ASSERT_TRUE(child.started());
        std::optional<std::uint32_t> last;
        while (!last || *last + 1 < killAfter[round]) {
            last = child.nextReport();
            ASSERT_TRUE(last.has_value()) << "the writer stopped on its own";
        }
        usleep(static_cast<useconds_t>(round * 1500));  // land at different points of a write
        child.kill(SIGKILL);
        while (const auto more = child.nextReport()) last = more;
        ASSERT_EQ(child.termSignal(), SIGKILL) << "the writer stopped on its own";

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
    ChildProcess a([&](int) { return writeAll("a"); }), b([&](int) { return writeAll("b"); });
    EXPECT_EQ(writeAll("p"), 0);
    for (ChildProcess* c : {&a, &b}) EXPECT_EQ(c->exitStatus(), 0) << "failed calls in a writer";
    for (const char* prefix : {"a", "b", "p"}) {
        for (std::uint32_t i = 0; i < kWrites; ++i) ASSERT_EQ(dwordValue(shared, numbered(prefix, i)), i) << i;
    }
    EXPECT_EQ(enumNames(shared, true), std::vector<std::string>{"Common"}) << "made once";
    EXPECT_EQ(queryStore("PRAGMA integrity_check"), "ok");
}

TEST_F(RegistryTest, AKeyDeletedByAnotherProcessAnswersKeyDeletedHere) {
    HKEY victim = create(HKEY_CURRENT_USER, "Victim");
    ASSERT_EQ(set(victim, "v", REG_SZ, "x"), ERROR_SUCCESS);
    ChildProcess child([](int) { return static_cast<int>(RegDeleteKeyA(HKEY_CURRENT_USER, "Victim")); });
    ASSERT_EQ(child.exitStatus(), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(victim, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(set(victim, "v", REG_SZ, "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(victim), ERROR_SUCCESS);
}

}  // namespace
}  // namespace ecran::win32::testing
