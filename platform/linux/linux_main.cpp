// Linux entry point: starts the log, opens the display through GTK, then runs the launcher's
// start-up.
#include <cstdio>

#include <gtk/gtk.h>

#include "app/launcher_log.h"
#include "app/startup.h"
#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

int main() {
    // Read while this is the only thread: where /proc cannot tell it, reading means changing it.
    LinuxUmask();
    // Two launchers would write the same archive at once. The second ends before it writes
    // anything, the log included; it only brings the first one's window to the front.
    if (!PlatformClaimSingleInstance()) {
        if (gtk_init_check(nullptr, nullptr)) {
            PlatformBringRunningLauncherToFront();
        }
        return 0;
    }
    // Before GTK, so that its own complaints are in the log too.
    PlatformStartLog();
    int exitCode = 1;
    // The launcher reads no arguments, so GTK is given none either.
    if (gtk_init_check(nullptr, nullptr)) {
        exitCode = LauncherMain();
    } else {
        std::fputs("launcher: cannot open the display\n", stderr);
    }
    EndNowIfThreadsRun(exitCode, EndLauncherLog());
    return exitCode;
}
