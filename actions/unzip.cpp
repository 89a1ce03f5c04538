#include "actions/unzip.h"

#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include <lua.hpp>

#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

// Name buffer of minizip's entry query: a name of this many bytes or more arrives cut.
constexpr size_t NameBufferSize = 256;
// unzReadCurrentFile refuses counts above 65535.
constexpr unsigned ReadBufferSize = 65535;
// "Version made by" host 3 is Unix: the upper half of the external attributes is st_mode.
constexpr unsigned HostUnix = 3;

// Checked arguments become C++ values here, in a frame of its own, so that nothing with a
// destructor is alive in Unzip's frame when Lua raises an error there.
bool UnzipCheckedArguments(lua_State* L) {
    std::string zipPath = lua_tostring(L, 1);
    std::string outputFolder = lua_tostring(L, 2);
    // Runs while Unzip is on the stack, so slot 3 is the callback throughout. lua_pcall keeps a
    // failing callback from unwinding through minizip and our frames.
    std::function<void(float)> progress = [L](float fraction) {
        lua_pushvalue(L, 3);
        lua_pushnumber(L, fraction);
        if (lua_pcall(L, 1, 0, 0) != 0) {
            lua_pop(L, 1);
        }
    };
    return ExtractZip(zipPath, outputFolder, progress);
}

// A file entry's data streamed into its output file. Asks LauncherClosing once per block, so a
// close is honoured quickly even inside an entry of gigabytes.
EntryOutcome ExtractFileEntry(unzFile archive, const std::string& outputPath) {
    if (unzOpenCurrentFile(archive) != UNZ_OK) {
        return EntryOutcome::Failed;
    }
    std::ofstream out(outputPath, std::ios::out | std::ios::binary);
    if (!out.is_open() && PlatformRemoveFile(outputPath)) {
        // A file that cannot be written over (a client still running from it, a read-only file
        // of an earlier install) is replaced instead; whoever has the old one open keeps it.
        out.open(outputPath, std::ios::out | std::ios::binary);
    }
    if (!out.is_open()) {
        unzCloseCurrentFile(archive);
        return EntryOutcome::Failed;
    }
    std::unique_ptr<char[]> buffer(new char[ReadBufferSize]());
    int count;
    while ((count = unzReadCurrentFile(archive, buffer.get(), ReadBufferSize)) > 0) {
        out.write(buffer.get(), count);
        if (out.fail()) {
            unzCloseCurrentFile(archive);
            return EntryOutcome::Failed;
        }
        if (LauncherClosing()) {
            unzCloseCurrentFile(archive);
            return EntryOutcome::Cancelled;
        }
    }
    // A CRC mismatch shows only at the entry's close, a failed final write only at the stream's:
    // either means the file on disk is not the archive's.
    const bool entryIntact = unzCloseCurrentFile(archive) == UNZ_OK;
    out.close();
    return count == 0 && entryIntact && !out.fail() ? EntryOutcome::Extracted
                                                    : EntryOutcome::Failed;
}

// Creates every missing folder that the entry name puts between the output folder and its last
// segment (all of a folder entry's name), one level at a time. Many zip writers list "a/b/c.txt"
// without "a/" and "a/b/". The name must already have passed IsSafeEntryName.
bool CreateEntryFolders(const std::string& outputFolder, const std::string& name) {
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        const std::string folder = outputFolder + "/" + name.substr(0, slash);
        // A level that exists as a file is left for the file's own open to fail on.
        if (!PlatformPathExists(folder) && !PlatformCreateFolder(folder)) {
            return false;
        }
    }
    return true;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

} // namespace

int Unzip(lua_State* L) {
    if (lua_gettop(L) != 3) {
        lua_pushstring(L, "Expected 2 arguments: zip file path and output folder");
        return lua_error(L);
    }
    if (lua_type(L, 3) != LUA_TFUNCTION) {
        lua_pushstring(L, "Third argument must be a callback function");
        return lua_error(L);
    }
    // Both paths are needed as text; a table or boolean has none.
    luaL_checkstring(L, 1);
    luaL_checkstring(L, 2);
    lua_pushboolean(L, UnzipCheckedArguments(L));
    return 1;
}

bool ExtractZip(const std::string& zipPath, const std::string& outputFolder,
                std::function<void(float)> progress) {
    unzFile archive = unzOpen64(zipPath.c_str());
    if (archive == nullptr) {
        std::cerr << "Failed to open zip file: " << zipPath << std::endl;
        return false;
    }
    if (!PlatformPathExists(outputFolder) && !PlatformCreateFolder(outputFolder)) {
        std::cerr << "Failed to create output folder: " << outputFolder << std::endl;
        unzClose(archive);
        return false;
    }
    unz_global_info64 globalInfo = {};
    unzGetGlobalInfo64(archive, &globalInfo);
    const ZPOS64_T count = globalInfo.number_entry;

    if (unzGoToFirstFile(archive) != UNZ_OK) {
        std::cerr << "Failed to locate first file in zip." << std::endl;
        unzClose(archive);
        return false;
    }
    ZPOS64_T done = 0;
    for (;;) {
        const EntryOutcome outcome = LauncherClosing() ? EntryOutcome::Cancelled
                                                       : ExtractCurrentEntry(archive, outputFolder);
        if (outcome != EntryOutcome::Extracted) {
            std::cerr << (outcome == EntryOutcome::Cancelled
                              ? "Extraction cancelled: the launcher is closing."
                              : "Failed to extract file.")
                      << std::endl;
            unzClose(archive);
            return false;
        }
        ++done;
        if (progress) {
            progress(static_cast<float>(done) / static_cast<float>(count));
        }
        // Any other result, error included, is left to the next entry's query to report.
        if (unzGoToNextFile(archive) == UNZ_END_OF_LIST_OF_FILE) {
            break;
        }
    }
    unzClose(archive);
    return true;
}

EntryOutcome ExtractCurrentEntry(unzFile archive, const std::string& outputFolder) {
    unz_file_info64 info = {};
    char name[NameBufferSize];
    if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
        return EntryOutcome::Failed;
    }
    // A longer name arrives cut and unterminated; writing it under the cut name would be wrong.
    if (info.size_filename >= NameBufferSize || !IsSafeEntryName(name) ||
        !CreateEntryFolders(outputFolder, name)) {
        return EntryOutcome::Failed;
    }
    const std::string outputPath = outputFolder + "/" + name;
    const size_t nameLength = std::strlen(name);

    if (name[nameLength - 1] == '/') {
        if (PlatformPathExists(outputPath)) {
            return EntryOutcome::Extracted;
        }
        return PlatformCreateFolder(outputPath) ? EntryOutcome::Extracted : EntryOutcome::Failed;
    }
    const EntryOutcome outcome = ExtractFileEntry(archive, outputPath);
    if (outcome != EntryOutcome::Extracted) {
        return outcome;
    }
    const unsigned mode = static_cast<unsigned>(info.external_fa >> 16) & 0777;
    if ((info.version >> 8) == HostUnix && mode != 0) {
        PlatformApplyPermissions(outputPath, mode);
    }
    return EntryOutcome::Extracted;
}

bool IsSafeEntryName(const char* name) {
    if (name[0] == '\0' || IsSeparator(name[0])) {
        return false;
    }
    const bool driveLetter =
        (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z');
    if (driveLetter && name[1] == ':') {
        return false;
    }
    // Walk the segments between separators of either kind.
    const char* segment = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || IsSeparator(*p)) {
            if (p - segment == 2 && segment[0] == '.' && segment[1] == '.') {
                return false;
            }
            if (*p == '\0') {
                return true;
            }
            segment = p + 1;
        }
    }
}
