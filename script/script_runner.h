// The script worker: one interpreter, the carried text, Start() once, Update(time) once.
#pragma once

#include <cstddef>
#include <string>

// Body of the worker thread. The name is ignored: the carried text always runs.
void ScriptThread(const std::string& scriptName);

// The same steps on any NUL-terminated text of the given size (what ScriptThread runs).
void RunScriptText(const char* text, size_t size);
