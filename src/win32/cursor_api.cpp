#include "win32/cursor_api.h"

namespace {
// Windows starts the counter at 0 where a mouse is installed: the cursor shows
// while the counter is 0 or more.
thread_local int displayCounter = 0;
}  // namespace

extern "C" int WINAPI ShowCursor(BOOL bShow) {
    displayCounter += bShow ? 1 : -1;
    return displayCounter;
}
