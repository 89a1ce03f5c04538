// The splash window's handlers. Each backend translates its native events into these calls and
// nowhere else. Win32's WindowProc: WM_CREATE -> WindowOnCreate (-1 when it refuses), WM_TIMER ->
// WindowOnTimer(wParam), WM_NCHITTEST -> WindowOnHitTest(DefWindowProcW's answer), WM_COMMAND ->
// WindowOnCommand(LOWORD(wParam)), WM_DPICHANGED -> WindowOnDpiChanged(LOWORD(wParam)),
// WM_DESTROY -> WindowOnDestroy; all return 0 but the hit test.
// Linux: GTK's realize/destroy and button-press signals, and GLib timeouts.
#pragma once

struct PlatformWindow;

const unsigned RepaintTimerId = 1;
const unsigned RepaintPeriodMs = 30;
const unsigned DestroyWaitStepMs = 10;
const int ActionCommandId = 1;

// Hit-test answers, numbered as Win32's.
const int HitClient = 1;
const int HitCaption = 2;

// Window creation: lets clicks on the background's clear pixels through, starts the repaint timer
// and the script worker. False (after telling the user) when the worker could not be started; the
// backend then refuses the window.
bool WindowOnCreate(PlatformWindow* window);

// A timer tick: renders and presents the frame when it is the repaint timer, all four graphics
// objects exist and the frame would differ from the one shown (DrawFrameIfChanged), then shows a
// box the worker asked for. A tick that leaves nothing to do stops the repaint timer and sets
// UiSleeping; WakeUi starts it again.
void WindowOnTimer(PlatformWindow* window, unsigned timerId);

// The UI thread was woken (PlatformWakeUi): restarts a repaint timer stopped while idle, with a
// tick right away. Does nothing once the window is being destroyed.
void WindowOnWake(PlatformWindow* window);

// The window was moved to a monitor of another scale (Win32's WM_DPICHANGED; the backend has
// already put it where the system suggests): makes the pictures and the frame for dpi
// (SetSplashDpi) and presents a frame at once, at the new size, whether or not the repaint
// timer runs. When they cannot be made, the window keeps the earlier scale and the size of its
// frame.
void WindowOnDpiChanged(PlatformWindow* window, unsigned dpi);

// The default hit-test answer, turned into what the window wants: the client area becomes the
// caption, so a press and drag anywhere moves the window.
int WindowOnHitTest(int defaultAnswer);

// A command from outside the program; only id 1 is answered.
void WindowOnCommand(PlatformWindow* window, int commandId);

// Window destruction: stops the timer and the loop, then waits for the worker and closes the
// interpreter if the worker left it open. Returns once the worker has finished.
void WindowOnDestroy(PlatformWindow* window);
