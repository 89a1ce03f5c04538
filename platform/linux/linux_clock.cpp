// Linux clock: CLOCK_MONOTONIC, which never goes back, so elapsed time is never negative.
#include "platform/platform.h"

#include <time.h>

namespace {

double MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

double GetElapsedSeconds() {
    // Only the script worker reads the clock, so the lazily taken base needs no lock.
    static const double base = MonotonicSeconds();
    const double elapsed = MonotonicSeconds() - base;
    return elapsed < 0.0 ? 0.0 : elapsed;
}
