// The names Windows can hold, for the zip entries the extraction writes.
#pragma once

// Whether Windows can create every segment of the entry name (segments between "/" or "\")
// under that very name: none is a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
// also with an extension or in any case), none holds < > : " | ? * or a control character, and
// none ends in a dot or a space (Windows drops those, so two entries would meet in one file).
// The name is UTF-8, whose multi-byte characters never contain one of these bytes.
bool IsWindowsSafeEntryName(const char* name);
