// The registry functions as a Windows program sees them: codes, sizes,
// buffer bytes, rights, deleted keys, names and their order.

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "registry_test_support.h"
#include "win32/registry_names.h"

namespace ecran::win32::testing {
namespace {

constexpr unsigned char kSentinel = 0xBD;

std::string bytes(const char* s, std::size_t n) {
    return std::string(s, n);
}

// Rows are named by their number and printed by what they check.
template <class Row>
    requires requires(const Row& r) { r.what; }
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.what;
}

struct RowName {
    template <class T>
    std::string operator()(const ::testing::TestParamInfo<T>& row) const {
        return "Row" + std::to_string(row.index);
    }
};
constexpr RowName rowName;

std::vector<std::string> subKeyNames(HKEY key) {
    std::vector<std::string> names;
    char buffer[300];
    for (DWORD i = 0;; ++i) {
        const LSTATUS rc = RegEnumKeyA(key, i, buffer, sizeof buffer);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(rc, ERROR_SUCCESS);
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(buffer);
    }
    return names;
}

std::vector<std::string> valueNames(HKEY key) {
    std::vector<std::string> names;
    char buffer[300];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof buffer;
        const LSTATUS rc = RegEnumValueA(key, i, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(rc, ERROR_SUCCESS);
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(buffer, length);
    }
    return names;
}

// ---------------------------------------------------------------- creation

struct CreateCase {
    const char* what;
    const char* path;  // below HKEY_CURRENT_USER, where Software\Existing exists
    LSTATUS code;
    DWORD disposition;
    const char* reopen;  // a path that must name the key afterwards, or null
};

class RegCreateKeyExATest : public RegistryTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(RegCreateKeyExATest, GivesWindowsCodeAndDisposition) {
    const CreateCase& c = GetParam();
    ASSERT_EQ(RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Existing")), ERROR_SUCCESS);

    HKEY key = handleFromValue(0x1234);
    DWORD disposition = 0;
    const LSTATUS rc = RegCreateKeyExA(HKEY_CURRENT_USER, c.path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                       &disposition);
    EXPECT_EQ(rc, c.code);
    if (rc == ERROR_SUCCESS) {
        EXPECT_EQ(disposition, c.disposition);
        EXPECT_NE(key, nullptr);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
        EXPECT_EQ(disposition, 0u) << "disposition is written only on success";
    }
    if (c.reopen) {
        HKEY again = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, c.reopen, 0, KEY_READ, &again), ERROR_SUCCESS);
        if (again) {
            EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
        }
    }
}

const std::string kName255(255, 'n');
const std::string kName256(256, 'n');
const std::string kPath255 = "Software\\" + kName255;
const std::string kPath256 = "Software\\" + kName256;

INSTANTIATE_TEST_SUITE_P(
    Rows, RegCreateKeyExATest,
    ::testing::Values(
        CreateCase{"new key", "Software\\New", ERROR_SUCCESS, REG_CREATED_NEW_KEY, "Software\\New"},
        CreateCase{"existing key", "Software\\Existing", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY, nullptr},
        CreateCase{"existing key, other case", "SOFTWARE\\eXiStInG", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY, nullptr},
        CreateCase{"missing parents created", "A\\B\\C", ERROR_SUCCESS, REG_CREATED_NEW_KEY, "A\\B"},
        CreateCase{"trailing backslash", "Software\\Trail\\", ERROR_SUCCESS, REG_CREATED_NEW_KEY, "Software\\Trail"},
        CreateCase{"doubled backslashes", "Software\\\\Dbl\\\\", ERROR_SUCCESS, REG_CREATED_NEW_KEY,
                   "Software\\Dbl"},
        CreateCase{"leading backslash", "\\Software\\Lead", ERROR_BAD_PATHNAME, 0, nullptr},
        CreateCase{"empty path opens the root", "", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY, nullptr},
        CreateCase{"null path opens the root", nullptr, ERROR_SUCCESS, REG_OPENED_EXISTING_KEY, nullptr},
        CreateCase{"name of 255 characters", kPath255.c_str(), ERROR_SUCCESS, REG_CREATED_NEW_KEY, kPath255.c_str()},
        CreateCase{"name of 256 characters", kPath256.c_str(), ERROR_INVALID_PARAMETER, 0, nullptr}),
    rowName);

TEST_F(RegistryTest, CreateArgumentChecks) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "A", 1, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr, nullptr),
              ERROR_BADKEY);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "A", 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND) << "nothing created";
    // A 32-bit SECURITY_ATTRIBUTES (12 bytes) is accepted: it is never read.
    SECURITY_ATTRIBUTES sa{12, nullptr, FALSE};
    char cls[] = "MyClass";
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "A", 0, cls, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &sa, &key,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// ----------------------------------------------------------------- opening

struct OpenCase {
    const char* what;
    HKEY root;
    const char* path;
    LSTATUS code;
};

class RegOpenKeyExATest : public RegistryTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(RegOpenKeyExATest, GivesWindowsCode) {
    const OpenCase& c = GetParam();
    ASSERT_EQ(RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Existing")), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(create(HKEY_CLASSES_ROOT, "clsid")), ERROR_SUCCESS);

    HKEY key = handleFromValue(0x1234);
    EXPECT_EQ(RegOpenKeyExA(c.root, c.path, 0, KEY_READ, &key), c.code);
    if (c.code == ERROR_SUCCESS) {
        EXPECT_NE(key, nullptr);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else if (c.code != ERROR_INVALID_HANDLE) {
        EXPECT_EQ(key, nullptr) << "a failed open leaves a null handle";
    } else {
        EXPECT_EQ(key, handleFromValue(0x1234)) << "a bad handle leaves the result alone";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RegOpenKeyExATest,
    ::testing::Values(OpenCase{"existing", HKEY_CURRENT_USER, "Software\\Existing", ERROR_SUCCESS},
                      OpenCase{"other case", HKEY_CURRENT_USER, "software\\EXISTING", ERROR_SUCCESS},
                      OpenCase{"trailing backslashes", HKEY_CURRENT_USER, "Software\\Existing\\\\", ERROR_SUCCESS},
                      OpenCase{"doubled backslash", HKEY_CURRENT_USER, "Software\\\\Existing", ERROR_SUCCESS},
                      OpenCase{"missing", HKEY_CURRENT_USER, "Software\\Missing", ERROR_FILE_NOT_FOUND},
                      OpenCase{"other root", HKEY_LOCAL_MACHINE, "Software\\Existing", ERROR_FILE_NOT_FOUND},
                      OpenCase{"leading backslash", HKEY_CURRENT_USER, "\\Software", ERROR_BAD_PATHNAME},
                      OpenCase{"leading backslash below classes root", HKEY_CLASSES_ROOT, "\\clsid", ERROR_SUCCESS},
                      OpenCase{"name too long", HKEY_CURRENT_USER, kPath256.c_str(), ERROR_FILE_NOT_FOUND},
                      OpenCase{"null root", nullptr, "Software", ERROR_INVALID_HANDLE},
                      OpenCase{"performance data", HKEY_PERFORMANCE_DATA, "Software", ERROR_INVALID_HANDLE},
                      OpenCase{"dyn data", HKEY_DYN_DATA, "", ERROR_INVALID_HANDLE},
                      OpenCase{"unknown predefined value", handleFromValue(0x80000007u), "", ERROR_INVALID_HANDLE}),
    rowName);

TEST_F(RegistryTest, EmptySubKeyOfARootIsTheRootAndOfAHandleANewHandle) {
    HKEY key = handleFromValue(0x1234);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_CURRENT_USER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_USERS);
    EXPECT_EQ(openRegistryHandleCount(), 0u);

    HKEY first = create(HKEY_CURRENT_USER, "K");
    HKEY second = nullptr;
    EXPECT_EQ(RegOpenKeyExA(first, nullptr, 0, KEY_READ, &second), ERROR_SUCCESS);
    EXPECT_NE(second, first);
    EXPECT_EQ(openRegistryHandleCount(), 2u);
    EXPECT_EQ(RegCloseKey(second), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(first), ERROR_SUCCESS);
    EXPECT_EQ(openRegistryHandleCount(), 0u);
}

TEST_F(RegistryTest, RootsAreRecognisedByTheirLow32Bits) {
    const auto low = static_cast<std::uintptr_t>(0x80000001u);  // zero-extended, as a 32-bit word holds it
    HKEY created = create(handleFromValue(low), "Ext\\Key");
    EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);
    HKEY opened = open(HKEY_CURRENT_USER, "Ext\\Key");  // sign-extended macro value
    EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
}

// ----------------------------------------------------------------- handles

TEST_F(RegistryTest, NullClosedAndSpecialHandlesAreInvalidEverywhere) {
    HKEY closed = create(HKEY_CURRENT_USER, "K");
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);

    char name[64];
    BYTE data[64];
    DWORD size = sizeof data;
    DWORD length = sizeof name;
    HKEY out = nullptr;
    const std::vector<std::pair<const char*, std::function<LSTATUS(HKEY)>>> calls = {
        {"RegCreateKeyExA",
         [&](HKEY h) { return RegCreateKeyExA(h, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr); }},
        {"RegOpenKeyExA", [&](HKEY h) { return RegOpenKeyExA(h, "x", 0, KEY_READ, &out); }},
        {"RegQueryValueExA", [&](HKEY h) { return RegQueryValueExA(h, "v", nullptr, nullptr, data, &size); }},
        {"RegSetValueExA", [&](HKEY h) { return RegSetValueExA(h, "v", 0, REG_SZ, data, 1); }},
        {"RegEnumValueA",
         [&](HKEY h) { return RegEnumValueA(h, 0, name, &length, nullptr, nullptr, nullptr, nullptr); }},
        {"RegEnumKeyA", [&](HKEY h) { return RegEnumKeyA(h, 0, name, sizeof name); }},
        {"RegDeleteKeyA", [&](HKEY h) { return RegDeleteKeyA(h, "x"); }},
        {"RegDeleteValueA", [&](HKEY h) { return RegDeleteValueA(h, "v"); }},
    };
    const std::vector<std::pair<const char*, HKEY>> handles = {
        {"null", nullptr},
        {"closed", closed},
        {"never opened", handleFromValue(0x7FFFFFFC)},
        {"above 32 bits", handleFromValue(std::uintptr_t{1} << 33)},
        {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {"HKEY_DYN_DATA", HKEY_DYN_DATA},
    };
    for (const auto& [handleName, handle] : handles) {
        for (const auto& [callName, call] : calls) {
            EXPECT_EQ(call(handle), ERROR_INVALID_HANDLE) << callName << " on a " << handleName << " handle";
        }
    }
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE) << "closing twice";
    EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(queryStore(registryStorePath(), "SELECT count(*) FROM keys"), "6") << "the five roots and K only";
}

TEST_F(RegistryTest, OpenHandlesAreBoundedAndCostTheStoreNothing) {
    HKEY key = create(HKEY_CURRENT_USER, "K");
    const auto storeBytes = [&] {
        std::uintmax_t total = 0;
        for (const char* suffix : {"", "-wal"}) {
            std::error_code ec;
            const auto n = std::filesystem::file_size(registryStorePath() + suffix, ec);
            if (!ec) total += n;
        }
        return total;
    };
    const auto before = storeBytes();
    std::vector<HKEY> leaked;
    for (std::size_t i = 1; i < kMaxOpenRegistryHandles; ++i) {
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &h), ERROR_SUCCESS) << i;
        leaked.push_back(h);
    }
    EXPECT_EQ(openRegistryHandleCount(), kMaxOpenRegistryHandles);
    EXPECT_EQ(storeBytes(), before) << "handles live in memory only";

    HKEY extra = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &extra), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(RegCreateKeyExA(key, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &extra, nullptr),
              ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(RegCloseKey(leaked.back()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(key, "New", 0, KEY_READ, &extra), ERROR_FILE_NOT_FOUND) << "the refused create made nothing";
    EXPECT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &extra), ERROR_SUCCESS);
}

// ------------------------------------------------------------------ rights

struct RightsCase {
    REGSAM rights;
    LSTATUS query, enumValue, set, deleteValue, enumKey;
};
void PrintTo(const RightsCase& c, std::ostream* os) {
    *os << "rights 0x" << std::hex << c.rights;
}

class RightsTest : public RegistryTest, public ::testing::WithParamInterface<RightsCase> {};

TEST_P(RightsTest, EachCallNeedsItsRight) {
    const RightsCase& c = GetParam();
    HKEY full = create(HKEY_CURRENT_USER, "R\\Sub");
    ASSERT_EQ(set(full, "v", REG_SZ, bytes("x", 2)), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(full), ERROR_SUCCESS);
    full = open(HKEY_CURRENT_USER, "R");
    ASSERT_EQ(set(full, "v", REG_SZ, bytes("x", 2)), ERROR_SUCCESS);
    ASSERT_EQ(set(full, "w", REG_SZ, bytes("x", 2)), ERROR_SUCCESS);

    HKEY key = open(HKEY_CURRENT_USER, "R", c.rights);
    char name[16];
    DWORD length = sizeof name;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), c.query);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), c.enumValue);
    EXPECT_EQ(set(key, "v", REG_SZ, bytes("y", 2)), c.set);
    EXPECT_EQ(RegDeleteValueA(key, "w"), c.deleteValue);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), c.enumKey);

    // Windows does not look at the rights of the handle below which a key is
    // created, opened or deleted.
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(key, "Made", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "Made"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(full), ERROR_SUCCESS);
}

constexpr LSTATUS OK = ERROR_SUCCESS;
constexpr LSTATUS NO = ERROR_ACCESS_DENIED;

INSTANTIATE_TEST_SUITE_P(Rows, RightsTest,
                         ::testing::Values(RightsCase{KEY_READ, OK, OK, NO, NO, OK},
                                           RightsCase{KEY_WRITE, NO, NO, OK, OK, NO},
                                           RightsCase{KEY_ALL_ACCESS, OK, OK, OK, OK, OK},
                                           RightsCase{KEY_QUERY_VALUE, OK, OK, NO, NO, NO},
                                           RightsCase{KEY_SET_VALUE, NO, NO, OK, OK, NO},
                                           RightsCase{KEY_ENUMERATE_SUB_KEYS, NO, NO, NO, NO, OK},
                                           RightsCase{KEY_CREATE_SUB_KEY, NO, NO, NO, NO, NO},
                                           RightsCase{0, NO, NO, NO, NO, NO},
                                           RightsCase{GENERIC_READ, OK, OK, NO, NO, OK},
                                           RightsCase{GENERIC_WRITE, NO, NO, OK, OK, NO},
                                           RightsCase{MAXIMUM_ALLOWED, OK, OK, OK, OK, OK}));

// ----------------------------------------------------- RegQueryValueExA

struct QueryCase {
    const char* what;
    DWORD type;
    std::string stored;       // bytes stored with RegSetValueExA
    bool withBuffer;          // a data buffer is given
    DWORD sizeIn;             // the size word before the call
    LSTATUS code;
    DWORD sizeOut;            // the size word after the call
    std::string bufferAfter;  // the first sizeIn + 1 bytes of the buffer ("\xBD" untouched)
};

class RegQueryValueExATest : public RegistryTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(RegQueryValueExATest, SizeCodeAndBufferBytes) {
    const QueryCase& c = GetParam();
    HKEY key = create(HKEY_CURRENT_USER, "Q");
    if (c.what != std::string("missing value")) {
        ASSERT_EQ(set(key, "V", c.type, c.stored), ERROR_SUCCESS);
    }

    std::vector<unsigned char> buffer(c.sizeIn + 1, kSentinel);
    DWORD type = 0xDEADBEEF;
    DWORD size = c.sizeIn;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, c.withBuffer ? buffer.data() : nullptr, &size), c.code);
    EXPECT_EQ(size, c.sizeOut);
    if (c.code == ERROR_SUCCESS || c.code == ERROR_MORE_DATA) {
        EXPECT_EQ(type, c.type);
    }
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), c.bufferAfter);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

const std::string U1(1, '\xBD');
std::string untouched(std::size_t n) {
    return std::string(n, '\xBD');
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RegQueryValueExATest,
    ::testing::Values(
        QueryCase{"size only", REG_SZ, bytes("abc", 4), false, 0, OK, 4, U1},
        QueryCase{"exact buffer", REG_SZ, bytes("abc", 4), true, 4, OK, 4, bytes("abc", 4) + U1},
        QueryCase{"larger buffer", REG_SZ, bytes("abc", 4), true, 8, OK, 4, bytes("abc", 4) + untouched(5)},
        QueryCase{"buffer one short", REG_SZ, bytes("abc", 4), true, 3, ERROR_MORE_DATA, 4, untouched(4)},
        QueryCase{"empty buffer", REG_SZ, bytes("abc", 4), true, 0, ERROR_MORE_DATA, 4, U1},
        QueryCase{"string without NUL, exact", REG_SZ, "abc", true, 3, OK, 3, "abc" + U1},
        QueryCase{"string without NUL gets one", REG_SZ, "abc", true, 6, OK, 3, bytes("abc", 4) + untouched(3)},
        QueryCase{"expand string gets one", REG_EXPAND_SZ, "%P%", true, 4, OK, 3, bytes("%P%", 4) + U1},
        QueryCase{"binary gets none", REG_BINARY, "abc", true, 6, OK, 3, "abc" + untouched(4)},
        QueryCase{"multi string as stored", REG_MULTI_SZ, bytes("a\0b\0", 5), true, 5, OK, 5,
                  bytes("a\0b\0", 5) + U1},
        QueryCase{"dword", REG_DWORD, bytes("\x01\x02\x03\x04", 4), true, 4, OK, 4, "\x01\x02\x03\x04" + U1},
        QueryCase{"zero-length string", REG_SZ, "", true, 4, OK, 0, untouched(5)},
        QueryCase{"missing value", REG_SZ, "", false, 99, ERROR_FILE_NOT_FOUND, 0, untouched(100)},
        QueryCase{"missing value", REG_SZ, "", true, 10, ERROR_FILE_NOT_FOUND, 10, untouched(11)}),
    rowName);

TEST_F(RegistryTest, QueryArgumentsAndDefaultValue) {
    HKEY key = create(HKEY_CURRENT_USER, "Q");
    DWORD size = 0;
    DWORD reserved = 0;
    BYTE buffer[8];
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND)
        << "a new key has no default value";
    ASSERT_EQ(set(key, nullptr, REG_SZ, bytes("d", 2)), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// ------------------------------------------------------- RegSetValueExA

TEST_F(RegistryTest, SetStoresExactlyTheBytesSizeAndTypeGiven) {
    HKEY key = create(HKEY_CURRENT_USER, "S");
    const std::string raw = bytes("no\0nul\xFF", 7);
    ASSERT_EQ(set(key, "odd", 0x1234, raw), ERROR_SUCCESS);
    ASSERT_EQ(set(key, "short", REG_SZ, "abc"), ERROR_SUCCESS) << "no NUL counted: none added";
    EXPECT_EQ(RegSetValueExA(key, "null", 7, REG_SZ, nullptr, 0), ERROR_SUCCESS) << "Reserved is ignored";
    EXPECT_EQ(RegSetValueExA(key, "bad", 0, REG_SZ, nullptr, 4), ERROR_NOACCESS);

    const std::vector<std::tuple<const char*, DWORD, std::string>> expected = {
        {"odd", 0x1234, raw}, {"short", REG_SZ, "abc"}, {"null", REG_SZ, ""}};
    for (const auto& [name, type, data] : expected) {
        DWORD gotType = 0;
        DWORD size = 64;
        std::vector<BYTE> buffer(64, kSentinel);
        ASSERT_EQ(RegQueryValueExA(key, name, nullptr, &gotType, buffer.data(), &size), ERROR_SUCCESS) << name;
        EXPECT_EQ(gotType, type) << name;
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), data) << name;
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "bad", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValueNameLengthLimit) {
    HKEY key = create(HKEY_CURRENT_USER, "S");
    const std::string longest(kMaxValueNameLength, 'v');
    const std::string tooLong(kMaxValueNameLength + 1, 'v');
    EXPECT_EQ(set(key, longest.c_str(), REG_SZ, "x"), ERROR_SUCCESS);
    EXPECT_EQ(set(key, tooLong.c_str(), REG_SZ, "x"), ERROR_INVALID_PARAMETER);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, longest.c_str(), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, tooLong.c_str(), nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, tooLong.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, longest.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, longest.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// -------------------------------------------------------- RegEnumValueA

struct EnumValueCase {
    const char* what;
    DWORD nameIn;    // name buffer length given
    bool withData;   // a data buffer is given
    DWORD dataIn;    // its size
    LSTATUS code;
    DWORD nameOut;   // the name length word after the call
    std::string nameBuffer;  // the first 8 bytes of the name buffer after
    DWORD dataOut;
    std::string dataBuffer;  // the first 9 bytes of the data buffer after
};

class RegEnumValueATest : public RegistryTest, public ::testing::WithParamInterface<EnumValueCase> {};

TEST_P(RegEnumValueATest, NameAndDataBuffers) {
    const EnumValueCase& c = GetParam();
    HKEY key = create(HKEY_CURRENT_USER, "E");
    ASSERT_EQ(set(key, "Test", REG_SZ, bytes("foobar", 7)), ERROR_SUCCESS);

    std::string name(8, 'x');
    std::string data(9, 'x');
    DWORD nameLength = c.nameIn;
    DWORD dataSize = c.dataIn;
    DWORD type = 1234;
    EXPECT_EQ(RegEnumValueA(key, 0, name.data(), &nameLength, nullptr, &type,
                            c.withData ? reinterpret_cast<LPBYTE>(data.data()) : nullptr, &dataSize),
              c.code);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(nameLength, c.nameOut);
    EXPECT_EQ(name, c.nameBuffer);
    EXPECT_EQ(dataSize, c.dataOut);
    EXPECT_EQ(data, c.dataBuffer);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RegEnumValueATest,
    ::testing::Values(
        EnumValueCase{"both fit", 8, true, 9, OK, 4, bytes("Test\0xxx", 8), 7, bytes("foobar\0xx", 9)},
        EnumValueCase{"name exactly fits", 5, true, 7, OK, 4, bytes("Test\0xxx", 8), 7, bytes("foobar\0xx", 9)},
        EnumValueCase{"name one short", 4, true, 9, ERROR_MORE_DATA, 4, "xxxxxxxx", 7, "xxxxxxxxx"},
        EnumValueCase{"no name room", 0, true, 9, ERROR_MORE_DATA, 0, "xxxxxxxx", 7, "xxxxxxxxx"},
        EnumValueCase{"data one short", 8, true, 6, ERROR_MORE_DATA, 8, "xxxxxxxx", 7, "xxxxxxxxx"},
        EnumValueCase{"both short", 2, true, 2, ERROR_MORE_DATA, 2, "xxxxxxxx", 7, "xxxxxxxxx"},
        EnumValueCase{"data size only", 8, false, 0, OK, 4, bytes("Test\0xxx", 8), 7, "xxxxxxxxx"}),
    rowName);

TEST_F(RegistryTest, EnumValueListsDefaultValueInCreationOrderAndChecksArguments) {
    HKEY key = create(HKEY_CURRENT_USER, "E");
    ASSERT_EQ(set(key, "b", REG_SZ, "1"), ERROR_SUCCESS);
    ASSERT_EQ(set(key, "", REG_SZ, "2"), ERROR_SUCCESS);
    ASSERT_EQ(set(key, "A", REG_SZ, "3"), ERROR_SUCCESS);
    ASSERT_EQ(set(key, "c", REG_SZ, "4"), ERROR_SUCCESS);
    ASSERT_EQ(set(key, "B", REG_DWORD, "5555"), ERROR_SUCCESS) << "overwrites b in its place";
    ASSERT_EQ(RegDeleteValueA(key, "a"), ERROR_SUCCESS);
    ASSERT_EQ(set(key, "a", REG_SZ, "6"), ERROR_SUCCESS) << "a value made again goes last";
    EXPECT_EQ(valueNames(key), (std::vector<std::string>{"b", "", "c", "a"}));

    char name[8];
    DWORD length = sizeof name;
    DWORD reserved = 0;
    BYTE data[8];
    EXPECT_EQ(RegEnumValueA(key, 4, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueA(key, 0xFFFFFFFF, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueA(key, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueA(key, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
    // Random access after sequential walking gives the same items.
    length = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, length), "c");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// ---------------------------------------------------------- RegEnumKeyA

TEST_F(RegistryTest, SubKeysEnumerateByUpperCasedNameKeepingFirstSpelling) {
    HKEY key = create(HKEY_CURRENT_USER, "P");
    for (const char* name : {"b", "\x80uro", "Zed", "_x", "\xE9t\xE9", "A", "a\xFF"}) {
        ASSERT_EQ(RegCloseKey(create(key, name)), ERROR_SUCCESS);
    }
    HKEY again = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(key, "\xC9T\xC9", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY)) << "\xC9T\xC9 is \xE9t\xE9 upper-cased";
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    // Upper-cased as Unicode: A, A<U+0178>, B, Z, _, <U+00C9>, <U+20AC>.
    EXPECT_EQ(subKeyNames(key),
              (std::vector<std::string>{"A", "a\xFF", "b", "Zed", "_x", "\xE9t\xE9", "\x80uro"}));

    char buffer[4];
    EXPECT_EQ(RegEnumKeyA(key, 3, buffer, 3), ERROR_MORE_DATA) << "Zed needs 4 bytes";
    EXPECT_EQ(RegEnumKeyA(key, 3, buffer, 4), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer), "Zed");
    EXPECT_EQ(RegEnumKeyA(key, 7, buffer, 4), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, 0, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// -------------------------------------------------------- deleting keys

TEST_F(RegistryTest, DeleteKeyCodes) {
    HKEY key = create(HKEY_CURRENT_USER, "D\\Child\\Grandchild");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "D\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "D\\Child"), ERROR_ACCESS_DENIED) << "has a sub key";
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "\\D"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED) << "a root is never deleted";
    HKEY root = create(HKEY_CURRENT_USER, "");
    EXPECT_EQ(RegDeleteKeyA(root, ""), ERROR_ACCESS_DENIED) << "nor through a handle to it";
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "d\\CHILD\\grandchild\\"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "D\\Child"), ERROR_SUCCESS);
    HKEY self = open(HKEY_CURRENT_USER, "D");
    EXPECT_EQ(RegDeleteKeyA(self, ""), ERROR_SUCCESS) << "an empty path deletes the handle's own key";
    EXPECT_EQ(RegCloseKey(self), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "D", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(queryStore(registryStorePath(), "SELECT count(*) FROM vals"), "0");
}

TEST_F(RegistryTest, HandleToADeletedKeyAnswersKeyDeleted) {
    HKEY victim = create(HKEY_CURRENT_USER, "Gone");
    ASSERT_EQ(set(victim, "v", REG_SZ, "x"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Gone"), ERROR_SUCCESS);
    HKEY reborn = create(HKEY_CURRENT_USER, "Gone");  // same name, another key

    char name[16];
    DWORD length = sizeof name;
    DWORD size = 0;
    HKEY out = nullptr;
    const std::vector<std::pair<const char*, LSTATUS>> results = {
        {"query", RegQueryValueExA(victim, "v", nullptr, nullptr, nullptr, &size)},
        {"query, too long a name",
         RegQueryValueExA(victim, std::string(kMaxValueNameLength + 1, 'v').c_str(), nullptr, nullptr, nullptr, &size)},
        {"set", set(victim, "v", REG_SZ, "y")},
        {"enum value", RegEnumValueA(victim, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
        {"enum key", RegEnumKeyA(victim, 0, name, sizeof name)},
        {"delete value", RegDeleteValueA(victim, "v")},
        {"open below", RegOpenKeyExA(victim, "x", 0, KEY_READ, &out)},
        {"open itself", RegOpenKeyExA(victim, "", 0, KEY_READ, &out)},
        {"create below", RegCreateKeyExA(victim, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr)},
        {"delete itself", RegDeleteKeyA(victim, "")},
    };
    for (const auto& [what, code] : results) EXPECT_EQ(code, ERROR_KEY_DELETED) << what;
    EXPECT_EQ(RegCloseKey(victim), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(reborn, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND)
        << "the new key starts empty";
    EXPECT_EQ(RegCloseKey(reborn), ERROR_SUCCESS);
}

// ----------------------------------------------------------- the store

TEST_F(RegistryTest, ChangesSurviveClosingTheStore) {
    HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Persist");
    ASSERT_EQ(set(key, "v", REG_BINARY, bytes("\0\1\2", 3)), ERROR_SUCCESS);
    closeRegistryStore();
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closing the store forgets handles";
    key = open(HKEY_LOCAL_MACHINE, "software\\persist");
    BYTE data[4] = {};
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), bytes("\0\1\2", 3));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    struct stat st {};
    ASSERT_EQ(::stat(registryStorePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the store is the user's alone";
    EXPECT_EQ(queryStore(registryStorePath(), "PRAGMA journal_mode"), "wal");
}

TEST_F(RegistryTest, AStoreThatCannotBeOpenedGivesCodesNotCrashes) {
    // A regular file where the configuration folder should be: even root
    // cannot create the store below it.
    const std::string blocker = (dir() / "file").string();
    std::ofstream(blocker) << "x";
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    closeRegistryStore();

    HKEY key = nullptr;
    DWORD size = 0;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_CANTOPEN);
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size), ERROR_CANTOPEN);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_SUCCESS) << "needs no store";
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AFileThatIsNotAStoreIsLeftUntouched) {
    const std::string path = registryStorePath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string garbage(8192, 'g');
    std::ofstream(path, std::ios::binary) << garbage;

    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BADDB);
    std::ifstream in(path, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, garbage);
}

}  // namespace
}  // namespace ecran::win32::testing
