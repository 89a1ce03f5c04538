// Win32 text conversions: narrow bytes in the active ANSI code page (what the -A calls read) and
// the carried script's UTF-8 text, to wide strings.
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// MultiByteToWideChar over the whole string; false with GetLastError set on failure.
bool Widen(UINT codePage, const std::string& text, std::wstring* wide) {
    wide->clear();
    if (text.empty()) {
        return true;
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide->resize(static_cast<size_t>(length));
    return MultiByteToWideChar(codePage, 0, text.data(), size, &(*wide)[0], length) == length;
}

} // namespace

bool Win32Utf8FromWide(const std::wstring& wide, std::string* text) {
    text->clear();
    if (wide.empty()) {
        return true;
    }
    const int size = static_cast<int>(wide.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return false;
    }
    text->resize(static_cast<size_t>(length));
    return WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &(*text)[0], length, nullptr,
                               nullptr) == length;
}

bool WidenFromAnsi(const std::string& text, std::wstring* wide) {
    return Widen(CP_ACP, text, wide);
}

std::wstring PlatformWideFromUtf8(const std::string& bytes) {
    // Without MB_ERR_INVALID_CHARS, bytes that are not UTF-8 become U+FFFD instead of failing the
    // whole text.
    std::wstring wide;
    if (Widen(CP_UTF8, bytes, &wide)) {
        return wide;
    }
    wide.clear();
    for (unsigned char c : bytes) {
        wide += c < 0x80 ? static_cast<wchar_t>(c) : static_cast<wchar_t>(0xFFFD);
    }
    return wide;
}

bool PlatformIsPathLeadByte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != 0;
}
