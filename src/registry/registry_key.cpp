#include "registry/registry_key.h"

#include <algorithm>
#include <limits>

#include "errors/error.h"

// Program text is Windows-1252, which is also the code page of the ANSI
// registry functions here, so names and values pass to them unchanged. A
// name is handed over as a C string and so ends at its first NUL character,
// as it does for the ANSI functions on Windows.

namespace ecran::registry {
namespace {

using errors::Error;

constexpr const char* kEnumDescription = "Unable to retrieve value names for registry key";
constexpr const char* kEnumSource = "RegistryKey.GetValues";
constexpr const char* kGetValueSource = "RegistryKey.Get Value";

// The text a list operation takes from the name buffer: everything before
// the first NUL that the registry wrote after the name.
std::string nameBeforeNul(const std::string& buffer) { return buffer.substr(0, buffer.find('\0')); }

// Adds one name to a list of the continue-on-error operations. Past 32767
// names the count cannot grow: the overflow is recorded and the name takes
// the place of the last element, as the 16-bit count dictates.
void appendCounted(NameList& list, std::string name) {
    if (list.size() < kMaxListedNames) {
        list.push_back(std::move(name));
        return;
    }
    errors::lastError().record(errors::overflowError());
    list.back() = std::move(name);
}

// The two lists that run in continue-on-error mode: `next` asks the registry
// for item `index` into the name buffer (made once, of spaces). Each name is
// the buffer's text before its first NUL. An enumeration that ends with any
// code but "no more items" is recorded, and there is no result.
template <class Next>
std::optional<NameList> listNamesRecorded(Next&& next) {
    errors::ContinueOnError mode;
    std::string buffer(kValueNamesBufferSize, ' ');
    NameList names;
    LSTATUS rc = ERROR_SUCCESS;
    for (DWORD index = 0; (rc = next(index, buffer)) == ERROR_SUCCESS; ++index) {
        appendCounted(names, nameBeforeNul(buffer));
    }
    if (rc != ERROR_NO_MORE_ITEMS) {
        errors::lastError().record(Error(rc, kEnumSource, kEnumDescription));
        return std::nullopt;
    }
    return names;
}

}  // namespace

RegistryKey::~RegistryKey() {
    try {
        CloseKey();
    } catch (const Error& e) {
        // Nothing can be thrown from here; the close failure is kept where
        // continue-on-error callers look for failures.
        errors::lastError().record(e);
    }
}

bool RegistryKey::CreateKey(HKEY hkeyRoot, const std::string& sSubkey, const std::string& sClass, DWORD lOptions,
                            DWORD lRights) {
    CloseKey();

    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(SECURITY_ATTRIBUTES);
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = FALSE;

    std::string classText = sClass;  // the call takes a writable class buffer
    HKEY created = nullptr;
    DWORD disposition = 0;
    const LSTATUS rc = RegCreateKeyExA(hkeyRoot, sSubkey.c_str(), 0, classText.data(), lOptions, lRights, &security,
                                       &created, &disposition);
    if (rc != ERROR_SUCCESS) {
        hKey_ = nullptr;
        return false;
    }
    hKey_ = created;
    return disposition == REG_CREATED_NEW_KEY;
}

void RegistryKey::OpenKey(HKEY hkeyRoot, const std::string& sSubkey, DWORD lRights) {
    CloseKey();

    // The handle is received in a local word so that the object never holds
    // whatever a failed call may have left there.
    HKEY opened = nullptr;
    LSTATUS rc = RegOpenKeyExA(hkeyRoot, sSubkey.c_str(), 0, lRights, &opened);

    // Opening for writing alone creates a missing key first; reading or any
    // other rights never create one.
    if (lRights == KEY_WRITE && rc == ERROR_FILE_NOT_FOUND) {
        (void)CreateKey(hkeyRoot, sSubkey, "", REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS);
        CloseKey();
        opened = nullptr;
        rc = RegOpenKeyExA(hkeyRoot, sSubkey.c_str(), 0, lRights, &opened);
    }

    hKey_ = rc == ERROR_SUCCESS ? opened : nullptr;
}

void RegistryKey::CloseKey() {
    if (hKey_ == nullptr) return;
    const LSTATUS rc = RegCloseKey(hKey_);
    if (rc != ERROR_SUCCESS) {
        throw Error(rc, "RegistryKey.CloseKey", "An error occurred while closing the registy key");
    }
    hKey_ = nullptr;
}

namespace {

QueryValueFunction queryValueFunction = &RegQueryValueExA;

}  // namespace

QueryValueFunction exchangeQueryValueFunction(QueryValueFunction f) noexcept {
    const QueryValueFunction previous = queryValueFunction;
    queryValueFunction = f != nullptr ? f : &RegQueryValueExA;
    return previous;
}

DWORD RegistryKey::GetRegistryValueLen(const std::string& sName) const {
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS rc = queryValueFunction(hKey_, sName.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) {
        throw Error(rc, "RegistryKey.GetRegistryValueLen",
                    "An error occurred while getting the length of the registy value '" + sName + "'");
    }
    return size;
}

std::string RegistryKey::value(const std::string& sName) const {
    errors::ContinueOnError mode;

    // The size step and the read step are two calls: another process may
    // change or delete the value between them. A read that does not match
    // its size step (the read answers ERROR_MORE_DATA, fails where the size
    // step did not or the other way round, or reports another size) saw a
    // changed value and is made again from the size step. Alone on the
    // store, the two always match and one attempt is made.
    std::string buffer;
    for (int attempt = 1;; ++attempt) {
        const bool last = attempt == kValueReadAttempts;
        if (attempt > 1) errors::lastError().clear();  // a new attempt reports only its own failures

        DWORD size = 0;
        LSTATUS sizeCode = ERROR_SUCCESS;
        mode.step([&] {
            try {
                size = GetRegistryValueLen(sName);
            } catch (const Error& e) {
                sizeCode = e.number();
                throw Error(e.number(), kGetValueSource,
                            "Unable to get the length of the registy value '" + sName + "'");
            }
        });

        buffer.clear();
        if (!mode.step([&] { buffer.assign(size, '\0'); })) size = 0;

        LSTATUS readCode = ERROR_SUCCESS;
        DWORD reported = 0;
        mode.step([&] {
            DWORD type = 0;
            DWORD inOut = static_cast<DWORD>(buffer.size());
            readCode = queryValueFunction(hKey_, sName.c_str(), nullptr, &type,
                                          reinterpret_cast<LPBYTE>(buffer.data()), &inOut);
            reported = inOut;
            if (readCode != ERROR_SUCCESS) {
                throw Error(readCode, kGetValueSource,
                            "An error occurred while getting the registy value '" + sName + "'");
            }
        });

        const bool matched = readCode == sizeCode && (readCode != ERROR_SUCCESS || reported == size);
        if (matched || last) {
            // Only the bytes the read reported are the value: a failed read
            // wrote none, and a value that shrank since the size step leaves
            // NULs behind its end that are not part of it. After the last
            // attempt a failed read stays recorded and gives empty text.
            buffer.resize(readCode == ERROR_SUCCESS ? std::min<std::size_t>(reported, buffer.size()) : 0);
            break;
        }
    }

    // The last byte (a string's NUL) is dropped.
    if (!buffer.empty()) buffer.pop_back();
    return buffer;
}

void RegistryKey::setValue(const std::string& sName, const RegistryValue& vValue) {
    const std::string text = vValue.text();
    // The size word is 32 bits; a text that does not fit cannot be stored,
    // which like any refused write goes unreported.
    if (text.size() >= std::numeric_limits<DWORD>::max()) return;
    // std::string keeps a NUL after its last character: it is the value's
    // terminating NUL.
    (void)RegSetValueExA(hKey_, sName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1));
}

NameList RegistryKey::ValueNames() const {
    std::string buffer(kValueNamesBufferSize, ' ');
    DWORD index = 0;
    NameList names;
    LSTATUS rc = ERROR_SUCCESS;
    for (;;) {
        DWORD length = kValueNamesBufferSize;
        DWORD type = 0;
        rc = RegEnumValueA(hKey_, index, buffer.data(), &length, nullptr, &type, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) break;
        if (length > 0) {
            if (names.size() >= kMaxListedNames) throw errors::overflowError();
            names.push_back(buffer.substr(0, length));
        }
        ++index;
    }
    if (rc != ERROR_NO_MORE_ITEMS) throw Error(rc, kEnumSource, kEnumDescription);
    return names;
}

std::optional<NameList> RegistryKey::SubKeyNames() const {
    return listNamesRecorded([this](DWORD index, std::string& buffer) {
        return RegEnumKeyA(hKey_, index, buffer.data(), kSubNamesBufferSize);
    });
}

std::optional<NameList> RegistryKey::SubValueNames() const {
    return listNamesRecorded([this](DWORD index, std::string& buffer) {
        DWORD length = kSubNamesBufferSize;
        DWORD type = 0;
        return RegEnumValueA(hKey_, index, buffer.data(), &length, nullptr, &type, nullptr, nullptr);
    });
}

void RegistryKey::DeleteKey(HKEY hkeyRoot, const std::string& sSubkey) {
    const LSTATUS rc = RegDeleteKeyA(hkeyRoot, sSubkey.c_str());
    if (rc != ERROR_SUCCESS) {
        throw Error(rc, "RegistryKey.DeleteKey", "Unable to delete registry key '" + sSubkey + "'");
    }
}

void RegistryKey::DeleteSubKey(const std::string& sSubkey) {
    const LSTATUS rc = RegDeleteKeyA(hKey_, sSubkey.c_str());
    if (rc != ERROR_SUCCESS) {
        throw Error(rc, "RegistryKey.DeleteSubKey", "Unable to delete registry subkey '" + sSubkey + "'");
    }
}

void RegistryKey::DeleteValue(const std::string& sName) {
    const LSTATUS rc = RegDeleteValueA(hKey_, sName.c_str());
    if (rc != ERROR_SUCCESS) {
        throw Error(rc, "RegistryKey.DeleteValue", "Unable to delete registry value '" + sName + "'");
    }
}

}  // namespace ecran::registry
