// Drives the X pointer as a user would (XTest), for window tests under Xvfb. Kept apart from the
// test files because X11's macros (None, Bool) break GoogleTest's headers.
#pragma once

// Moves the pointer to screen coordinates.
void FakePointerMove(int x, int y);

// Presses or releases the first button where the pointer is.
void FakePointerButton(bool pressed);
