// Win32 file system: narrow paths, read in the active ANSI code page by the -A calls.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

struct PlatformOutputFile {
    HANDLE handle;
    std::string path;
    std::string failure; // the first write's that failed, "<path>: <the system's words>"
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
    return new PlatformOutputFile{handle, path, ""};
}

bool PlatformWriteOutputFile(PlatformOutputFile* file, const char* bytes, size_t size,
                             std::string* reason) {
    while (size > 0 && file->failure.empty()) {
        const DWORD ask = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file->handle, bytes, ask, &written, nullptr)) {
            file->failure = Win32SystemReason(file->path, GetLastError());
        } else if (written == 0) {
            file->failure = file->path + ": nothing could be written";
        }
        bytes += written;
        size -= written;
    }
    *reason = file->failure;
    return file->failure.empty();
}

namespace {

// A file closed as durable whose flush is still to come. Its handle stays open: FlushFileBuffers
// needs one that may write, and reopening each file by its path costs what Wine's lookups cost.
struct HeldFile {
    HANDLE handle;
    std::string path;
};

// NTFS may write a file's data after the change that follows it (the install mark's removal); only
// a flush of each file's own handle orders them. One flush at each close made the extraction wait
// for the disk once per file; the files are held instead and flushed together at the end, when
// the disk can take them in the order it likes. Beyond this many, the closing thread flushes the
// oldest, which the system's own write-back has usually written by then.
constexpr size_t HeldLimit = 512;
// Flushes wait for the disk, not the processor.
constexpr size_t FlushThreads = 8;

std::mutex HeldMutex;
std::deque<HeldFile> Held;
// The first flush that failed at a close since the last PlatformFlushWrites.
std::string HeldFailure;

bool FlushAndClose(const HeldFile& file, std::string* reason) {
    const bool flushed = FlushFileBuffers(file.handle) != 0;
    if (!flushed) {
        *reason = Win32SystemReason(file.path, GetLastError());
    }
    if (!CloseHandle(file.handle) && flushed) {
        *reason = Win32SystemReason(file.path, GetLastError());
        return false;
    }
    return flushed;
}

} // namespace

bool PlatformCloseOutputFile(PlatformOutputFile* file, bool durable, std::string* reason) {
    *reason = file->failure;
    if (!durable || !reason->empty()) {
        if (!CloseHandle(file->handle) && reason->empty()) {
            *reason = Win32SystemReason(file->path, GetLastError());
        }
        delete file;
        return reason->empty();
    }
    HeldFile oldest = {INVALID_HANDLE_VALUE, ""};
    {
        std::lock_guard<std::mutex> lock(HeldMutex);
        Held.push_back({file->handle, std::move(file->path)});
        if (Held.size() > HeldLimit) {
            oldest = std::move(Held.front());
            Held.pop_front();
        }
    }
    delete file;
    std::string failure;
    if (oldest.handle != INVALID_HANDLE_VALUE && !FlushAndClose(oldest, &failure)) {
        std::lock_guard<std::mutex> lock(HeldMutex);
        if (HeldFailure.empty()) {
            HeldFailure = failure;
        }
    }
    return true;
}

bool PlatformFlushWrites(const std::string& /*folder*/, std::string* reason) {
    std::deque<HeldFile> files;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(HeldMutex);
        files.swap(Held);
        failure.swap(HeldFailure);
    }
    // Every file is flushed and closed, even after one has failed; the one reported is the first
    // that failed in the order the files were closed.
    std::vector<std::string> failures(files.size());
    std::atomic<size_t> next{0};
    const auto flushSome = [&] {
        for (size_t i; (i = next.fetch_add(1)) < files.size();) {
            FlushAndClose(files[i], &failures[i]);
        }
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < std::min(FlushThreads, files.size()); ++i) {
        threads.emplace_back(flushSome);
    }
    flushSome();
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::string& one : failures) {
        if (failure.empty()) {
            failure = one;
        }
    }
    *reason = failure;
    return failure.empty();
}

void PlatformDropWrites() {
    std::deque<HeldFile> files;
    {
        std::lock_guard<std::mutex> lock(HeldMutex);
        files.swap(Held);
        HeldFailure.clear();
    }
    for (const HeldFile& file : files) {
        CloseHandle(file.handle);
    }
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
