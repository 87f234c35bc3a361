#pragma once
// A throw-away store for each registry test: XDG_CONFIG_HOME points at a
// fresh temporary directory and the store is closed before and after.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace ecran::win32::testing {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ecran-reg-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldConfigHome_ = old;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        closeRegistryStore();
    }

    void TearDown() override {
        closeRegistryStore();
        if (oldConfigHome_) {
            setenv("XDG_CONFIG_HOME", oldConfigHome_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    [[nodiscard]] const std::filesystem::path& dir() const { return dir_; }

    // A key created below `root` with all rights (asserting success).
    HKEY create(HKEY root, const char* path, REGSAM rights = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, rights, nullptr, &key, nullptr), ERROR_SUCCESS) << path;
        return key;
    }

    HKEY open(HKEY root, const char* path, REGSAM rights = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(root, path, 0, rights, &key), ERROR_SUCCESS) << path;
        return key;
    }

    static LSTATUS set(HKEY key, const char* name, DWORD type, const std::string& bytes) {
        return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
    }

private:
    std::filesystem::path dir_;
    std::optional<std::string> oldConfigHome_;
};

inline HKEY handleFromValue(std::uintptr_t value) {
    return reinterpret_cast<HKEY>(value);
}

// One text column of the first row of a query on the store file, opened
// directly (past the registry functions).
inline std::string queryStore(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string result = "<cannot open>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        result = "<no row>";
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            result = std::string("<error: ") + sqlite3_errmsg(db) + ">";
        } else if (sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(stmt, 0);
            result = text ? reinterpret_cast<const char*>(text) : "";
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

}  // namespace ecran::win32::testing
