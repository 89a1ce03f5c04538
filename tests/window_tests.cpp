// The splash window on a real X server (run under xvfb-run on a 1920x1080 screen, no window
// manager): placement, what the screen shows, the loop's exit codes, and the destroy sequence.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <lua.hpp>

#include "app/image_resources.h"
#include "app/message_hand_off.h"
#include "app/render.h"
#include "app/startup.h"
#include "app/status_line.h"
#include "app/ui_state.h"
#include "app/ui_wake.h"
#include "app/window_procedure.h"
#include "platform/linux/linux_backend.h"
#include "platform/platform.h"
#include "script/host_functions.h"
#include "script/script_runner.h"
#include "script/shared_state.h"
#include "tests/support/fake_pointer.h"
#include "tests/support/message_box_recorder.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/splash_pictures.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string TestScript;
std::atomic<bool> WorkerGate{true};

// The worker the window starts in these tests: the test's script, once the gate is open.
void TestWorker(const std::string&) {
    while (!WorkerGate.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    RunScriptText(TestScript.c_str(), TestScript.size());
}

// Lua that appends "closed" to the log when the interpreter holding it is closed.
std::string CloseLogger(const std::string& log) {
    return "local p = newproxy(true)\n"
           "getmetatable(p).__gc = function()\n"
           "  local f = io.open([[" +
           log +
           "]], 'a'); f:write('closed\\n'); f:close()\n"
           "end\n"
           "keep_until_close = p\n";
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void DrainEvents() {
    while (gtk_events_pending()) {
        gtk_main_iteration();
    }
}

// Handles whatever arrives for a while, as the loop would.
void PumpEvents(int milliseconds) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < end) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Handles events until done() holds, for at most five seconds; whether it came to hold.
template <typename Condition>
bool EventsUntil(Condition done) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// What the screen shows at (x, y), as 0xRRGGBB.
uint32_t ScreenRgb(int x, int y) {
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, 1, 1);
    const guint8* p = gdk_pixbuf_read_pixels(pixbuf);
    const uint32_t rgb = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    g_object_unref(pixbuf);
    return rgb;
}

bool PointerGrabbed() {
    GdkDisplay* display = gdk_display_get_default();
    return gdk_display_device_is_grabbed(
        display, gdk_seat_get_pointer(gdk_display_get_default_seat(display)));
}

const uint32_t FillGreen = 0x3FD84D;

// Reads a screenshot; the pixel at (x, y) as 0xRRGGBB.
class Screenshot {
  public:
    explicit Screenshot(const std::string& path)
        : surface_(cairo_image_surface_create_from_png(path.c_str())) {}
    ~Screenshot() {
        cairo_surface_destroy(surface_);
    }
    bool Ok() const {
        return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS;
    }
    uint32_t Rgb(int x, int y) const {
        const unsigned char* row =
            cairo_image_surface_get_data(surface_) +
            static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(surface_);
        uint32_t pixel;
        std::memcpy(&pixel, row + x * 4, sizeof pixel);
        return pixel & 0xFFFFFF;
    }

  private:
    cairo_surface_t* surface_;
};

class SplashWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        MessageBoxSink = RecordMessageBox;
        ClearRecordedBoxes();
        WorkerEntry = TestWorker;
        WorkerGate.store(true);
        WorkerStartFailed = false;
        ResetExitRequest();
        ProgressPercent.store(0);
        LinuxUseResourceTable(nullptr);
        int ignored;
        PlatformTakeQuit(&ignored);
    }
    void TearDown() override {
        WorkerGate.store(true);
        if (MainWindow != nullptr) {
            LinuxDestroyWindow(MainWindow); // waits for a worker still running
            MainWindow = nullptr;
        }
        ShutdownGraphics();
        DrainEvents();
        int ignored;
        PlatformTakeQuit(&ignored);
        ResetExitRequest();
        WorkerEntry = ScriptThread;
        MessageBoxSink = PlatformMessageBox;
    }

    // The splash with the carried pictures at (x, y), its first frame (the bare background) on the
    // screen; the test drives the ticks.
    void ShowSplash(int x, int y) {
        TestScript = "function Start() end\nfunction Update() end\n";
        LoadSplashPictures();
        MainWindow = PlatformCreateWindow(L"Game Launcher", x, y, 856, 552);
        ASSERT_NE(MainWindow, nullptr);
        PlatformStopTimer(MainWindow, RepaintTimerId);
        PresentFrame(MainWindow);
        ASSERT_TRUE(
            EventsUntil([x, y] { return ScreenRgb(x + BarX + 100, y + BarY + 6) == 0x0A0E16u; }));
    }

    ScratchDir scratch_;
};

// Closes the window as a window manager would: a delete event, handled by GTK's default.
gboolean SendDeleteEvent(gpointer) {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window =
        GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(LinuxGtkWindow(MainWindow)))));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
    return G_SOURCE_REMOVE;
}

} // namespace

TEST_F(SplashWindow, ShowsCentredWithTheBarWhereTheScriptPutIt) {
    const std::string shot = scratch_ / "screen.png";
    TestScript = "function Start() end\n"
                 "function Update()\n"
                 "  SetProgress(0.5)\n"
                 "  os.execute('sleep 0.4; import -window root " +
                 shot +
                 "')\n"
                 "  ExitApp()\n"
                 "end\n";
    EXPECT_EQ(LauncherMain(), 0) << "ExitApp() ends the launcher with 0, whenever the tick came";
    EXPECT_TRUE(RecordedBoxes.empty());

    // The window is left standing when the loop ends; look at it.
    ASSERT_NE(MainWindow, nullptr);
    GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(LinuxGtkWindow(MainWindow)));
    int x = 0;
    int y = 0;
    gdk_window_get_origin(gdkWindow, &x, &y);
    EXPECT_EQ(x, 532);
    EXPECT_EQ(y, 264);
    EXPECT_EQ(gdk_window_get_width(gdkWindow), 856);
    EXPECT_EQ(gdk_window_get_height(gdkWindow), 552);
    EXPECT_STREQ(gtk_window_get_title(LinuxGtkWindow(MainWindow)), "Game Launcher");
    // The frame has been released; the window must repaint from pixels of its own.
    gdk_window_invalidate_rect(gdkWindow, nullptr, FALSE);
    PumpEvents(50);

    Screenshot screen(shot);
    ASSERT_TRUE(screen.Ok()) << "no screenshot at " << shot;
    const int row = 264 + BarY + 6;
    EXPECT_EQ(screen.Rgb(532 + BarX, row), 0x000000u) << "the fill's clear first column";
    for (int column = 1; column < 328; ++column) {
        ASSERT_EQ(screen.Rgb(532 + BarX + column, row), 0x3FD84Du) << column;
    }
    for (int column = 328; column < 656; column += 9) {
        ASSERT_EQ(screen.Rgb(532 + BarX + column, row), 0x000000u) << column;
    }

    // Everywhere the background is opaque and outside the bar, the screen shows it unchanged.
    PlatformImage* background = LoadPngResource(IdBackground);
    PlatformFrame* expected = PlatformCreateFrame(background);
    int compared = 0;
    for (int by = 0; by < 552; by += 5) {
        for (int bx = 0; bx < 856; bx += 5) {
            const uint32_t pixel = LinuxFramePixel(expected, bx, by);
            const bool inBar = bx >= BarX && bx < BarX + 656 && by >= BarY && by < BarY + 14;
            if ((pixel >> 24) == 255 && !inBar) {
                ASSERT_EQ(screen.Rgb(532 + bx, 264 + by), pixel & 0xFFFFFF) << bx << "," << by;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 10000);
    PlatformDeleteFrame(expected);
    PlatformDeleteImage(background);
}

TEST_F(SplashWindow, MissingBarPictureShowsTheBackgroundWithoutABar) {
    LinuxResource background{"PNG", IdBackground, nullptr, 0};
    LinuxResource fill{"PNG", IdFill, nullptr, 0};
    PlatformFindResource("PNG", IdBackground, &background.bytes, &background.size);
    PlatformFindResource("PNG", IdFill, &fill.bytes, &fill.size);
    const LinuxResource table[] = {background, fill, {nullptr, 0, nullptr, 0}};
    LinuxUseResourceTable(table);

    const std::string shot = scratch_ / "screen.png";
    TestScript = "function Start() end\n"
                 "function Update()\n"
                 "  SetProgress(0.9)\n"
                 "  os.execute('sleep 0.3; import -window root " +
                 shot +
                 "')\n"
                 "  ExitApp()\n"
                 "end\n";
    LauncherMain();
    ASSERT_EQ(RecordedBoxes.size(), 1u);
    EXPECT_EQ(RecordedBoxes[0].text, L"PNG Resource not found: ID 133");

    Screenshot screen(shot);
    ASSERT_TRUE(screen.Ok());
    // The bar groove of the bare background, no green anywhere along the bar.
    for (int column = 0; column < 656; column += 3) {
        ASSERT_NE(screen.Rgb(532 + BarX + column, 264 + BarY + 6), 0x3FD84Du) << column;
    }
    EXPECT_EQ(screen.Rgb(532 + BarX + 100, 264 + BarY + 6), 0x0A0E16u);
}

TEST_F(SplashWindow, ClosingMidScriptWaitsForTheWorkerAndEndsWithZero) {
    const std::string log = scratch_ / "log";
    TestScript = CloseLogger(log) +
                 "function Start() end\n"
                 "function Update()\n"
                 "  SetProgress(0.3)\n"
                 "  os.execute('sleep 0.6')\n"
                 "  local f = io.open([[" +
                 log +
                 "]], 'a'); f:write('update done\\n'); f:close()\n"
                 "end\n";
    g_timeout_add(150, SendDeleteEvent, nullptr);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(LauncherMain(), 0);
    EXPECT_GE(SecondsSince(start), 0.5) << "the destroy handler must wait for the worker";
    EXPECT_EQ(ReadFile(log), "update done\nclosed\n") << "closed once, by the worker";
    EXPECT_EQ(ScriptState, nullptr);
    EXPECT_FALSE(ScriptBusy.load());
    EXPECT_FALSE(AppRunning.load());
    EXPECT_EQ(LinuxGtkWindow(MainWindow), nullptr) << "the window is gone";
}

TEST_F(SplashWindow, DestroyedBeforeTheWorkerStartsStillWaitsForIt) {
    const std::string log = scratch_ / "log";
    TestScript = CloseLogger(log) + "function Start() end\nfunction Update() end\n";
    WorkerGate.store(false);
    PlatformWindow* window = PlatformCreateWindow(L"Game Launcher", 0, 0, 856, 552);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(ScriptBusy.load()) << "busy before the worker has run a single step";

    std::thread opener([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        WorkerGate.store(true);
    });
    const Clock::time_point start = Clock::now();
    LinuxDestroyWindow(window);
    const double waited = SecondsSince(start);
    opener.join();

    EXPECT_GE(waited, 0.15);
    EXPECT_EQ(ReadFile(log), "closed\n");
    EXPECT_EQ(ScriptState, nullptr);
    EXPECT_FALSE(ScriptBusy.load());
    EXPECT_FALSE(AppRunning.load());
    int code = -1;
    EXPECT_TRUE(PlatformTakeQuit(&code)) << "the quit goes to the UI thread's own queue";
    EXPECT_EQ(code, 0);
}

// The box the script asked for is up (a real GTK dialog, with its own event loop) when the
// splash is closed: the destroy handler waits for the worker, which waits for the box. The close
// must dismiss the box and release the worker, and the launcher ends with 0.
TEST_F(SplashWindow, ClosingWhileTheScriptsBoxIsUpEndsTheLauncher) {
    const std::string log = scratch_ / "log";
    MessageBoxSink = PlatformMessageBox;
    TestScript = "function Start() end\n"
                 "function Update()\n"
                 "  ShowMessage('\\211\\195 failed\\nreason')\n"
                 "  local f = io.open([[" +
                 log +
                 "]], 'a'); f:write('after the box\\n'); f:close()\n"
                 "  ExitApp(1)\n"
                 "end\n";
    g_timeout_add(
        20,
        [](gpointer) -> gboolean {
            GList* windows = gtk_window_list_toplevels();
            bool boxUp = false;
            for (GList* item = windows; item != nullptr; item = item->next) {
                boxUp = boxUp || (GTK_IS_MESSAGE_DIALOG(item->data) &&
                                  gtk_widget_get_visible(GTK_WIDGET(item->data)));
            }
            g_list_free(windows);
            if (!boxUp) {
                return G_SOURCE_CONTINUE;
            }
            // The modal box holds GTK's grab, so a window manager's close would not reach the
            // splash now; destroy it directly, as a close from another program does on Windows.
            gtk_widget_destroy(GTK_WIDGET(LinuxGtkWindow(MainWindow)));
            return G_SOURCE_REMOVE;
        },
        nullptr);
    EXPECT_EQ(LauncherMain(), 0) << "a closed window ends with 0, whatever the script does next";
    EXPECT_EQ(ReadFile(log), "after the box\n");
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        EXPECT_FALSE(GTK_IS_MESSAGE_DIALOG(item->data)) << "the box went with the window";
    }
    g_list_free(windows);
    EXPECT_FALSE(ScriptBusy.load());
}

// A worker asking for a box while (or just before) the destroy handler waits for it gets no box
// and returns at once; the box would need the UI thread, which is waiting.
TEST_F(SplashWindow, WorkerAskingForABoxNeverHoldsUpTheClose) {
    static std::atomic<bool> asked{false};
    static std::atomic<bool> returned{false};
    for (const bool afterTheClose : {true, false}) {
        asked.store(false);
        returned.store(false);
        WorkerEntry = afterTheClose ? [](const std::string&) {
            while (!LauncherClosing()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            asked.store(true);
            ShowScriptMessage(L"late", L"Game Launcher");
            returned.store(true);
            ScriptBusy.store(false);
        } : [](const std::string&) {
            asked.store(true);
            ShowScriptMessage(L"early", L"Game Launcher"); // no tick will show it
            returned.store(true);
            ScriptBusy.store(false);
        };
        ResetExitRequest();
        PlatformWindow* window = PlatformCreateWindow(L"Game Launcher", 0, 0, 856, 552);
        ASSERT_NE(window, nullptr);
        while (!afterTheClose && !asked.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        LinuxDestroyWindow(window); // returns only once the worker is done
        EXPECT_TRUE(asked.load());
        EXPECT_TRUE(returned.load());
        EXPECT_TRUE(RecordedBoxes.empty());
        EXPECT_EQ(RequestedExitCode(-1), 0);
    }
}

TEST_F(SplashWindow, DestroyClosesAnInterpreterLeftOpenExactlyOnce) {
    const std::string log = scratch_ / "log";
    const std::string code = CloseLogger(log);
    ScriptState = luaL_newstate();
    luaL_openlibs(ScriptState);
    ASSERT_EQ(luaL_dostring(ScriptState, code.c_str()), 0);
    ScriptBusy.store(false);

    WindowOnDestroy(nullptr);
    EXPECT_EQ(ScriptState, nullptr);
    EXPECT_EQ(ReadFile(log), "closed\n");
    WindowOnDestroy(nullptr);
    EXPECT_EQ(ReadFile(log), "closed\n");
}

TEST_F(SplashWindow, WorkersQuitRequestNeverEndsTheLoop) {
    TestScript = "function Start() end\nfunction Update() end\n";
    WorkerEntry = [](const std::string& name) {
        PlatformPostQuit(7); // the worker's own queue, which no loop reads
        TestWorker(name);
    };
    MainWindow = PlatformCreateWindow(L"Game Launcher", 0, 0, 856, 552);
    ASSERT_NE(MainWindow, nullptr);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        AppRunning.store(false);
    });
    const Clock::time_point start = Clock::now();
    const int code = RunMessageLoop();
    stopper.join();
    EXPECT_GE(SecondsSince(start), 0.2);
    EXPECT_EQ(code, 0) << "ended by AppRunning, not by the worker's quit";
}

TEST_F(SplashWindow, PressAndDragAnywhereMovesTheWindow) {
    TestScript = "function Start() end\nfunction Update() end\n";
    BackgroundImage = LoadPngResource(IdBackground);
    ASSERT_NE(BackgroundImage, nullptr);
    BackgroundWidth = PlatformImageWidth(BackgroundImage);
    BackgroundHeight = PlatformImageHeight(BackgroundImage);
    FrameBitmap = PlatformCreateFrame(BackgroundImage);
    MainWindow = PlatformCreateWindow(L"Game Launcher", 100, 100, 856, 552);
    ASSERT_NE(MainWindow, nullptr);
    PresentFrame(MainWindow);
    PumpEvents(100);

    GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(LinuxGtkWindow(MainWindow)));
    int x = 0;
    int y = 0;
    gdk_window_get_origin(gdkWindow, &x, &y);
    ASSERT_EQ(x, 100);
    ASSERT_EQ(y, 100);

    // Press in the middle of the picture, drag by (+60, +40) in steps, release.
    FakePointerMove(500, 400);
    PumpEvents(50);
    FakePointerButton(true);
    PumpEvents(50);
    for (int step = 1; step <= 4; ++step) {
        FakePointerMove(500 + 15 * step, 400 + 10 * step);
        PumpEvents(40);
    }
    FakePointerButton(false);
    PumpEvents(100);

    gdk_window_get_origin(gdkWindow, &x, &y);
    EXPECT_EQ(x, 160);
    EXPECT_EQ(y, 140);
}

TEST_F(SplashWindow, IdleTicksDrawNothingAndEachVisibleChangeDrawsOnce) {
    ShowSplash(100, 100);
    auto drawnBy = [](int32_t percent) {
        const uint64_t before = FramesDrawn();
        ProgressPercent.store(percent);
        for (int tick = 0; tick < 10; ++tick) {
            WindowOnTimer(MainWindow, RepaintTimerId);
        }
        return FramesDrawn() - before;
    };
    EXPECT_EQ(drawnBy(0), 1u) << "the first tick adds the bar to the bare background";
    EXPECT_EQ(drawnBy(-5), 0u) << "drawn as 0";
    EXPECT_EQ(drawnBy(100), 1u);
    EXPECT_EQ(drawnBy(150), 0u) << "drawn as 100";
    EXPECT_EQ(drawnBy(37), 1u);
    HandOverStatus(L"status");
    EXPECT_EQ(drawnBy(37), 1u) << "a new status text is a change";
    HandOverStatus(L"status");
    EXPECT_EQ(drawnBy(37), 0u) << "the same text is none";
    HandOverStatus(L"");
    EXPECT_EQ(drawnBy(37), 1u);

    const int row = 100 + BarY + 6;
    const int end = 100 + BarX + FillLength(37, 656);
    EXPECT_EQ(ScreenRgb(end - 1, row), FillGreen);
    EXPECT_EQ(ScreenRgb(end, row), 0x000000u) << "nothing left of the full bar";

    // Mapped again, the window is repainted from the pixels it keeps, with no new frame.
    GtkWidget* widget = GTK_WIDGET(LinuxGtkWindow(MainWindow));
    const uint64_t before = FramesDrawn();
    gtk_widget_hide(widget);
    ASSERT_TRUE(EventsUntil([&] { return ScreenRgb(end - 1, row) != FillGreen; }));
    gtk_widget_show(widget);
    ASSERT_TRUE(EventsUntil([&] { return ScreenRgb(end - 1, row) == FillGreen; }));
    EXPECT_EQ(ScreenRgb(end, row), 0x000000u);
    EXPECT_EQ(FramesDrawn(), before);
}

// The worker of the sleep test: before each step it waits until the idle splash has stopped its
// repaint timer (UiSleeping), so every change below reaches a sleeping UI thread.
std::atomic<int> StepsTakenAsleep{0};

void StepWhileTheSplashSleeps(const std::string&) {
    ScriptState = luaL_newstate();
    luaL_openlibs(ScriptState);
    RegisterHostFunctions();
    for (const char* step :
         {"SetProgress(0.6)", "SetStatus('status')", "ShowMessage('box')", "ExitApp(3)"}) {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
        while (!UiSleeping.load() && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (UiSleeping.load()) {
            ++StepsTakenAsleep;
        }
        luaL_dostring(ScriptState, step);
    }
    lua_close(ScriptState);
    ScriptState = nullptr;
    ScriptBusy.store(false);
}

TEST_F(SplashWindow, IdleSplashStopsTickingAndEveryChangeFromTheWorkerWakesIt) {
    LoadSplashPictures();
    WorkerEntry = StepWhileTheSplashSleeps;
    StepsTakenAsleep.store(0);
    MainWindow = PlatformCreateWindow(L"Game Launcher", 100, 100, 856, 552);
    ASSERT_NE(MainWindow, nullptr);
    // A wake that never comes would leave the loop waiting for ever: end it from here instead.
    const guint guard = g_timeout_add_seconds(
        30,
        [](gpointer) -> gboolean {
            RequestExit(99);
            return G_SOURCE_REMOVE;
        },
        nullptr);
    const int code = RunMessageLoop();
    if (code != 99) {
        g_source_remove(guard);
    }

    EXPECT_EQ(code, 3) << "ExitApp reaches the sleeping loop";
    EXPECT_EQ(StepsTakenAsleep.load(), 4) << "every step found the splash asleep";
    ASSERT_EQ(RecordedBoxes.size(), 1u) << "a box asked for while asleep is shown";
    EXPECT_EQ(RecordedBoxes[0].text, L"box");
    const int end = 100 + BarX + FillLength(60, 656);
    EXPECT_TRUE(EventsUntil([end] { return ScreenRgb(end - 1, 100 + BarY + 6) == FillGreen; }));
    EXPECT_EQ(ScreenRgb(end, 100 + BarY + 6), 0x000000u);
    int lit = 0;
    for (int x = BarX; x < BarX + 656; ++x) {
        const uint32_t pixel = LinuxFramePixel(FrameBitmap, x, BarY - StatusBandHeight / 2);
        lit += ((pixel >> 8) & 255) > 160 ? 1 : 0;
    }
    EXPECT_GT(lit, 0) << "the status text set while asleep is in the frame";
}

TEST_F(SplashWindow, PressOnAClearPixelReachesTheWindowBelowAndOnThePictureStartsADrag) {
    // An ordinary window under the whole splash, counting the presses that reach it.
    static int pressesBelow;
    pressesBelow = 0;
    std::unique_ptr<GtkWidget, void (*)(GtkWidget*)> below(gtk_window_new(GTK_WINDOW_TOPLEVEL),
                                                           gtk_widget_destroy);
    gtk_window_move(GTK_WINDOW(below.get()), 100, 100);
    gtk_window_set_default_size(GTK_WINDOW(below.get()), 856, 552);
    gtk_widget_add_events(below.get(), GDK_BUTTON_PRESS_MASK);
    g_signal_connect(below.get(), "button-press-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
                         ++pressesBelow;
                         return TRUE;
                     }),
                     nullptr);
    gtk_widget_show(below.get());
    ShowSplash(100, 100);
    ASSERT_EQ(LinuxFramePixel(FrameBitmap, 850, 276), 0u) << "a clear pixel of the picture";

    FakePointerMove(100 + 850, 100 + 276);
    FakePointerButton(true);
    FakePointerButton(false);
    EXPECT_TRUE(EventsUntil([] { return pressesBelow == 1; }));

    // The drag itself, with the same shape: PressAndDragAnywhereMovesTheWindow.
    FakePointerMove(500, 400);
    FakePointerButton(true);
    EXPECT_TRUE(EventsUntil(PointerGrabbed)) << "a press on the picture starts a drag";
    FakePointerButton(false);
    EXPECT_EQ(pressesBelow, 1);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "window_tests: needs an X display (run under xvfb-run)\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
