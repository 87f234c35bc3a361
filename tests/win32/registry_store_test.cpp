// The pieces under the registry functions: the handle table, filling a key
// in one transaction, and enumeration staying right while the store changes.

#include <algorithm>
#include <string>
#include <vector>

#include "registry_test_support.h"
#include "win32/registry_handles.h"
#include "win32/registry_names.h"

namespace ecran::win32::testing {
namespace {

TEST(RegistryHandleTable, HandsOutIncreasingValuesBelowTheRootsUpToItsCapacity) {
    constexpr std::uint32_t kLast = RegistryHandleTable::kLastValue;
    RegistryHandleTable table(3, kLast - 4);
    EXPECT_EQ(table.add({10, KEY_READ}), kLast - 4);
    EXPECT_EQ(table.add({11, KEY_WRITE}), kLast);
    EXPECT_EQ(table.add({12, KEY_READ}), 4u) << "wraps around below 0x80000000";
    EXPECT_EQ(table.add({13, KEY_READ}), std::nullopt) << "full";
    ASSERT_NE(table.find(kLast), nullptr);
    EXPECT_EQ(table.find(kLast)->keyId, 11);
    EXPECT_EQ(table.find(kLast)->rights, static_cast<REGSAM>(KEY_WRITE));
    EXPECT_TRUE(table.remove(4));
    EXPECT_FALSE(table.remove(4));
    EXPECT_EQ(table.find(4), nullptr);
    EXPECT_EQ(table.add({14, KEY_READ}), 8u) << "4 is not given again at once";
    EXPECT_TRUE(table.remove(kLast - 4));
    EXPECT_EQ(table.add({15, KEY_READ}), 12u);
}

// More entries than a signed 16-bit index reaches, filled in one
// transaction each, enumerate whole: values in creation order (here not
// name order), sub keys sorted.
TEST_F(RegistryTest, BulkFilledKeysEnumerateEveryEntryInOrder) {
    HKEY key = create(HKEY_CURRENT_USER, "Bulk");
    std::vector<RegistryValueEntry> values;
    std::vector<std::string> valueNames, subKeys;
    for (int i = 0; i < 33000; ++i) {
        valueNames.push_back("v" + std::to_string(32999 - i));
        values.push_back({valueNames.back(), REG_SZ, ""});
        subKeys.push_back("k" + std::to_string(i));
    }
    ASSERT_EQ(setRegistryValues(key, values), ERROR_SUCCESS);
    ASSERT_EQ(createRegistrySubKeys(key, subKeys), ERROR_SUCCESS);
    EXPECT_EQ(enumNames(key), valueNames);
    std::sort(subKeys.begin(), subKeys.end());
    EXPECT_EQ(enumNames(key, true), subKeys);
    for (const DWORD i : {32768u, 0u, 32999u}) {  // random access
        EXPECT_EQ(enumName(key, i), valueNames[i]);
        EXPECT_EQ(enumName(key, i, true), subKeys[i]);
    }
}

TEST_F(RegistryTest, BatchesAreAllOrNothingAndFollowTheFunctionsRules) {
    HKEY key = create(HKEY_CURRENT_USER, "Bulk");
    const std::vector<RegistryValueEntry> withBadName = {
        {"fine", REG_SZ, "x"}, {std::string(kMaxValueNameLength + 1, 'n'), REG_SZ, "x"}};
    EXPECT_EQ(setRegistryValues(key, withBadName), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(createRegistrySubKeys(key, {"ok", "\\bad"}), ERROR_BAD_PATHNAME);
    EXPECT_EQ(setRegistryValues(open(HKEY_CURRENT_USER, "Bulk", KEY_READ), {{"fine", REG_SZ, "x"}}),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(setRegistryValues(nullptr, {{"fine", REG_SZ, "x"}}), ERROR_INVALID_HANDLE);
    EXPECT_EQ(enumNames(key), std::vector<std::string>{});
    EXPECT_EQ(enumNames(key, true), std::vector<std::string>{});

    EXPECT_EQ(createRegistrySubKeys(key, {"a\\b", "A\\c"}), ERROR_SUCCESS);
    EXPECT_EQ(enumNames(open(key, "a"), true), (std::vector<std::string>{"b", "c"}));
}

// Walking on (index i after i - 1) must not continue from where the last
// call stopped once the key changed, here or in another process.
TEST_F(RegistryTest, EnumerationFollowsChangesMadeMidWay) {
    HKEY key = create(HKEY_CURRENT_USER, "Walk");
    const std::vector<std::string> names = {"a", "b", "c", "d", "e"};
    std::vector<RegistryValueEntry> values;
    for (const std::string& name : names) values.push_back({name, REG_SZ, ""});
    ASSERT_EQ(setRegistryValues(key, values), ERROR_SUCCESS);
    ASSERT_EQ(createRegistrySubKeys(key, names), ERROR_SUCCESS);
    for (const bool subKeys : {false, true}) {
        SCOPED_TRACE(subKeys ? "sub keys" : "values");
        EXPECT_EQ(enumName(key, 0, subKeys), "a");
        EXPECT_EQ(enumName(key, 1, subKeys), "b");
        ASSERT_EQ(subKeys ? RegDeleteKeyA(key, "a") : RegDeleteValueA(key, "a"), ERROR_SUCCESS);
        EXPECT_EQ(enumName(key, 2, subKeys), "d");

        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(registryStorePath().c_str(), &other), SQLITE_OK);
        sqlite3_busy_timeout(other, 5000);
        const char* sql = subKeys ? "DELETE FROM keys WHERE name = x'63'" : "DELETE FROM vals WHERE name = x'63'";
        EXPECT_EQ(sqlite3_exec(other, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(other);
        EXPECT_EQ(enumName(key, 3, subKeys), "<259>") << "b, d, e are left";
    }
}

}  // namespace
}  // namespace ecran::win32::testing
