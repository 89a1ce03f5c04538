#include "script/host_functions.h"

#include <lua.hpp>

#include "actions/run_executable.h"
#include "actions/unzip.h"
#include "platform/platform.h"
#include "script/shared_state.h"
#include "script/truncate.h"

namespace {

// Registration order is part of the contract: later entries may rely on earlier ones.
// clang-format off
const luaL_Reg HostFunctionTable[] = {
    {"SetProgress", SetProgress},
    {"ExitApp", ExitApp},
    {"HideConsole", HideConsole},
    {"Unzip", Unzip},
    {"RunExecutable", RunExecutable},
    {nullptr, nullptr},
};
// clang-format on

} // namespace

void RegisterHostFunctions() {
    lua_State* L = ScriptState;
    for (const luaL_Reg* entry = HostFunctionTable; entry->name != nullptr; ++entry) {
        lua_register(L, entry->name, entry->func);
    }
}

int SetProgress(lua_State* L) {
    const lua_Number fraction = luaL_checknumber(L, 1);
    ProgressPercent.exchange(TruncateToInt32(fraction * 100.0));
    return 0;
}

int ExitApp(lua_State* /*L*/) {
    AppRunning.exchange(false);
    // Goes to the worker's own queue, which nothing reads: the UI loop ends on AppRunning.
    PlatformPostQuit(0);
    return 0;
}

int HideConsole(lua_State* /*L*/) {
    PlatformHideConsole();
    return 0;
}
