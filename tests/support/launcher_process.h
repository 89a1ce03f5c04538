// Real launcher processes for the tests that drive test builds of the program from outside
// (Linux, under Xvfb): started in a folder of their own with their output in out.txt and
// err.txt there, waited for, killed, and closed as a window manager would.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Long enough for a sanitizer build on a loaded machine, far shorter than a hang.
const auto LauncherPatience = std::chrono::seconds(60);

// Waits (bounded by LauncherPatience) for a condition that another process brings about.
template <typename Condition>
bool WaitUntil(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + LauncherPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// What the launcher's process starts with besides its environment.
struct Limits {
    rlim_t fileSize = RLIM_INFINITY; // RLIMIT_FSIZE, with SIGXFSZ ignored: a full disk
    int umask = -1;                  // the launcher's umask; -1 keeps the test's own
    // When set, the launcher runs under strace, which writes the file system calls of all its
    // threads into this file.
    std::string traceFile;
    // When set (a system call's name), the launcher runs under strace, which fails every such
    // call of all its threads with EIO, as a disk that cannot write back does.
    std::string failedCall;
};

// One launcher process in `folder`. Variables in `environment` take precedence over the test's;
// a name there without "=" is left out of the launcher's environment.
class Launcher {
  public:
    Launcher(const std::string& program, const std::string& folder,
             const std::vector<std::string>& environment, Limits limits = Limits());
    ~Launcher();
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    // The exit code; -1 when the launcher did not end in time, -100 - n when signal n ended it.
    int Wait();
    void Kill();
    // Closes the splash as a window manager would (WM_DELETE_WINDOW), once it has one: the
    // window whose id the launcher wrote into its one-launcher lock file.
    bool CloseWindow(const std::string& lock);

    std::string Out() const;
    std::string Err() const;

  private:
    std::string folder_;
    pid_t pid_ = -1;
    bool exited_ = false;
};
