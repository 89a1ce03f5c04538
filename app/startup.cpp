#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/image_resources.h"
#include "app/render.h"
#include "app/splash_scale.h"
#include "app/ui_state.h"
#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

const wchar_t* const WindowTitle = L"Game Launcher";

int CriticalError(const wchar_t* text) {
    MessageBoxSink(nullptr, text, L"Critical Error", MessageBoxIconError);
    ShutdownGraphics();
    return 1;
}

// The background is loaded inline, with messages of its own; on failure returns the exit code.
bool LoadBackground(int* exitCode) {
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    const ResourceStatus found = PlatformFindResource("PNG", IdBackground, &bytes, &size);
    if (found == ResourceStatus::NotFound) {
        *exitCode = CriticalError(L"Background PNG resource (IDB_BG) not found.");
        return false;
    }
    int status = 0;
    if (found == ResourceStatus::Found) {
        BackgroundImage = PlatformDecodePng(bytes, size, &status);
    }
    if (BackgroundImage == nullptr) {
        *exitCode = CriticalError(L"Failed to load background PNG (IDB_BG) or GDI+ error.");
        return false;
    }
    return true;
}

} // namespace

int LauncherMain() {
    PlatformStartGraphics();
    // A missing bar picture has been reported and only costs the bar; start-up goes on.
    TrackImage = LoadPngResource(IdTrack);
    FillImage = LoadPngResource(IdFill);

    int exitCode = 0;
    if (!LoadBackground(&exitCode)) {
        return exitCode;
    }
    BackgroundWidth = PlatformImageWidth(BackgroundImage);
    BackgroundHeight = PlatformImageHeight(BackgroundImage);
    // Without a frame the window is never presented and so never shows; not reported.
    FrameBitmap = PlatformCreateFrame(BackgroundImage);
    if (BackgroundWidth == 0 || BackgroundHeight == 0) {
        return CriticalError(L"Background dimensions are zero.");
    }

    // At the primary monitor's scale; pictures that cannot be made at it leave the splash at
    // 100 %, small but sharp.
    SetSplashDpi(PlatformScreenDpi());
    // Centred in the part of the screen the taskbar leaves free.
    int areaX = 0;
    int areaY = 0;
    int areaWidth = 0;
    int areaHeight = 0;
    PlatformWorkArea(&areaX, &areaY, &areaWidth, &areaHeight);
    const int x = areaX + CentredOrigin(areaWidth, BackgroundWidth);
    const int y = areaY + CentredOrigin(areaHeight, BackgroundHeight);

    // The create handler starts the repaint timer and the worker inside this call.
    MainWindow = PlatformCreateWindow(WindowTitle, x, y, BackgroundWidth, BackgroundHeight);
    if (MainWindow == nullptr) {
        ShutdownGraphics();
        return WorkerStartFailed ? 1 : 0;
    }
    if (FrameBitmap != nullptr) {
        PresentFrame(MainWindow);
    }
    PlatformUpdateWindow(MainWindow);

    exitCode = RunMessageLoop();
    ShutdownGraphics();
    return exitCode;
}

int RunMessageLoop() {
    while (AppRunning.load()) {
        int code = 0;
        if (!PlatformWaitEvent(&code)) {
            return code; // a quit request keeps its own code
        }
    }
    return RequestedExitCode(0);
}

void ShutdownGraphics() {
    ReleaseScaledPictures();
    if (FrameBitmap != nullptr) {
        PlatformDeleteFrame(FrameBitmap);
        FrameBitmap = nullptr;
    }
    if (BackgroundImage != nullptr) {
        PlatformDeleteImage(BackgroundImage);
        BackgroundImage = nullptr;
    }
    if (TrackImage != nullptr) {
        PlatformDeleteImage(TrackImage);
        TrackImage = nullptr;
    }
    if (FillImage != nullptr) {
        PlatformDeleteImage(FillImage);
        FillImage = nullptr;
    }
    PlatformStopGraphics();
}

int CentredOrigin(int screenSize, unsigned size) {
    const int extent = static_cast<int>(size);
    return screenSize > extent ? (screenSize - extent) / 2 : 0;
}

void EndNowIfThreadsRun(int exitCode, bool logEnded) {
    if (logEnded && !ScriptBusy.load()) {
        return;
    }
    // exit() would free what they may still be using (libcurl's and OpenSSL's globals, the stdio
    // streams); the process ends and they with it, as the worker always did.
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
