// Cost of the repaint tick on a real window, in two parts, each against a named peer in the same
// run:
// - a tick whose progress changed (render + present), driven by hand, against presenting the
//   same frame alone (one full-window copy to the X server); each is followed by a round trip to
//   the server, so the server's drawing is counted in the wall time;
// - an idle tick (nothing changed) of the real 30 ms timer run by the event loop, against the same
//   timer with every tick forced to render and present, as every tick did before idle ticks were
//   skipped; CPU time of the launcher's process only.
//
//   tick_bench [ticks] [idle seconds]   (under xvfb-run)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtk/gtk.h>

#include "app/image_resources.h"
#include "app/render.h"
#include "app/startup.h"
#include "app/ui_state.h"
#include "app/window_procedure.h"
#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

using Clock = std::chrono::steady_clock;

void NoWorker(const std::string&) {
    ScriptBusy.store(false);
}

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Cost {
    double wallMicros;
    double cpuMicros;
};

template <typename Step>
Cost Measure(int count, Step step) {
    GdkDisplay* display = gdk_display_get_default();
    const Clock::time_point start = Clock::now();
    const double cpuStart = CpuSeconds();
    for (int i = 0; i < count; ++i) {
        step(i);
        gdk_display_sync(display);
    }
    const double wall = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return {wall / count, (CpuSeconds() - cpuStart) * 1e6 / count};
}

struct TimerRun {
    int ticks;
    double cpuSeconds;
    uint64_t frames;
};

enum class TickKind {
    Idle,   // the repaint tick as it is, with nothing changed
    Forced, // the repaint tick made to draw, as every tick did before
    Empty,  // a timer of the same period whose handler does nothing: the event loop's own cost
};

int EmptyTicks = 0;

gboolean EmptyTick(gpointer) {
    ++EmptyTicks;
    return G_SOURCE_CONTINUE;
}

// Timer ticks dispatched by the event loop, as the launcher's loop does, for the given time.
TimerRun RunTimer(double seconds, TickKind kind) {
    guint empty = 0;
    if (kind == TickKind::Empty) {
        EmptyTicks = 0;
        empty = g_timeout_add(RepaintPeriodMs, EmptyTick, nullptr);
    } else {
        PlatformStartTimer(MainWindow, RepaintTimerId, RepaintPeriodMs);
    }
    const uint64_t framesBefore = FramesDrawn();
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    const double cpuStart = CpuSeconds();
    int ticks = 0;
    while (Clock::now() < end) {
        if (kind == TickKind::Forced) {
            ForgetShownFrame();
        }
        int code = 0;
        PlatformWaitEvent(&code);
        ticks += code == static_cast<int>(RepaintTimerId) ? 1 : 0;
    }
    const double cpu = CpuSeconds() - cpuStart;
    if (kind == TickKind::Empty) {
        g_source_remove(empty);
        ticks = EmptyTicks;
    } else {
        PlatformStopTimer(MainWindow, RepaintTimerId);
    }
    return {ticks, cpu, FramesDrawn() - framesBefore};
}

double MicrosPerTick(const TimerRun& run) {
    return run.ticks > 0 ? run.cpuSeconds * 1e6 / run.ticks : 0.0;
}

} // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 2000;
    const double idleSeconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "tick_bench: needs an X display (run under xvfb-run)\n");
        return 1;
    }
    WorkerEntry = NoWorker;
    TrackImage = LoadPngResource(IdTrack);
    FillImage = LoadPngResource(IdFill);
    BackgroundImage = LoadPngResource(IdBackground);
    if (TrackImage == nullptr || FillImage == nullptr || BackgroundImage == nullptr) {
        return 1;
    }
    BackgroundWidth = PlatformImageWidth(BackgroundImage);
    BackgroundHeight = PlatformImageHeight(BackgroundImage);
    FrameBitmap = PlatformCreateFrame(BackgroundImage);
    MainWindow = PlatformCreateWindow(L"Game Launcher", 0, 0, BackgroundWidth, BackgroundHeight);
    if (MainWindow == nullptr) {
        return 1;
    }
    // Ticks are driven by hand here, not by the 30 ms timer.
    PlatformStopTimer(MainWindow, RepaintTimerId);
    PresentFrame(MainWindow);
    while (gtk_events_pending()) {
        gtk_main_iteration();
    }

    // Warm up both paths, then measure them alternately in halves to spread any drift.
    Measure(200, [](int i) {
        ProgressPercent.store(i % 101);
        WindowOnTimer(MainWindow, RepaintTimerId);
    });
    auto tick = [](int i) {
        ProgressPercent.store(i % 101);
        WindowOnTimer(MainWindow, RepaintTimerId);
    };
    auto present = [](int) { PresentFrame(MainWindow); };
    const Cost tick1 = Measure(ticks / 2, tick);
    const Cost peer1 = Measure(ticks / 2, present);
    const Cost tick2 = Measure(ticks / 2, tick);
    const Cost peer2 = Measure(ticks / 2, present);
    const Cost ours{(tick1.wallMicros + tick2.wallMicros) / 2,
                    (tick1.cpuMicros + tick2.cpuMicros) / 2};
    const Cost peer{(peer1.wallMicros + peer2.wallMicros) / 2,
                    (peer1.cpuMicros + peer2.cpuMicros) / 2};

    // The render alone, without the present and the round trip.
    const Clock::time_point renderStart = Clock::now();
    for (int i = 0; i < ticks; ++i) {
        ProgressPercent.store(i % 101);
        RenderFrame();
    }
    const double renderMicros =
        std::chrono::duration<double, std::micro>(Clock::now() - renderStart).count() / ticks;

    std::printf("changing tick (render + present), %d ticks: %.0f us wall, %.0f us launcher CPU "
                "(%.2f%% of one core at 33 ticks/s; goal < 1000 us)\n",
                ticks, ours.wallMicros, ours.cpuMicros, ours.cpuMicros * 33.0 / 1e4);
    std::printf("peer, present alone: %.0f us wall, %.0f us CPU; ratio tick/present %.2f\n",
                peer.wallMicros, peer.cpuMicros, ours.wallMicros / peer.wallMicros);
    std::printf("of which RenderFrame alone: %.0f us\n", renderMicros);

    // The idle tick's handler alone, driven by hand: what the tick itself still costs.
    const Cost handler = Measure(1, [ticks](int) {
        for (int i = 0; i < ticks * 100; ++i) {
            WindowOnTimer(MainWindow, RepaintTimerId);
        }
    });

    // The shown frame is current; from here on nothing changes. The three kinds take turns, twice.
    WindowOnTimer(MainWindow, RepaintTimerId);
    TimerRun runs[3] = {};
    for (int round = 0; round < 2; ++round) {
        for (TickKind kind : {TickKind::Idle, TickKind::Forced, TickKind::Empty}) {
            TimerRun& sum = runs[static_cast<int>(kind)];
            const TimerRun run = RunTimer(idleSeconds / 2, kind);
            sum = {sum.ticks + run.ticks, sum.cpuSeconds + run.cpuSeconds, sum.frames + run.frames};
        }
    }
    const TimerRun& idle = runs[static_cast<int>(TickKind::Idle)];
    const TimerRun& every = runs[static_cast<int>(TickKind::Forced)];
    const TimerRun& empty = runs[static_cast<int>(TickKind::Empty)];
    std::printf("idle tick, %d ticks of the %u ms timer over %.0f s: %.1f us launcher CPU per "
                "tick, %llu frames drawn (goal <= 50 us)\n",
                idle.ticks, RepaintPeriodMs, idleSeconds, MicrosPerTick(idle),
                static_cast<unsigned long long>(idle.frames));
    std::printf("peer, every tick rendered and presented, %d ticks over %.0f s: %.1f us CPU per "
                "tick, %llu frames; ratio idle/every tick %.3f\n",
                every.ticks, idleSeconds, MicrosPerTick(every),
                static_cast<unsigned long long>(every.frames),
                MicrosPerTick(idle) / MicrosPerTick(every));
    std::printf("floor, a timer that does nothing in the same loop, %d ticks over %.0f s: %.1f us "
                "CPU per tick; the idle tick's handler alone, by hand: %.3f us\n",
                empty.ticks, idleSeconds, MicrosPerTick(empty), handler.cpuMicros / (ticks * 100));
    return 0;
}
