// Message boxes the script asks for. The worker cannot show a box itself (GTK belongs to the UI
// thread, and a Win32 box of its own would outlive the splash), so it hands the request to the UI
// thread, which shows it on its next tick, and waits until the box is closed.
//
// The hand-off can never deadlock against the destroy handler, which waits on the UI thread for
// the worker to finish: the destroy handler first closes the hand-off, which releases a worker
// waiting for a box and dismisses a box being shown, and a worker that asks afterwards (or once
// the launcher is closing) returns at once without a box.
#pragma once

#include <string>

struct PlatformWindow;

// Worker: shows the box (error icon, one OK button) above the splash and returns once it is
// closed. Without a window (no hand-off was ever opened) the box is shown on the calling thread.
// Returns at once, showing nothing, once the launcher is closing.
void ShowScriptMessage(const std::wstring& text, const std::wstring& title);

// UI thread, when the window is created: from now on boxes are handed to ShowPendingMessage.
void OpenMessageHandOff();

// UI thread, on each tick: shows the box a worker waits for, if any. Re-entered ticks (the box's
// own event loop dispatches them) do nothing while it is up.
void ShowPendingMessage(PlatformWindow* window);

// UI thread: whether a worker waits for a box that is not shown yet.
bool MessageWaiting();

// UI thread, when the window is destroyed: releases a waiting worker, dismisses a box being
// shown, and refuses every later request.
void CloseMessageHandOff();

// Tests: back to the state before any window (requests are shown on the calling thread).
void ResetMessageHandOff();
