// The Lua text compiled into the program (generated at build time from LAUNCHER_SCRIPT).
#pragma once

#include <cstddef>

extern "C" {
// NUL-terminated; CarriedScriptSize excludes the NUL and no NUL occurs before it.
extern const char CarriedScriptText[];
extern const size_t CarriedScriptSize;
}
