#include "actions/unzip.h"

#include <iostream>
#include <memory>

#include <lua.hpp>
#include <unzip.h>

#include "actions/entry_file.h"
#include "actions/entry_names.h"
#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

enum class EntryOutcome { Extracted, Failed, Cancelled };

// Name buffer of minizip's entry query: a name of this many bytes or more arrives cut.
constexpr size_t NameBufferSize = 256;
// unzReadCurrentFile refuses counts above 65535.
constexpr unsigned ReadBufferSize = 65535;
// "Version made by" host 3 is Unix: the upper half of the external attributes is st_mode.
constexpr unsigned HostUnix = 3;
// General purpose bit 11: the entry's name is UTF-8.
constexpr uLong Utf8NameFlag = 0x800;

// Checked arguments become C++ values here, in a frame of its own, so that nothing with a
// destructor is alive in Unzip's frame when Lua raises an error there.
bool UnzipCheckedArguments(lua_State* L, std::string* failure) {
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
    return ExtractZip(zipPath, outputFolder, progress, ExtractFlush::ToDisk, failure);
}

// Room for the failure's line; a longer one is cut.
constexpr size_t FailureCapacity = 4096 + 512;

// A plain record, so that Unzip's frame, where Lua may raise errors, holds nothing with a
// destructor.
struct UnzipOutcome {
    bool extracted;
    char failure[FailureCapacity]; // always terminated; empty when nothing names the cause
};

void UnzipInto(lua_State* L, UnzipOutcome* outcome) {
    std::string failure;
    outcome->extracted = UnzipCheckedArguments(L, &failure);
    outcome->failure[failure.copy(outcome->failure, FailureCapacity - 1)] = '\0';
}

// What one call of ExtractZip carries from entry to entry.
struct Extraction {
    std::string outputFolder;
    bool durable;
    // The folder (relative to the output folder, "" for itself) that the last entry needed and
    // that exists now: archives list the entries of one folder together, so most entries need no
    // look at the disk for their folders.
    std::string knownFolder;
    std::unique_ptr<char[]> buffer{new char[ReadBufferSize]()};
    // The line for an entry whose data is damaged, whose name is refused or whose file cannot be
    // had; empty for the other failures.
    std::string damage;
    // Why an entry's file cannot be had ("<path>: <why>"), for the player.
    std::string fileFailure;
};

// What is wrong with an entry's data, or "" when it is whole: its size, then the CRC that minizip
// checks at the entry's close, which it skips unless the declared size was read to its end.
std::string DataDamage(int lastRead, ZPOS64_T written, ZPOS64_T declared, int entryClosed) {
    const std::string of = std::to_string(written) + " of " + std::to_string(declared) + " bytes";
    if (lastRead < 0) {
        return "data cannot be read after " + of;
    }
    if (written < declared) {
        return "data ends after " + of;
    }
    if (written > declared) {
        return "data runs past its " + std::to_string(declared) + " bytes";
    }
    return entryClosed == UNZ_CRCERROR ? "CRC mismatch" : "";
}

// A file entry's data streamed into its output file. Asks LauncherClosing once per block, so a
// close is honoured quickly even inside an entry of gigabytes. A file that did not come out whole
// is removed, so that nothing takes it for the archive's.
EntryOutcome ExtractFileEntry(unzFile archive, const unz_file_info64& info, const std::string& name,
                              const std::string& outputPath, Extraction& extraction) {
    if (unzOpenCurrentFile(archive) != UNZ_OK) {
        return EntryOutcome::Failed;
    }
    std::string reason;
    PlatformOutputFile* out = OpenEntryFile(outputPath, &reason);
    if (out == nullptr) {
        unzCloseCurrentFile(archive);
        if (LauncherClosing()) {
            return EntryOutcome::Cancelled;
        }
        extraction.damage = "Failed to extract file: " + reason;
        extraction.fileFailure = reason;
        return EntryOutcome::Failed;
    }
    char* buffer = extraction.buffer.get();
    ZPOS64_T written = 0;
    bool writeFailed = false;
    bool cancelled = false;
    int count;
    while ((count = unzReadCurrentFile(archive, buffer, ReadBufferSize)) > 0) {
        if (!PlatformWriteOutputFile(out, buffer, static_cast<size_t>(count))) {
            writeFailed = true;
            break;
        }
        written += static_cast<ZPOS64_T>(count);
        if (LauncherClosing()) {
            cancelled = true;
            break;
        }
    }
    const int entryClosed = unzCloseCurrentFile(archive);
    const bool fileClosed = PlatformCloseOutputFile(out, extraction.durable && !cancelled);
    if (cancelled) {
        return EntryOutcome::Cancelled;
    }
    const std::string damage =
        writeFailed ? "" : DataDamage(count, written, info.uncompressed_size, entryClosed);
    if (writeFailed || !damage.empty() || entryClosed != UNZ_OK || !fileClosed) {
        PlatformRemoveFile(outputPath);
        if (!damage.empty()) {
            extraction.damage = "Failed to extract file: " + name + ": " + damage;
        }
        return EntryOutcome::Failed;
    }
    return EntryOutcome::Extracted;
}

// Creates every missing folder that the entry name puts between the output folder and its last
// segment (all of a folder entry's name), one level at a time. Many zip writers list "a/b/c.txt"
// without "a/" and "a/b/". The name must already have passed IsSafeEntryName and use "/" alone.
bool CreateEntryFolders(Extraction& extraction, const std::string& name) {
    const size_t last = name.rfind('/');
    const std::string needed = last == std::string::npos ? "" : name.substr(0, last);
    if (needed == extraction.knownFolder) {
        return true;
    }
    for (size_t slash = name.find('/'); slash != std::string::npos && slash <= last;
         slash = name.find('/', slash + 1)) {
        const std::string folder = extraction.outputFolder + "/" + name.substr(0, slash);
        // A level that exists as a file is left for the file's own open to fail on.
        if (!PlatformPathExists(folder) && !PlatformCreateFolder(folder)) {
            return false;
        }
    }
    extraction.knownFolder = needed;
    return true;
}

// The entry's name as UTF-8, the program's one encoding: as stored when the archive flags it UTF-8,
// otherwise read as the system reads a name its own tools wrote (PlatformUtf8FromAnsiName). Every
// later step (the safety check, the separators, the path) sees the converted name, in which a
// 0x5C byte is always a backslash.
std::string EntryNameUtf8(const char* name, uLong flag) {
    return (flag & Utf8NameFlag) != 0 ? std::string(name) : PlatformUtf8FromAnsiName(name);
}

// The entry name with every backslash made a "/", as Windows tools that write "a\b\c.txt" mean
// it.
std::string WithSlashes(const std::string& name) {
    std::string path = name;
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
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
    UnzipOutcome outcome;
    UnzipInto(L, &outcome);
    lua_pushboolean(L, outcome.extracted);
    if (outcome.extracted || outcome.failure[0] == '\0') {
        return 1;
    }
    lua_pushstring(L, outcome.failure);
    return 2;
}

namespace {

// Writes the archive's current entry below the output folder, as a folder or a file, creating the
// folders its name passes through that are missing. Prints nothing.
EntryOutcome ExtractCurrentEntry(unzFile archive, Extraction& extraction) {
    unz_file_info64 info = {};
    char name[NameBufferSize];
    if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
        return EntryOutcome::Failed;
    }
    // A longer name arrives cut and unterminated; writing it under the cut name would be wrong.
    if (info.size_filename >= NameBufferSize) {
        return EntryOutcome::Failed;
    }
    const std::string utf8Name = EntryNameUtf8(name, info.flag);
    if (!IsSafeEntryName(utf8Name.c_str())) {
        extraction.damage = "Failed to extract file: " + utf8Name + ": name refused";
        return EntryOutcome::Failed;
    }
    const std::string path = WithSlashes(utf8Name);
    if (!CreateEntryFolders(extraction, path)) {
        return EntryOutcome::Failed;
    }
    // A folder entry's whole name was made (or found) with the folders above.
    if (path.back() == '/') {
        return EntryOutcome::Extracted;
    }
    const std::string outputPath = extraction.outputFolder + "/" + path;
    const EntryOutcome outcome = ExtractFileEntry(archive, info, utf8Name, outputPath, extraction);
    if (outcome != EntryOutcome::Extracted) {
        return outcome;
    }
    const unsigned mode = static_cast<unsigned>(info.external_fa >> 16) & 0777;
    if ((info.version >> 8) == HostUnix && mode != 0) {
        PlatformApplyPermissions(outputPath, mode);
    }
    return EntryOutcome::Extracted;
}

} // namespace

bool ExtractZip(const std::string& zipPath, const std::string& outputFolder,
                std::function<void(float)> progress, ExtractFlush flush, std::string* failure) {
    unzFile archive = PlatformOpenZip(zipPath);
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
    Extraction extraction;
    extraction.outputFolder = outputFolder;
    extraction.durable = flush == ExtractFlush::ToDisk;
    ZPOS64_T done = 0;
    for (;;) {
        const EntryOutcome outcome =
            LauncherClosing() ? EntryOutcome::Cancelled : ExtractCurrentEntry(archive, extraction);
        if (outcome != EntryOutcome::Extracted) {
            if (outcome == EntryOutcome::Cancelled) {
                std::cerr << "Extraction cancelled: the launcher is closing." << std::endl;
            } else if (!extraction.damage.empty()) {
                std::cerr << extraction.damage << std::endl;
                if (failure != nullptr) {
                    *failure = extraction.fileFailure;
                }
            } else {
                std::cerr << "Failed to extract file." << std::endl;
            }
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
    // True means installed: a power cut after this must not find the files missing or empty.
    std::string reason;
    if (extraction.durable && !PlatformFlushWrites(outputFolder, &reason)) {
        std::cerr << "Failed to flush the extracted files: " << reason << std::endl;
        return false;
    }
    return true;
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
                break;
            }
            segment = p + 1;
        }
    }
    // Where Windows would write such a name under another one (or open a device), it is refused.
    return !PlatformNamesFollowWindowsRules() || IsWindowsSafeEntryName(name);
}
