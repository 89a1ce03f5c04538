// The splash window's state: set up by the start-up routine, read by the window handlers. Touched
// only by the UI thread.
#pragma once

#include <string>

struct PlatformImage;
struct PlatformFrame;
struct PlatformWindow;

// Resource ids of the three pictures (type "PNG").
const int IdBackground = 131;
const int IdTrack = 133;
const int IdFill = 135;

extern PlatformImage* BackgroundImage;
extern PlatformImage* TrackImage;
extern PlatformImage* FillImage;
extern unsigned BackgroundWidth;
extern unsigned BackgroundHeight;
extern PlatformFrame* FrameBitmap;
extern PlatformWindow* MainWindow;

// Set when the create handler could not start the script worker; start-up then ends with 1.
extern bool WorkerStartFailed;

// Where message boxes go. The platform's modal box; tests record instead, as nobody is there to
// press OK.
using MessageBoxFunction = void (*)(PlatformWindow* owner, const std::wstring& text,
                                    const std::wstring& title, unsigned flags);
extern MessageBoxFunction MessageBoxSink;

// Body of the worker thread the window starts: ScriptThread, or a test's own.
using WorkerFunction = void (*)(const std::string& scriptName);
extern WorkerFunction WorkerEntry;
