// Opening the file an extracted entry is written to.
#pragma once

#include <string>

struct PlatformOutputFile;

// Creates (or empties) the file at path for the extraction to write; one that cannot be written
// over (a read-only file of an earlier install, a client still running from it) is replaced
// instead, so whoever has the old one open keeps it. Null, with *reason ("<path>: <why>"), when
// the file cannot be had. Any extracting thread may call it.
PlatformOutputFile* OpenEntryFile(const std::string& path, std::string* reason);
