// Opening the file an extracted entry is written to.
#pragma once

#include <string>

struct PlatformOutputFile;

// Creates (or empties) the file at path for the extraction to write; one that cannot be written
// over (a read-only file of an earlier install, a client still running from it) is replaced
// instead, so whoever has the old one open keeps it. One that another program holds so that it
// can be neither written nor replaced (Windows: a client still running, a virus scanner reading
// it) is waited for, up to BusyFileWait, with the status line naming it (actions/busy_file.h).
// Null, with *reason ("<path>: <why>"), when the file cannot be had; when the launcher is closing
// the wait ends at once. Any extracting thread may call it, several at once.
PlatformOutputFile* OpenEntryFile(const std::string& path, std::string* reason);
