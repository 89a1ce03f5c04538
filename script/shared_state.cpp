#include "script/shared_state.h"

std::atomic<int32_t> ProgressPercent{0};
std::atomic<bool> AppRunning{true};
std::atomic<bool> ScriptBusy{false};
lua_State* ScriptState = nullptr;
