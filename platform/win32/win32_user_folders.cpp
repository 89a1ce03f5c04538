// Win32 user folders: the known folders as the system names them, wherever they were moved.
#include <windows.h>

#include <shlobj.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

bool PlatformUserFolder(UserFolder kind, std::string* path, std::string* reason) {
    const bool documents = kind == UserFolder::Documents;
    wchar_t* wide = nullptr;
    const HRESULT result = SHGetKnownFolderPath(
        documents ? FOLDERID_Documents : FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &wide);
    std::wstring folder;
    if (SUCCEEDED(result) && wide != nullptr) {
        folder = wide;
    }
    CoTaskMemFree(wide);
    const char* name = documents ? "the Documents folder" : "the local application data folder";
    if (FAILED(result)) {
        *reason = Win32SystemReason(name, static_cast<DWORD>(result));
        return false;
    }
    // The script joins names with "/", which every Windows call takes as it takes "\".
    for (wchar_t& c : folder) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    if (!Win32Utf8FromWide(folder, path)) {
        *reason = Win32SystemReason(name, GetLastError());
        return false;
    }
    return true;
}
