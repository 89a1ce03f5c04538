// Win32 zip archives: minizip on its Win32 file functions (contrib/minizip/iowin32), which open the
// wide path and seek with 64-bit offsets.
#include <windows.h>

#include <unzip.h>
// After unzip.h: it needs zlib's OF() macro.
#include <iowin32.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

void* PlatformOpenZip(const std::string& path) {
    std::wstring widePath;
    if (!Win32WidePath(path, &widePath)) {
        return nullptr;
    }
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    return unzOpen2_64(widePath.c_str(), &functions);
}
