// Waking the UI thread. A repaint tick that finds nothing to do stops the repaint timer (see
// WindowOnTimer), so an idle splash wakes for nothing; whatever changes what the UI thread shows or
// acts on then wakes it.
#pragma once

#include <atomic>

// Set by the UI thread when it stops its repaint timer, cleared by the wake.
extern std::atomic<bool> UiSleeping;

// Any thread, after changing what the UI thread shows or acts on (the progress, the status text,
// a box request, an exit request): a sleeping UI thread is woken (PlatformWakeUi) and ticks again.
void WakeUi();
