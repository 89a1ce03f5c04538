// Linux: one launcher per user at a time, through flock on a lock file in the user's runtime
// folder, or without one in the shared temporary folder. The running launcher writes its X window
// id into the file, so a second one can bring that window to the front before it ends.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gdk/gdk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

const char* LinuxUserRuntimeRoot = "/run/user";
const char* LinuxSharedTemporaryFolder = "/tmp";

namespace {

// Held for the process's life once claimed; close-on-exec, so a started client never holds it.
int LockFd = -1;

// The same path for every launcher of the user, whatever its environment: the user's runtime
// folder as the system makes it (XDG_RUNTIME_DIR names it too, but may be unset, as under su or
// cron, or point elsewhere), otherwise the shared temporary folder under the user id.
std::string LockPath() {
    const std::string uid = std::to_string(getuid());
    const std::string runtime = std::string(LinuxUserRuntimeRoot) + "/" + uid;
    struct stat info;
    if (lstat(runtime.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid()) {
        return runtime + "/game-launcher.lock";
    }
    return std::string(LinuxSharedTemporaryFolder) + "/game-launcher-" + uid + ".lock";
}

} // namespace

// Brings the window whose id the running launcher wrote to the front (X11 only).
void PlatformBringRunningLauncherToFront() {
#ifdef GDK_WINDOWING_X11
    const int fd = open(LockPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    char text[32] = {};
    const ssize_t length = pread(fd, text, sizeof text - 1, 0);
    close(fd);
    GdkDisplay* display = gdk_display_get_default();
    if (length <= 0 || display == nullptr || !GDK_IS_X11_DISPLAY(display)) {
        return;
    }
    const unsigned long id = std::strtoul(text, nullptr, 10);
    if (id == 0) {
        return;
    }
    // The window may be gone by now; its errors are not ours.
    gdk_x11_display_error_trap_push(display);
    GdkWindow* window = gdk_x11_window_foreign_new_for_display(display, id);
    if (window != nullptr) {
        gdk_window_raise(window);
        gdk_window_focus(window, GDK_CURRENT_TIME);
        g_object_unref(window);
    }
    gdk_display_flush(display);
    gdk_x11_display_error_trap_pop_ignored(display);
#endif
}

namespace {

// Why the file open at fd is not a lock file of ours alone, or "" when it is: a hard link would
// let us write into whatever file it shares (another of our own files, say), a file another user
// can write or owns would let them keep us from starting or read what we write.
std::string LockFileRefusal(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    if (info.st_nlink != 1) {
        return "hard-linked (" + std::to_string(info.st_nlink) + " links)";
    }
    if (info.st_uid != getuid()) {
        return "owned by user " + std::to_string(info.st_uid);
    }
    if ((info.st_mode & 022) != 0) {
        return "writable by group or others";
    }
    return "";
}

// Without a lock of our own the launcher runs unguarded rather than not at all, and says why.
bool RunWithoutLock(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "launcher: running without the one-launcher lock: %s: %s\n", path.c_str(),
                 reason.c_str());
    return true;
}

} // namespace

bool PlatformClaimSingleInstance() {
    if (LockFd >= 0) {
        return true;
    }
    const std::string path = LockPath();
    // O_NOFOLLOW refuses a symbolic link, O_NONBLOCK keeps a FIFO or device from holding the open;
    // the rest is checked on what was opened, so nothing can be swapped in between.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    std::string refusal;
    if (fd < 0) {
        refusal = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
    } else {
        refusal = LockFileRefusal(fd);
    }
    if (!refusal.empty()) {
        if (fd >= 0) {
            close(fd);
        }
        return RunWithoutLock(path, refusal);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error != EWOULDBLOCK && RunWithoutLock(path, std::strerror(error));
    }
    LockFd = fd;
    return true;
}

void LinuxAnnounceWindow(unsigned long windowId) {
    if (LockFd < 0) {
        return;
    }
    const std::string text = std::to_string(windowId) + "\n";
    if (ftruncate(LockFd, 0) == 0) {
        // Best effort: without the id a second launcher just ends without raising this window.
        (void)!pwrite(LockFd, text.data(), text.size(), 0);
    }
}
