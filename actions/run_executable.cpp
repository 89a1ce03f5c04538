#include "actions/run_executable.h"

#include <iostream>

#include <lua.hpp>

#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

// The C++ side of RunExecutable, in a frame of its own: Lua may raise errors in the caller's
// frame only while no object with a destructor lives there.
bool LaunchFromArguments(lua_State* L) {
    std::string exePath = lua_tostring(L, 1);
    std::string workingDir = lua_tostring(L, 2);
    std::vector<std::string> options;
    for (int index = 3; lua_isstring(L, index); ++index) {
        options.emplace_back(lua_tostring(L, index));
    }
    return LaunchProcess(exePath, workingDir, options);
}

} // namespace

int RunExecutable(lua_State* L) {
    luaL_checkstring(L, 1);
    luaL_checkstring(L, 2);
    lua_pushboolean(L, LaunchFromArguments(L));
    return 1;
}

bool LaunchProcess(const std::string& exePath, const std::string& workingDir,
                   const std::vector<std::string>& options) {
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
    if (!PlatformStartProcess(exePath, commandLine, workingDir, &processIdOrError)) {
        std::cerr << "CreateProcess failed with error: " << processIdOrError << std::endl;
        return false;
    }
    std::cout << "Process created successfully with PID: " << processIdOrError << std::endl;
    return true;
}
