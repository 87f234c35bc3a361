#pragma once
// A throw-away configuration directory for tests that use the registry
// store, and raw access to the store for setting up and checking keys.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>

#include "errors/error.h"
#include "support/child_process.h"
#include "support/sandbox.h"
#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace ecran::test_support {

// XDG_CONFIG_HOME points at a fresh directory, the store is reopened there,
// and the last-error record starts clear; all of it is put back afterwards.
class RegistrySandbox : public ConfigSandbox {
protected:
    void SetUp() override {
        win32::closeRegistryStore();
        win32::clearRegistryStoreFailure();
        errors::lastError().clear();
    }
    void TearDown() override {
        win32::setRegistryStoreBusyTimeout(win32::kRegistryStoreBusyTimeout);
        win32::closeRegistryStore();
    }
};

// Another process in the middle of a change: from construction to
// destruction it holds the store's write lock (the store must exist).
class OtherProcessWriting {
public:
    OtherProcessWriting() : release_(openPipe()), child_([this](int ready) { return hold(ready); }) {
        ::close(release_[0]);
        holding_ = child_.nextByte() == '1';
    }
    ~OtherProcessWriting() {
        ::close(release_[1]);  // the child rolls its change back and ends
        (void)child_.waitStatus();
    }
    OtherProcessWriting(const OtherProcessWriting&) = delete;
    OtherProcessWriting& operator=(const OtherProcessWriting&) = delete;

    [[nodiscard]] bool holding() const { return holding_; }

private:
    static std::array<int, 2> openPipe() {
        std::array<int, 2> fds{-1, -1};
        (void)!::pipe(fds.data());
        return fds;
    }
    int hold(int ready) const {
        ::close(release_[1]);
        sqlite3* db = nullptr;
        const bool holding =
            sqlite3_open_v2(win32::registryStorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE keys SET class = class", nullptr, nullptr, nullptr) == SQLITE_OK;
        (void)!::write(ready, holding ? "1" : "0", 1);
        char c;
        while (::read(release_[0], &c, 1) > 0) {
        }
        sqlite3_close(db);  // rolls the change back
        return 0;
    }

    std::array<int, 2> release_;
    ChildProcess child_;
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
