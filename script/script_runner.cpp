#include "script/script_runner.h"

#include <iostream>

#include <lua.hpp>

#include "platform/platform.h"
#include "script/carried_script.h"
#include "script/host_functions.h"
#include "script/shared_state.h"

namespace {

// Writes one failure line for the error value on top of the stack.
void ReportError(const char* prefix) {
    lua_State* L = ScriptState;
    const char* message = lua_tostring(L, -1);
    std::cerr << prefix;
    if (message != nullptr) {
        std::cerr << message;
    } else {
        // Lua has no text for tables, booleans and the like; name the type so the line says
        // something.
        std::cerr << "(error object is a " << luaL_typename(L, -1) << " value)";
    }
    std::cerr << std::endl;
}

} // namespace

void ScriptThread(const std::string& /*scriptName*/) {
    RunScriptText(CarriedScriptText, CarriedScriptSize);
}

void RunScriptText(const char* text, size_t size) {
    ScriptBusy.exchange(true);

    ScriptState = luaL_newstate();
    if (ScriptState == nullptr) {
        std::cerr << "Lua error: cannot create the interpreter (out of memory)" << std::endl;
        PlatformEndThreadCrypto();
        ScriptBusy.exchange(false);
        return;
    }
    luaL_openlibs(ScriptState);
    RegisterHostFunctions();

    // The text itself is the chunk name, as luaL_dostring does; load and run failures are silent
    // because the missing Start and Update report them below.
    if (luaL_loadbuffer(ScriptState, text, size, text) == 0) {
        lua_pcall(ScriptState, 0, LUA_MULTRET, 0);
    }

    lua_getglobal(ScriptState, "Start");
    if (lua_pcall(ScriptState, 0, 0, 0) != 0) {
        ReportError("Lua Start error: ");
    }

    lua_getglobal(ScriptState, "Update");
    lua_pushnumber(ScriptState, GetElapsedSeconds());
    if (lua_pcall(ScriptState, 1, 0, 0) != 0) {
        ReportError("Lua Update error: ");
    }

    lua_close(ScriptState);
    ScriptState = nullptr;
    // Once ScriptBusy is false the process may exit before this thread has ended.
    PlatformEndThreadCrypto();
    ScriptBusy.exchange(false);
}
