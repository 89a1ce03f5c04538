// A name spelt with bytes from 0x80 up, and what those bytes stand for in the active ANSI code
// page, for checking that a zip entry name without the UTF-8 flag names the file a Windows user of
// that code page would expect.
#pragma once

#include <string>

#include <windows.h>

struct AnsiSample {
    std::string bytes; // empty when the code page is not one the tests know
    std::wstring text; // the characters the bytes spell in that code page
};

inline AnsiSample AnsiSampleName() {
    switch (GetACP()) {
    case 1252: // Western: 0x80 is the euro sign, not U+0080, and 0xE4 is not U+FFE4.
        return {"d\xE4t\x80\xFF", L"d\u00e4t\u20ac\u00ff"};
    case 936: // Simplified Chinese (GBK): two bytes a character.
        return {"\xC4\xE3\xBA\xC3-\xCD\xE6\xBC\xD2", L"\u4f60\u597d-\u73a9\u5bb6"};
    default:
        return {};
    }
}
