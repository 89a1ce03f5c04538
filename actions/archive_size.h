// What an archive extracts to, read from its central directory before anything is written.
#pragma once

#include <cstdint>
#include <string>

struct lua_State;

struct ArchiveSizes {
    uint64_t total = 0;   // the uncompressed sizes of all entries
    uint64_t entries = 0; // file and folder entries
    // What the extraction adds to outputFolder's disk: per file entry, its size less that of the
    // file already at its place (a reinstall, a cut install), never below 0.
    uint64_t growth = 0;
};

// Reads the sizes without inflating anything; false, with *reason ("<zipPath>: <why>"), when the
// archive cannot be read as a zip archive. With an empty outputFolder, growth is total.
bool ReadArchiveSizes(const std::string& zipPath, const std::string& outputFolder,
                      ArchiveSizes* sizes, std::string* reason);

// Lua: ArchiveSize(zipPath[, outputFolder]) -> total, entries, growth (bytes, as numbers); or nil
// and the reason.
int ArchiveSize(lua_State* L);
