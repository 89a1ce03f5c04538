#include "tests/support/lua_host.h"

#include <lua.hpp>

#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/output_capture.h"

void OpenHostInterpreter() {
    ScriptState = luaL_newstate();
    luaL_openlibs(ScriptState);
    RegisterHostFunctions();
}

void CloseHostInterpreter() {
    lua_close(ScriptState);
    ScriptState = nullptr;
}

std::string RunChunk(const std::string& code) {
    lua_State* L = ScriptState;
    if (luaL_loadbuffer(L, code.data(), code.size(), "=t") == 0 && lua_pcall(L, 0, 0, 0) == 0) {
        return "";
    }
    const char* message = lua_tostring(L, -1);
    std::string text = message != nullptr ? message : "(not a string)";
    lua_pop(L, 1);
    return text;
}

void SetGlobalString(const char* name, const std::string& value) {
    lua_pushlstring(ScriptState, value.data(), value.size());
    lua_setglobal(ScriptState, name);
}

HostCall RunCapturedCall(const std::string& code) {
    HostCall call;
    OutputCapture capture;
    call.error = RunChunk(code);
    capture.Stop();
    call.out = capture.Out();
    call.err = capture.Err();
    lua_getglobal(ScriptState, "Result");
    call.resultIsBoolean = lua_isboolean(ScriptState, -1);
    call.result = lua_toboolean(ScriptState, -1) != 0;
    lua_pop(ScriptState, 1);
    return call;
}
