// Win32 resources: the pictures live in the program's own resources (resources/launcher.rc).
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

HINSTANCE AppInstance = nullptr;

ResourceStatus PlatformFindResource(const char* type, int id, const unsigned char** bytes,
                                    size_t* size) {
    // Resource type names are plain ASCII ("PNG").
    const std::string narrow(type);
    const std::wstring wideType(narrow.begin(), narrow.end());
    HRSRC found = FindResourceW(AppInstance, MAKEINTRESOURCEW(id), wideType.c_str());
    if (found == nullptr) {
        return ResourceStatus::NotFound;
    }
    const DWORD count = SizeofResource(AppInstance, found);
    HGLOBAL loaded = LoadResource(AppInstance, found);
    if (loaded == nullptr) {
        return ResourceStatus::NotLoaded;
    }
    const void* locked = LockResource(loaded);
    if (locked == nullptr) {
        return ResourceStatus::NotLocked;
    }
    *bytes = static_cast<const unsigned char*>(locked);
    *size = count;
    return ResourceStatus::Found;
}
