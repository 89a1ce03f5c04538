#include "actions/run_executable.h"

#include <iostream>

#include <lua.hpp>

#include "actions/busy_file.h"
#include "platform/platform.h"
#include "script/plain_text.h"
#include "script/shared_state.h"

namespace {

// The C++ side of RunExecutable, in a frame of its own: Lua may raise errors in the caller's
// frame only while no object with a destructor lives there.
bool LaunchFromArguments(lua_State* L, std::string* busyReason) {
    std::string exePath = lua_tostring(L, 1);
    std::string workingDir = lua_tostring(L, 2);
    std::vector<std::string> options;
    for (int index = 3; lua_isstring(L, index); ++index) {
        options.emplace_back(lua_tostring(L, index));
    }
    return LaunchProcess(exePath, workingDir, options, busyReason);
}

// A plain record, so that RunExecutable's frame, where Lua may raise errors, holds nothing with a
// destructor.
struct LaunchOutcome {
    bool started;
    char busyReason[PlainTextCapacity]; // always terminated; empty unless the file stayed held
};

void LaunchInto(lua_State* L, LaunchOutcome* outcome) {
    std::string busyReason;
    outcome->started = LaunchFromArguments(L, &busyReason);
    CopyPlainText(busyReason, outcome->busyReason);
}

} // namespace

int RunExecutable(lua_State* L) {
    luaL_checkstring(L, 1);
    luaL_checkstring(L, 2);
    LaunchOutcome outcome;
    LaunchInto(L, &outcome);
    lua_pushboolean(L, outcome.started);
    if (outcome.started || outcome.busyReason[0] == '\0') {
        return 1;
    }
    lua_pushstring(L, outcome.busyReason);
    return 2;
}

bool LaunchProcess(const std::string& exePath, const std::string& workingDir,
                   const std::vector<std::string>& options, std::string* busyReason) {
    // A client started now would outlive a launcher the player has just closed.
    if (LauncherClosing()) {
        std::cerr << "Process not started: the launcher is closing." << std::endl;
        return false;
    }
    // No quoting: an option holding spaces reaches the child as several words, on purpose.
    std::string commandLine;
    for (const std::string& option : options) {
        commandLine += ' ';
        commandLine += option;
    }
    unsigned long processIdOrError = 0;
    const BusyAttempt outcome = RetryWhileBusy(exePath, [&] {
        if (PlatformStartProcess(exePath, commandLine, workingDir, &processIdOrError)) {
            return BusyAttempt::Done;
        }
        return PlatformIsBusyError(processIdOrError) ? BusyAttempt::Busy : BusyAttempt::Failed;
    });
    if (outcome == BusyAttempt::Busy && LauncherClosing()) {
        std::cerr << "Process not started: the launcher is closing." << std::endl;
        return false;
    }
    if (outcome != BusyAttempt::Done) {
        std::cerr << "CreateProcess failed with error: " << processIdOrError << std::endl;
        if (outcome == BusyAttempt::Busy && busyReason != nullptr) {
            *busyReason = BusyReason(exePath, "");
        }
        return false;
    }
    std::cout << "Process created successfully with PID: " << processIdOrError << std::endl;
    return true;
}
