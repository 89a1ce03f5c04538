// Environment variables for tests, set where both the C runtime (getenv, Lua's os.getenv) and
// child processes see them.
#pragma once

#include <string>

void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);
