// Linked into test builds of launcher.exe in place of the modal box, which nobody is there to
// close: each box the program asks for is appended as one UTF-8 line to the file named by
// LAUNCHER_BOX_LOG ("owner=<0|1> flags=<n> title=<title> text=<text>"), and the program goes on
// as if OK had been pressed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/ui_state.h"

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length,
                        nullptr, nullptr);
    return out;
}

void RecordBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
               unsigned flags) {
    wchar_t path[32768];
    const DWORD length = GetEnvironmentVariableW(L"LAUNCHER_BOX_LOG", path, 32768);
    const std::string line = "owner=" + std::to_string(owner != nullptr ? 1 : 0) +
                             " flags=" + std::to_string(flags) + " title=" + Utf8(title) +
                             " text=" + Utf8(text) + "\n";
    FILE* file = length > 0 && length < 32768 ? _wfopen(path, L"ab") : nullptr;
    if (file == nullptr) {
        std::fputs(line.c_str(), stderr);
        return;
    }
    std::fputs(line.c_str(), file);
    std::fclose(file);
}

// The sink is a constant-initialised pointer, so this runs after it has its default.
const bool Installed = (MessageBoxSink = RecordBox, true);

} // namespace
