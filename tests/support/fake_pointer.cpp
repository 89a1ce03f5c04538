#include "tests/support/fake_pointer.h"

#include <X11/extensions/XTest.h>
#include <gdk/gdkx.h>

namespace {

Display* DefaultXDisplay() {
    return GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
}

} // namespace

void FakePointerMove(int x, int y) {
    XTestFakeMotionEvent(DefaultXDisplay(), -1, x, y, CurrentTime);
    XFlush(DefaultXDisplay());
}

void FakePointerButton(bool pressed) {
    XTestFakeButtonEvent(DefaultXDisplay(), 1, pressed ? True : False, CurrentTime);
    XFlush(DefaultXDisplay());
}
