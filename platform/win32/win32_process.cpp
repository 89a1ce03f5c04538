// Win32 process start: CreateProcessW with the program as the application name, the command line
// in a writable buffer and the working directory always given. Narrow strings are widened from
// the active ANSI code page, so that they name what the narrow file calls name.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"

#if !defined(_WIN64)
static_assert(sizeof(STARTUPINFOW) == 68, "the start-up record of a 32-bit process is 68 bytes");
#endif

namespace {

// Widens bytes as the -A calls read them (CP_ACP); false with GetLastError set on failure.
bool WidenFromAnsi(const std::string& text, std::wstring* wide) {
    wide->clear();
    if (text.empty()) {
        return true;
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide->resize(static_cast<size_t>(length));
    return MultiByteToWideChar(CP_ACP, 0, text.data(), size, &(*wide)[0], length) == length;
}

} // namespace

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
    if (!WidenFromAnsi(exePath, &application) || !WidenFromAnsi(workingDir, &directory) ||
        !WidenFromAnsi(commandLine, &line)) {
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
