// advapi32's ANSI registry functions over the SQLite store. Each function
// checks its arguments in the order Windows does, takes the process lock,
// resolves the handle, checks the handle's rights, and leaves the rest to
// one store transaction. Nothing here throws: every failure is a code.

#include "win32/registry_api.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "win32/registry_names.h"
#include "win32/registry_session.h"

using ecran::win32::HandleKind;
using ecran::win32::KeyId;
using ecran::win32::onOpenKey;
using ecran::win32::RegistryDatabase;
using ecran::win32::RegistrySession;
using ecran::win32::ResolvedKey;
using ecran::win32::StoredValue;

namespace {

// Runs a function body so that no exception crosses the C interface.
template <class F>
LSTATUS guard(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_CANTREAD;
    }
}

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies stored data into a caller's buffer of `capacity` bytes (known to
// hold it). Windows' ANSI functions end a string that was stored without
// its NUL with one when the buffer has room for it; the size they report
// stays the stored size.
void copyData(const StoredValue& value, LPBYTE buffer, DWORD capacity) {
    const std::size_t size = value.data.size();
    if (size != 0) std::memcpy(buffer, value.data.data(), size);
    if (isStringType(value.type) && size != 0 && size < capacity && value.data.back() != '\0') buffer[size] = 0;
}

// A name no key or value can have (too long): the key's own state
// decides between deleted key and missing value.
LONG notFoundUnlessDeleted(RegistryDatabase& db, KeyId key) {
    const LONG code = db.checkKey(key);
    return code == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : code;
}

// Windows sets the caller's type word to REG_NONE when a query or a value
// enumeration fails on a valid handle: a missing value, a missing right, a
// deleted key. A caller that looks at the type without checking the code
// then sees "no type" rather than whatever its word held before.
LSTATUS typeNoneOnFailure(LSTATUS code, LPDWORD lpType) {
    if (lpType != nullptr &&
        (code == ERROR_FILE_NOT_FOUND || code == ERROR_ACCESS_DENIED || code == ERROR_KEY_DELETED)) {
        *lpType = REG_NONE;
    }
    return code;
}

constexpr DWORD kAcceptedCreateOptions =
    REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK | REG_OPTION_DONT_VIRTUALIZE;

}  // namespace

extern "C" {

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    return guard([&]() -> LSTATUS {
        if (Reserved != 0) return ERROR_INVALID_PARAMETER;
        if (phkResult == nullptr) return ERROR_BADKEY;
        // Links are not supported; options Windows does not know are refused as it refuses them.
        if ((dwOptions & ~kAcceptedCreateOptions) != 0) return ERROR_INVALID_PARAMETER;

        return onOpenKey(
            hKey, 0, [&](RegistrySession& session, const ResolvedKey& base, RegistryDatabase& db) -> LSTATUS {
                *phkResult = nullptr;

                std::vector<std::string> names;
                LONG code = ecran::win32::splitSubKeyPath(lpSubKey, ecran::win32::PathUse::Create, names);
                if (code != ERROR_SUCCESS) return code;
                // Refused before anything is created: a key made without a handle to
                // give back would be a change the caller was told had failed.
                if (session.handles().size() >= session.handles().capacity()) return ERROR_NO_SYSTEM_RESOURCES;

                KeyId created = 0;
                DWORD disposition = 0;
                code = db.createKey(base.id, names, lpClass != nullptr ? std::string_view(lpClass) : std::string_view(),
                                    created, disposition);
                if (code != ERROR_SUCCESS) return code;
                code = session.addHandle(created, ecran::win32::grantedRights(samDesired), *phkResult);
                if (code != ERROR_SUCCESS) return code;
                if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
                return ERROR_SUCCESS;
            });
    });
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    return guard([&]() -> LSTATUS {
        if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
        const HandleKind kind = ecran::win32::handleKind(hKey);
        // A predefined root opened with no sub key is the root itself.
        if (ecran::win32::isStoredRoot(kind) && (lpSubKey == nullptr || *lpSubKey == '\0')) {
            *phkResult = hKey;
            return ERROR_SUCCESS;
        }
        // Windows NT accepts one leading backslash below HKEY_CLASSES_ROOT.
        if (kind == HandleKind::ClassesRoot && lpSubKey != nullptr && *lpSubKey == '\\') ++lpSubKey;

        return onOpenKey(hKey, 0,
                         [&](RegistrySession& session, const ResolvedKey& base, RegistryDatabase& db) -> LSTATUS {
                             *phkResult = nullptr;

                             std::vector<std::string> names;
                             LONG code = ecran::win32::splitSubKeyPath(lpSubKey, ecran::win32::PathUse::Lookup, names);
                             if (code == ERROR_FILE_NOT_FOUND) return notFoundUnlessDeleted(db, base.id);
                             if (code != ERROR_SUCCESS) return code;
                             KeyId opened = 0;
                             code = db.openKey(base.id, names, opened);
                             if (code != ERROR_SUCCESS) return code;
                             return session.addHandle(opened, ecran::win32::grantedRights(samDesired), *phkResult);
                         });
    });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    return guard([&]() -> LSTATUS {
        const HandleKind kind = ecran::win32::handleKind(hKey);
        if (kind == HandleKind::Null) return ERROR_INVALID_HANDLE;
        // Predefined roots are never opened, so closing one always succeeds.
        if (kind != HandleKind::Opened) return ERROR_SUCCESS;
        const auto value = reinterpret_cast<std::uintptr_t>(hKey);
        if (value > ecran::win32::RegistryHandleTable::kLastValue) return ERROR_INVALID_HANDLE;
        RegistrySession& session = RegistrySession::instance();
        const auto lock = session.lock();
        return session.handles().remove(static_cast<std::uint32_t>(value)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    return guard([&]() -> LSTATUS {
        if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;

        return typeNoneOnFailure(onOpenKey(
            hKey, KEY_QUERY_VALUE, [&](RegistrySession&, const ResolvedKey& key, RegistryDatabase& db) -> LSTATUS {
                const std::string_view name = lpValueName != nullptr ? lpValueName : "";
                StoredValue value;
                LONG code = name.size() > ecran::win32::kMaxValueNameLength ? notFoundUnlessDeleted(db, key.id)
                                                                            : db.queryValue(key.id, name, value);
                if (code == ERROR_FILE_NOT_FOUND && lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
                if (code != ERROR_SUCCESS) return code;

                const auto size = static_cast<DWORD>(value.data.size());
                if (lpType != nullptr) *lpType = value.type;
                if (lpData != nullptr) {
                    if (size > *lpcbData) {
                        *lpcbData = size;
                        return ERROR_MORE_DATA;
                    }
                    copyData(value, lpData, *lpcbData);
                }
                if (lpcbData != nullptr) *lpcbData = size;
                return ERROR_SUCCESS;
            }), lpType);
    });
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    return guard([&]() -> LSTATUS {
        return onOpenKey(
            hKey, KEY_SET_VALUE, [&](RegistrySession&, const ResolvedKey& key, RegistryDatabase& db) -> LSTATUS {
                const std::string_view name = lpValueName != nullptr ? lpValueName : "";
                if (name.size() > ecran::win32::kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
                if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
                const std::string_view data(reinterpret_cast<const char*>(lpData), lpData != nullptr ? cbData : 0);
                return db.setValues(key.id, {ecran::win32::NewValue{name, dwType, data}});
            });
    });
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return guard([&]() -> LSTATUS {
        if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
            (lpData != nullptr && lpcbData == nullptr)) {
            return ERROR_INVALID_PARAMETER;
        }

        return typeNoneOnFailure(onOpenKey(hKey, KEY_QUERY_VALUE,
                         [&](RegistrySession&, const ResolvedKey& key, RegistryDatabase& db) -> LSTATUS {
                             StoredValue value;
                             LONG code = db.enumValue(key.id, dwIndex, value);
                             if (code != ERROR_SUCCESS) return code;

                             const auto size = static_cast<DWORD>(value.data.size());
                             if (lpType != nullptr) *lpType = value.type;
                             // The name needs its length plus the NUL; when either buffer is too
                             // small neither is written and the name length is left as given.
                             const bool nameFits = value.name.size() < *lpcchValueName;
                             const bool dataFits = lpData == nullptr || size <= *lpcbData;
                             if (!nameFits || !dataFits) {
                                 if (lpcbData != nullptr) *lpcbData = size;
                                 return ERROR_MORE_DATA;
                             }
                             std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
                             *lpcchValueName = static_cast<DWORD>(value.name.size());
                             if (lpData != nullptr) copyData(value, lpData, *lpcbData);
                             if (lpcbData != nullptr) *lpcbData = size;
                             return ERROR_SUCCESS;
                         }), lpType);
    });
}

LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    return guard([&]() -> LSTATUS {
        // Windows would write through a null buffer; refused here instead.
        if (lpName == nullptr) return ERROR_INVALID_PARAMETER;

        return onOpenKey(hKey, KEY_ENUMERATE_SUB_KEYS,
                         [&](RegistrySession&, const ResolvedKey& key, RegistryDatabase& db) -> LSTATUS {
                             std::string name;
                             LONG code = db.enumKey(key.id, dwIndex, name);
                             if (code != ERROR_SUCCESS) return code;
                             if (name.size() >= cchName) return ERROR_MORE_DATA;
                             std::memcpy(lpName, name.c_str(), name.size() + 1);
                             return ERROR_SUCCESS;
                         });
    });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return guard([&]() -> LSTATUS {
        if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;

        return onOpenKey(hKey, 0, [&](RegistrySession&, const ResolvedKey& base, RegistryDatabase& db) -> LSTATUS {
            std::vector<std::string> names;
            LONG code = ecran::win32::splitSubKeyPath(lpSubKey, ecran::win32::PathUse::Lookup, names);
            if (code == ERROR_FILE_NOT_FOUND) return notFoundUnlessDeleted(db, base.id);
            if (code != ERROR_SUCCESS) return code;
            return db.deleteKey(base.id, names);
        });
    });
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return guard([&]() -> LSTATUS {
        return onOpenKey(hKey, KEY_SET_VALUE,
                         [&](RegistrySession&, const ResolvedKey& key, RegistryDatabase& db) -> LSTATUS {
                             const std::string_view name = lpValueName != nullptr ? lpValueName : "";
                             if (name.size() > ecran::win32::kMaxValueNameLength)
                                 return notFoundUnlessDeleted(db, key.id);
                             return db.deleteValue(key.id, name);
                         });
    });
}

}  // extern "C"
