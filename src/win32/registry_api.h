#pragma once
// advapi32's ANSI registry functions, over a SQLite store on this system
// (registry.db in $XDG_CONFIG_HOME/ecran/, default ~/.config/ecran/; the
// layout is described in win32/registry_database.h, the per-process helpers
// in win32/registry_store.h).
//
// The functions return Windows' codes and fill buffers as Windows does.
// Observed Windows behaviour that they reproduce, and the few places where
// they differ on purpose:
//
// Keys and paths
// - A sub key path is split at "\"; a run of backslashes counts as one
//   separator and trailing backslashes are ignored ("a", two backslashes,
//   "b", one backslash names the key a\b), as Windows parses key paths when
//   opening and when creating. A leading backslash gives ERROR_BAD_PATHNAME
//   (161), except that RegOpenKeyExA skips one leading backslash below
//   HKEY_CLASSES_ROOT, as Windows NT does.
// - A NULL or empty sub key path names the key itself: RegOpenKeyExA on a
//   predefined root then returns the root itself, on an open handle a new
//   handle; RegCreateKeyExA always returns a new handle (disposition 2).
// - Names are compared without regard to case (Windows-1252 upper-casing)
//   and keep the spelling they were first created with. Sub keys enumerate
//   in the order of their upper-cased names as Unicode, which is the order
//   Windows keeps; values enumerate in creation order (overwriting a value
//   keeps its place).
// - A key name longer than 255 characters cannot be created
//   (ERROR_INVALID_PARAMETER) and is never found (ERROR_FILE_NOT_FOUND);
//   likewise a value name longer than 16383 characters. A key may lie at
//   most 512 levels below its root (deeper: ERROR_INVALID_PARAMETER).
// - RegDeleteKeyA refuses a key that has sub keys and a root key
//   (ERROR_ACCESS_DENIED). A handle to a deleted key, in this or another
//   process, answers ERROR_KEY_DELETED (1018) to everything but
//   RegCloseKey, which succeeds.
//
// Handles and rights
// - NULL, closed or unknown handles give ERROR_INVALID_HANDLE (6). Handles
//   are small multiples of 4 below 0x80000000, handed out in increasing
//   order so that a closed value is not soon given again; at most 65536 are
//   open at once in a process (beyond: ERROR_NO_SYSTEM_RESOURCES, 1450).
// - The predefined roots are recognised by the low 32 bits of the handle,
//   so sign- and zero-extended forms both work; they carry every right and
//   RegCloseKey on them (or any value 0x8xxxxxxx) succeeds.
// - Each handle keeps the rights it was opened with (generic rights and
//   MAXIMUM_ALLOWED mapped as Windows maps them): queries and value
//   enumeration need KEY_QUERY_VALUE, sets and value deletion
//   KEY_SET_VALUE, RegEnumKeyA KEY_ENUMERATE_SUB_KEYS, else
//   ERROR_ACCESS_DENIED. As on Windows, opening, creating or deleting a key
//   below a handle does not look at that handle's rights (Windows checks
//   the key's security descriptor instead, and this store has none: every
//   root is writable by the user who owns the store file).
// - HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA hold no stored keys here: every
//   function but RegCloseKey answers ERROR_INVALID_HANDLE on them and
//   nothing is stored. Windows builds performance counters on the fly
//   there, and HKEY_DYN_DATA exists only on Windows 9x.
// - The five stored roots are independent trees: Windows' links between
//   them (HKEY_CLASSES_ROOT showing HKEY_LOCAL_MACHINE\SOFTWARE\Classes,
//   HKEY_CURRENT_USER being one of HKEY_USERS' sub keys) are not reproduced.
// - Security attributes are not read; REG_OPTION_VOLATILE keys are stored
//   like any other (there is no boot to forget them at); REG_OPTION_CREATE_LINK
//   is refused with ERROR_INVALID_PARAMETER as links are not supported.
//
// Values
// - RegSetValueExA stores exactly the bytes and size given, with the type
//   given. Windows NT silently adds one to the size of a string whose last
//   counted byte is not NUL when the byte after it is NUL, reading past the
//   caller's buffer to find out; this store does not read past cbData.
// - RegQueryValueExA and RegEnumValueA report the stored size. When a
//   REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value does not end with NUL and the
//   buffer has room for one more byte, a NUL is written after the data (as
//   Windows' ANSI functions do); the size reported stays the stored size.
// - A buffer too small gives ERROR_MORE_DATA with the size needed (and the
//   type) reported, and leaves the data buffer untouched (Windows leaves it
//   undefined). RegEnumValueA then also leaves the name buffer and its
//   length untouched, whichever of the two was too small.
// - A missing value gives ERROR_FILE_NOT_FOUND; with no data buffer the size
//   word is then set to 0, with one it is left as it was.
// - When RegQueryValueExA or RegEnumValueA fails with ERROR_FILE_NOT_FOUND,
//   ERROR_ACCESS_DENIED or ERROR_KEY_DELETED, a type word given is set to
//   REG_NONE (0), as Windows sets it.
// - RegEnumKeyA and RegEnumValueA refuse a NULL name buffer with
//   ERROR_INVALID_PARAMETER rather than write through it.
// - Reserved arguments: RegCreateKeyExA's Reserved and the lpReserved of
//   RegQueryValueExA and RegEnumValueA must be 0 (else
//   ERROR_INVALID_PARAMETER); RegSetValueExA ignores its Reserved, as
//   Windows does.
//
// Storage failures (the store cannot be created or opened, the disk is
// full, the file is not a registry store, another process kept the store
// locked longer than the busy timeout) return ERROR_CANTOPEN,
// ERROR_DISK_FULL, ERROR_BADDB, ERROR_CANTREAD or ERROR_CANTWRITE and are
// reported on stderr with the store's path; the file is never replaced. A
// store file its user may only read is read as usual, and every change
// answers ERROR_ACCESS_DENIED (RegCreateKeyExA of an existing key opens
// it). lastRegistryStoreFailure() in win32/registry_store.h tells what went
// wrong last.

#include "win32/win_types.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// The predefined root keys, 0x80000000-0x80000006 as 32-bit values.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))

// Error codes the registry functions return besides those of win_types.h.
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL 112L
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif
#ifndef ERROR_BADKEY
#define ERROR_BADKEY 1010L
#endif
#ifndef ERROR_NO_SYSTEM_RESOURCES
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#endif

// Access rights.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0xF003F
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_ALL 0x10000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_READ 0x80000000L

// Creation options and dispositions.
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L
#define REG_OPTION_DONT_VIRTUALIZE 0x00000010L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

extern "C" {

[[nodiscard]] LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                             DWORD dwOptions, REGSAM samDesired,
                                             const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                             LPDWORD lpdwDisposition);
[[nodiscard]] LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                           PHKEY phkResult);
[[nodiscard]] LSTATUS WINAPI RegCloseKey(HKEY hKey);
[[nodiscard]] LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                              LPBYTE lpData, LPDWORD lpcbData);
[[nodiscard]] LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                            const BYTE* lpData, DWORD cbData);
[[nodiscard]] LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                           LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
[[nodiscard]] LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
[[nodiscard]] LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
[[nodiscard]] LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

}  // extern "C"
