// Linux log: descriptors 1 and 2 become pipes read by one logger thread, which copies every byte
// on to the descriptors they had before and writes the lines (app/launcher_log.h) into
// $XDG_STATE_HOME/game-launcher/launcher.log. Implements the log part of platform/platform.h.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/launcher_log.h"
#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

namespace {

// Once the streams are handed back the logger ends at once, unless a writer is stuck.
const auto StopPatience = std::chrono::seconds(1);

struct Stream {
    int fd;       // 1 or 2
    int original; // close-on-exec copy of what fd was before the log; -1 when fd was closed
    int readEnd;  // the pipe's end the logger reads
    bool copying; // false once the original refused a write
};

// Never freed: a logger still stuck at exit must not find its state destroyed.
struct LogState {
    int file = -1;
    std::string path;
    Stream streams[2] = {{1, -1, -1, false}, {2, -1, -1, false}};
    LogLines lines;
    char buffer[64 * 1024];
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    std::atomic<bool> stopped{false};
};

LogState* State = nullptr;

// The XDG base folder for state; a relative XDG_STATE_HOME is to be ignored.
std::string StateHome() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return state;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state" : "";
}

// mkdir -p with the mode the XDG folders ask for; true when path is a folder afterwards.
bool MakeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            if (mkdir(path.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

LogTime Now() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    return {local.tm_year + 1900,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec,
            static_cast<int>(now.tv_nsec / 1000000)};
}

// Writes every byte, waiting out a full pipe; false when the descriptor refuses them.
bool WriteAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EAGAIN) {
                pollfd ready{fd, POLLOUT, 0};
                poll(&ready, 1, -1);
            } else if (errno != EINTR) {
                return false;
            }
            continue;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void WriteLog(LogState* state, const std::string& text) {
    // A log that fails once is given up: the streams must never wait for it.
    if (state->file >= 0 && !text.empty() && !WriteAll(state->file, text.data(), text.size())) {
        close(state->file);
        state->file = -1;
    }
}

// The stream gets its bytes first, so a log that cannot be written costs it nothing.
void Deliver(LogState* state, int index, size_t size) {
    Stream& stream = state->streams[index];
    if (stream.copying && !WriteAll(stream.original, state->buffer, size)) {
        stream.copying = false;
    }
    std::string text;
    AddLogBytes(&state->lines, static_cast<LogStream>(index), state->buffer, size, Now(), &text);
    WriteLog(state, text);
}

// Runs until both pipes have no writer left, that is until PlatformStopLog handed the streams
// back and the last write that was under way has landed.
void RunLogger(LogState* state) {
    pollfd ends[2];
    for (int i = 0; i < 2; ++i) {
        ends[i] = {state->streams[i].readEnd, POLLIN, 0};
    }
    while (ends[0].fd >= 0 || ends[1].fd >= 0) {
        if (poll(ends, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        // Out before err when both have bytes: that is the order the logger sees them in.
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0) {
                continue;
            }
            const ssize_t got = read(ends[i].fd, state->buffer, sizeof state->buffer);
            if (got > 0) {
                Deliver(state, i, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(ends[i].fd);
                ends[i].fd = -1;
            }
        }
    }
    std::string text;
    FinishLogLines(&state->lines, Now(), &text);
    WriteLog(state, text);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->finished = true;
    state->ended.notify_all();
}

// Pipes made while 0, 1 or 2 is closed would take that number; ours live above them.
int AboveStandard(int fd) {
    if (fd < 0 || fd > 2) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

void CloseIfOpen(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

void ClosePipes(LogState* state, const int writeEnds[2]) {
    for (int i = 0; i < 2; ++i) {
        CloseIfOpen(state->streams[i].original);
        CloseIfOpen(state->streams[i].readEnd);
        CloseIfOpen(writeEnds[i]);
    }
}

// The pipes and the copies of the original descriptors; false (with nothing left open) on failure.
bool MakePipes(LogState* state, int writeEnds[2]) {
    for (int i = 0; i < 2; ++i) {
        Stream& stream = state->streams[i];
        stream.original = fcntl(stream.fd, F_DUPFD_CLOEXEC, 3);
        stream.copying = stream.original >= 0;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            ends[0] = ends[1] = -1;
        }
        stream.readEnd = AboveStandard(ends[0]);
        writeEnds[i] = AboveStandard(ends[1]);
    }
    for (int i = 0; i < 2; ++i) {
        if (state->streams[i].readEnd < 0 || writeEnds[i] < 0) {
            ClosePipes(state, writeEnds);
            return false;
        }
    }
    return true;
}

void StopAtExit() {
    (void)PlatformStopLog();
}

} // namespace

bool PlatformStartLog() {
    if (State != nullptr) {
        return true;
    }
    const std::string home = StateHome();
    const std::string folder = home + "/game-launcher";
    if (home.empty() || !MakeFolders(folder)) {
        return false;
    }
    const std::string path = folder + "/launcher.log";
    struct stat info;
    if (stat(path.c_str(), &info) == 0 &&
        static_cast<unsigned long long>(info.st_size) > LogRotateSize) {
        // Should the rename fail, the log just goes on growing.
        rename(path.c_str(), (path + ".1").c_str());
    }
    const int file =
        AboveStandard(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (file < 0) {
        return false;
    }
    tzset();
    LogState* state = new LogState;
    state->file = file;
    state->path = path;
    int writeEnds[2];
    if (!MakePipes(state, writeEnds)) {
        close(file);
        delete state;
        return false;
    }
    try {
        std::thread(RunLogger, state).detach();
    } catch (const std::exception&) {
        ClosePipes(state, writeEnds);
        close(file);
        delete state;
        return false;
    }
    // A pipe would make stdout fully buffered: each line is handed on when it is complete, as a
    // terminal would get it, so the log's times are the lines' own.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    for (int i = 0; i < 2; ++i) {
        // Should dup2 fail, closing the write end just ends that stream's logging.
        dup2(writeEnds[i], state->streams[i].fd);
        close(writeEnds[i]);
    }
    State = state;
    std::atexit(StopAtExit);
    return true;
}

bool PlatformStopLog() {
    LogState* state = State;
    if (state == nullptr || state->stopped.exchange(true)) {
        return true;
    }
    // A thread blocked inside a write holds stdout's lock: never wait for it here, exit's own
    // flush still delivers the rest to the stream.
    if (ftrylockfile(stdout) == 0) {
        std::fflush(stdout);
        funlockfile(stdout);
    }
    for (const Stream& stream : state->streams) {
        if (stream.original >= 0) {
            dup2(stream.original, stream.fd);
        } else {
            close(stream.fd);
        }
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->ended.wait_for(lock, StopPatience, [state] { return state->finished; });
}

const char* PlatformLogPath() {
    return State != nullptr ? State->path.c_str() : nullptr;
}

void LinuxOriginalStreams(int* out, int* err) {
    *out = State != nullptr ? State->streams[0].original : 1;
    *err = State != nullptr ? State->streams[1].original : 2;
}
