// The zip entries' names: as UTF-8, as paths, and the names Windows can hold.
#pragma once

#include <string>

// The entry's name as UTF-8, the program's one encoding: as stored when its general purpose flags
// mark it UTF-8 (bit 11), otherwise read as the system reads a name its own tools wrote
// (PlatformUtf8FromAnsiName). Every later step (the safety check, the separators, the path) sees
// the converted name, in which a 0x5C byte is always a backslash.
std::string EntryNameUtf8(const char* name, unsigned long flags);

// The entry's UTF-8 name as a path below the output folder: every backslash made a "/", as
// Windows tools that write "a\b\c.txt" mean it. The one place where an entry's name becomes a
// path, for the extraction and for the room check before it.
std::string EntryPath(const std::string& name);

// Whether Windows can create every segment of the entry name (segments between "/" or "\")
// under that very name: none is a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
// also with an extension or in any case), none holds < > : " | ? * or a control character, and
// none ends in a dot or a space (Windows drops those, so two entries would meet in one file).
// The name is UTF-8, whose multi-byte characters never contain one of these bytes.
bool IsWindowsSafeEntryName(const char* name);
