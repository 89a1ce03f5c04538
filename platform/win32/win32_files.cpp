// Win32 file system: narrow paths, read in the active ANSI code page by the -A calls.
#include <windows.h>

#include "platform/platform.h"

bool PlatformPathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool PlatformCreateFolder(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool PlatformRemoveFile(const std::string& path) {
    return DeleteFileA(path.c_str()) != 0;
}

// Windows files carry no Unix permission bits; any file may be started.
void PlatformApplyPermissions(const std::string& /*path*/, unsigned int /*unixMode*/) {}
