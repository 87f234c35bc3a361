// The store among other processes and users: what a process leaves in the
// store file when it exits, a store its user may only read, and reads while
// another process is writing.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "registry_test_support.h"

namespace ecran::win32::testing {
namespace {

namespace fs = std::filesystem;

const HKEY kUserRoot = HKEY_CURRENT_USER;

using test_support::ChildProcess;
using test_support::readFile;

// The text of a REG_SZ value up to its NUL, or "<none>".
std::string text(HKEY root, const char* path, const char* name) {
    const auto value = test_support::rawValue(root, path, name);
    return value ? std::string(value->second.c_str()) : "<none>";
}

TEST_F(RegistryTest, AProcessThatExitedLeavesItsKeysInTheStoreFileAlone) {
    ChildProcess child([](int) {
        HKEY key = nullptr;
        const bool done = RegCreateKeyExA(kUserRoot, "Software\\Left", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                          nullptr) == ERROR_SUCCESS &&
                          set(key, "v", REG_SZ, std::string("kept", 5)) == ERROR_SUCCESS;
        std::exit(done ? 0 : 1);  // an ordinary end, as a program's
        return 1;
    });
    ASSERT_EQ(child.exitStatus(), 0);

    // A backup that takes registry.db alone.
    const fs::path copy = dir_ / "copy";
    fs::create_directories(copy / "ecran");
    fs::copy_file(registryStorePath(), copy / "ecran" / "registry.db");
    setenv("XDG_CONFIG_HOME", copy.c_str(), 1);
    closeRegistryStore();
    EXPECT_EQ(text(kUserRoot, "Software\\Left", "v"), "kept");
}

// Run in a child whose user may only read the store file (as root, whom
// file modes do not stop, the child becomes "nobody" and the files become
// that user's). Each line: a call and its code.
std::string callsOnAReadOnlyStore(const fs::path& dir) {
    const bool root = geteuid() == 0;
    constexpr uid_t kNobody = 65534;
    if (root) {
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (chown(entry.path().c_str(), kNobody, kNobody) != 0) return "chown failed";
        }
        if (chown(dir.c_str(), kNobody, kNobody) != 0) return "chown failed";
    }
    ChildProcess child([root](int report) {
        if (root && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return 1;
        std::string out;
        const auto note = [&](const char* what, LSTATUS rc) { out += std::string(what) + " " + std::to_string(rc) + "\n"; };
        HKEY key = nullptr, created = nullptr, writable = nullptr;
        DWORD disposition = 0;
        note("open KEY_READ", RegOpenKeyExA(kUserRoot, "Software\\RO", 0, KEY_READ, &key));
        out += "read " + text(kUserRoot, "Software\\RO", "v") + "\n";
        note("set", set(key, "v", REG_SZ, "x"));
        note("open KEY_WRITE", RegOpenKeyExA(kUserRoot, "Software\\RO", 0, KEY_WRITE, &writable));
        note("set through it", set(writable, "v", REG_SZ, "x"));
        note("delete value", RegDeleteValueA(writable, "v"));
        note("create existing",
             RegCreateKeyExA(kUserRoot, "Software\\RO", 0, nullptr, 0, KEY_READ, nullptr, &created, &disposition));
        out += "disposition " + std::to_string(disposition) + "\n";
        note("create new", RegCreateKeyExA(kUserRoot, "Software\\New", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr));
        note("delete key", RegDeleteKeyA(kUserRoot, "Software\\RO"));
        out += "failure " + std::to_string(lastRegistryStoreFailure().code) + "\n";
        (void)!write(report, out.data(), out.size());
        return 0;
    });
    return child.read();
}

TEST_F(RegistryTest, AStoreItsUserMayOnlyReadIsReadAndNeverWritten) {
    if (geteuid() == 0 && !test_support::othersCanEnter(dir_.parent_path()))
        GTEST_SKIP() << "the temporary directory is private: the user 'nobody' cannot reach it";
    HKEY key = create(kUserRoot, "Software\\RO");
    ASSERT_EQ(set(key, "v", REG_SZ, std::string("kept", 5)), ERROR_SUCCESS);
    closeRegistryStore();
    const std::string store = registryStorePath();
    ASSERT_EQ(chmod(store.c_str(), 0400), 0);
    const auto before = readFile(store);

    EXPECT_EQ(callsOnAReadOnlyStore(dir_),
              "open KEY_READ 0\n"
              "read kept\n"
              "set 5\n"
              "open KEY_WRITE 0\n"
              "set through it 5\n"
              "delete value 5\n"
              "create existing 0\n"
              "disposition 2\n"
              "create new 5\n"
              "delete key 5\n"
              "failure 5\n");
    EXPECT_EQ(readFile(store), before);
    struct stat st {};
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);
}

TEST_F(RegistryTest, ReadsDoNotWaitForAnotherProcessesChangeAndAChangeThatWaitsTooLongSaysWhy) {
    HKEY key = create(kUserRoot, "Software\\Busy");
    ASSERT_EQ(set(key, "v", REG_SZ, std::string("before", 7)), ERROR_SUCCESS);
    closeRegistryStore();  // opened again below while the other process writes
    setRegistryStoreBusyTimeout(std::chrono::milliseconds(300));

    test_support::OtherProcessWriting writer;
    ASSERT_TRUE(writer.holding());
    EXPECT_EQ(text(kUserRoot, "Software\\Busy", "v"), "before");
    EXPECT_EQ(lastRegistryStoreFailure().code, ERROR_SUCCESS);

    key = open(kUserRoot, "Software\\Busy", KEY_WRITE);
    EXPECT_EQ(set(key, "v", REG_SZ, "after"), ERROR_CANTWRITE);
    const RegistryStoreFailure failure = lastRegistryStoreFailure();
    EXPECT_EQ(failure.code, ERROR_CANTWRITE);
    EXPECT_EQ(failure.path, registryStorePath());
    EXPECT_EQ(failure.what, "cannot write: another process kept it locked for 300 ms (database is locked)");
    clearRegistryStoreFailure();
    EXPECT_EQ(lastRegistryStoreFailure().code, ERROR_SUCCESS);
}

}  // namespace
}  // namespace ecran::win32::testing
