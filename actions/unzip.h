// Zip extraction for the script: the host function Unzip and the layers below it.
#pragma once

#include <functional>
#include <string>

struct lua_State;

// Lua: Unzip(zipPath, outputFolder, callback) -> true, or false and the failure's line. The
// callback gets the fraction of entries done, for every entry in archive order, on the script's
// thread; its errors are swallowed.
int Unzip(lua_State* L);

// Whether ExtractZip puts what it wrote on the disk before it returns true. Only a benchmark (to
// measure what the flush costs) and the fuzzer (which extracts thousands of archives a second)
// leave it out.
enum class ExtractFlush { ToDisk, None };

// Extracts every entry of the archive below outputFolder (created if missing, one level) on
// several threads, and then flushes what it wrote to the disk. The result is the one extracting
// in archive order would give: true only once every entry is whole on the disk; otherwise false
// and one line on std::cerr (also in *failure when given) for the first entry in archive order
// that failed, naming it and why: a damaged entry (short, long, not inflatable, or failing its
// CRC) with what was wrong, a file that could not be written with the system's words. The failed
// entry's file is removed, and no entry after it is reported as done. Once the launcher is closing
// it starts no further entry, stops each one being written at its next block, and returns false
// with the line "Extraction cancelled: the launcher is closing.". progress runs on the calling
// thread only, once per entry done, in archive order. threads: how many extract, 0 for one per
// processor core, at most 8 (tests and benchmarks choose).
bool ExtractZip(const std::string& zipPath, const std::string& outputFolder,
                std::function<void(float)> progress, std::string* failure = nullptr,
                ExtractFlush flush = ExtractFlush::ToDisk, unsigned threads = 0);

// Whether an entry name stays inside the folder it is joined to: no empty name, no leading slash
// or backslash, no drive prefix, no ".." segment (either separator); and on Windows, whether
// Windows can hold it as it is (IsWindowsSafeEntryName; names are UTF-8 by then).
bool IsSafeEntryName(const char* name);
