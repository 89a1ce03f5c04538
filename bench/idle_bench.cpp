// CPU cost of the splash while nothing changes, on the real window and event loop, against the
// same window with every 30 ms tick drawing a frame (as every tick did before idle ticks were
// skipped): a bench worker moves the bar every 30 ms, so about one frame is drawn per period.
// Process CPU time over the whole run, per 30 ms repaint period; the worker's own share is included
// (it sleeps while idle). Runs on Linux (under xvfb-run) and as a Windows program (under Wine, with
// a display).
//
//   idle_bench [seconds per kind]
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <gtk/gtk.h>

#include <ctime>
#endif

#include "app/render.h"
#include "app/startup.h"
#include "app/ui_state.h"
#include "app/ui_wake.h"
#include "app/window_procedure.h"
#include "bench/bench_splash.h"
#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
#ifdef _WIN32
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
#endif
}

enum class Kind { Idle, EveryTick };

// The kind of the round the worker is to run next, and the round's number: the UI thread starts
// round n by storing n after resetting the exit request, the worker ends it with RequestExit.
std::atomic<int> Round{0};
std::mutex RoundLock;
std::condition_variable RoundStarted;

void StartRound(int round) {
    {
        std::lock_guard<std::mutex> lock(RoundLock);
        Round.store(round);
    }
    RoundStarted.notify_all();
}
Kind RoundKind = Kind::Idle;
double RoundSeconds = 5;

void BenchWorker(const std::string&) {
    for (int round = 1;; ++round) {
        {
            std::unique_lock<std::mutex> lock(RoundLock);
            RoundStarted.wait(lock, [round] { return Round.load() >= round || Round.load() < 0; });
        }
        if (Round.load() < 0) {
            ScriptBusy.store(false);
            return;
        }
        const Clock::time_point end =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(RoundSeconds));
        if (RoundKind == Kind::Idle) {
            std::this_thread::sleep_until(end);
        } else {
            for (int step = 0; Clock::now() < end; ++step) {
                ProgressPercent.store(step % 101);
                WakeUi();
                std::this_thread::sleep_for(std::chrono::milliseconds(RepaintPeriodMs));
            }
            ProgressPercent.store(40);
            WakeUi();
        }
        RequestExit(0);
        WakeUi();
    }
}

struct Run {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    uint64_t frames = 0;
};

Run RunRound(Kind kind, int round) {
    RoundKind = kind;
    ResetExitRequest();
    const uint64_t framesBefore = FramesDrawn();
    const Clock::time_point start = Clock::now();
    const double cpuStart = ProcessCpuSeconds();
    StartRound(round);
    RunMessageLoop();
    Run run;
    run.cpuSeconds = ProcessCpuSeconds() - cpuStart;
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.frames = FramesDrawn() - framesBefore;
    return run;
}

// The process with its window up but no thread running the loop: what it costs without the
// launcher doing anything (under Wine, Wine's own threads).
Run Asleep() {
    const Clock::time_point start = Clock::now();
    const double cpuStart = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(RoundSeconds));
    Run run;
    run.cpuSeconds = ProcessCpuSeconds() - cpuStart;
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

double MicrosPerPeriod(const Run& run) {
    const double periods = run.wallSeconds * 1000.0 / RepaintPeriodMs;
    return periods > 0 ? run.cpuSeconds * 1e6 / periods : 0.0;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    RoundSeconds = seconds / 2;
#ifndef _WIN32
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "idle_bench: needs an X display (run under xvfb-run)\n");
        return 1;
    }
#endif
    PlatformStartGraphics();
    WorkerEntry = BenchWorker;
    if (!OpenBenchSplash()) {
        return 1;
    }

    // A short round first, so the window is shown and settled; then the kinds take turns, twice.
    const double settle = RoundSeconds;
    RoundSeconds = 0.5;
    RunRound(Kind::Idle, 1);
    RoundSeconds = settle;
    Run runs[2];
    Run floor;
    int round = 2;
    auto add = [](Run* sum, const Run& run) {
        sum->cpuSeconds += run.cpuSeconds;
        sum->wallSeconds += run.wallSeconds;
        sum->frames += run.frames;
    };
    for (int turn = 0; turn < 2; ++turn) {
        for (Kind kind : {Kind::Idle, Kind::EveryTick}) {
            add(&runs[static_cast<int>(kind)], RunRound(kind, round++));
        }
        add(&floor, Asleep());
    }
    StartRound(-1);

    const Run& idle = runs[static_cast<int>(Kind::Idle)];
    const Run& every = runs[static_cast<int>(Kind::EveryTick)];
    std::printf("idle splash, %.0f s: %.2f us launcher CPU per %u ms period, %llu frames drawn "
                "(goal <= 50 us)\n",
                idle.wallSeconds, MicrosPerPeriod(idle), RepaintPeriodMs,
                static_cast<unsigned long long>(idle.frames));
    std::printf("peer, every tick drawing, %.0f s: %.1f us CPU per period, %llu frames; ratio "
                "idle/every tick %.4f\n",
                every.wallSeconds, MicrosPerPeriod(every),
                static_cast<unsigned long long>(every.frames),
                MicrosPerPeriod(idle) / MicrosPerPeriod(every));
    std::printf("floor, the process with no loop running, %.0f s: %.2f us CPU per period\n",
                floor.wallSeconds, MicrosPerPeriod(floor));
    std::fflush(stdout);
    // The window and the worker go with the process.
    std::_Exit(0);
}
