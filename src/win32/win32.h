#pragma once
// The Windows facilities this system calls, under their Windows names, for a
// program that would otherwise include <windows.h>.

#include "win32/win_types.h"
#include "win32/cursor_api.h"
#include "win32/error_api.h"
#include "win32/profile_api.h"
#include "win32/registry_api.h"
