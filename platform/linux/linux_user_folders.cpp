// Linux user folders: the carried script's Windows layout below the working folder, named after
// USERNAME as the script named it before the system was asked.
#include <cstdlib>

#include "platform/platform.h"

bool PlatformUserFolder(UserFolder kind, std::string* path, std::string* reason) {
    const char* user = std::getenv("USERNAME");
    if (user == nullptr) {
        *reason = "USERNAME is not set";
        return false;
    }
    *path = std::string("C:/Users/") + user +
            (kind == UserFolder::Documents ? "/Documents" : "/AppData/Local");
    return true;
}
