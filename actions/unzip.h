// Zip extraction for the script: the host function Unzip and the layers below it.
#pragma once

#include <functional>
#include <string>

#include <unzip.h>

struct lua_State;

// Lua: Unzip(zipPath, outputFolder, callback) -> boolean. The callback gets the fraction of
// entries done after each entry; its errors are swallowed.
int Unzip(lua_State* L);

// Extracts every entry of the archive below outputFolder (created if missing, one level), in
// archive order, stopping at the first failure. Writes one line to std::cerr per failure. Once
// the launcher is closing it stops before the next entry or the next block of a file entry and
// returns false, with the line "Extraction cancelled: the launcher is closing.".
bool ExtractZip(const std::string& zipPath, const std::string& outputFolder,
                std::function<void(float)> progress);

enum class EntryOutcome { Extracted, Failed, Cancelled };

// Writes the archive's current entry below outputFolder, as a folder or a file, creating the
// folders its name passes through that are missing. Prints nothing.
EntryOutcome ExtractCurrentEntry(unzFile archive, const std::string& outputFolder);

// Whether an entry name stays inside the folder it is joined to: no empty name, no leading slash
// or backslash, no drive prefix, no ".." segment (either separator).
bool IsSafeEntryName(const char* name);
