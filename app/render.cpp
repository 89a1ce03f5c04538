#include "app/render.h"

#include "app/splash_scale.h"
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

namespace {

// The content of the frame the window shows, once a tick has drawn one.
bool ShownValid = false;
FrameContent ShownContent{0, 0};
uint64_t FrameCount = 0;

bool Render(const FrameContent& content) {
    PlatformCanvas* canvas = PlatformBeginDrawing(FrameBitmap);
    if (canvas == nullptr) {
        return false;
    }
    // Drawing source-over onto the last frame would make the partly transparent outline more
    // opaque tick after tick; start every frame from nothing.
    PlatformClearCanvas(canvas);
    PlatformDrawImage(canvas, DrawnBackground(), 0, 0, static_cast<int>(BackgroundWidth),
                      static_cast<int>(BackgroundHeight));

    // The pictures are drawn for the scale already; only the places scale here.
    const unsigned dpi = SplashDpi();
    const int barX = ScaleLength(BarX, dpi);
    const int barY = ScaleLength(BarY, dpi);
    const PlatformImage* track = DrawnTrack();
    const unsigned trackHeight = PlatformImageHeight(track);
    const unsigned trackWidth = PlatformImageWidth(track);
    PlatformDrawImage(canvas, track, barX, barY, static_cast<int>(trackWidth),
                      static_cast<int>(trackHeight));

    const PlatformImage* fill = DrawnFill();
    const unsigned fillWidth = PlatformImageWidth(fill);
    const unsigned fillHeight = PlatformImageHeight(fill);
    const int length = FillLength(content.progress, fillWidth);
    if (length != 0) {
        // The leftmost columns only: the fill is cut, never stretched.
        PlatformDrawImagePart(canvas, fill, 0, 0, length, static_cast<int>(fillHeight), barX, barY);
    }

    // Centred above the bar; no text draws nothing, so such a frame is the bar alone.
    const std::wstring& status = TakeStatus();
    if (!status.empty()) {
        const int band = ScaleLength(StatusBandHeight, dpi);
        PlatformDrawText(canvas, status, barX + static_cast<int>(trackWidth) / 2, barY - band,
                         static_cast<int>(trackWidth), band, ScaleLength(StatusTextPixels, dpi));
    }
    PlatformEndDrawing(canvas);
    return true;
}

} // namespace

FrameContent CurrentFrameContent() {
    return FrameContent{ClampProgress(ProgressPercent.load()), StatusGeneration()};
}

bool SameFrameContent(const FrameContent& a, const FrameContent& b) {
    return a.progress == b.progress && a.statusGeneration == b.statusGeneration;
}

bool RenderFrame() {
    // On Linux the window repaints from this very frame, so what it shows is no longer known.
    ForgetShownFrame();
    return Render(CurrentFrameContent());
}

void PresentFrame(PlatformWindow* window) {
    if (FrameBitmap == nullptr || BackgroundWidth == 0 || BackgroundHeight == 0) {
        return;
    }
    PlatformPresentFrame(window, FrameBitmap, BackgroundWidth, BackgroundHeight);
}

void DrawFrameIfChanged(PlatformWindow* window) {
    // Read once, so the frame drawn is the content recorded, whatever the worker writes meanwhile.
    const FrameContent content = CurrentFrameContent();
    if (ShownValid && SameFrameContent(content, ShownContent)) {
        return;
    }
    if (!Render(content)) {
        return;
    }
    PresentFrame(window);
    ShownContent = content;
    // The text drawn may be newer than the generation read above; then the next tick draws again.
    ShownContent.statusGeneration = TakenStatusGeneration();
    ShownValid = true;
    ++FrameCount;
}

bool ShownFrameIsCurrent() {
    return ShownValid && SameFrameContent(CurrentFrameContent(), ShownContent);
}

void ForgetShownFrame() {
    ShownValid = false;
}

uint64_t FramesDrawn() {
    return FrameCount;
}
