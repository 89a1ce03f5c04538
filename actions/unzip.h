// Zip extraction for the script: the host function Unzip and the layers below it.
#pragma once

#include <functional>
#include <string>

struct lua_State;

// Lua: Unzip(zipPath, outputFolder, callback) -> true, or false and, for an entry whose file
// cannot be had (held by another program), why. The callback gets the fraction of entries done
// after each entry; its errors are swallowed.
int Unzip(lua_State* L);

// Whether ExtractZip puts what it wrote on the disk before it returns true. Only a benchmark (to
// measure what the flush costs) and the fuzzer (which extracts thousands of archives a second)
// leave it out.
enum class ExtractFlush { ToDisk, None };

// Extracts every entry of the archive below outputFolder (created if missing, one level), in
// archive order, stopping at the first failure, and then flushes what it wrote to the disk.
// Writes one line to std::cerr per failure; an entry whose data is damaged (short, long, not
// inflatable, or failing its CRC) or whose file cannot be had is named with what was wrong, and is
// not left on disk; for the file that cannot be had, *failure (when given) is "<path>: <why>". Once
// the launcher is closing it stops before the next entry or the next block of a file entry and
// returns false, with the line "Extraction cancelled: the launcher is closing.".
bool ExtractZip(const std::string& zipPath, const std::string& outputFolder,
                std::function<void(float)> progress, ExtractFlush flush = ExtractFlush::ToDisk,
                std::string* failure = nullptr);

// Whether an entry name stays inside the folder it is joined to: no empty name, no leading slash
// or backslash, no drive prefix, no ".." segment (either separator); and on Windows, whether
// Windows can hold it as it is (IsWindowsSafeEntryName; names are UTF-8 by then).
bool IsSafeEntryName(const char* name);
