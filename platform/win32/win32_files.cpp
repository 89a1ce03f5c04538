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

PlatformOutputFile* PlatformCreateOutputFile(const std::string& path) {
    // Shared as fopen shares, so a reader of the file meanwhile is not refused.
    std::wstring widePath;
    if (!Win32WidePath(path, &widePath)) {
        return nullptr;
    }
    const HANDLE handle =
        CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
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
