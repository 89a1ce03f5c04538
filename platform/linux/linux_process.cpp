// Linux process start. The child is started through an intermediate process that exits at once
// (double fork), so it is re-parented away from the launcher: no zombie and no handle remain, and
// it runs on after the launcher ends. A close-on-exec pipe carries the child's id and, when the
// start fails (working folder, exec), the errno of the failure back to the launcher. The child
// inherits no descriptor but 0-2: close_range where the kernel has it, else /proc/self/fd, else
// every number below the descriptor limit.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <vector>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/linux_backend.h"

extern char** environ;

namespace {

// One message on the report pipe. Each is smaller than PIPE_BUF, so writes never interleave.
struct StartReport {
    int32_t kind;
    int32_t value;
};
constexpr int32_t ReportProcessId = 1;
constexpr int32_t ReportFailure = 2;

// The words a Windows program would find in the command line: split at spaces, empty words
// dropped, no quoting rules because the launcher never adds quotes.
std::vector<std::string> SplitWords(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    for (char c : commandLine) {
        if (c == ' ') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

// A relative program path names a file below the launcher's working folder, not the child's.
bool ResolveProgram(const std::string& exePath, std::string* program) {
    if (exePath.empty() || exePath[0] == '/') {
        *program = exePath;
        return true;
    }
    std::vector<char> cwd(4096);
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) {
            return false;
        }
        cwd.resize(cwd.size() * 2);
    }
    *program = std::string(cwd.data()) + "/" + exePath;
    return true;
}

// Descriptor numbers never reach this: the kernel's default ceiling (fs.nr_open).
constexpr long DescriptorCeiling = 1L << 20;

// getdents64's record; the kernel aligns each to 8 bytes.
struct DirectoryRecord {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// The numbers a descriptor can have here, for the last fall-back. Taken before fork.
int DescriptorLimit() {
    const long limit = sysconf(_SC_OPEN_MAX);
    return static_cast<int>(limit < 0 || limit > DescriptorCeiling ? DescriptorCeiling : limit);
}

bool MarkWithCloseRange() {
#if defined(SYS_close_range) && defined(CLOSE_RANGE_CLOEXEC)
    // Fails with ENOSYS before Linux 5.9 and EINVAL for the flag before 5.11.
    return syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
#else
    return false;
#endif
}

// Raw system calls and a stack buffer: nothing here allocates, so it is safe after fork.
bool MarkListedInProc() {
    const int folder = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return false;
    }
    alignas(8) char buffer[4096];
    long filled;
    while ((filled = syscall(SYS_getdents64, folder, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < filled;) {
            const auto* record = reinterpret_cast<const DirectoryRecord*>(buffer + at);
            at += record->length;
            int fd = 0;
            const char* digit = record->name;
            for (; *digit >= '0' && *digit <= '9'; ++digit) {
                fd = fd * 10 + (*digit - '0');
            }
            // "." and ".." have no digits.
            if (digit != record->name && fd >= 3 && fd != folder) {
                fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
    }
    close(folder);
    return filled == 0;
}

// Marks every descriptor numbered 3 or more close-on-exec. Async-signal-safe.
void MarkInheritedCloseOnExec(int descriptorLimit) {
    if (LinuxFirstCloseOnExecWay == LinuxCloseOnExecWay::CloseRange && MarkWithCloseRange()) {
        return;
    }
    if (LinuxFirstCloseOnExecWay != LinuxCloseOnExecWay::EveryNumber && MarkListedInProc()) {
        return;
    }
    for (int fd = 3; fd < descriptorLimit; ++fd) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

// Async-signal-safe: used between fork and exec.
void SendReport(int fd, int32_t kind, int32_t value) {
    const StartReport report{kind, value};
    while (write(fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
}

// Gives the child the stream the launcher had before its log: a client that outlives the
// launcher must not write into a pipe nobody reads any more. Async-signal-safe.
void RestoreStream(int fd, int original) {
    if (original < 0) {
        close(fd);
    } else if (original != fd) {
        dup2(original, fd);
    }
}

// Runs in the grandchild; only async-signal-safe calls until execve.
[[noreturn]] void ExecChild(int reportFd, const char* program, char* const* argv,
                            const char* workingDir, int descriptorLimit, int originalOut,
                            int originalErr) {
    if (chdir(workingDir) != 0) {
        SendReport(reportFd, ReportFailure, errno);
        _exit(127);
    }
    RestoreStream(1, originalOut);
    RestoreStream(2, originalErr);
    // The launcher's own descriptors (archive, sockets) are not the child's business.
    MarkInheritedCloseOnExec(descriptorLimit);
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaultAction, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program, argv, environ);
    SendReport(reportFd, ReportFailure, errno);
    _exit(127);
}

// Reads every report until all writers are gone; true when the child was started.
bool CollectReports(int fd, unsigned long* processIdOrError) {
    bool haveId = false;
    unsigned long processId = 0;
    StartReport report;
    size_t filled = 0;
    for (;;) {
        ssize_t n = read(fd, reinterpret_cast<char*>(&report) + filled, sizeof report - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        filled += static_cast<size_t>(n);
        if (filled < sizeof report) {
            continue;
        }
        filled = 0;
        if (report.kind == ReportFailure) {
            *processIdOrError = static_cast<unsigned long>(report.value);
            return false;
        }
        if (report.kind == ReportProcessId) {
            haveId = true;
            processId = static_cast<unsigned long>(report.value);
        }
    }
    if (!haveId) {
        // The intermediate process died before it could report.
        *processIdOrError = ECHILD;
        return false;
    }
    *processIdOrError = processId;
    return true;
}

} // namespace

LinuxCloseOnExecWay LinuxFirstCloseOnExecWay = LinuxCloseOnExecWay::CloseRange;

bool PlatformStartProcess(const std::string& exePath, const std::string& commandLine,
                          const std::string& workingDir, unsigned long* processIdOrError) {
    std::string program;
    if (!ResolveProgram(exePath, &program)) {
        *processIdOrError = static_cast<unsigned long>(errno);
        return false;
    }
    // Everything the children need is prepared here: after fork only async-signal-safe calls.
    std::vector<std::string> words = SplitWords(commandLine);
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int descriptorLimit = DescriptorLimit();

    int originalOut = 1;
    int originalErr = 2;
    LinuxOriginalStreams(&originalOut, &originalErr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *processIdOrError = static_cast<unsigned long>(errno);
        return false;
    }
    const pid_t middle = fork();
    if (middle < 0) {
        *processIdOrError = static_cast<unsigned long>(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (middle == 0) {
        close(fds[0]);
        // A session of its own: the child outlives the launcher's terminal and process group.
        setsid();
        const pid_t child = fork();
        if (child < 0) {
            SendReport(fds[1], ReportFailure, errno);
            _exit(1);
        }
        if (child == 0) {
            ExecChild(fds[1], program.c_str(), argv.data(), workingDir.c_str(), descriptorLimit,
                      originalOut, originalErr);
        }
        SendReport(fds[1], ReportProcessId, child);
        _exit(0);
    }
    close(fds[1]);
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    const bool started = CollectReports(fds[0], processIdOrError);
    close(fds[0]);
    return started;
}

bool PlatformIsBusyError(unsigned long error) {
    // execve refuses a program that some process has open for writing.
    return error == ETXTBSY;
}
