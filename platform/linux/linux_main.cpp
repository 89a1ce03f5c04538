// Linux entry point: opens the display through GTK, then runs the launcher's start-up.
#include <cstdio>

#include <gtk/gtk.h>

#include "app/startup.h"

int main() {
    // The launcher reads no arguments, so GTK is given none either.
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fputs("launcher: cannot open the display\n", stderr);
        return 1;
    }
    return LauncherMain();
}
