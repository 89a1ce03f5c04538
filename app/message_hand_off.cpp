#include "app/message_hand_off.h"

#include <condition_variable>
#include <mutex>

#include "app/ui_state.h"
#include "app/ui_wake.h"
#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

enum class HandOff {
    NoWindow, // boxes are shown by the thread that asks
    Open,     // the UI thread shows them
    Closed,   // the window is gone: nothing is shown any more
};

struct MessageRequest {
    std::wstring text;
    std::wstring title;
    bool pending = false; // a worker waits for this box
    bool showing = false; // the UI thread is showing it
};

std::mutex HandOffLock;
std::condition_variable HandOffChanged;
HandOff State = HandOff::NoWindow;
MessageRequest Request;

} // namespace

void ShowScriptMessage(const std::wstring& text, const std::wstring& title) {
    if (LauncherClosing()) {
        return;
    }
    std::unique_lock<std::mutex> lock(HandOffLock);
    if (State == HandOff::Closed) {
        return;
    }
    if (State == HandOff::NoWindow) {
        lock.unlock();
        MessageBoxSink(nullptr, text, title, MessageBoxIconError);
        return;
    }
    Request.text = text;
    Request.title = title;
    Request.pending = true;
    WakeUi();
    HandOffChanged.wait(lock, [] { return !Request.pending || State == HandOff::Closed; });
    Request.pending = false;
}

void OpenMessageHandOff() {
    std::lock_guard<std::mutex> lock(HandOffLock);
    State = HandOff::Open;
}

void ShowPendingMessage(PlatformWindow* window) {
    std::unique_lock<std::mutex> lock(HandOffLock);
    if (State != HandOff::Open || !Request.pending || Request.showing) {
        return;
    }
    Request.showing = true;
    const std::wstring text = Request.text;
    const std::wstring title = Request.title;
    lock.unlock();
    // Modal: the box runs its own event loop, which keeps the splash's ticks coming.
    MessageBoxSink(window, text, title, MessageBoxIconError);
    lock.lock();
    Request.showing = false;
    Request.pending = false;
    HandOffChanged.notify_all();
}

bool MessageWaiting() {
    std::lock_guard<std::mutex> lock(HandOffLock);
    return State == HandOff::Open && Request.pending && !Request.showing;
}

void CloseMessageHandOff() {
    bool showing = false;
    {
        std::lock_guard<std::mutex> lock(HandOffLock);
        State = HandOff::Closed;
        showing = Request.showing;
        HandOffChanged.notify_all();
    }
    if (showing) {
        PlatformDismissMessageBoxes();
    }
}

void ResetMessageHandOff() {
    std::lock_guard<std::mutex> lock(HandOffLock);
    State = HandOff::NoWindow;
    Request = MessageRequest();
}
