// Linux: Lua's own io and os functions already take the path's bytes and seek with a 64-bit long.
#include "platform/platform.h"

void PlatformOpenScriptFiles(lua_State* /*L*/) {}
