// Win32 quit requests: WM_QUIT in the calling thread's own message queue.
#include <windows.h>

#include "platform/platform.h"

void PlatformPostQuit(int exitCode) {
    PostQuitMessage(exitCode);
}

bool PlatformTakeQuit(int* exitCode) {
    MSG message;
    // Only this thread's queue is read: a quit posted by another thread is not seen here.
    if (!PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        return false;
    }
    *exitCode = static_cast<int>(message.wParam);
    return true;
}
