// The registry functions on a scratch store, driven by a sequence of
// operations read from the input: create and open keys by any path below any
// root or handle, set, query, enumerate and delete values and keys, close
// handles (and keep using the closed ones). Invariants: nothing crashes,
// every code returned is one the functions document for a sound store (a
// storage failure on a fresh scratch store is a fault too), what was set
// reads back with its type and bytes, what enumeration lists can be opened
// or queried, and what was deleted is gone.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "scratch_home.h"
#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace {

// The codes the functions return on a sound store. Storage failures
// (ERROR_CANTOPEN, ERROR_CANTREAD, ERROR_CANTWRITE, ERROR_BADDB,
// ERROR_DISK_FULL) and ERROR_NOT_ENOUGH_MEMORY are left out on purpose:
// on a fresh store in a scratch folder they can only mean a fault, such as
// an exception that escaped into the catch-all of a function.
const std::set<LSTATUS> kDocumented = {
    ERROR_SUCCESS,         ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
    ERROR_INVALID_PARAMETER, ERROR_BAD_PATHNAME, ERROR_MORE_DATA,     ERROR_NO_MORE_ITEMS,
    ERROR_NOACCESS,        ERROR_BADKEY,         ERROR_KEY_DELETED,   ERROR_NO_SYSTEM_RESOURCES,
};

LSTATUS checked(LSTATUS code) {
    if (kDocumented.count(code) == 0) std::fprintf(stderr, "registry code %ld is not a documented one\n", static_cast<long>(code));
    FUZZ_CHECK(kDocumented.count(code) == 1);
    return code;
}

const std::array<REGSAM, 7> kRights = {KEY_ALL_ACCESS,  KEY_READ,       KEY_WRITE,   0,
                                       MAXIMUM_ALLOWED, KEY_QUERY_VALUE, KEY_SET_VALUE};

struct Session {
    std::array<HKEY, 4> slots{};  // handles opened by the input; closed ones stay, to be used again

    HKEY base(std::uint8_t b) const {
        switch (b % 12) {
        case 0: return HKEY_CLASSES_ROOT;
        case 1: return HKEY_CURRENT_USER;
        case 2: return HKEY_LOCAL_MACHINE;
        case 3: return HKEY_USERS;
        case 4: return HKEY_CURRENT_CONFIG;
        case 5: return HKEY_PERFORMANCE_DATA;
        case 6: return HKEY_DYN_DATA;
        case 7: return nullptr;
        default: return slots[b % 12 - 8];
        }
    }
};

// A C string argument: the functions see the text up to its first NUL.
std::string cString(std::string s) { return s.substr(0, s.find('\0')); }

bool isString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Reads a value through a fresh handle with the right to query, so the
// rights of the handle that set it do not matter.
void expectValue(HKEY key, const std::string& name, DWORD type, const std::string& data) {
    HKEY reader = nullptr;
    FUZZ_CHECK(checked(RegOpenKeyExA(key, nullptr, 0, KEY_QUERY_VALUE, &reader)) == ERROR_SUCCESS);
    std::vector<BYTE> buffer(data.size() + 1, 0xAB);
    DWORD gotType = 0xFFFF;
    auto size = static_cast<DWORD>(buffer.size());
    FUZZ_CHECK(checked(RegQueryValueExA(reader, name.c_str(), nullptr, &gotType, buffer.data(), &size)) ==
               ERROR_SUCCESS);
    FUZZ_CHECK(gotType == type);
    FUZZ_CHECK(size == data.size());
    FUZZ_CHECK(data.empty() || std::memcmp(data.data(), buffer.data(), data.size()) == 0);
    // A string stored without its NUL gets one when the buffer has room.
    if (isString(type) && !data.empty() && data.back() != '\0') FUZZ_CHECK(buffer[data.size()] == 0);
    // Too small a buffer: the size needed, and the buffer untouched.
    if (!data.empty()) {
        // One byte short; one spare byte so that its data pointer is never NULL.
        std::vector<BYTE> small(data.size(), 0xCD);
        auto smallSize = static_cast<DWORD>(data.size() - 1);
        FUZZ_CHECK(checked(RegQueryValueExA(reader, name.c_str(), nullptr, nullptr, small.data(), &smallSize)) ==
                   ERROR_MORE_DATA);
        FUZZ_CHECK(smallSize == data.size());
        FUZZ_CHECK(std::all_of(small.begin(), small.end(), [](BYTE b) { return b == 0xCD; }));
    }
    FUZZ_CHECK(checked(RegCloseKey(reader)) == ERROR_SUCCESS);
}

void expectNoValue(HKEY key, const std::string& name) {
    HKEY reader = nullptr;
    FUZZ_CHECK(checked(RegOpenKeyExA(key, nullptr, 0, KEY_QUERY_VALUE, &reader)) == ERROR_SUCCESS);
    DWORD size = 0;
    FUZZ_CHECK(checked(RegQueryValueExA(reader, name.c_str(), nullptr, nullptr, nullptr, &size)) ==
               ERROR_FILE_NOT_FOUND);
    FUZZ_CHECK(checked(RegCloseKey(reader)) == ERROR_SUCCESS);
}

// Deletes every sub key below `key`, deepest first.
void deleteTree(HKEY key) {
    std::vector<char> name(300);
    while (RegEnumKeyA(key, 0, name.data(), static_cast<DWORD>(name.size())) == ERROR_SUCCESS) {
        HKEY child = nullptr;
        FUZZ_CHECK(RegOpenKeyExA(key, name.data(), 0, KEY_ALL_ACCESS, &child) == ERROR_SUCCESS);
        deleteTree(child);
        FUZZ_CHECK(RegCloseKey(child) == ERROR_SUCCESS);
        FUZZ_CHECK(RegDeleteKeyA(key, name.data()) == ERROR_SUCCESS);
    }
}

// An empty store for every input, so each input replays alone. Emptying the
// roots through the functions is much faster than making a new store file,
// and checks deletion along the way.
void emptyStore() {
    std::vector<char> name(16384 + 1);
    for (const HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG}) {
        deleteTree(root);
        for (;;) {
            auto length = static_cast<DWORD>(name.size());
            const LSTATUS code = RegEnumValueA(root, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (code == ERROR_NO_MORE_ITEMS) break;
            FUZZ_CHECK(code == ERROR_SUCCESS);
            FUZZ_CHECK(RegDeleteValueA(root, name.data()) == ERROR_SUCCESS);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)ecran::fuzz::makeScratchHome();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ecran::fuzz::InputReader in(data, size);
    Session s;
    std::vector<HKEY> handles;  // every handle the input opened, closed at the end
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const std::uint8_t op = in.byte();
        const HKEY base = s.base(in.byte());
        switch (op % 9) {
        case 0:  // create
        case 1: {  // open
            const std::string path = cString(in.longText());
            const REGSAM rights = kRights[in.byte() % kRights.size()];
            const std::size_t slot = in.byte() % s.slots.size();
            HKEY opened = nullptr;
            DWORD disposition = 0;
            const LSTATUS code =
                checked(op % 9 == 0 ? RegCreateKeyExA(base, path.c_str(), 0, nullptr, 0, rights, nullptr, &opened,
                                                      &disposition)
                                    : RegOpenKeyExA(base, path.c_str(), 0, rights, &opened));
            if (code == ERROR_SUCCESS) {
                FUZZ_CHECK(opened != nullptr);
                if (op % 9 == 0) FUZZ_CHECK(disposition == REG_CREATED_NEW_KEY || disposition == REG_OPENED_EXISTING_KEY);
                // Once created, the path opens.
                HKEY again = nullptr;
                FUZZ_CHECK(checked(RegOpenKeyExA(base, path.c_str(), 0, KEY_READ, &again)) == ERROR_SUCCESS);
                FUZZ_CHECK(checked(RegCloseKey(again)) == ERROR_SUCCESS);
                s.slots[slot] = opened;
                handles.push_back(opened);
            }
            break;
        }
        case 2: {  // set, then read back
            const std::string name = cString(in.longText());
            const DWORD type = in.byte() % 12;
            const std::string bytes = in.longText();
            const LSTATUS code = checked(RegSetValueExA(base, name.c_str(), 0, type,
                                                        reinterpret_cast<const BYTE*>(bytes.data()),
                                                        static_cast<DWORD>(bytes.size())));
            if (code == ERROR_SUCCESS) expectValue(base, name, type, bytes);
            break;
        }
        case 3: {  // query with any buffer, or none
            const std::string name = cString(in.longText());
            const std::uint8_t form = in.byte();
            const DWORD capacity = in.word() % 4096;
            std::vector<BYTE> buffer(capacity + 1);  // never empty: its data pointer is never NULL
            DWORD type = 0;
            DWORD reported = capacity;
            const LSTATUS code = checked(RegQueryValueExA(base, name.c_str(), nullptr, form & 1 ? &type : nullptr,
                                                          form & 2 ? buffer.data() : nullptr,
                                                          form & 4 ? &reported : nullptr));
            if (code == ERROR_MORE_DATA) FUZZ_CHECK((form & 2) && reported > capacity);
            if (code == ERROR_SUCCESS && (form & 6) == 6) FUZZ_CHECK(reported <= capacity);
            break;
        }
        case 4: {  // enumerate values; what is listed reads back
            const DWORD index = in.byte() % 8;
            std::vector<char> name(in.word() % 512 + 1);
            const DWORD capacity = in.word() % 4096;
            std::vector<BYTE> buffer(capacity + 1);  // never empty: its data pointer is never NULL
            auto nameLength = static_cast<DWORD>(name.size());
            DWORD dataSize = capacity;
            DWORD type = 0;
            const LSTATUS code = checked(RegEnumValueA(base, index, name.data(), &nameLength, nullptr, &type,
                                                       buffer.data(), &dataSize));
            if (code == ERROR_SUCCESS) {
                FUZZ_CHECK(nameLength < name.size() && name[nameLength] == '\0');
                const std::string listed(name.data(), nameLength);
                expectValue(base, listed, type, std::string(reinterpret_cast<const char*>(buffer.data()), dataSize));
            }
            break;
        }
        case 5: {  // enumerate sub keys; what is listed opens
            const DWORD index = in.byte() % 8;
            std::vector<char> name(in.word() % 300 + 1);
            const LSTATUS code = checked(RegEnumKeyA(base, index, name.data(), static_cast<DWORD>(name.size())));
            if (code == ERROR_SUCCESS) {
                HKEY child = nullptr;
                FUZZ_CHECK(checked(RegOpenKeyExA(base, name.data(), 0, KEY_READ, &child)) == ERROR_SUCCESS);
                FUZZ_CHECK(checked(RegCloseKey(child)) == ERROR_SUCCESS);
            }
            break;
        }
        case 6: {  // delete a value; it is gone
            const std::string name = cString(in.longText());
            if (checked(RegDeleteValueA(base, name.c_str())) == ERROR_SUCCESS) expectNoValue(base, name);
            break;
        }
        case 7: {  // delete a key; it no longer opens
            const std::string path = cString(in.longText());
            if (checked(RegDeleteKeyA(base, path.c_str())) == ERROR_SUCCESS) {
                HKEY gone = nullptr;
                FUZZ_CHECK(checked(RegOpenKeyExA(base, path.c_str(), 0, KEY_READ, &gone)) != ERROR_SUCCESS);
            }
            break;
        }
        default:  // close; the handle value stays to be used again
            (void)checked(RegCloseKey(base));
            break;
        }
    }
    for (const HKEY h : handles) (void)RegCloseKey(h);
    emptyStore();
    return 0;
}
