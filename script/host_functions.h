// The native functions through which the script acts on the program.
#pragma once

struct lua_State;

// Registers the host functions and the preload entries on ScriptState, leaving its stack as found.
void RegisterHostFunctions();

int SetProgress(lua_State* L);
int ExitApp(lua_State* L);
int HideConsole(lua_State* L);
