// The four values the UI thread and the script worker share. Nothing else crosses threads.
#pragma once

#include <atomic>
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
