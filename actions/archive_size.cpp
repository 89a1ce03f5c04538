#include "actions/archive_size.h"

#include <string>
#include <unordered_map>

#include <lua.hpp>
#include <unzip.h>

#include "actions/entry_names.h"
#include "actions/unzip.h"
#include "platform/platform.h"
#include "script/plain_text.h"

namespace {

// As the extraction's: a longer name is refused there, and is counted here without a look at
// the disk.
constexpr size_t NameBufferSize = 256;

// A plain record, so that ArchiveSize's frame, where Lua may raise errors, holds nothing with a
// destructor.
struct SizeOutcome {
    bool read;
    ArchiveSizes sizes;
    char reason[PlainTextCapacity]; // always terminated
};

void ReadSizesInto(const char* zipPath, const char* outputFolder, SizeOutcome* outcome) {
    std::string reason;
    outcome->read = ReadArchiveSizes(zipPath, outputFolder, &outcome->sizes, &reason);
    CopyPlainText(reason, outcome->reason);
}

} // namespace

bool ReadArchiveSizes(const std::string& zipPath, const std::string& outputFolder,
                      ArchiveSizes* sizes, std::string* reason) {
    unzFile archive = PlatformOpenZip(zipPath);
    if (archive == nullptr) {
        *reason = zipPath + ": not a zip archive, or it cannot be read";
        return false;
    }
    *sizes = ArchiveSizes();
    // Each folder is looked up once: below one that is not there (all of them, on a first install)
    // no entry's file is, and a look-up per entry is a wait a large client feels on Windows.
    std::unordered_map<std::string, bool> folderThere;
    int status = unzGoToFirstFile(archive);
    while (status == UNZ_OK) {
        unz_file_info64 info = {};
        char name[NameBufferSize];
        status = unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        if (status != UNZ_OK) {
            break;
        }
        sizes->total += info.uncompressed_size;
        ++sizes->entries;
        uint64_t growth = info.uncompressed_size;
        // Only a name the extraction would write is looked up, where it would write it.
        unsigned long long existing = 0;
        const std::string utf8Name =
            info.size_filename < NameBufferSize ? EntryNameUtf8(name, info.flag) : "";
        if (!outputFolder.empty() && !utf8Name.empty() && IsSafeEntryName(utf8Name.c_str())) {
            const std::string path = outputFolder + "/" + EntryPath(utf8Name);
            const std::string folder = path.substr(0, path.rfind('/'));
            const auto known = folderThere.find(folder);
            const bool there = known != folderThere.end()
                                   ? known->second
                                   : (folderThere[folder] = PlatformPathExists(folder));
            if (there && PlatformFileSize(path, &existing)) {
                growth = existing < growth ? growth - existing : 0;
            }
        }
        sizes->growth += growth;
        status = unzGoToNextFile(archive);
    }
    unzClose(archive);
    if (status != UNZ_END_OF_LIST_OF_FILE) {
        *reason = zipPath + ": its list of entries is damaged";
        return false;
    }
    return true;
}

int ArchiveSize(lua_State* L) {
    const char* zipPath = luaL_checkstring(L, 1);
    const char* outputFolder = luaL_optstring(L, 2, "");
    SizeOutcome outcome;
    ReadSizesInto(zipPath, outputFolder, &outcome);
    if (!outcome.read) {
        lua_pushnil(L);
        lua_pushstring(L, outcome.reason);
        return 2;
    }
    lua_pushnumber(L, static_cast<lua_Number>(outcome.sizes.total));
    lua_pushnumber(L, static_cast<lua_Number>(outcome.sizes.entries));
    lua_pushnumber(L, static_cast<lua_Number>(outcome.sizes.growth));
    return 3;
}
