// Time from process start to the first frame on screen: the launcher against a bare GTK window
// (bench/bare_window.cpp), alternating runs on the same X server.
//
//   first_frame_bench <launcher> <bare_window> [runs]   (under xvfb-run, -br for a black root)
//
// A process counts as shown when a screen pixel inside where its window appears differs from what
// the root showed before it started; both are watched the same way, by polling that pixel.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

unsigned long PixelAt(Display* display, int x, int y) {
    XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return pixel;
}

// Milliseconds from fork to the pixel changing; negative on timeout.
double TimeToShow(Display* display, const char* program, int x, int y) {
    const unsigned long before = PixelAt(display, x, y);
    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        // Its output (the script's lines) is not what is measured.
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    double shown = -1.0;
    while (Clock::now() - start < std::chrono::seconds(10)) {
        if (PixelAt(display, x, y) != before) {
            shown = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // Let the server drop the window before the next run looks at the root.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return shown;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <launcher> <bare_window> [runs]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 15;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "first_frame_bench: needs an X display\n");
        return 1;
    }
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));

    std::vector<double> launcher;
    std::vector<double> bare;
    for (int run = 0; run < runs; ++run) {
        // The splash is centred; the bare window opens 200x200 at the top-left corner.
        const double ours = TimeToShow(display, argv[1], screenWidth / 2, screenHeight / 2);
        const double peer = TimeToShow(display, argv[2], 100, 100);
        if (ours < 0 || peer < 0) {
            std::fprintf(stderr, "run %d: a window never showed\n", run);
            return 1;
        }
        launcher.push_back(ours);
        bare.push_back(peer);
    }
    const double ours = Median(launcher);
    const double peer = Median(bare);
    std::printf("first frame, median of %d runs: launcher %.1f ms, bare gtk_window_new %.1f ms, "
                "ratio %.2f (goal <= 1.30)\n",
                runs, ours, peer, ours / peer);
    XCloseDisplay(display);
    return 0;
}
