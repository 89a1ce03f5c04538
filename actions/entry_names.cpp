#include "actions/entry_names.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Windows opens a device for these names whatever follows the first dot ("nul.tar.gz") and
// whatever spaces end the part before it ("CON .txt"); COM and LPT also with a superscript
// digit (¹ ² ³, here in UTF-8).
bool IsDeviceName(const std::string& segment) {
    std::string stem = segment.substr(0, segment.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.pop_back();
    }
    for (char& c : stem) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") {
        return true;
    }
    if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0) {
        return false;
    }
    const std::string number = stem.substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xc2\xb9" ||
           number == "\xc2\xb2" || number == "\xc2\xb3";
}

bool IsRefusedCharacter(unsigned char c) {
    return c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
}

bool IsWindowsSafeSegment(const std::string& segment) {
    if (segment.empty() || segment == "." || segment == "..") {
        return true; // a separator's business, judged by IsSafeEntryName
    }
    const char last = segment.back();
    return last != '.' && last != ' ' && !IsDeviceName(segment);
}

} // namespace

bool IsWindowsSafeEntryName(const char* name) {
    std::string segment;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || IsSeparator(*p)) {
            if (!IsWindowsSafeSegment(segment)) {
                return false;
            }
            if (*p == '\0') {
                return true;
            }
            segment.clear();
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(*p);
        if (IsRefusedCharacter(c)) {
            return false;
        }
        segment += *p;
    }
}

std::string EntryNameUtf8(const char* name, unsigned long flags) {
    constexpr unsigned long Utf8NameFlag = 0x800;
    return (flags & Utf8NameFlag) != 0 ? std::string(name) : PlatformUtf8FromAnsiName(name);
}

std::string EntryPath(const std::string& name) {
    std::string path = name;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}
