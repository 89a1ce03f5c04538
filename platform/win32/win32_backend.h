// State shared by the Win32 backend's files (user32, GDI and GDI+). The core never includes this.
#pragma once

#include <windows.h>

#include <gdiplus.h>

#include <string>

struct PlatformImage {
    Gdiplus::Bitmap* bitmap;
};

struct PlatformFrame {
    HBITMAP bitmap;
    // The frame's pixels (a 32-bit top-down or bottom-up DIB section), for clearing; null when
    // GDI gave a bitmap without reachable bits.
    void* bits;
    size_t byteCount;
};

struct PlatformWindow {
    HWND handle;
};

// The instance handle given to wWinMain; every resource lookup uses it (null means the program's
// own module too).
extern HINSTANCE AppInstance;

// Token from GdiplusStartup, handed back to GdiplusShutdown; 0 while GDI+ is not running.
extern ULONG_PTR GdiplusToken;

// Widens bytes as the -A calls read them (the active ANSI code page); false with GetLastError set
// on failure.
bool WidenFromAnsi(const std::string& text, std::wstring* wide);

// UTF-16 from the system as UTF-8; false with GetLastError set on failure.
bool Win32Utf8FromWide(const std::wstring& wide, std::string* text);

// "<path>: <the system's message for error>", without the message's closing period and line
// break, in the ANSI code page like the paths.
std::string Win32SystemReason(const std::string& path, DWORD error);

// The splash window's class name, "GameLauncherClass".
extern const wchar_t LauncherWindowClass[];
