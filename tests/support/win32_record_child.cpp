// A Windows program that records how it was started: its command line, its working folder and
// its own path, one per line, as UTF-16, into the file named by LAUNCHER_RECORD_FILE. The record
// appears at once (written aside, then renamed), so a test that sees the file sees all of it.
#include <windows.h>

#include <string>

namespace {

std::wstring CurrentFolder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), &folder[0]));
    return folder;
}

std::wstring OwnPath() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path;
}

} // namespace

int wmain() {
    wchar_t target[32768];
    if (GetEnvironmentVariableW(L"LAUNCHER_RECORD_FILE", target, 32768) == 0) {
        return 2;
    }
    const std::wstring record =
        std::wstring(GetCommandLineW()) + L"\n" + CurrentFolder() + L"\n" + OwnPath() + L"\n";
    const std::wstring partial = std::wstring(target) + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, record.data(), static_cast<DWORD>(record.size() * 2), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(partial.c_str(), target, MOVEFILE_REPLACE_EXISTING)) {
        return 4;
    }
    return 0;
}
