#include "app/status_line.h"

#include <atomic>
#include <mutex>

#include "app/ui_wake.h"

namespace {

std::mutex StatusLock;
std::wstring HandedOver; // guarded by StatusLock
std::atomic<uint32_t> Generation{0};

// The UI thread's own copy, so drawing never holds the lock.
std::wstring Taken;
uint32_t TakenGeneration = 0;

} // namespace

void HandOverStatus(std::wstring text) {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (text == HandedOver) {
        return;
    }
    // A swap under the lock: the old text is freed by the caller's frame, after the unlock.
    HandedOver.swap(text);
    Generation.fetch_add(1);
    WakeUi();
}

// Sequentially consistent, as WakeUi's pairing with the UI thread's last look asks.
uint32_t StatusGeneration() {
    return Generation.load();
}

const std::wstring& TakeStatus() {
    if (Generation.load(std::memory_order_acquire) != TakenGeneration) {
        std::lock_guard<std::mutex> lock(StatusLock);
        Taken = HandedOver;
        TakenGeneration = Generation.load(std::memory_order_relaxed);
    }
    return Taken;
}

uint32_t TakenStatusGeneration() {
    return TakenGeneration;
}
