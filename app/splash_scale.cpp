#include "app/splash_scale.h"

#include "app/ui_state.h"
#include "platform/platform.h"

namespace {

unsigned CurrentDpi = BaseDpi;

// The copies at CurrentDpi; all null at BaseDpi.
PlatformImage* ScaledBackground = nullptr;
PlatformImage* ScaledTrack = nullptr;
PlatformImage* ScaledFill = nullptr;

void DeleteIfAny(PlatformImage* image) {
    if (image != nullptr) {
        PlatformDeleteImage(image);
    }
}

// A copy of the picture at dpi; *made is false when the picture exists but no copy was made.
PlatformImage* ScaledCopy(const PlatformImage* picture, unsigned dpi, bool* made) {
    if (picture == nullptr) {
        return nullptr;
    }
    const int width = ScaleLength(static_cast<int>(PlatformImageWidth(picture)), dpi);
    const int height = ScaleLength(static_cast<int>(PlatformImageHeight(picture)), dpi);
    PlatformImage* copy = width > 0 && height > 0
                              ? PlatformScaleImage(picture, static_cast<unsigned>(width),
                                                   static_cast<unsigned>(height))
                              : nullptr;
    *made = *made && copy != nullptr;
    return copy;
}

} // namespace

int ScaleLength(int length, unsigned dpi) {
    const long long scaled = static_cast<long long>(length) * dpi;
    const long long half = BaseDpi / 2;
    return static_cast<int>(scaled >= 0 ? (scaled + half) / BaseDpi : (scaled - half) / BaseDpi);
}

unsigned SplashDpi() {
    return CurrentDpi;
}

bool SetSplashDpi(unsigned dpi) {
    if (BackgroundImage == nullptr || dpi == 0 || dpi > 16 * BaseDpi) {
        return false;
    }
    if (dpi == CurrentDpi) {
        return true;
    }
    PlatformImage* background = nullptr;
    PlatformImage* track = nullptr;
    PlatformImage* fill = nullptr;
    bool made = true;
    if (dpi != BaseDpi) {
        background = ScaledCopy(BackgroundImage, dpi, &made);
        track = ScaledCopy(TrackImage, dpi, &made);
        fill = ScaledCopy(FillImage, dpi, &made);
    }
    const PlatformImage* drawnBackground = background != nullptr ? background : BackgroundImage;
    PlatformFrame* frame = made ? PlatformCreateFrame(drawnBackground) : nullptr;
    if (frame == nullptr) {
        DeleteIfAny(background);
        DeleteIfAny(track);
        DeleteIfAny(fill);
        return false;
    }
    ReleaseScaledPictures();
    if (FrameBitmap != nullptr) {
        PlatformDeleteFrame(FrameBitmap);
    }
    FrameBitmap = frame;
    ScaledBackground = background;
    ScaledTrack = track;
    ScaledFill = fill;
    CurrentDpi = dpi;
    BackgroundWidth = PlatformImageWidth(drawnBackground);
    BackgroundHeight = PlatformImageHeight(drawnBackground);
    return true;
}

const PlatformImage* DrawnBackground() {
    return ScaledBackground != nullptr ? ScaledBackground : BackgroundImage;
}

const PlatformImage* DrawnTrack() {
    return ScaledTrack != nullptr ? ScaledTrack : TrackImage;
}

const PlatformImage* DrawnFill() {
    return ScaledFill != nullptr ? ScaledFill : FillImage;
}

void ReleaseScaledPictures() {
    DeleteIfAny(ScaledBackground);
    DeleteIfAny(ScaledTrack);
    DeleteIfAny(ScaledFill);
    ScaledBackground = nullptr;
    ScaledTrack = nullptr;
    ScaledFill = nullptr;
    CurrentDpi = BaseDpi;
}
