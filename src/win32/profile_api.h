#pragma once
// kernel32's 8-bit private profile functions, over INI files on this system.
// A file name without a directory lives in this platform's "Windows
// directory": $XDG_CONFIG_HOME/ecran/ (default ~/.config/ecran/).

#include "win32/win_types.h"

extern "C" {

[[nodiscard]] DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                                    LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);

[[nodiscard]] BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                                     LPCSTR lpFileName);

}  // extern "C"
