#pragma once
// kernel32's 8-bit private profile functions, over INI files on this system.
// A file name without a directory lives in this platform's "Windows
// directory": $XDG_CONFIG_HOME/ecran/ (default ~/.config/ecran/). File
// names are Windows-1252 text; the file system sees them in UTF-8.
//
// Each call sets the last error (GetLastError, error_api.h): ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND for a read of a missing file, or the code of the
// failure: ERROR_ACCESS_DENIED for a file that is read-only or not this
// user's to write, ERROR_SHARING_VIOLATION when another process held the
// file's lock longer than a write waits (try again later).

#include "win32/win_types.h"

extern "C" {

[[nodiscard]] DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                                    LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);

[[nodiscard]] BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                                     LPCSTR lpFileName);

}  // extern "C"
