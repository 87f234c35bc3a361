#pragma once
// user32's ShowCursor. This system keeps the display counter that Windows
// keeps per thread; nothing else on Linux reads it, and the program never
// hides the cursor, so calling it changes nothing on screen.

#include "win32/win_types.h"

extern "C" {

// Raises (bShow true) or lowers the display counter by one and returns it.
int WINAPI ShowCursor(BOOL bShow);

}  // extern "C"
