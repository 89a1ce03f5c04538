// The splash as the window benchmarks use it.
#pragma once

// Loads the carried pictures and a frame into the UI state, creates the window at (0, 0) (its
// repaint timer running, its worker started from WorkerEntry) and presents the first frame, as
// start-up does but without start-up's messages. False when any of it fails.
bool OpenBenchSplash();
