// Win32 file system: narrow paths, read in the active ANSI code page by the -A calls.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

struct PlatformOutputFile {
    HANDLE handle;
    bool failed;
};

std::string Win32SystemReason(const std::string& path, DWORD error) {
    char* message = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message != nullptr) {
        text.assign(message, length);
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

PlatformOutputFile* PlatformCreateOutputFile(const std::string& path) {
    // Widened here from the ANSI code page, as the -A calls read it: Wine's CreateFileA refuses
    // names longer than MAX_PATH, which its C runtime's fopen (the extraction's before) took.
    // Shared as fopen shares, so a reader of the file meanwhile is not refused.
    std::wstring widePath;
    if (!WidenFromAnsi(path, &widePath)) {
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
    if (!DeleteFileA(path.c_str())) {
        *reason = Win32SystemReason(path, GetLastError());
        return false;
    }
    // A folder's own handle can be flushed on NTFS; where that is refused, the removal reaches the
    // disk with the system's next metadata flush, and until then the next run installs again.
    // "/" first: 0x5C may be the second byte of a two-byte character of the ANSI code page.
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        slash = path.rfind('\\');
    }
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const HANDLE handle = CreateFileA(folder.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(handle);
        CloseHandle(handle);
    }
    return true;
}
