// The pieces under the registry functions: path splitting, the handle
// table, filling a key in one transaction, and enumeration staying right
// while the store changes.

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "registry_test_support.h"
#include "win32/registry_handles.h"
#include "win32/registry_names.h"

namespace ecran::win32::testing {
namespace {

// ------------------------------------------------------------ key paths

struct SplitCase {
    const char* path;
    PathUse use;
    LONG code;
    std::vector<std::string> names;
};
void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << (c.path ? std::string(c.path).substr(0, 24) : "NULL") << (c.use == PathUse::Create ? " (create)" : " (look-up)");
}

class SplitSubKeyPathTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitSubKeyPathTest, NamesAndCodes) {
    const SplitCase& c = GetParam();
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(splitSubKeyPath(c.path, c.use, names), c.code);
    if (c.code == ERROR_SUCCESS) {
        EXPECT_EQ(names, c.names);
    }
}

const std::string k255(255, 'k');
const std::string k256(256, 'k');
const std::string k255Path = "a\\" + k255;
const std::string k256Path = "a\\" + k256;
std::string levels(std::size_t n) {
    std::string path = "x";
    for (std::size_t i = 1; i < n; ++i) path += "\\x";
    return path;
}
const std::string k512Levels = levels(512);
const std::string k513Levels = levels(513);

INSTANTIATE_TEST_SUITE_P(
    Rows, SplitSubKeyPathTest,
    ::testing::Values(SplitCase{nullptr, PathUse::Create, ERROR_SUCCESS, {}},
                      SplitCase{"", PathUse::Lookup, ERROR_SUCCESS, {}},
                      SplitCase{"a", PathUse::Lookup, ERROR_SUCCESS, {"a"}},
                      SplitCase{"a\\b", PathUse::Lookup, ERROR_SUCCESS, {"a", "b"}},
                      SplitCase{"a\\\\\\b\\\\", PathUse::Create, ERROR_SUCCESS, {"a", "b"}},
                      SplitCase{"a b\\.\\..", PathUse::Create, ERROR_SUCCESS, {"a b", ".", ".."}},
                      SplitCase{"\\a", PathUse::Create, ERROR_BAD_PATHNAME, {}},
                      SplitCase{"\\", PathUse::Lookup, ERROR_BAD_PATHNAME, {}},
                      SplitCase{k255Path.c_str(), PathUse::Create, ERROR_SUCCESS, {"a", k255}},
                      SplitCase{k256Path.c_str(), PathUse::Create, ERROR_INVALID_PARAMETER, {}},
                      SplitCase{k256Path.c_str(), PathUse::Lookup, ERROR_FILE_NOT_FOUND, {}},
                      SplitCase{k512Levels.c_str(), PathUse::Create, ERROR_SUCCESS, std::vector<std::string>(512, "x")},
                      SplitCase{k513Levels.c_str(), PathUse::Create, ERROR_INVALID_PARAMETER, {}},
                      SplitCase{k513Levels.c_str(), PathUse::Lookup, ERROR_FILE_NOT_FOUND, {}}));

// -------------------------------------------------------- handle table

TEST(RegistryHandleTable, HandsOutIncreasingValuesBelowTheRootsUpToItsCapacity) {
    RegistryHandleTable table(3, RegistryHandleTable::kLastValue - 4);
    EXPECT_EQ(table.add({10, KEY_READ}), RegistryHandleTable::kLastValue - 4);
    EXPECT_EQ(table.add({11, KEY_WRITE}), RegistryHandleTable::kLastValue);
    EXPECT_EQ(table.add({12, KEY_READ}), 4u) << "wraps around below 0x80000000";
    EXPECT_EQ(table.add({13, KEY_READ}), std::nullopt) << "full";
    ASSERT_NE(table.find(RegistryHandleTable::kLastValue), nullptr);
    EXPECT_EQ(table.find(RegistryHandleTable::kLastValue)->keyId, 11);
    EXPECT_EQ(table.find(RegistryHandleTable::kLastValue)->rights, static_cast<REGSAM>(KEY_WRITE));
    EXPECT_TRUE(table.remove(4));
    EXPECT_FALSE(table.remove(4));
    EXPECT_EQ(table.find(4), nullptr);
    EXPECT_EQ(table.add({14, KEY_READ}), 8u) << "4 is not given again at once";
    EXPECT_TRUE(table.remove(RegistryHandleTable::kLastValue - 4));
    EXPECT_EQ(table.add({15, KEY_READ}), 12u);
}

// ------------------------------------------ filling a key in one go

TEST_F(RegistryTest, FortyThousandValuesInOneTransactionEnumerateInOrder) {
    HKEY key = create(HKEY_CURRENT_USER, "Bulk");
    std::vector<RegistryValueEntry> values;
    for (int i = 0; i < 40000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "v%05d", 39999 - i);  // creation order differs from name order
        values.push_back({name, REG_SZ, std::string(name) + '\0'});
    }
    ASSERT_EQ(setRegistryValues(key, values), ERROR_SUCCESS);

    char name[32];
    char data[32];
    DWORD i = 0;
    for (;; ++i) {
        DWORD length = sizeof name;
        DWORD size = sizeof data;
        const LSTATUS rc =
            RegEnumValueA(key, i, name, &length, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS) << i;
        ASSERT_EQ(std::string(name, length), values[i].name) << i;
        ASSERT_EQ(std::string(data, size), values[i].data) << i;
    }
    EXPECT_EQ(i, 40000u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ThirtyThreeThousandSubKeysInOneTransactionEnumerateSorted) {
    HKEY key = create(HKEY_CURRENT_USER, "Bulk");
    std::vector<std::string> names;
    for (int i = 0; i < 33000; ++i) names.push_back("k" + std::to_string(i));
    ASSERT_EQ(createRegistrySubKeys(key, names), ERROR_SUCCESS);

    char name[32];
    std::string previous;
    DWORD i = 0;
    for (;; ++i) {
        const LSTATUS rc = RegEnumKeyA(key, i, name, sizeof name);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS) << i;
        ASSERT_LT(previous, std::string(name)) << i;
        previous = name;
    }
    EXPECT_EQ(i, 33000u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, BatchesAreAllOrNothingAndFollowTheFunctionsRules) {
    HKEY key = create(HKEY_CURRENT_USER, "Bulk");
    const std::vector<RegistryValueEntry> withBadName = {
        {"fine", REG_SZ, "x"}, {std::string(kMaxValueNameLength + 1, 'n'), REG_SZ, "x"}};
    EXPECT_EQ(setRegistryValues(key, withBadName), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(createRegistrySubKeys(key, {"ok", "\\bad"}), ERROR_BAD_PATHNAME);
    HKEY readOnly = open(HKEY_CURRENT_USER, "Bulk", KEY_READ);
    EXPECT_EQ(setRegistryValues(readOnly, {{"fine", REG_SZ, "x"}}), ERROR_ACCESS_DENIED);
    EXPECT_EQ(setRegistryValues(nullptr, {{"fine", REG_SZ, "x"}}), ERROR_INVALID_HANDLE);
    char name[8];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);

    EXPECT_EQ(createRegistrySubKeys(key, {"a\\b", "A\\c"}), ERROR_SUCCESS);
    HKEY a = open(key, "a");
    EXPECT_EQ(RegEnumKeyA(a, 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name), "c");
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// ------------------------------------- enumeration while things change

std::string enumName(HKEY key, DWORD index) {
    char name[32];
    DWORD length = sizeof name;
    const LSTATUS rc = RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    return rc == ERROR_SUCCESS ? std::string(name, length) : "<" + std::to_string(rc) + ">";
}

std::string enumKeyName(HKEY key, DWORD index) {
    char name[32];
    const LSTATUS rc = RegEnumKeyA(key, index, name, sizeof name);
    return rc == ERROR_SUCCESS ? std::string(name) : "<" + std::to_string(rc) + ">";
}

TEST_F(RegistryTest, EnumerationFollowsChangesMadeMidWay) {
    HKEY key = create(HKEY_CURRENT_USER, "Walk");
    ASSERT_EQ(setRegistryValues(key, {{"a", REG_SZ, ""}, {"b", REG_SZ, ""}, {"c", REG_SZ, ""}, {"d", REG_SZ, ""}}),
              ERROR_SUCCESS);
    ASSERT_EQ(createRegistrySubKeys(key, {"a", "b", "c", "d"}), ERROR_SUCCESS);
    EXPECT_EQ(enumName(key, 0), "a");
    EXPECT_EQ(enumName(key, 1), "b");
    EXPECT_EQ(enumKeyName(key, 0), "a");
    EXPECT_EQ(enumKeyName(key, 1), "b");

    // A change by this process: index 2 is now d.
    ASSERT_EQ(RegDeleteValueA(key, "a"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(key, "a"), ERROR_SUCCESS);
    EXPECT_EQ(enumName(key, 2), "d");
    EXPECT_EQ(enumKeyName(key, 2), "d");

    // A change by another connection to the store: index 1 is now d.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(registryStorePath().c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 5000);
    ASSERT_EQ(sqlite3_exec(other, "DELETE FROM vals WHERE name = x'63'; DELETE FROM keys WHERE name = x'63'", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    EXPECT_EQ(enumName(key, 1), "d");
    EXPECT_EQ(enumKeyName(key, 1), "d");
    EXPECT_EQ(enumName(key, 2), "<259>");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
}  // namespace ecran::win32::testing
