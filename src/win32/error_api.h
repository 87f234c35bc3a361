#pragma once
// kernel32's last-error value: the Windows code a failing function of this
// folder leaves for its caller to read, one value per thread, as on Windows.

#include "win32/win_types.h"

// The codes the profile functions leave, besides those of win_types.h.
#define ERROR_SHARING_VIOLATION 32L  // another process holds the file's lock
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_DISK_FULL 112L

extern "C" {

[[nodiscard]] DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

}  // extern "C"
