#pragma once
// A throw-away store for each registry test (the sandbox), with shortcuts
// for the calls the tests make most.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry_sandbox.h"
#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace ecran::win32::testing {

class RegistryTest : public test_support::RegistrySandbox {
protected:
    // A key created or opened below `root` (expecting success).
    static HKEY create(HKEY root, const char* path, REGSAM rights = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, rights, nullptr, &key, nullptr), ERROR_SUCCESS) << path;
        return key;
    }
    static HKEY open(HKEY root, const char* path, REGSAM rights = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(root, path, 0, rights, &key), ERROR_SUCCESS) << path;
        return key;
    }
};

// Sets a value of this type to these bytes.
inline LSTATUS set(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

// The name at `index` of a value (or, with `subKey`, of a sub key), or
// "<code>" when the call fails.
inline std::string enumName(HKEY key, DWORD index, bool subKey = false) {
    char name[300];
    DWORD length = sizeof name;
    const LSTATUS rc = subKey ? RegEnumKeyA(key, index, name, length)
                              : RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return "<" + std::to_string(rc) + ">";
    return subKey ? std::string(name) : std::string(name, length);
}

// Every name enumeration gives, from index 0 to ERROR_NO_MORE_ITEMS.
inline std::vector<std::string> enumNames(HKEY key, bool subKeys = false) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        std::string name = enumName(key, i, subKeys);
        if (name.starts_with('<')) {  // no name in these tests starts so
            EXPECT_EQ(name, "<259>");
            return names;
        }
        names.push_back(std::move(name));
    }
}

// One text column of the first row of a query on the store file, opened
// directly (past the registry functions).
inline std::string queryStore(const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    std::string result;
    if (sqlite3_open_v2(registryStorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
        if (const unsigned char* text = sqlite3_column_text(stmt, 0)) result = reinterpret_cast<const char*>(text);
    } else {
        result = std::string("<") + sqlite3_errmsg(db) + ">";
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return result;
}

}  // namespace ecran::win32::testing
