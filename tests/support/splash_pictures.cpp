#include "tests/support/splash_pictures.h"

#include <gtest/gtest.h>

#include "app/image_resources.h"
#include "app/ui_state.h"
#include "platform/platform.h"

void LoadSplashPictures() {
    TrackImage = LoadPngResource(IdTrack);
    FillImage = LoadPngResource(IdFill);
    BackgroundImage = LoadPngResource(IdBackground);
    ASSERT_NE(TrackImage, nullptr);
    ASSERT_NE(FillImage, nullptr);
    ASSERT_NE(BackgroundImage, nullptr);
    BackgroundWidth = PlatformImageWidth(BackgroundImage);
    BackgroundHeight = PlatformImageHeight(BackgroundImage);
    FrameBitmap = PlatformCreateFrame(BackgroundImage);
    ASSERT_NE(FrameBitmap, nullptr);
}
