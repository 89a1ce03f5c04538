// Windows entry point: starts the log, keeps the instance handle for the resource lookups, then
// runs the launcher's start-up. The command line, previous instance and show command are not used.
#include "app/launcher_log.h"
#include "app/startup.h"
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    // Two launchers would write the same archive at once. The second ends before it writes
    // anything, the log included; it only brings the first one's window to the front.
    if (!PlatformClaimSingleInstance()) {
        PlatformBringRunningLauncherToFront();
        return 0;
    }
    PlatformStartLog();
    AppInstance = instance;
    const int exitCode = LauncherMain();
    EndNowIfThreadsRun(exitCode, EndLauncherLog());
    return exitCode;
}
