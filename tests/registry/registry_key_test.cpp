#include "registry/registry_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "registry/registry_sandbox.h"
#include "win32/registry_store.h"

namespace ecran::registry {
namespace {

using errors::Error;
using errors::lastError;
using test_support::keyExists;
using test_support::putValue;
using test_support::rawValue;

const std::string kKey = "Software\\Example";

class RegistryKeyTest : public test_support::RegistrySandbox {};

// The error an action raises, for comparing number, source and description.
std::optional<Error> raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e;
    }
    return std::nullopt;
}

void expectRecord(std::int32_t number, const std::string& source, const std::string& description) {
    EXPECT_EQ(lastError().number, number);
    EXPECT_EQ(lastError().source, source);
    EXPECT_EQ(lastError().description, description);
}

// A handle that is no longer open answers every call with an invalid-handle code.
bool isClosed(HKEY h) {
    DWORD size = 0;
    return RegQueryValueExA(h, "", nullptr, nullptr, nullptr, &size) == ERROR_INVALID_HANDLE;
}

TEST_F(RegistryKeyTest, NewObjectHoldsNoKeyAndClosingItDoesNothing) {
    RegistryKey key;
    EXPECT_EQ(key.handle(), nullptr);
    EXPECT_NO_THROW(key.CloseKey());
    EXPECT_EQ(key.handle(), nullptr);
}

TEST_F(RegistryKeyTest, OpenKeyCreatesAMissingKeyForExactlyKeyWrite) {
    struct Row {
        DWORD rights;
        bool existing;
        bool opened;
        bool existsAfter;
    };
    const Row rows[] = {
        {KEY_READ, true, true, true},          {KEY_READ, false, false, false},
        {KEY_WRITE, false, true, true},        {KEY_ALL_ACCESS, false, false, false},
        {KEY_WRITE | KEY_READ, false, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << "rights 0x" << row.rights << " existing " << row.existing);
        ASSERT_FALSE(keyExists(HKEY_CURRENT_USER, "Software"));
        if (row.existing) putValue(HKEY_CURRENT_USER, kKey, "a", REG_SZ, std::string("x\0", 2));
        lastError().clear();
        {
            RegistryKey key;
            EXPECT_NO_THROW(key.OpenKey(HKEY_CURRENT_USER, kKey, row.rights));
            EXPECT_EQ(key.handle() != nullptr, row.opened);
        }
        EXPECT_TRUE(lastError().isClear());
        EXPECT_EQ(keyExists(HKEY_CURRENT_USER, kKey), row.existsAfter);
        if (row.existsAfter) {
            RegistryKey cleanup;
            cleanup.DeleteKey(HKEY_CURRENT_USER, kKey);
            cleanup.DeleteKey(HKEY_CURRENT_USER, "Software");
        }
    }
}

TEST_F(RegistryKeyTest, OpenKeyForWritingOnAMissingKeyHoldsOneHandleThatWrites) {
    const std::size_t before = win32::openRegistryHandleCount();
    {
        RegistryKey key;
        key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_WRITE);
        ASSERT_NE(key.handle(), nullptr);
        EXPECT_EQ(win32::openRegistryHandleCount(), before + 1);
        key.setValue("n", "v");
    }
    EXPECT_EQ(win32::openRegistryHandleCount(), before);
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, kKey, "n")->bytes, std::string("v\0", 2));
}

TEST_F(RegistryKeyTest, CreateKeyTellsCreatedFromOpenedAndFailed) {
    RegistryKey key;
    EXPECT_TRUE(key.CreateKey(HKEY_CURRENT_USER, kKey));
    EXPECT_NE(key.handle(), nullptr);
    EXPECT_FALSE(key.CreateKey(HKEY_CURRENT_USER, kKey));
    EXPECT_NE(key.handle(), nullptr);
    EXPECT_FALSE(key.CreateKey(nullptr, kKey));  // no root: cannot be created
    EXPECT_EQ(key.handle(), nullptr);
    EXPECT_TRUE(lastError().isClear());
}

TEST_F(RegistryKeyTest, ASecondOpenOrCreateClosesTheFirstKey) {
    const std::function<void(RegistryKey&)> reopen[] = {
        [](RegistryKey& k) { k.OpenKey(HKEY_CURRENT_USER, "Software", KEY_READ); },
        [](RegistryKey& k) { (void)k.CreateKey(HKEY_CURRENT_USER, "Other"); },
        [](RegistryKey& k) { k.OpenKey(HKEY_CURRENT_USER, "Missing", KEY_READ); },
    };
    for (const auto& second : reopen) {
        RegistryKey key;
        (void)key.CreateKey(HKEY_CURRENT_USER, kKey);
        const HKEY first = key.handle();
        second(key);
        EXPECT_TRUE(isClosed(first));
    }
}

TEST_F(RegistryKeyTest, DestructionClosesTheKeyAndRecordsAFailedClose) {
    HKEY held = nullptr;
    {
        RegistryKey key;
        (void)key.CreateKey(HKEY_CURRENT_USER, kKey);
        held = key.handle();
    }
    EXPECT_TRUE(isClosed(held));

    {
        RegistryKey key;
        (void)key.CreateKey(HKEY_CURRENT_USER, kKey);
        ASSERT_EQ(RegCloseKey(key.handle()), ERROR_SUCCESS);  // closed behind the object's back
        const HKEY stale = key.handle();
        const auto e = raised([&] { key.CloseKey(); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->number(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(e->source(), "RegistryKey.CloseKey");
        EXPECT_EQ(e->description(), "An error occurred while closing the registy key");
        EXPECT_EQ(key.handle(), stale);  // kept for another try
        lastError().clear();
    }
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.CloseKey", "An error occurred while closing the registy key");
}

TEST_F(RegistryKeyTest, DeleteOperationsRaiseTheRegistryCode) {
    struct Row {
        std::function<void(RegistryKey&)> action;
        std::int32_t number;
        std::string source;
        std::string description;
    };
    const Row rows[] = {
        {[](RegistryKey& k) { k.DeleteKey(HKEY_CURRENT_USER, "Software\\Missing"); }, ERROR_FILE_NOT_FOUND,
         "RegistryKey.DeleteKey", "Unable to delete registry key 'Software\\Missing'"},
        {[](RegistryKey& k) { k.DeleteSubKey("Sub"); }, ERROR_INVALID_HANDLE, "RegistryKey.DeleteSubKey",
         "Unable to delete registry subkey 'Sub'"},
        {[](RegistryKey& k) { k.DeleteValue("v"); }, ERROR_INVALID_HANDLE, "RegistryKey.DeleteValue",
         "Unable to delete registry value 'v'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.source);
        RegistryKey key;
        const auto e = raised([&] { row.action(key); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->number(), row.number);
        EXPECT_EQ(e->source(), row.source);
        EXPECT_EQ(e->description(), row.description);
    }
}

TEST_F(RegistryKeyTest, DeleteOperationsRemoveWhatTheyName) {
    putValue(HKEY_CURRENT_USER, kKey + "\\Sub", "", REG_SZ, std::string("\0", 1));
    putValue(HKEY_CURRENT_USER, kKey, "v", REG_SZ, std::string("\0", 1));
    RegistryKey key;
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_ALL_ACCESS);
    key.DeleteValue("v");
    key.DeleteSubKey("Sub");
    EXPECT_FALSE(rawValue(HKEY_CURRENT_USER, kKey, "v"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kKey + "\\Sub"));
    const HKEY held = key.handle();
    key.CloseKey();
    key.DeleteKey(HKEY_CURRENT_USER, kKey);  // needs no held key
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kKey));
    EXPECT_NE(held, nullptr);
}

TEST_F(RegistryKeyTest, ValueReadGivesTheStoredBytesLessTheLastOne) {
    struct Row {
        DWORD type;
        std::string stored;
        std::string expected;
    };
    const Row rows[] = {
        {REG_SZ, std::string("abc\0", 4), "abc"},
        {REG_SZ, "abc", "ab"},  // stored without its NUL
        {REG_EXPAND_SZ, std::string("%TEMP%\0", 7), "%TEMP%"},
        {REG_MULTI_SZ, std::string("a\0b\0\0", 5), std::string("a\0b\0", 4)},
        {REG_DWORD, std::string("\x0C\0\0\0", 4), std::string("\x0C\0\0", 3)},
        {REG_BINARY, "", ""},
        {REG_SZ, std::string("D\xE9marrage\0", 10), "D\xE9marrage"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        putValue(HKEY_CURRENT_USER, kKey, "v", row.type, row.stored);
        RegistryKey key;
        key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_READ);
        lastError().record(Error(99, "before", "stale"));
        EXPECT_EQ(key.value("v"), row.expected);
        EXPECT_TRUE(lastError().isClear());
    }
}

TEST_F(RegistryKeyTest, ValueReadRecordsTheReadStepFailure) {
    putValue(HKEY_CURRENT_USER, kKey, "present", REG_SZ, std::string("x\0", 2));
    RegistryKey key;
    EXPECT_EQ(key.value("present"), "");  // no key held
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.Get Value",
                 "An error occurred while getting the registy value 'present'");

    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_READ);
    EXPECT_EQ(key.value("missing"), "");
    expectRecord(ERROR_FILE_NOT_FOUND, "RegistryKey.Get Value",
                 "An error occurred while getting the registy value 'missing'");
}

TEST_F(RegistryKeyTest, ValueWriteStoresTheTextFormAsAString) {
    RegistryKey key;
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_WRITE);
    key.setValue("n", 12);
    key.setValue("e", "");
    const auto n = rawValue(HKEY_CURRENT_USER, kKey, "n");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(n->bytes, std::string("12\0", 3));
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, kKey, "e")->bytes, std::string("\0", 1));
}

TEST_F(RegistryKeyTest, ValueWriteWithoutWriteRightsChangesAndReportsNothing) {
    putValue(HKEY_CURRENT_USER, kKey, "v", REG_SZ, std::string("old\0", 4));
    lastError().record(Error(99, "before", "kept"));
    RegistryKey key;
    key.setValue("v", "new");  // no key held
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_READ);
    key.setValue("v", "new");
    key.setValue("w", "new");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, kKey, "v")->bytes, std::string("old\0", 4));
    EXPECT_FALSE(rawValue(HKEY_CURRENT_USER, kKey, "w"));
    expectRecord(99, "before", "kept");
}

TEST(RegistryValue, TextForms) {
    const std::pair<RegistryValue, std::string> rows[] = {
        {RegistryValue("abc"), "abc"},
        {RegistryValue(12), "12"},
        {RegistryValue(-7L), "-7"},
        {RegistryValue(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {RegistryValue(true), "True"},
        {RegistryValue(false), "False"},
        {RegistryValue(0.1), "0.1"},
        {RegistryValue(0.1f), "0.1"},
        {RegistryValue(2.0), "2"},
        {RegistryValue(-2.5), "-2.5"},
        {RegistryValue(1e21), "1e+21"},
        {RegistryValue('x'), "x"},
    };
    for (const auto& [value, text] : rows) EXPECT_EQ(value.text(), text);
}

TEST_F(RegistryKeyTest, ValueWithoutTextFormRaisesAndWritesNothing) {
    RegistryKey key;
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_WRITE);
    for (double d : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        const auto e = raised([&] { key.setValue("n", d); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->number(), kTypeMismatch);
    }
    EXPECT_FALSE(rawValue(HKEY_CURRENT_USER, kKey, "n"));
}

TEST_F(RegistryKeyTest, ValueNamesLeaveOutTheDefaultValue) {
    putValue(HKEY_CURRENT_USER, kKey, "", REG_SZ, std::string("d\0", 2));
    RegistryKey key;
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_READ);
    EXPECT_EQ(key.ValueNames(), NameList{});
    EXPECT_EQ(key.SubValueNames(), NameList{""});

    putValue(HKEY_CURRENT_USER, kKey, "a", REG_SZ, std::string("1\0", 2));
    putValue(HKEY_CURRENT_USER, kKey, "b", REG_DWORD, std::string(4, '\0'));
    EXPECT_EQ(key.ValueNames(), (NameList{"a", "b"}));
    const auto all = key.SubValueNames();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 3u);
    EXPECT_EQ(std::count(all->begin(), all->end(), ""), 1);
}

TEST_F(RegistryKeyTest, SubKeyNamesListsChildrenOnly) {
    RegistryKey key;
    (void)key.CreateKey(HKEY_CURRENT_USER, kKey);
    EXPECT_EQ(key.SubKeyNames(), NameList{});  // a list with no names, not "no result"
    putValue(HKEY_CURRENT_USER, kKey + "\\x", "", REG_SZ, std::string("\0", 1));
    putValue(HKEY_CURRENT_USER, kKey + "\\y\\deeper", "", REG_SZ, std::string("\0", 1));
    EXPECT_EQ(key.SubKeyNames(), (NameList{"x", "y"}));
    EXPECT_TRUE(lastError().isClear());
}

TEST_F(RegistryKeyTest, ListsWithoutAKey) {
    const std::string description = "Unable to retrieve value names for registry key";
    RegistryKey key;
    EXPECT_EQ(key.SubKeyNames(), std::nullopt);
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.GetValues", description);
    lastError().clear();
    EXPECT_EQ(key.SubValueNames(), std::nullopt);
    expectRecord(ERROR_INVALID_HANDLE, "RegistryKey.GetValues", description);
    lastError().clear();
    const auto e = raised([&] { (void)key.ValueNames(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->number(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(e->source(), "RegistryKey.GetValues");
    EXPECT_EQ(e->description(), description);
    EXPECT_TRUE(lastError().isClear());
}

TEST_F(RegistryKeyTest, NamesLongerThanTheBufferEndTheEnumeration) {
    putValue(HKEY_CURRENT_USER, kKey, std::string(511, 'm'), REG_SZ, std::string("\0", 1));
    RegistryKey key;
    key.OpenKey(HKEY_CURRENT_USER, kKey, KEY_READ);
    EXPECT_EQ(key.SubValueNames(), NameList{std::string(511, 'm')});

    putValue(HKEY_CURRENT_USER, kKey, std::string(512, 'n'), REG_SZ, std::string("\0", 1));
    EXPECT_EQ(key.SubValueNames(), std::nullopt);
    EXPECT_EQ(lastError().number, ERROR_MORE_DATA);
    EXPECT_EQ(key.ValueNames().size(), 2u);  // 4096 characters fit there

    putValue(HKEY_CURRENT_USER, kKey, std::string(4096, 'o'), REG_SZ, std::string("\0", 1));
    const auto e = raised([&] { (void)key.ValueNames(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->number(), ERROR_MORE_DATA);
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
        values.push_back({numbered("v", i), REG_SZ, std::string("\0", 1)});
        subKeys.push_back(numbered("k", i));
    }
    ASSERT_EQ(win32::setRegistryValues(key.handle(), values), ERROR_SUCCESS);
    ASSERT_EQ(win32::createRegistrySubKeys(key.handle(), subKeys), ERROR_SUCCESS);
    EXPECT_EQ(key.ValueNames().size(), 32767u);
    EXPECT_EQ(key.SubKeyNames()->size(), 32767u);
    EXPECT_TRUE(lastError().isClear());

    // One name more: ValueNames raises the overflow; the other two record it
    // and let the last name take the place of element 32767.
    ASSERT_EQ(win32::setRegistryValues(key.handle(), {{numbered("v", 32767), REG_SZ, std::string("\0", 1)}}),
              ERROR_SUCCESS);
    ASSERT_EQ(win32::createRegistrySubKeys(key.handle(), {numbered("k", 32767)}), ERROR_SUCCESS);
    const auto e = raised([&] { (void)key.ValueNames(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->number(), errors::kOverflow);
    EXPECT_EQ(e->description(), "Overflow");

    const auto check = [](const std::optional<NameList>& names, const std::string& last, const std::string& before) {
        ASSERT_TRUE(names);
        ASSERT_EQ(names->size(), 32767u);
        EXPECT_EQ(names->back(), last);
        EXPECT_EQ((*names)[32765], before);
        EXPECT_EQ(lastError().number, errors::kOverflow);
        EXPECT_EQ(lastError().description, "Overflow");
    };
    check(key.SubValueNames(), numbered("v", 32767), numbered("v", 32765));
    check(key.SubKeyNames(), numbered("k", 32767), numbered("k", 32765));
}

}  // namespace
}  // namespace ecran::registry
