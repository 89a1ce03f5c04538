// Linux file system operations: existence test, one-level folder creation, permission bits.
#include "platform/platform.h"

#include <sys/stat.h>
#include <unistd.h>

bool PlatformPathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool PlatformCreateFolder(const std::string& path) {
    // Default security: the process umask decides the final bits.
    return mkdir(path.c_str(), 0777) == 0;
}

bool PlatformRemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

void PlatformApplyPermissions(const std::string& path, unsigned int unixMode) {
    // The owner keeps read and write whatever the archive says: a read-only file would make every
    // later extraction over it fail.
    chmod(path.c_str(), static_cast<mode_t>((unixMode & 0777) | 0600));
}
