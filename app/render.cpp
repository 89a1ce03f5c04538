#include "app/render.h"

#include "app/status_line.h"
#include "app/ui_state.h"
#include "platform/platform.h"
#include "script/shared_state.h"

int32_t ClampProgress(int32_t percent) {
    if (percent > 100) {
        percent = 100;
    }
    if (percent < 0) {
        percent = 0;
    }
    return percent;
}

int FillLength(int32_t percent, unsigned fillWidth) {
    // Each step stored in a float so that an x87 build rounds exactly as an SSE build does.
    const float fraction = static_cast<float>(percent) / 100.0f;
    const float length = fraction * static_cast<float>(fillWidth);
    return static_cast<int>(length);
}

bool RenderFrame() {
    PlatformCanvas* canvas = PlatformBeginDrawing(FrameBitmap);
    if (canvas == nullptr) {
        return false;
    }
    // Drawing source-over onto the last frame would make the partly transparent outline more
    // opaque tick after tick; start every frame from nothing.
    PlatformClearCanvas(canvas);
    PlatformDrawImage(canvas, BackgroundImage, 0, 0, static_cast<int>(BackgroundWidth),
                      static_cast<int>(BackgroundHeight));

    const unsigned trackHeight = PlatformImageHeight(TrackImage);
    const unsigned trackWidth = PlatformImageWidth(TrackImage);
    PlatformDrawImage(canvas, TrackImage, BarX, BarY, static_cast<int>(trackWidth),
                      static_cast<int>(trackHeight));

    const int32_t percent = ClampProgress(ProgressPercent.load());
    const unsigned fillWidth = PlatformImageWidth(FillImage);
    const unsigned fillHeight = PlatformImageHeight(FillImage);
    const int length = FillLength(percent, fillWidth);
    if (length != 0) {
        // The leftmost columns only: the fill is cut, never stretched.
        PlatformDrawImagePart(canvas, FillImage, 0, 0, length, static_cast<int>(fillHeight), BarX,
                              BarY);
    }

    // Centred on the window; no text draws nothing, so such a frame is the bar alone.
    const std::wstring& status = TakeStatus();
    if (!status.empty()) {
        PlatformDrawText(canvas, status, static_cast<int>(BackgroundWidth) / 2,
                         BarY - StatusBandHeight, static_cast<int>(trackWidth), StatusBandHeight);
    }
    PlatformEndDrawing(canvas);
    return true;
}

void PresentFrame(PlatformWindow* window) {
    if (FrameBitmap == nullptr || BackgroundWidth == 0 || BackgroundHeight == 0) {
        return;
    }
    PlatformPresentFrame(window, FrameBitmap, BackgroundWidth, BackgroundHeight);
}
