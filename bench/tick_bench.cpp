// Cost of a repaint tick whose progress changed (render + present) on a real window, driven by
// hand, against presenting the same frame alone (one full-window copy to the X server); each is
// followed by a round trip to the server, so the server's drawing is counted in the wall time.
// The idle splash is measured by idle_bench.
//
//   tick_bench [ticks]   (under xvfb-run)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtk/gtk.h>

#include "app/render.h"
#include "app/startup.h"
#include "app/ui_state.h"
#include "app/window_procedure.h"
#include "bench/bench_splash.h"
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

} // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "tick_bench: needs an X display (run under xvfb-run)\n");
        return 1;
    }
    WorkerEntry = NoWorker;
    if (!OpenBenchSplash()) {
        return 1;
    }
    // Ticks are driven by hand here, not by the 30 ms timer.
    PlatformStopTimer(MainWindow, RepaintTimerId);
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
    return 0;
}
