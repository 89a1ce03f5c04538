#include "actions/busy_file.h"

#include <algorithm>
#include <iostream>

#include "app/status_line.h"
#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

constexpr std::chrono::milliseconds FirstPause{100};
constexpr std::chrono::milliseconds LongestPause{2000};

// The last segment of the path (UTF-8), either separator, for the player's status line.
std::wstring FileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return PlatformWideFromUtf8(slash == std::string::npos ? path : path.substr(slash + 1));
}

} // namespace

BusyAttempt RetryWhileBusy(const std::string& path, const std::function<BusyAttempt()>& attempt) {
    BusyAttempt outcome = attempt();
    if (outcome != BusyAttempt::Busy) {
        return outcome;
    }
    std::cout << "Waiting for a file in use by another program: " << path << std::endl;
    const std::wstring shown = L"文件被占用：" + FileName(path) + L"，请关闭游戏…";
    std::wstring previous = HandOverStatusFor(shown);
    const auto end = std::chrono::steady_clock::now() + BusyFileWait;
    auto pause = FirstPause;
    while (outcome == BusyAttempt::Busy && !LauncherClosing()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitUnlessClosing(std::min(pause, left))) {
            break;
        }
        pause = std::min(pause * 2, LongestPause);
        outcome = attempt();
    }
    if (outcome == BusyAttempt::Done) {
        RestoreStatus(shown, std::move(previous));
    }
    return outcome;
}

std::string BusyReason(const std::string& path, const std::string& systemReason) {
    std::string reason = path + ": in use by another program (the game itself, perhaps)";
    // The system's words follow its own "<path>: ".
    const std::string prefix = path + ": ";
    if (systemReason.compare(0, prefix.size(), prefix) == 0) {
        reason += ": " + systemReason.substr(prefix.size());
    } else if (!systemReason.empty()) {
        reason += ": " + systemReason;
    }
    return reason;
}
