#pragma once
// A throw-away configuration directory for tests that use the registry
// store, and raw access to the store for setting up and checking keys.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "errors/error.h"
#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace ecran::test_support {

// XDG_CONFIG_HOME points at a fresh directory, the store is reopened there,
// and the last-error record starts clear; all of it is put back afterwards.
class RegistrySandbox : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ecran-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldConfigHome_ = old;
        setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
        win32::closeRegistryStore();
        win32::clearRegistryStoreFailure();
        errors::lastError().clear();
    }
    void TearDown() override {
        win32::setRegistryStoreBusyTimeout(win32::kRegistryStoreBusyTimeout);
        win32::closeRegistryStore();
        if (oldConfigHome_) setenv("XDG_CONFIG_HOME", oldConfigHome_->c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::filesystem::path dir_;
    std::optional<std::string> oldConfigHome_;
};

// Another process in the middle of a change: from construction to
// destruction it holds the store's write lock (the store must exist).
class OtherProcessWriting {
public:
    OtherProcessWriting() {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        const std::string path = win32::registryStorePath();
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            sqlite3* db = nullptr;
            const bool holding = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                                 sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE keys SET class = class", nullptr, nullptr,
                                              nullptr) == SQLITE_OK;
            (void)!write(ready[1], holding ? "1" : "0", 1);
            char c;
            while (read(release[0], &c, 1) > 0) {
            }
            sqlite3_close(db);  // rolls the change back
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char c = '0';
        holding_ = pid_ > 0 && read(ready[0], &c, 1) == 1 && c == '1';
        close(ready[0]);
    }
    ~OtherProcessWriting() {
        if (release_ >= 0) close(release_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    OtherProcessWriting(const OtherProcessWriting&) = delete;
    OtherProcessWriting& operator=(const OtherProcessWriting&) = delete;

    [[nodiscard]] bool holding() const { return holding_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool holding_ = false;
};

inline bool keyExists(HKEY root, const std::string& path) {
    HKEY h = nullptr;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS && RegCloseKey(h) == ERROR_SUCCESS;
}

inline void putValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                     const std::string& bytes) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())), 0);
    ASSERT_EQ(RegCloseKey(h), 0);
}

// The stored value's type and bytes, or nothing when key or value is missing.
inline std::optional<std::pair<DWORD, std::string>> rawValue(HKEY root, const std::string& path,
                                                             const std::string& name) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, size = 0;
    std::string bytes;
    LSTATUS rc = RegQueryValueExA(h, name.c_str(), nullptr, &type, nullptr, &size);
    bytes.resize(size);
    if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(bytes.data()), &size);
    }
    EXPECT_EQ(RegCloseKey(h), 0);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    return std::make_pair(type, bytes);
}

// The bytes of a REG_SZ value: the text and its NUL.
inline std::pair<DWORD, std::string> sz(const std::string& text) { return {REG_SZ, text + '\0'}; }

}  // namespace ecran::test_support
