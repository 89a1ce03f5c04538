// Real zip archives for tests, fuzz seeds and benchmarks, written with minizip's own zip writer,
// and small helpers that damage an archive in known ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ZipEntry {
    // A name ending in "/" makes a folder entry; its data is ignored.
    std::string name;
    std::string data;
    bool deflate = true;
    // Permission bits (such as 0755). When set, the entry is marked as made on Unix and its
    // external attributes carry the file type and these bits, as Info-ZIP's zip records them.
    std::optional<unsigned> unixMode;
    // When set, the entry's deflate stream holds only this many bytes of data and then an
    // invalid block: reading fails after that much output. Size and CRC are those of all data.
    std::optional<size_t> breakAfter;
    // When set, the entry's deflate stream is complete and sound but holds only this many bytes of
    // data, so inflating it ends early. Size and CRC are those of all data.
    std::optional<size_t> endAfter;
    // Marks the name as UTF-8 (general purpose bit 11), as tools/make_package.py and every modern
    // zip tool do; without it a reader takes the name in its system's code page.
    bool utf8Name = false;
};

ZipEntry ZipFolder(const std::string& name);
ZipEntry ZipFile(const std::string& name, const std::string& data, bool deflate = true);

// Writes the archive with the entries in the given order; throws std::runtime_error on failure.
void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries);

// Overwrites the CRC recorded for the entry, in its local header and in the central directory,
// so that the data no longer matches it. Throws when the entry is not found.
void SetEntryCrc(const std::string& zipPath, const std::string& entryName, uint32_t crc);

// Inverts one byte of the entry's data as the archive holds it (compressed or stored), at offset
// from its start. Throws when the entry is not found or shorter.
void FlipEntryDataByte(const std::string& zipPath, const std::string& entryName, size_t offset);
