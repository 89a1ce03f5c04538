#include "app/ui_state.h"

#include "platform/platform.h"
#include "script/script_runner.h"

PlatformImage* BackgroundImage = nullptr;
PlatformImage* TrackImage = nullptr;
PlatformImage* FillImage = nullptr;
unsigned BackgroundWidth = 0;
unsigned BackgroundHeight = 0;
PlatformFrame* FrameBitmap = nullptr;
PlatformWindow* MainWindow = nullptr;
bool WorkerStartFailed = false;
MessageBoxFunction MessageBoxSink = PlatformMessageBox;
WorkerFunction WorkerEntry = ScriptThread;
