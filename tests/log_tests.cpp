// The log's lines, and its end in child processes that start it as the main functions do: the
// bytes of both streams (stdio, iostreams, raw writes) reach the streams unchanged and the log as
// prefixed lines, partial last lines included; closed streams are still logged; and a stream
// nobody reads does not keep the process from ending.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <regex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/launcher_log.h"
#include "platform/platform.h"
#include "tests/support/scratch_dir.h"

namespace {

const auto Patience = std::chrono::seconds(20);

// Runs body in a child with descriptors 1 and 2 set to out and err (closed when -1) and the log
// started below state; the child then ends through exit, as a return from main does.
template <typename Body>
pid_t StartChild(const ScratchDir& state, int out, int err, Body body) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("XDG_STATE_HOME", state.Path().c_str(), 1);
        for (const int fd : {1, 2}) {
            const int target = fd == 1 ? out : err;
            if (target < 0) {
                close(fd);
            } else {
                dup2(target, fd);
            }
        }
        if (!PlatformStartLog()) {
            _exit(3);
        }
        body();
        std::exit(0);
    }
    return child;
}

// The child's exit code; -1 when it did not end in time or did not exit.
int WaitExit(pid_t child) {
    const auto end = std::chrono::steady_clock::now() + Patience;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > end) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The log's lines of one stream ("out" or "err"), the prefixes checked and removed.
std::string LoggedStream(const ScratchDir& state, const std::string& stream) {
    static const std::regex prefix(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (out|err) )");
    const std::string log = ReadFile(state / "game-launcher/launcher.log");
    std::string bytes;
    for (size_t at = 0, end; at < log.size(); at = end) {
        end = std::min(log.find('\n', at), log.size() - 1) + 1;
        const std::string line = log.substr(at, end - at);
        std::smatch match;
        EXPECT_TRUE(std::regex_search(line, match, prefix)) << line;
        bytes += match[1] == stream ? line.substr(match.length(0)) : "";
    }
    return bytes;
}

} // namespace

TEST(LogLines, CutOverlongLinesAndKeepEachStreamsPartialLineApart) {
    const LogTime time{2024, 3, 9, 7, 5, 2, 45};
    const std::string stamp = "2024-03-09 07:05:02.045 ";
    LogLines lines;
    std::string text;
    AddLogBytes(&lines, LogStream::Out, "a\r\nb", 4, time, &text);
    AddLogBytes(&lines, LogStream::Err, "x", 1, time, &text);
    AddLogBytes(&lines, LogStream::Out, "c\n", 2, time, &text);
    const std::string overlong(LogLineLimit, 'z');
    AddLogBytes(&lines, LogStream::Err, overlong.data(), overlong.size(), time, &text);
    FinishLogLines(&lines, time, &text);
    EXPECT_EQ(text, stamp + "out a\r\n" + stamp + "out bc\n" + stamp + "err x" +
                        overlong.substr(1) + "\n" + stamp + "err z\n");
}

TEST(LinuxLog, EveryByteReachesItsStreamAndTheLogAlsoWhatIsLeftForExit) {
    ScratchDir state;
    const int out = open((state / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open((state / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t child = StartChild(state, out, err, [] {
        std::printf("first %d\n", 1);
        std::cerr << "err one" << std::endl;
        if (write(2, "err two\nerr rest", 16) != 16) {
            _exit(4);
        }
        std::cout << "second" << std::endl;
        // Still in stdout's buffer when exit begins.
        std::fputs("no line break", stdout);
    });
    close(out);
    close(err);
    EXPECT_EQ(WaitExit(child), 0);
    EXPECT_EQ(ReadFile(state / "out"), "first 1\nsecond\nno line break");
    EXPECT_EQ(ReadFile(state / "err"), "err one\nerr two\nerr rest");
    EXPECT_EQ(LoggedStream(state, "out"), "first 1\nsecond\nno line break\n");
    EXPECT_EQ(LoggedStream(state, "err"), "err one\nerr two\nerr rest\n");
}

TEST(LinuxLog, ClosedStreamsAreStillLogged) {
    ScratchDir state;
    const pid_t child = StartChild(state, -1, -1, [] {
        std::puts("to no stream");
        std::fputs("nor this\n", stderr);
    });
    EXPECT_EQ(WaitExit(child), 0);
    EXPECT_EQ(LoggedStream(state, "out"), "to no stream\n");
    EXPECT_EQ(LoggedStream(state, "err"), "nor this\n");
}

TEST(LinuxLog, StreamNobodyReadsDoesNotKeepTheProcessFromEnding) {
    ScratchDir state;
    int stream[2];
    int go[2];
    ASSERT_EQ(pipe(stream), 0);
    ASSERT_EQ(pipe(go), 0);
    const int err = open((state / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t child = StartChild(state, stream[1], err, [&] {
        std::thread([] {
            const std::string block(4 << 20, 'x');
            ssize_t written = write(1, block.data(), block.size());
            (void)written;
        }).detach();
        char byte;
        ssize_t got = read(go[0], &byte, 1);
        (void)got;
    });
    close(stream[1]);
    close(err);
    // Full: the logger is stuck handing bytes on, and the writer behind it.
    const int capacity = fcntl(stream[0], F_GETPIPE_SZ);
    const auto end = std::chrono::steady_clock::now() + Patience;
    int queued = 0;
    while ((ioctl(stream[0], FIONREAD, &queued) != 0 || queued < capacity) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(queued, capacity);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(WaitExit(child), 0);
    for (const int fd : {stream[0], go[0], go[1]}) {
        close(fd);
    }
}
