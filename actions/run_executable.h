// Process launch for the script: the host function RunExecutable and the layer below it.
#pragma once

#include <string>
#include <vector>

struct lua_State;

// Lua: RunExecutable(exePath, workingDir, option...) -> true, or false and, for a program file
// that another program held through the whole wait, why. Options are strings or numbers from
// argument 3 on; the first argument of any other kind ends them.
int RunExecutable(lua_State* L);

// Starts exePath in workingDir with " " + option for each option as its command line, without
// waiting. Prints the child's id on std::cout, or the error number on std::cerr. A program file
// that another program holds (a virus scanner reading it) is waited for as a busy file
// (actions/busy_file.h); when it stays held, *busyReason (when given) names it. Once the launcher
// is closing it starts nothing and prints "Process not started: the launcher is closing." on
// std::cerr.
bool LaunchProcess(const std::string& exePath, const std::string& workingDir,
                   const std::vector<std::string>& options, std::string* busyReason = nullptr);
