// Linux event queue: GLib's default main context, and quit requests kept per thread, as a Win32
// thread's message queue holds its own WM_QUIT.
#include <glib.h>

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

namespace {

thread_local bool QuitPending = false;
thread_local int QuitCode = 0;

} // namespace

void PlatformPostQuit(int exitCode) {
    QuitPending = true;
    QuitCode = exitCode;
}

bool PlatformTakeQuit(int* exitCode) {
    if (!QuitPending) {
        return false;
    }
    QuitPending = false;
    *exitCode = QuitCode;
    return true;
}

int LinuxDispatchedEventCode = 0;

bool PlatformWaitEvent(int* code) {
    if (PlatformTakeQuit(code)) {
        return false;
    }
    LinuxDispatchedEventCode = 0;
    g_main_context_iteration(nullptr, TRUE);
    *code = LinuxDispatchedEventCode;
    return true;
}
