// Win32 file system: UTF-8 paths through the -W calls (Win32WidePath), never the ANSI code page.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
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
// a flush of each file's own handle orders them. A flush at each close made the extraction wait
// for the disk once per file. Instead one flusher thread, which waits on the disk rather than the
// processor, flushes the files in the order they were closed while the extraction goes on, and
// PlatformFlushWrites flushes what it has not reached yet, several at a time. Beyond this many
// held files the closing thread flushes the oldest itself, so the open handles stay bounded.
constexpr size_t HeldLimit = 512;
constexpr size_t FlushThreads = 8;

struct Flusher {
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex:
    std::deque<HeldFile> held; // closed as durable, not being flushed yet
    std::string failure;       // the first flush that failed since the last PlatformFlushWrites
    bool running = false;      // the flusher thread has been started and not yet told to stop
    bool stop = false;
    std::thread thread;
};

// Never destroyed: a flusher thread still running at exit must not meet its std::thread's end.
Flusher& TheFlusher() {
    static Flusher* flusher = new Flusher;
    return *flusher;
}

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

// Keeps the first failure. Called with the mutex held.
void NoteFailure(Flusher& flusher, const std::string& failure) {
    if (flusher.failure.empty()) {
        flusher.failure = failure;
    }
}

void FlushInTheBackground(Flusher& flusher) {
    std::unique_lock<std::mutex> lock(flusher.mutex);
    for (;;) {
        flusher.changed.wait(lock, [&flusher] { return flusher.stop || !flusher.held.empty(); });
        if (flusher.stop) {
            return;
        }
        const HeldFile file = std::move(flusher.held.front());
        flusher.held.pop_front();
        lock.unlock();
        std::string failure;
        const bool flushed = FlushAndClose(file, &failure);
        lock.lock();
        if (!flushed) {
            NoteFailure(flusher, failure);
        }
    }
}

// Stops the flusher thread once it has finished the file it is flushing, and hands over the held
// files it has not reached.
std::deque<HeldFile> StopFlusher(Flusher& flusher) {
    std::deque<HeldFile> files;
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(flusher.mutex);
        flusher.stop = true;
        flusher.running = false;
        thread.swap(flusher.thread);
        flusher.changed.notify_all();
    }
    if (thread.joinable()) {
        thread.join();
    }
    std::lock_guard<std::mutex> lock(flusher.mutex);
    flusher.stop = false;
    files.swap(flusher.held);
    return files;
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
    Flusher& flusher = TheFlusher();
    HeldFile oldest = {INVALID_HANDLE_VALUE, ""};
    {
        std::lock_guard<std::mutex> lock(flusher.mutex);
        if (!flusher.running) {
            flusher.thread = std::thread(FlushInTheBackground, std::ref(flusher));
            flusher.running = true;
        }
        flusher.held.push_back({file->handle, std::move(file->path)});
        if (flusher.held.size() > HeldLimit) {
            oldest = std::move(flusher.held.front());
            flusher.held.pop_front();
        }
        flusher.changed.notify_all();
    }
    delete file;
    std::string failure;
    if (oldest.handle != INVALID_HANDLE_VALUE && !FlushAndClose(oldest, &failure)) {
        std::lock_guard<std::mutex> lock(flusher.mutex);
        NoteFailure(flusher, failure);
    }
    return true;
}

bool PlatformFlushWrites(const std::string& /*folder*/, std::string* reason) {
    Flusher& flusher = TheFlusher();
    const std::deque<HeldFile> files = StopFlusher(flusher);
    // Every file is flushed and closed, even after one has failed; of these the one reported is
    // the first that failed in the order the files were closed.
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
    std::lock_guard<std::mutex> lock(flusher.mutex);
    for (const std::string& failure : failures) {
        if (!failure.empty()) {
            NoteFailure(flusher, failure);
        }
    }
    *reason = flusher.failure;
    flusher.failure.clear();
    return reason->empty();
}

void PlatformDropWrites() {
    Flusher& flusher = TheFlusher();
    for (const HeldFile& file : StopFlusher(flusher)) {
        CloseHandle(file.handle);
    }
    std::lock_guard<std::mutex> lock(flusher.mutex);
    flusher.failure.clear();
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
