#include "script/host_functions.h"

#include <lua.hpp>

#include "actions/hash_file.h"
#include "actions/run_executable.h"
#include "actions/unzip.h"
#include "platform/platform.h"
#include "script/curl_module.h"
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
    {"HashFile", HashFile},
    {nullptr, nullptr},
};
// clang-format on

// Makes require("cURL") open the built-in module without searching the file system; the module
// itself is opened only by the script's first require.
void RegisterPreloads(lua_State* L) {
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "preload");
    lua_pushcfunction(L, luaopen_cURL);
    lua_setfield(L, -2, "cURL");
    lua_pop(L, 2);
}

} // namespace

void RegisterHostFunctions() {
    lua_State* L = ScriptState;
    for (const luaL_Reg* entry = HostFunctionTable; entry->name != nullptr; ++entry) {
        lua_register(L, entry->name, entry->func);
    }
    RegisterPreloads(L);
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
