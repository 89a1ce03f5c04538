#include "tests/support/launcher_process.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/scratch_dir.h"

// Last: Xlib's macros (None, Status) would break the headers above.
#include <X11/Xlib.h>

extern char** environ;

Launcher::Launcher(const std::string& program, const std::string& folder,
                   const std::vector<std::string>& environment, Limits limits)
    : folder_(folder) {
    std::vector<std::string> variables;
    std::vector<std::string> removed;
    for (const std::string& variable : environment) {
        (variable.find('=') == std::string::npos ? removed : variables).push_back(variable);
    }
    // In a sanitizer build the error stream would otherwise end with the leak checker's list
    // of suppressions used.
    const char* lsan = std::getenv("LSAN_OPTIONS");
    variables.push_back("LSAN_OPTIONS=" + (lsan != nullptr ? std::string(lsan) + ":" : "") +
                        "print_suppressions=0");
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        if (std::find(removed.begin(), removed.end(), name) == removed.end()) {
            variables.push_back(variable);
        }
    }
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    const std::string out = folder + "/out.txt";
    const std::string err = folder + "/err.txt";
    std::vector<std::string> words = {program};
    if (!limits.traceFile.empty() || !limits.failedCall.empty()) {
        std::vector<std::string> strace = {
            "/usr/bin/strace",
            "-f",
            "-o",
            limits.traceFile.empty() ? "/dev/null" : limits.traceFile,
            "-e",
            "trace=openat,close,fsync,fdatasync,syncfs,sync,unlink,unlinkat"};
        if (!limits.failedCall.empty()) {
            strace.insert(strace.end(), {"-e", "inject=" + limits.failedCall + ":error=EIO"});
        }
        words.insert(words.begin(), strace.begin(), strace.end());
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 ||
            chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        if (limits.fileSize != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{limits.fileSize, limits.fileSize};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (limits.umask >= 0) {
            umask(static_cast<mode_t>(limits.umask));
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
}

Launcher::~Launcher() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int Launcher::Wait() {
    int status = 0;
    const bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) {
        return -1;
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -100 - WTERMSIG(status);
}

void Launcher::Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    exited_ = true;
}

bool Launcher::CloseWindow(const std::string& lock) {
    unsigned long window = 0;
    if (!WaitUntil([&] { return (window = std::strtoul(ReadFile(lock).c_str(), nullptr, 10)); })) {
        return false;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XCloseDisplay(display);
    return true;
}

std::string Launcher::Out() const {
    return ReadFile(folder_ + "/out.txt");
}

std::string Launcher::Err() const {
    return ReadFile(folder_ + "/err.txt");
}
