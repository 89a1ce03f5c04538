// Linux text conversions: wide strings (UTF-32 here) to UTF-8 for GTK and back, for the carried
// script's texts.
#include <cerrno>

#include <iconv.h>

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

std::string LinuxUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wide : text) {
        const auto c = static_cast<unsigned long>(wide);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

// Converts with iconv; a byte that does not convert (or a cut sequence at the end) becomes
// `replacement` in the output and the conversion goes on after it.
std::string Convert(const char* to, const char* from, const std::string& bytes,
                    const std::string& replacement) {
    std::string out;
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return out;
    }
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char block[1024];
    while (inLeft > 0) {
        char* produced = block;
        size_t room = sizeof block;
        const size_t result = iconv(converter, &in, &inLeft, &produced, &room);
        out.append(block, sizeof block - room);
        if (result == static_cast<size_t>(-1) && errno != E2BIG) {
            out += replacement;
            ++in;
            --inLeft;
            iconv(converter, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(converter);
    return out;
}

} // namespace

std::wstring PlatformWideFromUtf8(const std::string& bytes) {
    const wchar_t replacement = 0xFFFD;
    const std::string wide =
        Convert("WCHAR_T", "UTF-8", bytes,
                std::string(reinterpret_cast<const char*>(&replacement), sizeof replacement));
    std::wstring out(reinterpret_cast<const wchar_t*>(wide.data()), wide.size() / sizeof(wchar_t));
    if (out.empty() && !bytes.empty()) {
        // A C library without the converter still shows the ASCII part.
        for (unsigned char c : bytes) {
            out += c < 0x80 ? static_cast<wchar_t>(c) : replacement;
        }
    }
    return out;
}

std::string PlatformUtf8FromAnsiName(const std::string& bytes) {
    return bytes;
}

bool PlatformNamesFollowWindowsRules() {
    return false;
}
