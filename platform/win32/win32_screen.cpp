// Win32 screen: the primary monitor's work area and DPI. The program declares itself per-monitor
// DPI aware in its manifest (v2 on Windows 10 1703 and later, v1 on 8.1, system aware on 7 and 8),
// so the coordinates here are the monitor's own pixels. The DPI functions of Windows 8.1 and
// later are looked up at run time: importing them would keep the program from starting on
// Windows 7 at all.
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// shcore.dll's GetDpiForMonitor (Windows 8.1 and later); MDT_EFFECTIVE_DPI is 0.
using GetDpiForMonitorFunction = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
const int EffectiveDpi = 0;

HMONITOR PrimaryMonitor() {
    // The primary monitor's top-left corner is the origin of the virtual screen.
    return MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
}

// The monitor's own DPI where Windows has one per monitor; 0 where it has not.
unsigned MonitorDpi(HMONITOR monitor) {
    // From the system folder only, never a planted copy beside the program. Windows 7 without
    // KB2533623 refuses the flag, and has no shcore.dll to find anyway.
    HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shcore == nullptr) {
        return 0;
    }
    // Cast through a generic pointer: GetProcAddress's FARPROC is no function of this type.
    const auto getDpiForMonitor = reinterpret_cast<GetDpiForMonitorFunction>(
        reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")));
    UINT dpiX = 0;
    UINT dpiY = 0;
    const bool found = getDpiForMonitor != nullptr &&
                       SUCCEEDED(getDpiForMonitor(monitor, EffectiveDpi, &dpiX, &dpiY));
    FreeLibrary(shcore);
    return found ? dpiX : 0;
}

// The system's DPI (Windows 7 and 8, or any where the monitor's is not known); 96 for a program
// Windows keeps unaware of the scale.
unsigned SystemDpi() {
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        return 96;
    }
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<unsigned>(dpi) : 96;
}

} // namespace

void PlatformWorkArea(int* x, int* y, int* width, int* height) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(PrimaryMonitor(), &info)) {
        *x = info.rcWork.left;
        *y = info.rcWork.top;
        *width = info.rcWork.right - info.rcWork.left;
        *height = info.rcWork.bottom - info.rcWork.top;
        return;
    }
    *x = 0;
    *y = 0;
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

unsigned PlatformScreenDpi() {
    const unsigned dpi = MonitorDpi(PrimaryMonitor());
    return dpi != 0 ? dpi : SystemDpi();
}
