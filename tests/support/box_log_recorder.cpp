// Linked into test builds of the launcher in place of the modal box, which nobody is there to
// close: each box the program asks for is appended as one UTF-8 line to the file named by
// LAUNCHER_BOX_LOG ("owner=<0|1> flags=<n> title=<title> text=<text>", line breaks in the text
// written as \n), and the program goes on as if OK had been pressed.
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "app/ui_state.h"

namespace {

void AppendUtf8(unsigned long c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 (Windows) or UTF-32 (Linux) to UTF-8, one line: a line break becomes \n.
std::string Utf8Line(const std::wstring& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned long>(text[i]) & 0x1FFFFF;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) +
                ((static_cast<unsigned long>(text[++i]) & 0xFFFF) - 0xDC00);
        }
        if (c == '\n') {
            out += "\\n";
        } else {
            AppendUtf8(c, &out);
        }
    }
    return out;
}

FILE* OpenBoxLog() {
#ifdef _WIN32
    const wchar_t* path = _wgetenv(L"LAUNCHER_BOX_LOG");
    return path != nullptr ? _wfopen(path, L"ab") : nullptr;
#else
    const char* path = std::getenv("LAUNCHER_BOX_LOG");
    return path != nullptr ? std::fopen(path, "ab") : nullptr;
#endif
}

void RecordBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
               unsigned flags) {
    const std::string line = "owner=" + std::to_string(owner != nullptr ? 1 : 0) +
                             " flags=" + std::to_string(flags) + " title=" + Utf8Line(title) +
                             " text=" + Utf8Line(text) + "\n";
    FILE* file = OpenBoxLog();
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
