// Win32 text conversions. Inside the program all text is UTF-8; it meets UTF-16 only here, at the
// -W calls, so no name passes through the ANSI code page. Zip entry names written without the
// archive's UTF-8 flag are the one text read in that code page.
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// A path this long (in UTF-16 units) or longer gets the \\?\ form: CreateDirectoryW stops at 248,
// the other calls at MAX_PATH (260), unless the system and the manifest allow long paths.
const size_t LongPathStart = 248;

// MultiByteToWideChar over the whole string; false with GetLastError set on failure.
bool Widen(UINT codePage, DWORD flags, const std::string& text, std::wstring* wide) {
    wide->clear();
    if (text.empty()) {
        return true;
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide->resize(static_cast<size_t>(length));
    return MultiByteToWideChar(codePage, flags, text.data(), size, &(*wide)[0], length) == length;
}

bool IsSlash(wchar_t c) {
    return c == L'/' || c == L'\\';
}

// The \\?\ form of a long path, as Git for Windows makes it: made absolute and normalised first
// ("." and ".." resolved, "/" made "\"), since the system takes a \\?\ path exactly as written.
// A path already in that form, or one the system cannot make absolute, is left as it is.
void LongPathForm(std::wstring* path) {
    if (path->size() < LongPathStart || path->compare(0, 4, L"\\\\?\\") == 0) {
        return;
    }
    const DWORD size = GetFullPathNameW(path->c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path->c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size) {
        return;
    }
    full.resize(length);
    if (full.size() >= 3 && full[1] == L':' && IsSlash(full[2])) {
        *path = L"\\\\?\\" + full;
    } else if (full.size() >= 2 && IsSlash(full[0]) && IsSlash(full[1])) {
        *path = L"\\\\?\\UNC\\" + full.substr(2);
    }
}

} // namespace

bool Win32WideFromUtf8(const std::string& text, std::wstring* wide) {
    // Refused rather than replaced: a path with a broken sequence would name another file.
    return Widen(CP_UTF8, MB_ERR_INVALID_CHARS, text, wide);
}

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

bool Win32WidePath(const std::string& path, std::wstring* wide) {
    if (!Win32WideFromUtf8(path, wide)) {
        return false;
    }
    LongPathForm(wide);
    return true;
}

std::wstring PlatformWideFromUtf8(const std::string& bytes) {
    // Without MB_ERR_INVALID_CHARS a byte that is not UTF-8 becomes U+FFFD instead of failing the
    // whole text.
    std::wstring wide;
    if (Widen(CP_UTF8, 0, bytes, &wide)) {
        return wide;
    }
    wide.clear();
    for (unsigned char c : bytes) {
        wide += c < 0x80 ? static_cast<wchar_t>(c) : static_cast<wchar_t>(0xFFFD);
    }
    return wide;
}

std::string PlatformUtf8FromAnsiName(const std::string& bytes) {
    std::wstring wide;
    std::string text;
    if (!Widen(CP_ACP, 0, bytes, &wide) || !Win32Utf8FromWide(wide, &text)) {
        return bytes;
    }
    return text;
}

bool PlatformNamesFollowWindowsRules() {
    return true;
}
