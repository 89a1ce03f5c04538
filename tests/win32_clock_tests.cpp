// The Win32 clock's two paths: the performance counter and the timeGetTime fall-back, with
// scripted readings for the arithmetic and the real sources for the rest.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_clock.h"

namespace {

// Scripted readings, handed out in order; counts tell which source was asked how often.
struct Script {
    bool hasCounter = true;
    int64_t frequency = 0;
    std::vector<int64_t> counts;
    std::vector<uint32_t> milliseconds;
    int frequencyReads = 0;
    size_t countsRead = 0;
    size_t millisecondsRead = 0;
};
Script Scripted;

bool ScriptedFrequency(int64_t* ticksPerSecond) {
    ++Scripted.frequencyReads;
    *ticksPerSecond = Scripted.frequency;
    return Scripted.hasCounter;
}

int64_t ScriptedCounter() {
    return Scripted.counts.at(Scripted.countsRead++);
}

uint32_t ScriptedMilliseconds() {
    return Scripted.milliseconds.at(Scripted.millisecondsRead++);
}

const ClockSources ScriptedSources = {ScriptedFrequency, ScriptedCounter, ScriptedMilliseconds};

bool NoCounter(int64_t* /*ticksPerSecond*/) {
    return false;
}

} // namespace

TEST(Win32Clock, CounterPathTakesItsBaseOnTheFirstReading) {
    Scripted = Script{};
    Scripted.frequency = 1000;
    Scripted.counts = {500, 500, 2500, 2501};
    ClockState state;
    EXPECT_EQ(ReadElapsedSeconds(state, ScriptedSources), 0.0);
    EXPECT_DOUBLE_EQ(ReadElapsedSeconds(state, ScriptedSources), 2.0);
    EXPECT_DOUBLE_EQ(ReadElapsedSeconds(state, ScriptedSources), 2.001);
    EXPECT_EQ(Scripted.frequencyReads, 1);
    EXPECT_EQ(Scripted.millisecondsRead, 0u);
}

TEST(Win32Clock, CounterDifferenceKeepsAll64Bits) {
    // Ten hours at 10 MHz is 3.6e11 ticks: far past 32 bits, on a base near the top of the range.
    const int64_t base = INT64_C(0x7FFFFF0000000000);
    EXPECT_DOUBLE_EQ(CounterSeconds(base + INT64_C(360000000000), base, 1.0 / 1e7), 36000.0);
    EXPECT_EQ(CounterSeconds(base, base, 1.0 / 3579545.0), 0.0);
}

TEST(Win32Clock, WithoutCounterFallsBackToMilliseconds) {
    Scripted = Script{};
    Scripted.hasCounter = false;
    Scripted.milliseconds = {7000, 7000, 7250};
    ClockState state;
    EXPECT_EQ(ReadElapsedSeconds(state, ScriptedSources), 0.0);
    EXPECT_DOUBLE_EQ(ReadElapsedSeconds(state, ScriptedSources), 0.25);
    EXPECT_EQ(Scripted.frequencyReads, 1);
    EXPECT_EQ(Scripted.countsRead, 0u);
    // A tick between the first call's two readings gives one millisecond, not a negative time.
    Scripted.milliseconds = {41, 42};
    Scripted.millisecondsRead = 0;
    ClockState fresh;
    EXPECT_DOUBLE_EQ(ReadElapsedSeconds(fresh, ScriptedSources), 0.001);
}

TEST(Win32Clock, MillisecondWrapStillGivesThePositiveDifference) {
    EXPECT_DOUBLE_EQ(MillisecondSeconds(0x00000064u, 0xFFFFFF00u), 0.356);
    EXPECT_DOUBLE_EQ(MillisecondSeconds(0u, 0xFFFFFFFFu), 0.001);
    Scripted = Script{};
    Scripted.hasCounter = false;
    Scripted.milliseconds = {0xFFFFFFF0u, 0xFFFFFFF0u, 0x10u};
    ClockState state;
    ReadElapsedSeconds(state, ScriptedSources);
    EXPECT_DOUBLE_EQ(ReadElapsedSeconds(state, ScriptedSources), 0.032);
}

TEST(Win32Clock, RealSourcesFollowRealTimeOnBothPaths) {
    ClockState counter;
    const ClockSources fallBack = {NoCounter, Win32ClockSources.readCounter,
                                   Win32ClockSources.readMilliseconds};
    ClockState milliseconds;
    const double counterStart = ReadElapsedSeconds(counter, Win32ClockSources);
    const double millisecondStart = ReadElapsedSeconds(milliseconds, fallBack);
    EXPECT_TRUE(counter.counterAvailable);
    EXPECT_FALSE(milliseconds.counterAvailable);
    EXPECT_GE(counterStart, 0.0);
    EXPECT_LT(counterStart, 0.1);
    EXPECT_GE(millisecondStart, 0.0);
    EXPECT_LT(millisecondStart, 0.1);

    Sleep(200);
    const double counterLater = ReadElapsedSeconds(counter, Win32ClockSources);
    const double millisecondLater = ReadElapsedSeconds(milliseconds, fallBack);
    // Generous bounds: a loaded machine may oversleep, never undersleep by much.
    EXPECT_GT(counterLater, 0.15);
    EXPECT_LT(counterLater, 10.0);
    EXPECT_GT(millisecondLater, 0.15);
    EXPECT_LT(millisecondLater, 10.0);
}

TEST(Win32Clock, ProgramClockStartsNearZeroAndNeverGoesBack) {
    const double first = GetElapsedSeconds();
    EXPECT_GE(first, 0.0);
    EXPECT_LT(first, 0.1);
    double previous = first;
    for (int i = 0; i < 1000; ++i) {
        const double now = GetElapsedSeconds();
        ASSERT_GE(now, previous);
        previous = now;
    }
}
