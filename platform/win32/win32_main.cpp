// Windows entry point: keeps the instance handle for the resource lookups, then runs the
// launcher's start-up. The command line, previous instance and show command are not used.
#include "app/startup.h"
#include "platform/win32/win32_backend.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    AppInstance = instance;
    return LauncherMain();
}
