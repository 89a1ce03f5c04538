// The values the UI thread and the script worker share. Nothing else crosses threads, but the
// message-box hand-off of the window (app/message_hand_off.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

struct lua_State;

// Script's fraction done times 100, truncated, not clamped; the renderer clamps.
extern std::atomic<int32_t> ProgressPercent;
// The UI loop runs while set; cleared by ExitApp and by the window's destroy handler.
extern std::atomic<bool> AppRunning;
// True while the worker owns the interpreter; the destroy handler waits for it to go false.
extern std::atomic<bool> ScriptBusy;
// The program's one interpreter, or null. Read by the UI thread only once ScriptBusy is false.
extern lua_State* ScriptState;

// The launcher is ending (the window is being destroyed, or the script called ExitApp): long
// work on the worker (a transfer, an extraction) stops between blocks, and nothing new is started.
bool LauncherClosing();

// Waits on the calling thread (the worker) for `duration`: true once it has passed, false at once
// or as soon as the launcher is closing, which RequestExit signals without any polling.
bool WaitUnlessClosing(std::chrono::milliseconds duration);

// Ends the launcher with this exit code: clears AppRunning and wakes WaitUnlessClosing. The first
// request's code stays, so a failure that the window's close itself caused cannot turn a closed
// window into a failed run. A request from another thread than the UI thread is followed by WakeUi
// (app/ui_wake.h).
void RequestExit(int32_t code);

// The code of the first exit request, or fallback when none was made.
int32_t RequestedExitCode(int32_t fallback);

// Forgets any exit request and sets AppRunning again (tests that run the launcher several times).
void ResetExitRequest();
