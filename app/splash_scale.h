// The splash at the monitor's scale. The pictures and the layout are made for 96 DPI (100 %); at
// another DPI the window, the pictures, the bar's place and the status line grow by dpi / 96.
// Each picture is resampled once per DPI with a good filter (GDI+'s high quality bicubic) and
// every frame is then drawn from the copies at 1:1: no tick resamples, and the fill is still cut,
// never stretched. UI thread only.
#pragma once

struct PlatformImage;

const unsigned BaseDpi = 96;

// length × dpi / 96, rounded to the nearest pixel (halves up); unchanged at 96 DPI.
int ScaleLength(int length, unsigned dpi);

// The DPI the splash is drawn for: BaseDpi until SetSplashDpi makes it another.
unsigned SplashDpi();

// Makes the pictures for dpi, and FrameBitmap, BackgroundWidth and BackgroundHeight of the scaled
// background's size (the frame holding the background, like the first one). At BaseDpi the
// decoded pictures are drawn as they are. False, leaving everything at the earlier DPI, when a
// picture or the frame cannot be made at the new one, or when dpi is 0 or more than 16 times
// BaseDpi. Needs BackgroundImage; a missing bar picture stays missing.
bool SetSplashDpi(unsigned dpi);

// The pictures as drawn at SplashDpi(): the copies made for it, or the decoded ones at BaseDpi;
// null where the decoded picture is missing.
const PlatformImage* DrawnBackground();
const PlatformImage* DrawnTrack();
const PlatformImage* DrawnFill();

// Frees the copies and goes back to BaseDpi; ShutdownGraphics calls it before the pictures go.
void ReleaseScaledPictures();
