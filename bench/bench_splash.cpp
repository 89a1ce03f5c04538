#include "bench/bench_splash.h"

#include "app/image_resources.h"
#include "app/render.h"
#include "app/ui_state.h"
#include "platform/platform.h"

bool OpenBenchSplash() {
    TrackImage = LoadPngResource(IdTrack);
    FillImage = LoadPngResource(IdFill);
    BackgroundImage = LoadPngResource(IdBackground);
    if (TrackImage == nullptr || FillImage == nullptr || BackgroundImage == nullptr) {
        return false;
    }
    BackgroundWidth = PlatformImageWidth(BackgroundImage);
    BackgroundHeight = PlatformImageHeight(BackgroundImage);
    FrameBitmap = PlatformCreateFrame(BackgroundImage);
    if (FrameBitmap == nullptr) {
        return false;
    }
    MainWindow = PlatformCreateWindow(L"Game Launcher", 0, 0, BackgroundWidth, BackgroundHeight);
    if (MainWindow == nullptr) {
        return false;
    }
    PresentFrame(MainWindow);
    return true;
}
