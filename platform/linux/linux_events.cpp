// Linux quit requests: one per thread, as a Win32 thread's message queue holds its own WM_QUIT.
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
