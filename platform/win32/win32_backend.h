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

// UTF-8 text as UTF-16 for the -W calls; false, with GetLastError set, for bytes that are not
// UTF-8 (never replaced: the text would name another file).
bool Win32WideFromUtf8(const std::string& text, std::wstring* wide);

// UTF-16 from the system as the program's UTF-8; false with GetLastError set on failure.
bool Win32Utf8FromWide(const std::wstring& wide, std::string* text);

// A UTF-8 path for the -W file calls: Win32WideFromUtf8, and a path too long for the calls'
// MAX_PATH limit made absolute and given the \\?\ prefix, which lifts it. Every file call of the
// backend converts its path here.
bool Win32WidePath(const std::string& path, std::wstring* wide);

// "<path>: <the system's message for error>", without the message's closing period and line
// break, in UTF-8 like the paths.
std::string Win32SystemReason(const std::string& path, DWORD error);

// The splash window's class name, "GameLauncherClass".
extern const wchar_t LauncherWindowClass[];
