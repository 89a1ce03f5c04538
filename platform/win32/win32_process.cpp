// Win32 process start: CreateProcessW with the program as the application name, the command line
// in a writable buffer and the working directory always given. The UTF-8 strings are widened as the
// file calls widen theirs, so that they name what those name. Not in the \\?\ form: the system
// takes neither a program nor a working folder past MAX_PATH.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

#if !defined(_WIN64)
static_assert(sizeof(STARTUPINFOW) == 68, "the start-up record of a 32-bit process is 68 bytes");
#endif

bool PlatformStartProcess(const std::string& exePath, const std::string& commandLine,
                          const std::string& workingDir, unsigned long* processIdOrError) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);

    std::wstring application;
    std::wstring directory;
    std::wstring line;
    if (!Win32WideFromUtf8(exePath, &application) || !Win32WideFromUtf8(workingDir, &directory) ||
        !Win32WideFromUtf8(commandLine, &line)) {
        *processIdOrError = GetLastError();
        return false;
    }
    // CreateProcessW may write into the command line, so it gets a buffer of its own.
    std::vector<wchar_t> lineBuffer(line.c_str(), line.c_str() + line.size() + 1);

    if (!CreateProcessW(application.c_str(), lineBuffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
        // Read before anything else can overwrite it.
        *processIdOrError = GetLastError();
        return false;
    }
    *processIdOrError = process.dwProcessId;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

bool PlatformIsBusyError(unsigned long error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}
