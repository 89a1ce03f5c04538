// Drawing the splash frame: background, bar track, and the fill cut to the progress.
#pragma once

#include <cstdint>

struct PlatformWindow;

// Top-left corner of the bar (track and fill) in window pixels.
const int BarX = 50;
const int BarY = 520;

// The status line's band: from StatusBandHeight pixels above the bar down to the bar's top edge.
const int StatusBandHeight = 30;

// The progress as drawn: 0 to 100.
int32_t ClampProgress(int32_t percent);

// Columns of a fillWidth-wide fill shown at the clamped percent p. Single precision on purpose:
// for the 656-pixel fill this gives floor(p * 656 / 100) for every p from 0 to 100.
int FillLength(int32_t percent, unsigned fillWidth);

// Redraws FrameBitmap from the pictures, ProgressPercent and the status line's text. False when no
// drawing context could be made, in which case nothing was drawn and nothing should be presented.
bool RenderFrame();

// Pushes FrameBitmap to the window; does nothing without a frame or with an empty size.
void PresentFrame(PlatformWindow* window);
