#include "win32/error_api.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

}  // extern "C"
