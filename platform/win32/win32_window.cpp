// Win32 splash window: the layered popup of class GameLauncherClass, its window procedure, the
// repaint timer and the message queue. WindowProc only translates messages into the core's
// window handlers.
#include <atomic>

#include "app/window_procedure.h"
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

const wchar_t LauncherWindowClass[] = L"GameLauncherClass";

namespace {

// WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX: never drawn, as every pixel comes from
// the layered update, but the system menu's close command stays available.
const DWORD WindowStyle = 0x10ca0000;

// The program has one window; its handle is known from WM_CREATE on, inside CreateWindowExW.
PlatformWindow MainWindowState{nullptr};

// Posted by PlatformWakeUi; the window's own message, so a modal box's loop dispatches it too.
const UINT WakeMessage = WM_APP + 1;

// The window wake-ups are posted to, from WM_CREATE until WM_DESTROY; read by any thread. A wake
// posted as the window goes is dropped with the window.
std::atomic<HWND> WakeTarget{nullptr};

// The last message retrieved; its wParam is the program's exit code.
MSG LastMessage{};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        MainWindowState.handle = window;
        WakeTarget.store(window);
        // -1 makes CreateWindowExW destroy the window and give no handle.
        return WindowOnCreate(&MainWindowState) ? 0 : -1;
    case WM_DESTROY:
        WakeTarget.store(nullptr);
        WindowOnDestroy(&MainWindowState);
        return 0;
    case WM_NCHITTEST:
        return WindowOnHitTest(static_cast<int>(DefWindowProcW(window, message, wParam, lParam)));
    case WM_COMMAND:
        WindowOnCommand(&MainWindowState, LOWORD(wParam));
        return 0;
    case WM_TIMER:
        WindowOnTimer(&MainWindowState, static_cast<unsigned>(wParam));
        return 0;
    case WM_DPICHANGED: {
        // Dragged onto a monitor of another scale (per-monitor awareness): the system's
        // suggested place keeps the window where the drag put it; the new frame gives the size.
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        WindowOnDpiChanged(&MainWindowState, LOWORD(wParam));
        return 0;
    }
    case WakeMessage:
        WindowOnWake(&MainWindowState);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

PlatformWindow* PlatformCreateWindow(const std::wstring& title, int x, int y, unsigned width,
                                     unsigned height) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = AppInstance;
    windowClass.lpszClassName = LauncherWindowClass;
    // Not tested: a failed registration shows up as a failed creation.
    RegisterClassW(&windowClass);

    HWND handle = CreateWindowExW(WS_EX_LAYERED, LauncherWindowClass, title.c_str(), WindowStyle, x,
                                  y, static_cast<int>(width), static_cast<int>(height), nullptr,
                                  nullptr, AppInstance, nullptr);
    if (handle == nullptr) {
        MainWindowState.handle = nullptr;
        return nullptr;
    }
    return &MainWindowState;
}

// A layered window updated with per-pixel alpha already lets presses on its clear pixels through.
void PlatformSetClickThrough(PlatformWindow* /*window*/, const PlatformImage* /*picture*/) {}

void PlatformStartTimer(PlatformWindow* window, unsigned id, unsigned periodMs) {
    if (window != nullptr) {
        SetTimer(window->handle, id, periodMs, nullptr);
    }
}

void PlatformWakeUi() {
    const HWND target = WakeTarget.load();
    if (target != nullptr) {
        PostMessageW(target, WakeMessage, 0, 0);
    }
}

void PlatformStopTimer(PlatformWindow* window, unsigned id) {
    if (window != nullptr) {
        KillTimer(window->handle, id);
    }
}

bool PlatformWaitEvent(int* code) {
    const BOOL got = GetMessageW(&LastMessage, nullptr, 0, 0);
    if (got == 0 || got == -1) {
        // WM_QUIT; -1 (a broken queue) would otherwise spin here for ever.
        *code = static_cast<int>(LastMessage.wParam);
        return false;
    }
    TranslateMessage(&LastMessage);
    DispatchMessageW(&LastMessage);
    *code = static_cast<int>(LastMessage.wParam);
    return true;
}

void PlatformUpdateWindow(PlatformWindow* window) {
    UpdateWindow(window->handle);
}
