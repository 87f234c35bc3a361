// The registry functions as a Windows program sees them: codes, sizes,
// buffer bytes, rights, deleted keys, names and their order.

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "registry_test_support.h"
#include "win32/registry_names.h"

namespace ecran::win32::testing {
namespace {

constexpr LSTATUS OK = ERROR_SUCCESS;
constexpr LSTATUS NO = ERROR_ACCESS_DENIED;
constexpr LSTATUS MORE = ERROR_MORE_DATA;

std::string bytes(const char* s, std::size_t n) { return std::string(s, n); }
HKEY handleFromValue(std::uintptr_t value) { return reinterpret_cast<HKEY>(value); }
std::string untouched(std::size_t n) { return std::string(n, '\xBD'); }  // the sentinel buffers are filled with

// Rows print as what they check.
template <class Row>
    requires requires(const Row& r) { r.what; }
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.what;
}

// Calls made in the order listed: what each is, the code it gave, the code
// Windows gives.
using Codes = std::vector<std::tuple<const char*, LSTATUS, LSTATUS>>;
void expectCodes(const Codes& rows) {
    for (const auto& [what, got, expected] : rows) EXPECT_EQ(got, expected) << what;
}

// ------------------------------------------------------ creating, opening

struct PathCase {
    const char* what;
    bool create;  // RegCreateKeyExA, else RegOpenKeyExA (for KEY_READ)
    HKEY root;
    const char* path;  // HKCU\Software\Existing and HKCR\clsid exist
    LSTATUS code;
    DWORD disposition;   // after a successful create
    const char* reopen;  // a path below the root naming a key afterwards, or null
};

class KeyPathTest : public RegistryTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(KeyPathTest, GivesWindowsCodeAndDisposition) {
    const PathCase& c = GetParam();
    ASSERT_EQ(RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Existing")), OK);
    ASSERT_EQ(RegCloseKey(create(HKEY_CLASSES_ROOT, "clsid")), OK);

    HKEY key = handleFromValue(0x1234);
    DWORD disposition = 0;
    const LSTATUS rc = c.create ? RegCreateKeyExA(c.root, c.path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                                  &disposition)
                                : RegOpenKeyExA(c.root, c.path, 0, KEY_READ, &key);
    ASSERT_EQ(rc, c.code);
    EXPECT_EQ(disposition, c.disposition) << "written only by a create that succeeds";
    if (rc == OK) {
        EXPECT_EQ(RegCloseKey(key), OK);
    } else {
        // A bad handle leaves the result alone; any other failure nulls it.
        EXPECT_EQ(key, rc == ERROR_INVALID_HANDLE ? handleFromValue(0x1234) : nullptr);
    }
    if (c.reopen) { EXPECT_EQ(RegCloseKey(open(c.root, c.reopen, KEY_READ)), OK); }
}

const std::string kPath255 = "Software\\" + std::string(255, 'n');
const std::string kPath256 = "Software\\" + std::string(256, 'n');
std::string levels(std::size_t n) {
    std::string path = "x";
    while (--n) path += "\\x";
    return path;
}
const std::string k512Levels = levels(512);
const std::string k513Levels = levels(513);
const HKEY HKCU = HKEY_CURRENT_USER;
constexpr DWORD NEW = REG_CREATED_NEW_KEY;
constexpr DWORD EXISTING = REG_OPENED_EXISTING_KEY;

INSTANTIATE_TEST_SUITE_P(
    Rows, KeyPathTest,
    ::testing::Values(
        PathCase{"create new", true, HKCU, "Software\\New", OK, NEW, "Software\\New"},
        PathCase{"create existing, other case", true, HKCU, "SOFTWARE\\eXiStInG", OK, EXISTING, nullptr},
        PathCase{"create makes missing parents", true, HKCU, "A\\B\\C", OK, NEW, "A\\B"},
        PathCase{"create, trailing backslash", true, HKCU, "Software\\Trail\\", OK, NEW, "Software\\Trail"},
        PathCase{"create, doubled backslashes", true, HKCU, "Software\\\\Dbl\\\\", OK, NEW, "Software\\Dbl"},
        PathCase{"create, leading backslash", true, HKCU, "\\Software\\Lead", ERROR_BAD_PATHNAME, 0, nullptr},
        PathCase{"create, empty path", true, HKCU, "", OK, EXISTING, nullptr},
        PathCase{"create, null path", true, HKCU, nullptr, OK, EXISTING, nullptr},
        PathCase{"create, 255-character name", true, HKCU, kPath255.c_str(), OK, NEW, kPath255.c_str()},
        PathCase{"create, 256-character name", true, HKCU, kPath256.c_str(), ERROR_INVALID_PARAMETER, 0, nullptr},
        PathCase{"create, dots are plain names", true, HKCU, "Software\\.\\..", OK, NEW, "Software\\.\\.."},
        PathCase{"create 512 levels", true, HKCU, k512Levels.c_str(), OK, NEW, k512Levels.c_str()},
        PathCase{"create 513 levels", true, HKCU, k513Levels.c_str(), ERROR_INVALID_PARAMETER, 0, nullptr},
        PathCase{"create below a root given as a zero-extended 32-bit value", true, handleFromValue(0x80000001u),
                 "Software\\Existing", OK, EXISTING, nullptr},
        PathCase{"open, other case", false, HKCU, "software\\EXISTING", OK, 0, nullptr},
        PathCase{"open missing", false, HKCU, "Software\\Missing", ERROR_FILE_NOT_FOUND, 0, nullptr},
        PathCase{"open, other root", false, HKEY_LOCAL_MACHINE, "Software\\Existing", ERROR_FILE_NOT_FOUND, 0, nullptr},
        PathCase{"open, leading backslash", false, HKCU, "\\Software", ERROR_BAD_PATHNAME, 0, nullptr},
        PathCase{"open, leading backslash below classes root", false, HKEY_CLASSES_ROOT, "\\clsid", OK, 0, nullptr},
        PathCase{"open, 256-character name", false, HKCU, kPath256.c_str(), ERROR_FILE_NOT_FOUND, 0, nullptr},
        PathCase{"open 513 levels", false, HKCU, k513Levels.c_str(), ERROR_FILE_NOT_FOUND, 0, nullptr},
        PathCase{"open dyn data itself", false, HKEY_DYN_DATA, "", ERROR_INVALID_HANDLE, 0, nullptr},
        PathCase{"open unknown root", false, handleFromValue(0x80000007u), "", ERROR_INVALID_HANDLE, 0, nullptr}));

TEST_F(RegistryTest, EmptySubKeyOfARootIsTheRootAndOfAHandleANewHandle) {
    EXPECT_EQ(open(HKCU, ""), HKCU);
    EXPECT_EQ(open(HKEY_USERS, nullptr, KEY_READ), HKEY_USERS);
    EXPECT_EQ(openRegistryHandleCount(), 0u);
    HKEY first = create(HKCU, "K");
    HKEY second = open(first, nullptr, KEY_READ);
    EXPECT_NE(second, first);
    EXPECT_EQ(openRegistryHandleCount(), 2u);
    EXPECT_EQ(RegCloseKey(second), OK);
    EXPECT_EQ(RegCloseKey(first), OK);
    EXPECT_EQ(openRegistryHandleCount(), 0u);
}

// ----------------------------------------------------------------- handles

TEST_F(RegistryTest, NullClosedAndSpecialHandlesAreInvalidEverywhere) {
    HKEY closed = create(HKCU, "K");
    ASSERT_EQ(RegCloseKey(closed), OK);
    char name[64];
    BYTE data[64];
    DWORD size = sizeof data;
    DWORD length = sizeof name;
    HKEY out = nullptr;
    const std::pair<const char*, std::function<LSTATUS(HKEY)>> calls[] = {
        {"create", [&](HKEY h) { return RegCreateKeyExA(h, "x", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); }},
        {"open", [&](HKEY h) { return RegOpenKeyExA(h, "x", 0, KEY_READ, &out); }},
        {"query", [&](HKEY h) { return RegQueryValueExA(h, "v", nullptr, nullptr, data, &size); }},
        {"set", [&](HKEY h) { return RegSetValueExA(h, "v", 0, REG_SZ, data, 1); }},
        {"enum value", [&](HKEY h) { return RegEnumValueA(h, 0, name, &length, nullptr, nullptr, nullptr, nullptr); }},
        {"enum key", [&](HKEY h) { return RegEnumKeyA(h, 0, name, sizeof name); }},
        {"delete key", [&](HKEY h) { return RegDeleteKeyA(h, "x"); }},
        {"delete value", [&](HKEY h) { return RegDeleteValueA(h, "v"); }},
    };
    // Null, closed, never opened, above 32 bits, and the two roots with no store behind them.
    for (HKEY handle : {HKEY{}, closed, handleFromValue(0x7FFFFFFC), handleFromValue(std::uintptr_t{1} << 33),
                        HKEY_PERFORMANCE_DATA, HKEY_DYN_DATA}) {
        for (const auto& [what, call] : calls) EXPECT_EQ(call(handle), ERROR_INVALID_HANDLE) << what << ' ' << handle;
    }
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE) << "closing twice";
    EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), OK);
    EXPECT_EQ(RegCloseKey(HKCU), OK);
    EXPECT_EQ(queryStore("SELECT count(*) FROM keys"), "6") << "the five roots and K only";
}

TEST_F(RegistryTest, OpenHandlesAreBoundedAndCostTheStoreNothing) {
    HKEY key = create(HKCU, "K");
    const auto storeBytes = [] {
        std::error_code ec;
        return std::filesystem::file_size(registryStorePath(), ec) +
               std::filesystem::file_size(registryStorePath() + "-wal", ec);
    };
    const auto before = storeBytes();
    HKEY last = nullptr;
    for (std::size_t i = 1; i < kMaxOpenRegistryHandles; ++i) {
        ASSERT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &last), OK) << i;
    }
    EXPECT_EQ(openRegistryHandleCount(), kMaxOpenRegistryHandles);
    EXPECT_EQ(storeBytes(), before) << "handles live in memory only";

    HKEY extra = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &extra), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(RegCreateKeyExA(key, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &extra, nullptr),
              ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(RegCloseKey(last), OK);
    EXPECT_EQ(RegOpenKeyExA(key, "New", 0, KEY_READ, &extra), ERROR_FILE_NOT_FOUND) << "the refused create";
    EXPECT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &extra), OK);
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
    HKEY full = create(HKCU, "R");
    ASSERT_EQ(RegCloseKey(create(full, "Sub")), OK);
    ASSERT_EQ(set(full, "v", REG_SZ, "x"), OK);
    ASSERT_EQ(set(full, "w", REG_SZ, "x"), OK);

    HKEY key = open(HKCU, "R", c.rights);
    char name[16];
    DWORD length = sizeof name;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), c.query);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), c.enumValue);
    EXPECT_EQ(set(key, "v", REG_SZ, "y"), c.set);
    EXPECT_EQ(RegDeleteValueA(key, "w"), c.deleteValue);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), c.enumKey);
    // Windows does not look at the rights of the handle below which a key is
    // created, opened or deleted.
    EXPECT_EQ(RegCloseKey(create(key, "Made")), OK);
    EXPECT_EQ(RegDeleteKeyA(key, "Made"), OK);
}

INSTANTIATE_TEST_SUITE_P(Rows, RightsTest,
                         ::testing::Values(RightsCase{KEY_READ, OK, OK, NO, NO, OK},
                                           RightsCase{KEY_WRITE, NO, NO, OK, OK, NO},
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
    std::string stored;  // set as value "V"; a row named "missing..." sets nothing
    bool withBuffer;
    DWORD sizeIn;
    LSTATUS code;
    DWORD sizeOut;
    std::string bufferAfter;  // all sizeIn + 1 bytes of the sentinel-filled buffer
};

class RegQueryValueExATest : public RegistryTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(RegQueryValueExATest, SizeCodeAndBufferBytes) {
    const QueryCase& c = GetParam();
    HKEY key = create(HKCU, "Q");
    if (!std::string_view(c.what).starts_with("missing")) { ASSERT_EQ(set(key, "V", c.type, c.stored), OK); }

    std::string buffer = untouched(c.sizeIn + 1);
    DWORD type = 0xDEADBEEF;
    DWORD size = c.sizeIn;
    const auto data = c.withBuffer ? reinterpret_cast<LPBYTE>(buffer.data()) : nullptr;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, data, &size), c.code);
    EXPECT_EQ(size, c.sizeOut);
    EXPECT_EQ(type, c.code == OK || c.code == MORE ? c.type : static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(buffer, c.bufferAfter);
}

const std::string abc0 = bytes("abc", 4);

INSTANTIATE_TEST_SUITE_P(
    Rows, RegQueryValueExATest,
    ::testing::Values(
        QueryCase{"size only", REG_SZ, abc0, false, 0, OK, 4, untouched(1)},
        QueryCase{"larger buffer, no second NUL", REG_SZ, abc0, true, 8, OK, 4, abc0 + untouched(5)},
        QueryCase{"buffer one short", REG_SZ, abc0, true, 3, MORE, 4, untouched(4)},
        QueryCase{"empty buffer", REG_SZ, abc0, true, 0, MORE, 4, untouched(1)},
        QueryCase{"string without NUL, exact", REG_SZ, "abc", true, 3, OK, 3, "abc" + untouched(1)},
        QueryCase{"string without NUL gets one", REG_SZ, "abc", true, 6, OK, 3, abc0 + untouched(3)},
        QueryCase{"expand string gets one", REG_EXPAND_SZ, "%P%", true, 4, OK, 3, bytes("%P%", 4) + untouched(1)},
        QueryCase{"binary gets none", REG_BINARY, "abc", true, 6, OK, 3, "abc" + untouched(4)},
        QueryCase{"any type, bytes as given", 0x1234, bytes("no\0nul\xFF", 7), true, 7, OK, 7,
                  bytes("no\0nul\xFF", 7) + untouched(1)},
        QueryCase{"zero-length string", REG_SZ, "", true, 4, OK, 0, untouched(5)},
        QueryCase{"missing, size only", REG_SZ, "", false, 99, ERROR_FILE_NOT_FOUND, 0, untouched(100)},
        QueryCase{"missing, with buffer", REG_SZ, "", true, 10, ERROR_FILE_NOT_FOUND, 10, untouched(11)}));

// A query or value enumeration that fails on a valid handle sets the type
// word to REG_NONE, whichever of the two functions it is.
TEST_F(RegistryTest, FailedQueriesAndEnumerationsSetTheTypeToNone) {
    HKEY key = create(HKCU, "T");
    ASSERT_EQ(set(key, "v", REG_DWORD, "1234"), OK);
    HKEY writeOnly = open(HKCU, "T", KEY_SET_VALUE);
    HKEY deleted = create(HKCU, "T\\Gone");
    ASSERT_EQ(RegDeleteKeyA(HKCU, "T\\Gone"), OK);
    struct Row {
        const char* what;
        HKEY key;
        const char* name;
        LSTATUS code;
    };
    for (const Row& row : {Row{"missing value", key, "missing", ERROR_FILE_NOT_FOUND},
                           Row{"no query right", writeOnly, "v", NO},
                           Row{"deleted key", deleted, "v", ERROR_KEY_DELETED}}) {
        SCOPED_TRACE(row.what);
        DWORD type = 0xDEADBEEF;
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(row.key, row.name, nullptr, &type, nullptr, &size), row.code);
        EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
        if (row.code == ERROR_FILE_NOT_FOUND) continue;  // enumeration has no name to miss
        char name[8];
        DWORD length = sizeof name;
        type = 0xDEADBEEF;
        EXPECT_EQ(RegEnumValueA(row.key, 0, name, &length, nullptr, &type, nullptr, nullptr), row.code);
        EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
    }
}

// Arguments Windows refuses or ignores, and the name length limit.
TEST_F(RegistryTest, ArgumentChecks) {
    HKEY key = create(HKCU, "K");
    HKEY out = nullptr;
    char name[8];
    BYTE data[8];
    DWORD length = sizeof name;
    DWORD size = 0;
    DWORD reserved = 0;
    SECURITY_ATTRIBUTES sa{12, nullptr, FALSE};  // a 32-bit layout: accepted, never read
    char cls[] = "MyClass";
    const std::string longest(kMaxValueNameLength, 'v');
    const std::string tooLong(kMaxValueNameLength + 1, 'v');
    const REGSAM all = KEY_ALL_ACCESS;
    constexpr LSTATUS BAD = ERROR_INVALID_PARAMETER;
    constexpr LSTATUS MISSING = ERROR_FILE_NOT_FOUND;
    expectCodes({
        {"create, Reserved set", RegCreateKeyExA(HKCU, "A", 1, nullptr, 0, all, nullptr, &out, nullptr), BAD},
        {"create, no result", RegCreateKeyExA(HKCU, "A", 0, nullptr, 0, all, nullptr, nullptr, nullptr), ERROR_BADKEY},
        {"link", RegCreateKeyExA(HKCU, "A", 0, nullptr, REG_OPTION_CREATE_LINK, all, nullptr, &out, nullptr), BAD},
        {"... none of them made the key", RegOpenKeyExA(HKCU, "A", 0, KEY_READ, &out), MISSING},
        {"class, volatile", RegCreateKeyExA(HKCU, "A", 0, cls, REG_OPTION_VOLATILE, all, &sa, &out, nullptr), OK},
        {"set, Reserved ignored, no data", RegSetValueExA(key, "empty", 7, REG_SZ, nullptr, 0), OK},
        {"... stored", RegQueryValueExA(key, "empty", nullptr, nullptr, nullptr, &size), OK},
        {"set, a size but no data", RegSetValueExA(key, "bad", 0, REG_SZ, nullptr, 4), ERROR_NOACCESS},
        {"... not stored", RegQueryValueExA(key, "bad", nullptr, nullptr, nullptr, &size), MISSING},
        {"query, reserved given", RegQueryValueExA(key, "empty", &reserved, nullptr, nullptr, &size), BAD},
        {"query, data but no size", RegQueryValueExA(key, "empty", nullptr, nullptr, data, nullptr), BAD},
        {"query, nothing asked", RegQueryValueExA(key, "empty", nullptr, nullptr, nullptr, nullptr), OK},
        {"set, longest name", set(key, longest.c_str(), REG_SZ, "x"), OK},
        {"set, name too long", set(key, tooLong.c_str(), REG_SZ, "x"), BAD},
        {"query, longest name", RegQueryValueExA(key, longest.c_str(), nullptr, nullptr, nullptr, &size), OK},
        {"query, name too long", RegQueryValueExA(key, tooLong.c_str(), nullptr, nullptr, nullptr, &size), MISSING},
        {"delete value, name too long", RegDeleteValueA(key, tooLong.c_str()), MISSING},
        {"delete value, longest name", RegDeleteValueA(key, longest.c_str()), OK},
        {"... deleted", RegDeleteValueA(key, longest.c_str()), MISSING},
        {"enum value, no name", RegEnumValueA(key, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr), BAD},
        {"enum value, no name length", RegEnumValueA(key, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), BAD},
        {"enum value, reserved given", RegEnumValueA(key, 0, name, &length, &reserved, nullptr, nullptr, nullptr), BAD},
        {"enum value, data but no size", RegEnumValueA(key, 0, name, &length, nullptr, nullptr, data, nullptr), BAD},
        {"enum key, no name", RegEnumKeyA(key, 0, nullptr, 4), BAD},
        {"delete key, no path", RegDeleteKeyA(HKCU, nullptr), BAD},
    });
}

// -------------------------------------------------------- RegEnumValueA

struct EnumValueCase {
    const char* what;
    DWORD nameIn;   // name buffer length given
    bool withData;  // a data buffer is given
    DWORD dataIn;
    LSTATUS code;
    DWORD nameOut;
    std::string nameBuffer;  // the 8-byte name buffer after, filled with 'x' before
    DWORD dataOut;
    std::string dataBuffer;  // the 9-byte data buffer after, filled with 'x' before
};

class RegEnumValueATest : public RegistryTest, public ::testing::WithParamInterface<EnumValueCase> {};

TEST_P(RegEnumValueATest, NameAndDataBuffers) {
    const EnumValueCase& c = GetParam();
    HKEY key = create(HKCU, "E");
    ASSERT_EQ(set(key, "Test", REG_SZ, bytes("foobar", 7)), OK);

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
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RegEnumValueATest,
    ::testing::Values(
        EnumValueCase{"both exactly fit", 5, true, 7, OK, 4, bytes("Test\0xxx", 8), 7, bytes("foobar\0xx", 9)},
        EnumValueCase{"name one short", 4, true, 9, MORE, 4, "xxxxxxxx", 7, "xxxxxxxxx"},
        EnumValueCase{"no name room", 0, true, 9, MORE, 0, "xxxxxxxx", 7, "xxxxxxxxx"},
        EnumValueCase{"data one short", 8, true, 6, MORE, 8, "xxxxxxxx", 7, "xxxxxxxxx"},
        EnumValueCase{"data size only", 8, false, 0, OK, 4, bytes("Test\0xxx", 8), 7, "xxxxxxxxx"}));

TEST_F(RegistryTest, ValuesListInCreationOrderWithTheDefaultValueUnnamed) {
    HKEY key = create(HKCU, "E");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND) << "none yet";
    for (const char* name : {"b", static_cast<const char*>(nullptr), "A", "c"}) {
        ASSERT_EQ(set(key, name, REG_SZ, "1"), OK);
    }
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), OK) << "NULL and \"\" name one value";
    ASSERT_EQ(set(key, "B", REG_DWORD, "5555"), OK) << "overwrites b in its place";
    ASSERT_EQ(RegDeleteValueA(key, "a"), OK);
    ASSERT_EQ(set(key, "a", REG_SZ, "6"), OK) << "a value made again goes last";
    EXPECT_EQ(enumNames(key), (std::vector<std::string>{"b", "", "c", "a"}));
    EXPECT_EQ(enumName(key, 2), "c") << "random access after walking";
    EXPECT_EQ(enumName(key, 0xFFFFFFFF), "<259>");
}

// ---------------------------------------------------------- RegEnumKeyA

TEST_F(RegistryTest, SubKeysEnumerateByUpperCasedNameKeepingFirstSpelling) {
    HKEY key = create(HKCU, "P");
    for (const char* name : {"b", "\x80uro", "Zed", "_x", "\xE9t\xE9", "A", "a\xFF"}) {
        ASSERT_EQ(RegCloseKey(create(key, name)), OK);
    }
    HKEY again = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(key, "\xC9T\xC9", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition), OK);
    EXPECT_EQ(disposition, EXISTING) << "\xC9T\xC9 is \xE9t\xE9 upper-cased";
    EXPECT_EQ(RegCloseKey(again), OK);
    // Upper-cased as Unicode: A, A<U+0178>, B, Z, _, <U+00C9>, <U+20AC>.
    EXPECT_EQ(enumNames(key, true), (std::vector<std::string>{"A", "a\xFF", "b", "Zed", "_x", "\xE9t\xE9", "\x80uro"}));

    char buffer[4];
    EXPECT_EQ(RegEnumKeyA(key, 3, buffer, 3), MORE) << "Zed needs 4 bytes";
    EXPECT_EQ(RegEnumKeyA(key, 3, buffer, 4), OK);
    EXPECT_EQ(std::string(buffer), "Zed");
}

// -------------------------------------------------------- deleting keys

TEST_F(RegistryTest, DeleteKeyCodes) {
    ASSERT_EQ(RegCloseKey(create(HKCU, "D\\Child\\Grandchild")), OK);
    HKEY root = create(HKCU, "");
    HKEY self = open(HKCU, "D");
    expectCodes({
        {"missing", RegDeleteKeyA(HKCU, "D\\Missing"), ERROR_FILE_NOT_FOUND},
        {"with a sub key", RegDeleteKeyA(HKCU, "D\\Child"), NO},
        {"leading backslash", RegDeleteKeyA(HKCU, "\\D"), ERROR_BAD_PATHNAME},
        {"a root", RegDeleteKeyA(HKCU, ""), NO},
        {"a root, through a handle to it", RegDeleteKeyA(root, ""), NO},
        {"other case, trailing backslash", RegDeleteKeyA(HKCU, "d\\CHILD\\grandchild\\"), OK},
        {"the parent, now empty", RegDeleteKeyA(HKCU, "D\\Child"), OK},
        {"the handle's own key", RegDeleteKeyA(self, ""), OK},
        {"... gone", RegOpenKeyExA(HKCU, "D", 0, KEY_READ, &self), ERROR_FILE_NOT_FOUND},
    });
}

TEST_F(RegistryTest, HandleToADeletedKeyAnswersKeyDeleted) {
    HKEY victim = create(HKCU, "Gone");
    ASSERT_EQ(set(victim, "v", REG_SZ, "x"), OK);
    ASSERT_EQ(RegDeleteKeyA(HKCU, "Gone"), OK);
    HKEY reborn = create(HKCU, "Gone");  // same name, another key

    char name[16];
    DWORD length = sizeof name;
    DWORD size = 0;
    HKEY out = nullptr;
    const std::string tooLong(kMaxValueNameLength + 1, 'v');
    constexpr LSTATUS GONE = ERROR_KEY_DELETED;
    expectCodes({
        {"query", RegQueryValueExA(victim, "v", nullptr, nullptr, nullptr, &size), GONE},
        {"query, name too long", RegQueryValueExA(victim, tooLong.c_str(), nullptr, nullptr, nullptr, &size), GONE},
        {"set", set(victim, "v", REG_SZ, "y"), GONE},
        {"enum value", RegEnumValueA(victim, 0, name, &length, nullptr, nullptr, nullptr, nullptr), GONE},
        {"enum key", RegEnumKeyA(victim, 0, name, sizeof name), GONE},
        {"delete value", RegDeleteValueA(victim, "v"), GONE},
        {"open below", RegOpenKeyExA(victim, "x", 0, KEY_READ, &out), GONE},
        {"open below, name too long", RegOpenKeyExA(victim, kPath256.c_str(), 0, KEY_READ, &out), GONE},
        {"open itself", RegOpenKeyExA(victim, "", 0, KEY_READ, &out), GONE},
        {"create below", RegCreateKeyExA(victim, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), GONE},
        {"delete itself", RegDeleteKeyA(victim, ""), GONE},
        {"close", RegCloseKey(victim), OK},
        {"new key, same name", RegQueryValueExA(reborn, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND},
    });
    EXPECT_EQ(queryStore("SELECT count(*) FROM vals"), "0") << "the deleted key's values went with it";
}

// ----------------------------------------------------------- the store

TEST_F(RegistryTest, ChangesSurviveClosingTheStoreWhichIsTheUsersAlone) {
    HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Persist");
    ASSERT_EQ(set(key, "v", REG_BINARY, bytes("\0\1\2", 3)), OK);
    closeRegistryStore();
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closing the store forgets handles";
    key = open(HKEY_LOCAL_MACHINE, "software\\persist");
    std::string data(4, '\0');
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<LPBYTE>(data.data()), &size), OK);
    EXPECT_EQ(data.substr(0, size), bytes("\0\1\2", 3));
    struct stat st {};
    ASSERT_EQ(::stat(registryStorePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryTest, AStoreThatCannotBeOpenedGivesCodesNotCrashes) {
    // A regular file where the configuration folder should be: even root
    // cannot create the store below it.
    const std::string blocker = (dir_ / "file").string();
    std::ofstream(blocker) << "x";
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    closeRegistryStore();
    HKEY key = nullptr;
    DWORD size = 0;
    EXPECT_EQ(RegCreateKeyExA(HKCU, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_CANTOPEN);
    EXPECT_EQ(RegQueryValueExA(HKCU, "v", nullptr, nullptr, nullptr, &size), ERROR_CANTOPEN);
    EXPECT_EQ(RegOpenKeyExA(HKCU, "", 0, KEY_READ, &key), OK) << "needs no store";
}

TEST_F(RegistryTest, AFileThatIsNotAStoreIsLeftUntouched) {
    const std::string path = registryStorePath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string garbage(8192, 'g');
    std::ofstream(path, std::ios::binary) << garbage;
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKCU, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_BADDB);
    EXPECT_EQ(test_support::readFile(path), garbage);
}

}  // namespace
}  // namespace ecran::win32::testing
