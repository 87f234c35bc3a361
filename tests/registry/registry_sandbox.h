#pragma once
// A throw-away configuration directory for tests that use the registry
// store, and direct access to the store for setting up and checking keys.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "errors/error.h"
#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace ecran::test_support {

// Points XDG_CONFIG_HOME at a fresh temporary directory, so that the store
// (and INI files) live there, and starts from a closed store and a clear
// last-error record.
class RegistrySandbox : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ecran-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldConfigHome_ = old;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        win32::closeRegistryStore();
        errors::lastError().clear();
    }

    void TearDown() override {
        win32::closeRegistryStore();
        if (oldConfigHome_) {
            setenv("XDG_CONFIG_HOME", oldConfigHome_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        std::filesystem::remove_all(dir_);
    }

    [[nodiscard]] const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
    std::optional<std::string> oldConfigHome_;
};

// Raw store access, past RegistryKey.
inline bool keyExists(HKEY root, const std::string& path) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    return true;
}

inline void putValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                     const std::string& bytes) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

struct RawValue {
    DWORD type = 0;
    std::string bytes;
};

// The stored value's type and bytes, or nothing when key or value is missing.
inline std::optional<RawValue> rawValue(HKEY root, const std::string& path, const std::string& name) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return std::nullopt;
    RawValue v;
    DWORD size = 0;
    LSTATUS rc = RegQueryValueExA(h, name.c_str(), nullptr, &v.type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        v.bytes.assign(size, '\0');
        rc = RegQueryValueExA(h, name.c_str(), nullptr, &v.type, reinterpret_cast<LPBYTE>(v.bytes.data()), &size);
    }
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    return v;
}

}  // namespace ecran::test_support
