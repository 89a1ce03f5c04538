// Win32 console: hides the console window attached to the process, if there is one.
#include <windows.h>

#include "platform/platform.h"

void PlatformHideConsole() {
    // With no console GetConsoleWindow gives null, and ShowWindow on null does nothing.
    ShowWindow(GetConsoleWindow(), SW_HIDE);
}
