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

namespace {

// Under StatusLock: makes text the one to show; text then holds the one it replaced.
void SwapIn(std::wstring& text) {
    if (text == HandedOver) {
        return;
    }
    HandedOver.swap(text);
    Generation.fetch_add(1);
    WakeUi();
}

} // namespace

void HandOverStatus(std::wstring text) {
    // A swap under the lock: the old text is freed by the caller's frame, after the unlock.
    std::lock_guard<std::mutex> lock(StatusLock);
    SwapIn(text);
}

std::wstring HandOverStatusFor(std::wstring text) {
    std::lock_guard<std::mutex> lock(StatusLock);
    SwapIn(text); // an equal text stays, and is also what comes back
    return text;
}

void RestoreStatus(const std::wstring& shown, std::wstring previous) {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (HandedOver == shown) {
        SwapIn(previous);
    }
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
