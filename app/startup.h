// The launcher's start-up, main loop and release of the graphics objects, the same on every
// platform. A backend's entry point prepares its toolkit and returns LauncherMain().
#pragma once

// Loads the pictures, creates the window, shows the first frame, runs the loop while AppRunning
// is set, releases everything and returns the exit code: 1 after a background failure (or a
// worker that could not start), 0 after a refused window or a closed one, the code of ExitApp,
// or the code a quit request carried. The entry points claim the one-launcher lock before it.
int LauncherMain();

// Releases the pictures scaled for the monitor, then FrameBitmap, BackgroundImage, TrackImage and
// FillImage, in that order and each only if present, then stops the picture library.
void ShutdownGraphics();

// Left or top coordinate that centres size in screenSize pixels (the work area's width or
// height); 0 when the area is not larger, so the window never starts off it.
int CentredOrigin(int screenSize, unsigned size);

// Handles events while AppRunning is set; returns the exit request's code (0 without one), or the
// code of a quit request that ended the loop.
int RunMessageLoop();

// Called by the entry points after the log has ended: when the script worker or the logger is
// still running (each was given its time), ends the process at once with the code, streams
// flushed, without the static destructors and library clean-ups that exit would run under them.
void EndNowIfThreadsRun(int exitCode, bool logEnded);
