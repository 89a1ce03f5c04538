// The carried pictures loaded into the UI state as start-up loads them, with a frame but no window.
#pragma once

// Fills TrackImage, FillImage, BackgroundImage, the background size and FrameBitmap; fails the
// test (fatally) when any of them is missing. ShutdownGraphics releases them.
void LoadSplashPictures();
