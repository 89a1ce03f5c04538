#include "app/ui_wake.h"

#include "platform/platform.h"

std::atomic<bool> UiSleeping{false};

void WakeUi() {
    // Paired with the UI thread's store of true before its last look at what changed: either it
    // sees this change, or this sees it sleeping. Both sides are sequentially consistent.
    if (UiSleeping.load() && UiSleeping.exchange(false)) {
        PlatformWakeUi();
    }
}
