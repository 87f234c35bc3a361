#pragma once
// RegistryKey: an object that holds at most one open registry key and reads,
// writes, lists and deletes through it, with the class's own error
// convention (Error with the registry function's code as number, a
// "RegistryKey." source and a fixed English description).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry_value.h"
#include "win32/registry_api.h"

namespace ecran::registry {

// A list of names in the registry's enumeration order. Element 1 of the list
// is names[0]: callers that count from 1 subtract one. An empty vector is a
// list with no names; "no result" (a failed enumeration) is std::nullopt.
using NameList = std::vector<std::string>;

// The largest number of names a list holds: the count is a 16-bit signed
// number.
inline constexpr std::size_t kMaxListedNames = 32767;

// Sizes of the name buffer that the list operations give the registry.
inline constexpr DWORD kValueNamesBufferSize = 4096;
inline constexpr DWORD kSubNamesBufferSize = 512;

// How many times value() reads a value that changes under it (the size
// step and the read step disagree because another process wrote or deleted
// it between them) before it keeps what the last read gave.
inline constexpr int kValueReadAttempts = 8;

// The function through which the class queries values: RegQueryValueExA.
// Tests put another in its place to change a value between the two queries
// of a read, as another process may; null puts RegQueryValueExA back. The
// previous function is returned.
using QueryValueFunction = decltype(&RegQueryValueExA);
QueryValueFunction exchangeQueryValueFunction(QueryValueFunction f) noexcept;

class RegistryKey {
public:
    // A new object holds no key: handle() is 0.
    RegistryKey() noexcept = default;

    // Closes the held key as CloseKey does. A destructor must not throw, so
    // an error raised by that close is written into the last-error record
    // (source "RegistryKey.CloseKey") instead of propagating; the handle is
    // then lost with the object.
    ~RegistryKey();

    // One object owns one handle: copying would close it twice.
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Closes the held key, then creates (or opens) sSubkey below hkeyRoot.
    // True when the key was created, false when an existing key was opened
    // (handle() not 0) or when the creation failed (handle() 0). A registry
    // failure raises nothing; only the first close can raise.
    bool CreateKey(HKEY hkeyRoot, const std::string& sSubkey, const std::string& sClass = "",
                   DWORD lOptions = REG_OPTION_NON_VOLATILE, DWORD lRights = KEY_ALL_ACCESS);

    // Closes the held key, then opens sSubkey below hkeyRoot with lRights.
    // With exactly KEY_WRITE a missing key is created first; no other rights
    // create anything. A key that cannot be opened leaves handle() 0 and
    // raises nothing.
    void OpenKey(HKEY hkeyRoot, const std::string& sSubkey, DWORD lRights);

    // Closes the held key, if any. A refused close raises
    // (code, "RegistryKey.CloseKey", ...) and keeps the handle, so that a
    // later close or the destruction tries again.
    void CloseKey();

    // The held key, 0 when none.
    [[nodiscard]] HKEY handle() const noexcept { return hKey_; }

    // The named value of the held key as text, whatever its type: its bytes
    // less the last one (a string's NUL). Runs in continue-on-error mode:
    // clears the last-error record, records failures and returns what it
    // could read (empty text for a missing value or no key held). A value
    // that another process changes between the size query and the read is
    // read again, up to kValueReadAttempts times; the result holds only
    // bytes that one read returned, never padding.
    [[nodiscard]] std::string value(const std::string& sName) const;

    // Stores the text form of vValue as a REG_SZ value with its NUL. The
    // registry's code is ignored: a refused write is lost without a trace.
    // Raises only when vValue has no text form (nothing is written then).
    void setValue(const std::string& sName, const RegistryValue& vValue);

    // Names of the held key's values, the default value (empty name)
    // left out. Raises (code, "RegistryKey.GetValues", ...) when the
    // enumeration fails, and the overflow error past 32767 names.
    [[nodiscard]] NameList ValueNames() const;

    // Names of the held key's sub keys. Continue-on-error mode: a failed
    // enumeration is recorded and gives no result; past 32767 names the
    // overflow is recorded and every further name replaces the last element.
    [[nodiscard]] std::optional<NameList> SubKeyNames() const;

    // Deletes sSubkey below hkeyRoot (not below the held key; the handle is
    // left as it is). Raises (code, "RegistryKey.DeleteKey", ...).
    void DeleteKey(HKEY hkeyRoot, const std::string& sSubkey);

    // Deletes sSubkey below the held key. Raises
    // (code, "RegistryKey.DeleteSubKey", ...).
    void DeleteSubKey(const std::string& sSubkey);

    // Deletes the named value of the held key. Raises
    // (code, "RegistryKey.DeleteValue", ...).
    void DeleteValue(const std::string& sName);

    // Names of the held key's values, the default value included as empty
    // text. Continue-on-error mode like SubKeyNames; names of 512 characters
    // or more end the enumeration with a recorded ERROR_MORE_DATA.
    [[nodiscard]] std::optional<NameList> SubValueNames() const;

private:
    // Size in bytes of the named value's data. Raises
    // (code, "RegistryKey.GetRegistryValueLen", ...).
    [[nodiscard]] DWORD GetRegistryValueLen(const std::string& sName) const;

    HKEY hKey_ = nullptr;
};

}  // namespace ecran::registry
