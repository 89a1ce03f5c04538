// Drawing the splash frame: background, bar track, and the fill cut to the progress.
#pragma once

#include <cstdint>

struct PlatformWindow;

// Top-left corner of the bar (track and fill) in window pixels at 96 DPI; like the other lengths
// here, scaled by ScaleLength at another DPI (app/splash_scale.h).
const int BarX = 50;
const int BarY = 520;

// The status line's band: from StatusBandHeight pixels above the bar down to the bar's top edge.
const int StatusBandHeight = 30;
// The height of the status line's font, in pixels.
const int StatusTextPixels = 14;

// The progress as drawn: 0 to 100.
int32_t ClampProgress(int32_t percent);

// Columns of a fillWidth-wide fill shown at the clamped percent p. Single precision on purpose:
// for the 656-pixel fill this gives floor(p * 656 / 100) for every p from 0 to 100. At another
// scale fillWidth is the scaled fill's own width.
int FillLength(int32_t percent, unsigned fillWidth);

// Everything a frame shows that can differ from one tick to the next, as it is drawn: two frames
// of equal content are identical pixel for pixel. A new input of the frame joins as one more
// field here and one more comparison in SameFrameContent.
struct FrameContent {
    int32_t progress;          // clamped
    uint32_t statusGeneration; // of the status line's text (StatusGeneration)
};

// The content the shared values ask for now, each read once.
FrameContent CurrentFrameContent();

bool SameFrameContent(const FrameContent& a, const FrameContent& b);

// Redraws FrameBitmap from the pictures, ProgressPercent and the status line's text, outside any
// tick (the next tick then draws too). False when no drawing context could be made, in which case
// nothing was drawn and nothing should be presented.
bool RenderFrame();

// Pushes FrameBitmap to the window; does nothing without a frame or with an empty size.
void PresentFrame(PlatformWindow* window);

// A repaint tick: renders and presents the current content unless it is what the last frame drawn
// here already shows (both backends' windows keep their pixels and repaint from them on their
// own). A frame that could not be rendered is tried again on the next tick. UI thread.
void DrawFrameIfChanged(PlatformWindow* window);

// Whether the last frame drawn by DrawFrameIfChanged shows what the shared values ask for now.
bool ShownFrameIsCurrent();

// The next tick draws whatever the content: the window shows no frame of ours yet (a new window,
// or one showing the bare background of the first present).
void ForgetShownFrame();

// Frames rendered and presented by DrawFrameIfChanged since the program started.
uint64_t FramesDrawn();
