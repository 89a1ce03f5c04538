// Linux file system operations: existence test, one-level folder creation, the extraction's
// output files and their flush, permission bits under the umask, free space, and a removal that
// is on the disk when it returns.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

struct PlatformOutputFile {
    int fd;
    std::string path;
    std::string failure; // the first write's that failed, "<path>: <the system's words>"
};

namespace {

// "/proc/self/status" tells the umask without changing it (Linux 4.7 on); elsewhere it has to be
// set and set back, which races with any other thread creating a file meanwhile.
mode_t ReadUmask() {
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status) != nullptr) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(status);
        if (found) {
            return static_cast<mode_t>(mask);
        }
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// strerror_r, not strerror: the extraction's threads fail at once when the disk is full.
std::string SystemReason(const std::string& path) {
    char words[256];
    return path + ": " + strerror_r(errno, words, sizeof words);
}

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

mode_t LinuxUmask() {
    static const mode_t mask = ReadUmask();
    return mask;
}

bool PlatformPathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool PlatformCreateFolder(const std::string& path) {
    // Default security: the process umask decides the final bits.
    return mkdir(path.c_str(), 0777) == 0;
}

bool PlatformRemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

void PlatformApplyPermissions(const std::string& path, unsigned int unixMode) {
    // The owner keeps read and write whatever the archive says: a read-only file would make every
    // later extraction over it fail. What the umask withholds, the archive cannot grant: a
    // world-writable client could be replaced by any local user.
    const mode_t mode = static_cast<mode_t>((unixMode & 0777) | 0600) & ~LinuxUmask();
    chmod(path.c_str(), mode);
}

PlatformOutputFile* PlatformCreateOutputFile(const std::string& path, bool* busy,
                                             std::string* reason) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *busy = errno == ETXTBSY;
        *reason = SystemReason(path);
        return nullptr;
    }
    return new PlatformOutputFile{fd, path, ""};
}

bool PlatformWriteOutputFile(PlatformOutputFile* file, const char* bytes, size_t size,
                             std::string* reason) {
    while (size > 0 && file->failure.empty()) {
        const ssize_t written = write(file->fd, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<size_t>(written);
        } else if (written == 0) {
            file->failure = file->path + ": nothing could be written";
        } else if (errno != EINTR) {
            file->failure = SystemReason(file->path);
        }
    }
    *reason = file->failure;
    return file->failure.empty();
}

// Durability comes from the one syncfs of PlatformFlushWrites: fdatasync per file (and fsync per
// folder) waits for a journal commit each and took twice as long (bench/README.md, unzip_bench).
bool PlatformCloseOutputFile(PlatformOutputFile* file, bool /*durable*/, std::string* reason) {
    *reason = file->failure;
    if (close(file->fd) != 0 && reason->empty()) {
        *reason = SystemReason(file->path);
    }
    delete file;
    return reason->empty();
}

bool PlatformFlushWrites(const std::string& folder, std::string* reason) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *reason = SystemReason(folder);
        return false;
    }
    // One pass over the folder's whole file system: the files' data, their inodes and every
    // folder entry made on the way. Since Linux 5.8 it also reports a write-back that failed.
    const bool flushed = syncfs(fd) == 0;
    if (!flushed) {
        *reason = SystemReason(folder);
    }
    close(fd);
    return flushed;
}

bool PlatformFreeSpace(const std::string& path, unsigned long long* bytes, std::string* volume,
                       std::string* reason) {
    struct statvfs space;
    struct stat info;
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr || statvfs(real, &space) != 0 || stat(real, &info) != 0) {
        *reason = SystemReason(path);
        std::free(real);
        return false;
    }
    // What an unprivileged user may still write: the blocks kept for root do not count.
    *bytes = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
    // The mount point: the highest folder above on the same device.
    std::string mount = real;
    std::free(real);
    while (mount != "/") {
        const std::string parent = ParentFolder(mount);
        struct stat above;
        if (stat(parent.c_str(), &above) != 0 || above.st_dev != info.st_dev) {
            break;
        }
        mount = parent;
    }
    *volume = mount;
    return true;
}

bool PlatformFileSize(const std::string& path, unsigned long long* bytes) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    *bytes = static_cast<unsigned long long>(info.st_size);
    return true;
}

// Nothing is held: the syncfs that was not made leaves nothing behind.
void PlatformDropWrites() {}

bool PlatformRemoveFileDurably(const std::string& path, std::string* reason) {
    if (unlink(path.c_str()) != 0) {
        *reason = SystemReason(path);
        return false;
    }
    // The removal is a change of the folder; only the folder's own fsync puts it on the disk.
    const std::string folder = ParentFolder(path);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool flushed = fd >= 0 && fsync(fd) == 0;
    if (!flushed) {
        *reason = SystemReason(folder);
    }
    if (fd >= 0) {
        close(fd);
    }
    return flushed;
}
