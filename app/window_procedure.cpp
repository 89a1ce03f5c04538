#include "app/window_procedure.h"

#include <chrono>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <lua.hpp>

#include "app/message_hand_off.h"
#include "app/render.h"
#include "app/splash_scale.h"
#include "app/ui_state.h"
#include "app/ui_wake.h"
#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

// The repaint timer was stopped by an idle tick and waits for WindowOnWake. UI thread.
bool TicksStopped = false;

// After a tick: stops the timer when nothing is left to draw or show. UiSleeping is set before the
// last look, so a change made meanwhile is either seen here or wakes the thread (WakeUi).
void StopTicksIfIdle(PlatformWindow* window) {
    if (window == nullptr || TicksStopped) {
        return;
    }
    UiSleeping.store(true);
    if (ShownFrameIsCurrent() && !MessageWaiting() && !LauncherClosing()) {
        PlatformStopTimer(window, RepaintTimerId);
        TicksStopped = true;
    } else {
        UiSleeping.store(false);
    }
}

bool StartDetachedWorker(const std::string& scriptName) {
    try {
        std::thread(WorkerEntry, scriptName).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        // The thread's own state could not be allocated: as much a worker that cannot start.
        return false;
    }
}

} // namespace

bool WindowOnCreate(PlatformWindow* window) {
    if (BackgroundImage != nullptr) {
        PlatformSetClickThrough(window, DrawnBackground());
    }
    ForgetShownFrame();
    UiSleeping.store(false);
    TicksStopped = false;
    PlatformStartTimer(window, RepaintTimerId, RepaintPeriodMs);

    OpenMessageHandOff();
    const std::string scriptName("launcher_script.lua");
    // Busy before the thread exists: a window destroyed before the worker's first step must
    // still wait for it, not close an interpreter the worker is about to use.
    ScriptBusy.store(true);
    if (StartDetachedWorker(scriptName)) {
        return true;
    }

    // Without its worker the launcher would sit forever with a bar that never moves: say so and
    // end, as for the other start-up failures.
    ScriptBusy.store(false);
    PlatformStopTimer(window, RepaintTimerId);
    WorkerStartFailed = true;
    MessageBoxSink(nullptr, L"Failed to start the launcher script.", L"Critical Error",
                   MessageBoxIconError);
    return false;
}

void WindowOnTimer(PlatformWindow* window, unsigned timerId) {
    if (timerId != RepaintTimerId) {
        return;
    }
    const bool drawable = BackgroundImage != nullptr && FrameBitmap != nullptr &&
                          TrackImage != nullptr && FillImage != nullptr;
    if (drawable) {
        DrawFrameIfChanged(window);
    }
    // After the frame, so the box appears over the latest progress.
    ShowPendingMessage(window);
    if (drawable) {
        StopTicksIfIdle(window);
    }
}

void WindowOnWake(PlatformWindow* window) {
    if (!TicksStopped) {
        return;
    }
    TicksStopped = false;
    PlatformStartTimer(window, RepaintTimerId, RepaintPeriodMs);
    WindowOnTimer(window, RepaintTimerId);
}

void WindowOnDpiChanged(PlatformWindow* window, unsigned dpi) {
    if (BackgroundImage == nullptr || !SetSplashDpi(dpi)) {
        // The frame of the earlier scale, whole, which also gives the window its size back.
        PresentFrame(window);
        return;
    }
    ForgetShownFrame();
    const bool drawable = FrameBitmap != nullptr && TrackImage != nullptr && FillImage != nullptr;
    if (drawable && TicksStopped) {
        // Restarted, so a frame that cannot be drawn now is tried again on the next tick.
        WindowOnWake(window);
    } else if (drawable) {
        DrawFrameIfChanged(window);
    } else {
        // The bare background, as the first frame shows it.
        PresentFrame(window);
    }
}

int WindowOnHitTest(int defaultAnswer) {
    return defaultAnswer == HitClient ? HitCaption : defaultAnswer;
}

void WindowOnCommand(PlatformWindow* window, int commandId) {
    if (commandId == ActionCommandId) {
        MessageBoxSink(window, L"Action Triggered!", L"Game Launcher", 0);
    }
}

void WindowOnDestroy(PlatformWindow* window) {
    PlatformStopTimer(window, RepaintTimerId);
    // No wake starts it again.
    TicksStopped = false;
    UiSleeping.store(false);
    // A closed window ends the launcher with 0, whatever the script does while it winds down.
    RequestExit(0);
    CloseMessageHandOff();
    PlatformPostQuit(0);
    // No events are handled meanwhile. The worker notices the close between blocks of its work
    // (transfer, extraction) and finishes within about a second; the interpreter is its until
    // ScriptBusy drops.
    while (ScriptBusy.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(DestroyWaitStepMs));
    }
    if (ScriptState != nullptr) {
        lua_close(ScriptState);
        ScriptState = nullptr;
    }
}
