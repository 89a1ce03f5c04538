#include "tests/support/environment.h"

#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#endif

void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
    // The C runtime keeps its own copy; children inherit the process's block.
    _putenv_s(name.c_str(), value.c_str());
    SetEnvironmentVariableA(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnvironment(const std::string& name) {
#ifdef _WIN32
    // An empty value removes the variable from the C runtime's copy.
    _putenv_s(name.c_str(), "");
    SetEnvironmentVariableA(name.c_str(), nullptr);
#else
    unsetenv(name.c_str());
#endif
}
