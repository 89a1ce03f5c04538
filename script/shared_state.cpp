#include "script/shared_state.h"

#include <condition_variable>
#include <limits>
#include <mutex>

std::atomic<int32_t> ProgressPercent{0};
std::atomic<bool> AppRunning{true};
std::atomic<bool> ScriptBusy{false};
lua_State* ScriptState = nullptr;

namespace {

// One atomic value, so the UI thread that sees AppRunning cleared always sees the code with it.
constexpr int64_t NoExitRequest = std::numeric_limits<int64_t>::min();
std::atomic<int64_t> ExitRequest{NoExitRequest};

// Only for waking WaitUnlessClosing: AppRunning stays the one place the state lives.
std::mutex ClosingLock;
std::condition_variable ClosingSignal;

} // namespace

bool LauncherClosing() {
    return !AppRunning.load();
}

void RequestExit(int32_t code) {
    int64_t none = NoExitRequest;
    ExitRequest.compare_exchange_strong(none, code);
    AppRunning.store(false);
    // Taking the lock after the store: a waiter either saw AppRunning cleared under the lock, or
    // is already waiting and gets this notification.
    std::lock_guard<std::mutex> lock(ClosingLock);
    ClosingSignal.notify_all();
}

bool WaitUnlessClosing(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(ClosingLock);
    return !ClosingSignal.wait_for(lock, duration, [] { return LauncherClosing(); });
}

int32_t RequestedExitCode(int32_t fallback) {
    const int64_t request = ExitRequest.load();
    return request == NoExitRequest ? fallback : static_cast<int32_t>(request);
}

void ResetExitRequest() {
    ExitRequest.store(NoExitRequest);
    AppRunning.store(true);
}
