// Linux zip archives: minizip's own 64-bit file functions on the path's bytes.
#include <unzip.h>

#include "platform/platform.h"

void* PlatformOpenZip(const std::string& path) {
    return unzOpen64(path.c_str());
}
