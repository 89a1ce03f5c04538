// What the core needs from the operating system. Each backend (platform/linux, platform/win32)
// implements these; the core never includes a system header for them.
#pragma once

// --- Clock ---

// Seconds since the first call (that call takes the base and so returns about 0); never negative.
double GetElapsedSeconds();

// --- Event queue ---

// Posts a quit request with the exit code to the calling thread's own queue. Only that thread's
// event loop sees it: a request posted by the script worker reaches no loop.
void PlatformPostQuit(int exitCode);

// Takes the calling thread's pending quit request, if any.
bool PlatformTakeQuit(int* exitCode);

// --- Console ---

// Hides the console window attached to the process; does nothing when there is none.
void PlatformHideConsole();
