#include "registry/registry_key.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>

#include "registry/registry_sandbox.h"
#include "win32/registry_store.h"

namespace ecran::registry {
namespace {

using errors::Error;
using errors::lastError;
using test_support::keyExists;
using test_support::putValue;
using test_support::rawValue;
using test_support::sz;

const std::string kKey = "Software\\Example";
const std::string kListFailure = "Unable to retrieve value names for registry key";

class RegistryKeyTest : public test_support::RegistrySandbox {};

void expectError(const std::function<void()>& action, std::int32_t number, const std::string& source,
                 const std::string& description) {
    try {
        action();
        ADD_FAILURE() << "nothing raised, expected " << source;
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), number);
        EXPECT_EQ(e.source(), source);
        EXPECT_EQ(e.description(), description);
    }
}

void expectRecord(std::int32_t number, const std::string& source, const std::string& description) {
    EXPECT_EQ(lastError().number, number);
    EXPECT_EQ(lastError().source, source);
    EXPECT_EQ(lastError().description, description);
}

// The test key, opened with these rights.
struct OpenedKey : RegistryKey {
    explicit OpenedKey(REGSAM rights) { OpenKey(HKEY_CURRENT_USER, kKey, rights); }
};

// A handle that is no longer open answers every call with an invalid-handle code.
bool isClosed(HKEY h) {
    DWORD size = 0;
    return RegQueryValueExA(h, "", nullptr, nullptr, nullptr, &size) == ERROR_INVALID_HANDLE;
}

TEST_F(RegistryKeyTest, OpenKeyCreatesAMissingKeyForExactlyKeyWrite) {
    struct Row {
        DWORD rights;
        bool existing, opened, existsAfter;
    };
    for (const Row row : {Row{KEY_READ, true, true, true}, Row{KEY_READ, false, false, false},
                          Row{KEY_WRITE, false, true, true}, Row{KEY_ALL_ACCESS, false, false, false},
                          Row{KEY_WRITE | KEY_READ, false, false, false}}) {
        SCOPED_TRACE(::testing::Message() << std::hex << "rights 0x" << row.rights << " existing " << row.existing);
        RegistryKey key;
        EXPECT_EQ(key.handle(), nullptr);
        if (row.existing) putValue(HKEY_CURRENT_USER, kKey, "a", REG_SZ, "x");
        key.OpenKey(HKEY_CURRENT_USER, kKey, row.rights);
        EXPECT_EQ(key.handle() != nullptr, row.opened);
        EXPECT_EQ(keyExists(HKEY_CURRENT_USER, kKey), row.existsAfter);
        EXPECT_TRUE(lastError().isClear());
        key.CloseKey();
        if (row.existsAfter) key.DeleteKey(HKEY_CURRENT_USER, kKey);
    }
}

TEST_F(RegistryKeyTest, OpenKeyForWritingOnAMissingKeyHoldsOneHandle) {
    const std::size_t before = win32::openRegistryHandleCount();
    {
        OpenedKey key(KEY_WRITE);
        EXPECT_EQ(win32::openRegistryHandleCount(), before + 1);
        key.setValue("n", "v");
    }
    EXPECT_EQ(win32::openRegistryHandleCount(), before);
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, kKey, "n"), sz("v"));
}

TEST_F(RegistryKeyTest, CreateKeyTellsCreatedFromOpenedAndFailed) {
    RegistryKey key;
    EXPECT_TRUE(key.CreateKey(HKEY_CURRENT_USER, kKey));
    const HKEY first = key.handle();
    EXPECT_FALSE(key.CreateKey(HKEY_CURRENT_USER, kKey));
    EXPECT_NE(key.handle(), nullptr);
    EXPECT_TRUE(isClosed(first));  // a second creation closes the first key
    const HKEY second = key.handle();
    key.OpenKey(HKEY_CURRENT_USER, "Missing", KEY_READ);
    EXPECT_TRUE(isClosed(second));  // and so does an open, even one that fails
    EXPECT_FALSE(key.CreateKey(nullptr, kKey));
    EXPECT_EQ(key.handle(), nullptr);
    EXPECT_TRUE(lastError().isClear());
}

TEST_F(RegistryKeyTest, DestructionClosesTheKeyAndRecordsAFailedClose) {
    HKEY held = nullptr;
    {
        RegistryKey key;
        (void)key.CreateKey(HKEY_CURRENT_USER, kKey);
        held = key.handle();
        ASSERT_EQ(RegCloseKey(held), ERROR_SUCCESS);  // closed behind the object's back
        expectError([&] { key.CloseKey(); }, ERROR_INVALID_HANDLE, "RegistryKey.CloseKey",
                    "An error occurred while closing the registy key");
        EXPECT_EQ(key.handle(), held);  // kept for another try
        EXPECT_TRUE(lastError().isClear());
    }
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.CloseKey", "An error occurred while closing the registy key");
    {
        RegistryKey key;
        (void)key.CreateKey(HKEY_CURRENT_USER, kKey);
        held = key.handle();
    }
    EXPECT_TRUE(isClosed(held));
}

TEST_F(RegistryKeyTest, DeleteOperationsRaiseTheRegistryCode) {
    RegistryKey key;
    expectError([&] { key.DeleteKey(HKEY_CURRENT_USER, "Software\\Missing"); }, ERROR_FILE_NOT_FOUND,
                "RegistryKey.DeleteKey", "Unable to delete registry key 'Software\\Missing'");
    expectError([&] { key.DeleteSubKey("Sub"); }, ERROR_INVALID_HANDLE, "RegistryKey.DeleteSubKey",
                "Unable to delete registry subkey 'Sub'");
    expectError([&] { key.DeleteValue("v"); }, ERROR_INVALID_HANDLE, "RegistryKey.DeleteValue",
                "Unable to delete registry value 'v'");

    putValue(HKEY_CURRENT_USER, kKey + "\\Sub", "", REG_SZ, "");
    putValue(HKEY_CURRENT_USER, kKey, "v", REG_SZ, "");
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_ALL_ACCESS);
    key.DeleteValue("v");
    key.DeleteSubKey("Sub");
    EXPECT_FALSE(rawValue(HKEY_CURRENT_USER, kKey, "v"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kKey + "\\Sub"));
}

TEST_F(RegistryKeyTest, ValueReadGivesTheStoredBytesLessTheLastOne) {
    struct Row {
        DWORD type;
        std::string stored, expected;
    };
    for (const Row& row : {Row{REG_SZ, std::string("abc\0", 4), "abc"}, Row{REG_SZ, "abc", "ab"},
                           Row{REG_DWORD, std::string("\x0C\0\0\0", 4), std::string("\x0C\0\0", 3)},
                           Row{REG_BINARY, "", ""}}) {
        putValue(HKEY_CURRENT_USER, kKey, "v", row.type, row.stored);
        OpenedKey key(KEY_READ);
        lastError().record(Error(99, "before", "stale"));
        EXPECT_EQ(key.value("v"), row.expected);
        EXPECT_TRUE(lastError().isClear());
    }
}

TEST_F(RegistryKeyTest, ValueReadRecordsTheReadStepFailure) {
    RegistryKey key;
    EXPECT_EQ(key.value("v"), "");  // no key held
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.Get Value",
                 "An error occurred while getting the registy value 'v'");
    putValue(HKEY_CURRENT_USER, kKey, "present", REG_SZ, "x");
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_READ);
    EXPECT_EQ(key.value("missing"), "");
    expectRecord(ERROR_FILE_NOT_FOUND, "RegistryKey.Get Value",
                 "An error occurred while getting the registy value 'missing'");
}

// Another process writing between the size query and the read, made
// deterministic: `change` runs just before every read query of value()
// (a query with a data buffer), and the queries are counted.
std::function<void(int read)> changeBeforeRead;
int queries = 0;
int reads = 0;

LSTATUS WINAPI queryWithChanges(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    ++queries;
    if (data != nullptr && changeBeforeRead) changeBeforeRead(++reads);
    return RegQueryValueExA(key, name, reserved, type, data, size);
}

TEST_F(RegistryKeyTest, ValueReadOfAValueChangedBetweenItsTwoQueries) {
    const std::string sixteen = "0123456789abcdef";
    const auto store = [&](const std::string& text) { putValue(HKEY_CURRENT_USER, kKey, "v", REG_SZ, text + '\0'); };
    const auto remove = [&] {
        RegistryKey writer;
        writer.OpenKey(HKEY_CURRENT_USER, kKey, KEY_ALL_ACCESS);
        writer.DeleteValue("v");
    };
    struct Row {
        const char* what;
        std::optional<std::string> before;   // stored before the read; nullopt: no value
        std::function<void(int)> change;     // before read query n
        std::string expected;
        std::int32_t recorded;  // number in the last-error record, 0 when clear
        int queries;
    };
    const Row rows[] = {
        {"shrinks", sixteen, [&](int n) { if (n == 1) store("a"); }, "a", 0, 4},
        {"grows", "a", [&](int n) { if (n == 1) store(sixteen); }, sixteen, 0, 4},
        {"deleted", "abc", [&](int n) { if (n == 1) remove(); }, "", ERROR_FILE_NOT_FOUND, 4},
        {"appears", std::nullopt, [&](int n) { if (n == 1) store("new"); }, "new", 0, 4},
        {"switches at every read: the last read is whole", "a",
         [&](int n) { store(n % 2 ? sixteen : "a"); }, "a", 0, 2 * kValueReadAttempts},
        {"grows at every read: the failure is recorded", "a",
         [&](int n) { store(std::string(static_cast<std::size_t>(n) + 1, 'g')); }, "", ERROR_MORE_DATA,
         2 * kValueReadAttempts},
    };
    const QueryValueFunction original = exchangeQueryValueFunction(&queryWithChanges);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        putValue(HKEY_CURRENT_USER, kKey, "other", REG_SZ, "");  // the key exists in every row
        if (row.before) store(*row.before);
        OpenedKey key(KEY_READ);
        queries = reads = 0;
        changeBeforeRead = row.change;
        EXPECT_EQ(key.value("v"), row.expected);
        changeBeforeRead = nullptr;
        EXPECT_EQ(queries, row.queries);
        if (row.recorded == 0) {
            EXPECT_TRUE(lastError().isClear()) << lastError().description;
        } else {
            expectRecord(row.recorded, "RegistryKey.Get Value", "An error occurred while getting the registy value 'v'");
        }
        key.CloseKey();
        key.DeleteKey(HKEY_CURRENT_USER, kKey);
    }
    exchangeQueryValueFunction(original);
}

TEST_F(RegistryKeyTest, ValueWriteStoresTextAndIsLostWithoutWriteRights) {
    OpenedKey key(KEY_WRITE);
    key.setValue("n", 12);
    key.setValue("e", "");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, kKey, "n"), sz("12"));  // type REG_SZ, size 3
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, kKey, "e"), sz(""));

    lastError().record(Error(99, "before", "kept"));
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_READ);
    key.setValue("n", "new");
    key.CloseKey();
    key.setValue("n", "new");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, kKey, "n"), sz("12"));
    expectRecord(99, "before", "kept");
}

TEST(RegistryValue, TextForms) {
    const std::pair<RegistryValue, std::string> rows[] = {
        {"abc", "abc"}, {12, "12"}, {-7L, "-7"}, {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
        {true, "True"}, {false, "False"}, {0.1, "0.1"}, {0.1f, "0.1"}, {2.0, "2"}, {1e21, "1e+21"}, {'x', "x"},
    };
    for (const auto& [value, text] : rows) EXPECT_EQ(value.text(), text);
    for (double d : {std::nan(""), -std::numeric_limits<double>::infinity()}) {
        expectError([&] { (void)RegistryValue(d).text(); }, kTypeMismatch, "ecran", "Type mismatch");
    }
}

TEST_F(RegistryKeyTest, ListsOfValueAndSubKeyNames) {
    putValue(HKEY_CURRENT_USER, kKey, "", REG_SZ, "d");
    OpenedKey key(KEY_READ);
    EXPECT_EQ(key.ValueNames(), NameList{});
    EXPECT_EQ(key.SubKeyNames(), NameList{});  // a list with no names, not "no result"
    putValue(HKEY_CURRENT_USER, kKey, "a", REG_SZ, "1");
    putValue(HKEY_CURRENT_USER, kKey, "b", REG_DWORD, std::string(4, '\0'));
    putValue(HKEY_CURRENT_USER, kKey + "\\y\\deeper", "", REG_SZ, "");
    putValue(HKEY_CURRENT_USER, kKey + "\\x", "", REG_SZ, "");
    EXPECT_EQ(key.ValueNames(), (NameList{"a", "b"}));
    EXPECT_EQ(key.SubValueNames(), (NameList{"", "a", "b"}));
    EXPECT_EQ(key.SubKeyNames(), (NameList{"x", "y"}));
    EXPECT_TRUE(lastError().isClear());

    key.CloseKey();
    EXPECT_EQ(key.SubKeyNames(), std::nullopt);
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.GetValues", kListFailure);
    lastError().clear();
    EXPECT_EQ(key.SubValueNames(), std::nullopt);
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.GetValues", kListFailure);
    lastError().clear();
    expectError([&] { (void)key.ValueNames(); }, ERROR_INVALID_HANDLE, "RegistryKey.GetValues", kListFailure);
    EXPECT_TRUE(lastError().isClear());
}

TEST_F(RegistryKeyTest, SubValueNamesStopAt512CharactersAndValueNamesAt4096) {
    putValue(HKEY_CURRENT_USER, kKey, std::string(511, 'm'), REG_SZ, "");
    OpenedKey key(KEY_READ);
    EXPECT_EQ(key.SubValueNames(), NameList{std::string(511, 'm')});
    putValue(HKEY_CURRENT_USER, kKey, std::string(4095, 'n'), REG_SZ, "");
    EXPECT_EQ(key.SubValueNames(), std::nullopt);
    EXPECT_EQ(lastError().number, ERROR_MORE_DATA);
    EXPECT_EQ(key.ValueNames().size(), 2u);
    putValue(HKEY_CURRENT_USER, kKey, std::string(4096, 'o'), REG_SZ, "");
    expectError([&] { (void)key.ValueNames(); }, ERROR_MORE_DATA, "RegistryKey.GetValues", kListFailure);
}

// Zero-padded so that the store's name order is the order of creation.
std::string numbered(const char* prefix, int i) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%05d", prefix, i);
    return name;
}

TEST_F(RegistryKeyTest, ListsHoldAtMostThe16BitCount) {
    RegistryKey key;
    (void)key.CreateKey(HKEY_CURRENT_USER, kKey);
    std::vector<win32::RegistryValueEntry> values;
    std::vector<std::string> subKeys;
    for (int i = 0; i < 32767; ++i) {
        values.push_back({numbered("v", i), REG_SZ, ""});
        subKeys.push_back(numbered("k", i));
    }
    ASSERT_EQ(win32::setRegistryValues(key.handle(), values), ERROR_SUCCESS);
    ASSERT_EQ(win32::createRegistrySubKeys(key.handle(), subKeys), ERROR_SUCCESS);
    EXPECT_EQ(key.ValueNames().size(), 32767u);
    EXPECT_EQ(key.SubKeyNames()->size(), 32767u);
    EXPECT_TRUE(lastError().isClear());

    // One more: ValueNames raises the overflow; the other two record it and
    // let every further name replace element 32767.
    ASSERT_EQ(win32::setRegistryValues(key.handle(), {{numbered("v", 32767), REG_SZ, ""}}), ERROR_SUCCESS);
    ASSERT_EQ(win32::createRegistrySubKeys(key.handle(), {numbered("k", 32767)}), ERROR_SUCCESS);
    expectError([&] { (void)key.ValueNames(); }, errors::kOverflow, "ecran", "Overflow");
    for (const auto& [names, prefix] : {std::pair{key.SubValueNames(), "v"}, std::pair{key.SubKeyNames(), "k"}}) {
        ASSERT_TRUE(names);
        ASSERT_EQ(names->size(), 32767u);
        EXPECT_EQ(names->back(), numbered(prefix, 32767));
        EXPECT_EQ((*names)[32765], numbered(prefix, 32765));
        EXPECT_EQ(lastError().number, errors::kOverflow);
    }
}

}  // namespace
}  // namespace ecran::registry
