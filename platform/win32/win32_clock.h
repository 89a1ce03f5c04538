// The Win32 clock's parts, apart so that both of its paths can be driven by tests.
// No <windows.h> here: the readings are plain integers.
#pragma once

#include <cstdint>

// What the clock reads. The real sources are QueryPerformanceFrequency/QueryPerformanceCounter
// and timeGetTime; tests substitute their own to reach the fall-back and the wrap-around.
struct ClockSources {
    bool (*readFrequency)(int64_t* ticksPerSecond); // false: no high-resolution counter
    int64_t (*readCounter)();
    uint32_t (*readMilliseconds)();
};

// Zero or false in every field until the first reading.
struct ClockState {
    bool initialised = false;
    bool counterAvailable = false;
    double secondsPerTick = 0.0;
    int64_t baseCount = 0;
    uint32_t millisecondBase = 0; // 0: not taken yet
};

// The counter's elapsed seconds: the signed 64-bit difference times the tick length.
double CounterSeconds(int64_t now, int64_t base, double secondsPerTick);

// The millisecond timer's elapsed seconds; the unsigned difference survives the 2^32 wrap.
double MillisecondSeconds(uint32_t now, uint32_t base);

// One reading of the clock: takes the base on the first call, then the time since it.
double ReadElapsedSeconds(ClockState& state, const ClockSources& sources);

// The sources GetElapsedSeconds uses.
extern const ClockSources Win32ClockSources;
