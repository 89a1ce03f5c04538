// Win32 file system: UTF-8 paths through the -W calls (Win32WidePath), never the ANSI code page.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

struct PlatformOutputFile {
    HANDLE handle;
    bool failed;
};

std::string Win32SystemReason(const std::string& path, DWORD error) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message != nullptr) {
        Win32Utf8FromWide(std::wstring(message, length), &text);
    }
    LocalFree(message);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    if (text.empty()) {
        text = "error " + std::to_string(error);
    }
    return path + ": " + text;
}

bool PlatformPathExists(const std::string& path) {
    std::wstring widePath;
    return Win32WidePath(path, &widePath) &&
           GetFileAttributesW(widePath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool PlatformCreateFolder(const std::string& path) {
    std::wstring widePath;
    return Win32WidePath(path, &widePath) && CreateDirectoryW(widePath.c_str(), nullptr) != 0;
}

bool PlatformRemoveFile(const std::string& path) {
    std::wstring widePath;
    return Win32WidePath(path, &widePath) && DeleteFileW(widePath.c_str()) != 0;
}

// Windows files carry no Unix permission bits; any file may be started.
void PlatformApplyPermissions(const std::string& /*path*/, unsigned int /*unixMode*/) {}

PlatformOutputFile* PlatformCreateOutputFile(const std::string& path, bool* busy,
                                             std::string* reason) {
    // Shared as fopen shares, so a reader of the file meanwhile is not refused.
    *busy = false;
    std::wstring widePath;
    if (!Win32WidePath(path, &widePath)) {
        *reason = Win32SystemReason(path, GetLastError());
        return nullptr;
    }
    const HANDLE handle =
        CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            *busy = true;
        } else if (error == ERROR_ACCESS_DENIED) {
            // Also what a running program's file and one that is being deleted while still open
            // answer; a read-only file or a folder would answer it for ever.
            const DWORD attributes = GetFileAttributesW(widePath.c_str());
            *busy = attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
        }
        *reason = Win32SystemReason(path, error);
        return nullptr;
    }
    return new PlatformOutputFile{handle, false};
}

bool PlatformWriteOutputFile(PlatformOutputFile* file, const char* bytes, size_t size) {
    while (size > 0 && !file->failed) {
        const DWORD ask = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file->handle, bytes, ask, &written, nullptr) || written == 0) {
            file->failed = true;
        }
        bytes += written;
        size -= written;
    }
    return !file->failed;
}

bool PlatformCloseOutputFile(PlatformOutputFile* file, bool durable) {
    // NTFS may write a file's data after the change that follows it (the install mark's removal);
    // only a flush of each file's own handle orders them.
    const bool flushed = !durable || FlushFileBuffers(file->handle);
    const bool closed = CloseHandle(file->handle) && flushed && !file->failed;
    delete file;
    return closed;
}

bool PlatformFlushWrites(const std::string& /*folder*/, std::string* /*reason*/) {
    return true;
}

bool PlatformFreeSpace(const std::string& path, unsigned long long* bytes, std::string* volume,
                       std::string* reason) {
    std::wstring widePath;
    if (!Win32WidePath(path, &widePath)) {
        *reason = Win32SystemReason(path, GetLastError());
        return false;
    }
    // The bytes free to this user, under a disk quota too.
    ULARGE_INTEGER freeToCaller;
    if (!GetDiskFreeSpaceExW(widePath.c_str(), &freeToCaller, nullptr, nullptr)) {
        *reason = Win32SystemReason(path, GetLastError());
        return false;
    }
    *bytes = freeToCaller.QuadPart;
    // "C:\", or the folder a volume is mounted on; only named in the player's message, so a
    // failure here costs only the name.
    wchar_t root[MAX_PATH + 1];
    std::string text;
    if (GetVolumePathNameW(widePath.c_str(), root, MAX_PATH + 1) &&
        Win32Utf8FromWide(root, &text) && !text.empty()) {
        // A long path's prefix is the program's, not a name the player knows.
        if (text.rfind("\\\\?\\", 0) == 0) {
            text.erase(0, 4);
        }
        *volume = text;
    } else {
        *volume = path;
    }
    return true;
}

bool PlatformFileSize(const std::string& path, unsigned long long* bytes) {
    std::wstring widePath;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Win32WidePath(path, &widePath) ||
        !GetFileAttributesExW(widePath.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    *bytes = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool PlatformRemoveFileDurably(const std::string& path, std::string* reason) {
    std::wstring widePath;
    if (!Win32WidePath(path, &widePath) || !DeleteFileW(widePath.c_str())) {
        *reason = Win32SystemReason(path, GetLastError());
        return false;
    }
    // A folder's own handle can be flushed on NTFS; where that is refused, the removal reaches the
    // disk with the system's next metadata flush, and until then the next run installs again.
    const size_t slash = path.find_last_of("/\\");
    std::wstring folder;
    Win32WidePath(slash == std::string::npos ? "." : path.substr(0, slash), &folder);
    const HANDLE handle = CreateFileW(folder.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(handle);
        CloseHandle(handle);
    }
    return true;
}
