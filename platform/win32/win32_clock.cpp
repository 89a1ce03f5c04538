// Win32 clock: the high-resolution performance counter, or the millisecond timer where the
// counter is missing. Implements GetElapsedSeconds.
#include "platform/win32/win32_clock.h"

#include <windows.h>

#include "platform/platform.h"

namespace {

bool ReadPerformanceFrequency(int64_t* ticksPerSecond) {
    LARGE_INTEGER frequency{};
    if (!QueryPerformanceFrequency(&frequency)) {
        return false;
    }
    *ticksPerSecond = frequency.QuadPart;
    return true;
}

int64_t ReadPerformanceCounter() {
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

uint32_t ReadTimeGetTime() {
    return timeGetTime();
}

// Only the script worker reads the clock, so its state needs no lock.
ClockState ProgramClock;

} // namespace

const ClockSources Win32ClockSources = {ReadPerformanceFrequency, ReadPerformanceCounter,
                                        ReadTimeGetTime};

double CounterSeconds(int64_t now, int64_t base, double secondsPerTick) {
    return static_cast<double>(now - base) * secondsPerTick;
}

double MillisecondSeconds(uint32_t now, uint32_t base) {
    const uint32_t elapsed = now - base;
    return static_cast<double>(elapsed) / 1000.0;
}

double ReadElapsedSeconds(ClockState& state, const ClockSources& sources) {
    if (!state.initialised) {
        int64_t frequency = 0;
        state.counterAvailable = sources.readFrequency(&frequency);
        if (state.counterAvailable) {
            state.secondsPerTick = 1.0 / static_cast<double>(frequency);
            state.baseCount = sources.readCounter();
        }
        state.initialised = true;
    }
    if (state.counterAvailable) {
        return CounterSeconds(sources.readCounter(), state.baseCount, state.secondsPerTick);
    }
    if (state.millisecondBase == 0) {
        state.millisecondBase = sources.readMilliseconds();
    }
    return MillisecondSeconds(sources.readMilliseconds(), state.millisecondBase);
}

double GetElapsedSeconds() {
    return ReadElapsedSeconds(ProgramClock, Win32ClockSources);
}
