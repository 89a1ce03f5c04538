// Texts a host function hands to Lua, kept in plain arrays: a host function's frame, where Lua may
// raise errors, must hold nothing with a destructor.
#pragma once

#include <cstddef>
#include <string>

// Room for a path at Linux's PATH_MAX and the system's words after it; a longer text is cut.
constexpr size_t PlainTextCapacity = 4096 + 256;

// Copies text into the array, cut to fit, always terminated.
inline void CopyPlainText(const std::string& text, char (&to)[PlainTextCapacity]) {
    to[text.copy(to, PlainTextCapacity - 1)] = '\0';
}
