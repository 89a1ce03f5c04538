#include "actions/entry_file.h"

#include "platform/platform.h"

PlatformOutputFile* OpenEntryFile(const std::string& path, std::string* reason) {
    PlatformOutputFile* out = PlatformCreateOutputFile(path);
    if (out == nullptr && PlatformRemoveFile(path)) {
        out = PlatformCreateOutputFile(path);
    }
    if (out == nullptr) {
        *reason = path + ": cannot be opened for writing";
    }
    return out;
}
