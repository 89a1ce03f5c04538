// Win32: one launcher per user at a time, through a named mutex in the session's namespace. A
// second launcher brings the running one's window to the front and ends.
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// Held, never closed, for the process's life; not inherited by the started client.
HANDLE InstanceMutex = nullptr;

std::wstring MutexName() {
    std::wstring name = L"Local\\GameLauncher.SingleInstance";
    wchar_t user[257];
    DWORD size = 257;
    // Local\ is per session; the user name keeps another user of the session (runas) apart.
    if (GetUserNameW(user, &size) && size > 1) {
        name += L".";
        name += user;
    }
    return name;
}

} // namespace

void PlatformBringRunningLauncherToFront() {
    HWND running = FindWindowW(LauncherWindowClass, nullptr);
    if (running == nullptr) {
        return;
    }
    if (IsIconic(running)) {
        ShowWindow(running, SW_RESTORE);
    }
    // Allowed because the user just started us; otherwise Windows flashes the taskbar instead.
    SetForegroundWindow(running);
}

bool PlatformClaimSingleInstance() {
    if (InstanceMutex != nullptr) {
        return true;
    }
    HANDLE mutex = CreateMutexW(nullptr, FALSE, MutexName().c_str());
    if (mutex == nullptr) {
        return true; // without a mutex the launcher runs unguarded rather than not at all
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    InstanceMutex = mutex;
    return true;
}
