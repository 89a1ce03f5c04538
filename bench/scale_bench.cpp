// What the splash at 200 % adds to start-up: asking the system for the monitor's DPI and making
// the pictures and the frame for it (SetSplashDpi(192): three pictures resampled, a frame of
// 1712 x 1104), against what start-up does with the pictures at 100 % anyway (decoding the three
// carried pictures and making the frame). Then one frame drawn at each scale. Medians over the
// rounds, in milliseconds, and the ratio scaling / decoding. Runs on Linux (cairo) and as a
// Windows program (GDI+, under Wine); needs no display.
//
//   scale_bench [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/image_resources.h"
#include "app/render.h"
#include "app/splash_scale.h"
#include "app/startup.h"
#include "app/ui_state.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::vector<double> decode, dpi, scale, frameAtBase, frameAtTwice;
    for (int round = 0; round < rounds; ++round) {
        PlatformStartGraphics();
        Clock::time_point start = Clock::now();
        TrackImage = LoadPngResource(IdTrack);
        FillImage = LoadPngResource(IdFill);
        BackgroundImage = LoadPngResource(IdBackground);
        FrameBitmap = BackgroundImage != nullptr ? PlatformCreateFrame(BackgroundImage) : nullptr;
        decode.push_back(Milliseconds(start));
        if (TrackImage == nullptr || FillImage == nullptr || FrameBitmap == nullptr) {
            std::fprintf(stderr, "scale_bench: the carried pictures did not load\n");
            return 1;
        }
        BackgroundWidth = PlatformImageWidth(BackgroundImage);
        BackgroundHeight = PlatformImageHeight(BackgroundImage);

        start = Clock::now();
        RenderFrame();
        frameAtBase.push_back(Milliseconds(start));

        start = Clock::now();
        const unsigned screenDpi = PlatformScreenDpi();
        dpi.push_back(Milliseconds(start));
        (void)screenDpi;

        start = Clock::now();
        if (!SetSplashDpi(192)) {
            std::fprintf(stderr, "scale_bench: the pictures could not be made at 192 DPI\n");
            return 1;
        }
        scale.push_back(Milliseconds(start));

        start = Clock::now();
        RenderFrame();
        frameAtTwice.push_back(Milliseconds(start));
        ShutdownGraphics();
    }
    std::printf("start-up's pictures at 100 %% (decode 3 + frame): %8.2f ms\n", Median(decode));
    std::printf("the monitor's DPI (PlatformScreenDpi):            %8.2f ms\n", Median(dpi));
    std::printf("pictures and frame for 200 %% (SetSplashDpi):      %8.2f ms\n", Median(scale));
    std::printf("one frame at 100 %%:                               %8.2f ms\n",
                Median(frameAtBase));
    std::printf("one frame at 200 %%:                               %8.2f ms\n",
                Median(frameAtTwice));
    std::printf("ratio (DPI + scaling) / decoding: %.2f  (medians of %d rounds)\n",
                (Median(dpi) + Median(scale)) / Median(decode), rounds);
    return 0;
}
