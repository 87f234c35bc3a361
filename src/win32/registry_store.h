#pragma once
// The registry store seen from outside the registry functions: where it
// lives, closing it, and the few calls a Windows program does not have
// (counting open handles, filling a key in one transaction). The functions
// themselves are in win32/registry_api.h.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "win32/registry_api.h"

namespace ecran::win32 {

// The store file: registry.db in configDirectory(), as it would be opened
// now; empty when there is no configuration directory (the functions then
// return ERROR_CANTOPEN and say why in lastRegistryStoreFailure()). The
// functions read XDG_CONFIG_HOME when they first open the store.
[[nodiscard]] std::string registryStorePath();

// Closes the store and forgets every open handle of this process (they
// then answer ERROR_INVALID_HANDLE). The next registry call opens the store
// anew, reading XDG_CONFIG_HOME again: tests call it after pointing
// XDG_CONFIG_HOME at a fresh directory. The store is also closed when the
// process exits (handles stay valid then), so that the last process to
// close it leaves all of it in registry.db.
void closeRegistryStore() noexcept;

// What went wrong the last time the store itself failed in this process
// (it could not be created, opened, read or written: busy, read-only, full,
// damaged), since clearRegistryStoreFailure(). Lets a program tell "the
// store could not be reached" from "nothing is stored", which RegistryKey
// and ProfileValue cannot tell their callers. Code ERROR_SUCCESS when none.
struct RegistryStoreFailure {
    LONG code = ERROR_SUCCESS;  // the code the registry function returned
    std::string path;           // the store file
    std::string what;           // such as "cannot write: the file may only be read; changes are refused"
};
[[nodiscard]] RegistryStoreFailure lastRegistryStoreFailure();
void clearRegistryStoreFailure() noexcept;

// How long a change waits for another process's change to end before it
// fails with ERROR_CANTWRITE (default 10 s). Reads never wait. Takes effect
// when the store is next opened.
inline constexpr std::chrono::milliseconds kRegistryStoreBusyTimeout{10000};
void setRegistryStoreBusyTimeout(std::chrono::milliseconds timeout) noexcept;

// At most this many handles are open at once in a process; beyond,
// opening or creating a key gives ERROR_NO_SYSTEM_RESOURCES.
inline constexpr std::size_t kMaxOpenRegistryHandles = 65536;

// Number of key handles open in this process; predefined roots, which are
// never opened, are not counted.
[[nodiscard]] std::size_t openRegistryHandleCount() noexcept;

struct RegistryValueEntry {
    std::string name;  // "" for the default value
    DWORD type = REG_SZ;
    std::string data;  // the bytes stored, exactly
};

// Sets all the values of the key behind `key` in one transaction: every one
// is stored or none (a key with 40000 values takes well under a second).
// Same rules and codes as RegSetValueExA (rights, name length, deleted key).
[[nodiscard]] LSTATUS setRegistryValues(HKEY key, const std::vector<RegistryValueEntry>& values);

// Creates every sub key path below `key` in one transaction, as
// RegCreateKeyExA would with no class; every one or none. Same codes as
// RegCreateKeyExA.
[[nodiscard]] LSTATUS createRegistrySubKeys(HKEY key, const std::vector<std::string>& subKeys);

}  // namespace ecran::win32
