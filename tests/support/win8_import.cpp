// A program that imports a function Windows 7 lacks (kernel32's GetSystemTimePreciseAsFileTime,
// new in Windows 8), as some mingw-w64 runtimes do: the import check must refuse it.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<int>(now.dwLowDateTime & 1);
}
