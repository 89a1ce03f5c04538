// RunExecutable with a real child (the demo client) that records its arguments and working
// folder: command-line words, option collection, argument errors, failed starts, the child
// running on by itself, no start once the launcher is closing, and (Linux) the descriptors the
// child inherits.
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <lua.hpp>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "actions/run_executable.h"
#ifndef _WIN32
#include "platform/linux/linux_backend.h"
#endif
#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/environment.h"
#include "tests/support/lua_host.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

struct ClientLog {
    std::string cwd;
    std::string commandLine; // Windows only: what the child was handed before its runtime split it
    std::string arg0;
    std::vector<std::string> args;
    std::vector<std::string> descriptors; // Linux, with DEMO_CLIENT_LIST_FDS set
};

#ifdef _WIN32
// Windows runs only files named as programs.
const std::string ClientName = "bin/client.exe";
#else
const std::string ClientName = "bin/client";
#endif

// A folder as the child's own system reports its working folder.
std::string AsReportedFolder(const std::string& path) {
#ifdef _WIN32
    return fs::path(path).make_preferred().string();
#else
    return fs::canonical(path).string();
#endif
}

class RunExecutableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OpenHostInterpreter();
        // A copy per test: the client writes its log beside its own executable.
        fs::create_directories(scratch / "bin");
        fs::create_directories(scratch / "work");
        client = scratch / ClientName;
        fs::copy_file(DEMO_CLIENT_PATH, client);
        work = scratch / "work";
        log = scratch / "bin/client.log";
    }
    void TearDown() override {
        CloseHostInterpreter();
        UnsetEnvironment("DEMO_CLIENT_LINGER_MS");
        ResetExitRequest();
#ifndef _WIN32
        UnsetEnvironment("DEMO_CLIENT_LIST_FDS");
        LinuxFirstCloseOnExecWay = LinuxCloseOnExecWay::CloseRange;
#endif
    }

    // Runs RunExecutable(callArguments) with CLIENT and WORK set; returns the Lua error text or "".
    std::string Run(const std::string& callArguments = "CLIENT, WORK") {
        SetGlobalString("CLIENT", client);
        SetGlobalString("WORK", work);
        const HostCall call = RunCapturedCall("Result = RunExecutable(" + callArguments + ")");
        stdoutText = call.out;
        stderrText = call.err;
        resultIsBoolean = call.resultIsBoolean;
        result = call.result;
        return call.error;
    }

    // The id from the one success line, or -1.
    long PrintedProcessId() {
        const std::string prefix = "Process created successfully with PID: ";
        if (stdoutText.rfind(prefix, 0) != 0 || stdoutText.back() != '\n' ||
            stdoutText.find('\n') != stdoutText.size() - 1) {
            return -1;
        }
        return std::stol(stdoutText.substr(prefix.size()));
    }

    // Until the record can be read: the client renames it into place whole, but (on Windows) the
    // handle that renamed it may still be open, and until it closes the file cannot be opened.
    ClientLog WaitForLog() {
        std::string text;
        for (int i = 0; i < 1000 && (text = ReadFile(log)).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ClientLog parsed;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            const size_t space = line.find(' ');
            const std::string key = line.substr(0, space);
            const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
            if (key == "cwd") {
                parsed.cwd = value;
            } else if (key == "cmdline") {
                parsed.commandLine = value;
            } else if (key == "arg0") {
                parsed.arg0 = value;
            } else if (key == "arg") {
                parsed.args.push_back(value);
            } else if (key == "fd") {
                parsed.descriptors.push_back(value);
            }
        }
        return parsed;
    }

    ScratchDir scratch;
    std::string client;
    std::string work;
    std::string log;
    bool result = false;
    bool resultIsBoolean = false;
    std::string stdoutText;
    std::string stderrText;
};

using Words = std::vector<std::string>;

} // namespace

// --- Command line ---

TEST_F(RunExecutableTest, NoOptionsGiveNoExtraWords) {
    ASSERT_EQ(Run(), "");
    EXPECT_TRUE(resultIsBoolean);
    EXPECT_TRUE(result);
    EXPECT_GT(PrintedProcessId(), 0) << stdoutText;
    EXPECT_EQ(stderrText, "");
    const ClientLog started = WaitForLog();
    EXPECT_EQ(started.cwd, AsReportedFolder(work));
#ifdef _WIN32
    // The command line names no program and is empty here; Windows hands it over as it is, Wine
    // puts the quoted program path in its place. Either way no option reaches argv.
    EXPECT_TRUE(started.commandLine.empty() || started.commandLine == "\"" + client + "\"")
        << started.commandLine;
#else
    EXPECT_EQ(started.arg0, client);
#endif
    EXPECT_EQ(started.args, Words{});
}

TEST_F(RunExecutableTest, AnOptionWithSpacesArrivesAsItsWords) {
    ASSERT_EQ(Run("CLIENT, WORK, '-screen-width 1560 -screen-height 720 -force-opengl', '-log'"),
              "");
    EXPECT_TRUE(result);
    const ClientLog started = WaitForLog();
    EXPECT_EQ(started.args,
              (Words{"-screen-width", "1560", "-screen-height", "720", "-force-opengl", "-log"}));
#ifdef _WIN32
    // Unquoted and led by a space: the runtime splits it, and its first word (argv[0]) is empty.
    EXPECT_EQ(started.commandLine, " -screen-width 1560 -screen-height 720 -force-opengl -log");
    EXPECT_EQ(started.arg0, "");
#endif
}

TEST_F(RunExecutableTest, NumbersAreOptionsInTheirLuaForm) {
    ASSERT_EQ(Run("CLIENT, WORK, 1560, 0.5, '-x'"), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(WaitForLog().args, (Words{"1560", "0.5", "-x"}));
}

TEST_F(RunExecutableTest, TheFirstNonStringEndsTheOptions) {
    ASSERT_EQ(Run("CLIENT, WORK, 'a', nil, 'b'"), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(WaitForLog().args, Words{"a"});
    fs::remove(log);

    ASSERT_EQ(Run("CLIENT, WORK, nil, 'b'"), "");
    EXPECT_EQ(WaitForLog().args, Words{});
    fs::remove(log);

    ASSERT_EQ(Run("CLIENT, WORK, 'a', {}, 'b'"), "");
    EXPECT_EQ(WaitForLog().args, Words{"a"});
}

TEST_F(RunExecutableTest, RelativePathsAreTheLaunchersNotTheChilds) {
    const fs::path before = fs::current_path();
    fs::current_path(scratch.Path());
    const std::string error = Run("'" + ClientName + "', 'work', '-log'");
    fs::current_path(before);
    ASSERT_EQ(error, "");
    EXPECT_TRUE(result);
    const ClientLog started = WaitForLog();
    EXPECT_EQ(started.cwd, AsReportedFolder(work));
#ifdef _WIN32
    EXPECT_EQ(started.commandLine, " -log");
#else
    EXPECT_EQ(fs::canonical(started.arg0), fs::canonical(client));
#endif
    EXPECT_EQ(started.args, Words{"-log"});
}

// --- Argument errors ---

TEST_F(RunExecutableTest, MissingOrWrongPathArgumentsRaiseAndStartNothing) {
    EXPECT_EQ(Run("CLIENT"),
              "t:1: bad argument #2 to 'RunExecutable' (string expected, got no value)");
    EXPECT_EQ(Run(""), "t:1: bad argument #1 to 'RunExecutable' (string expected, got no value)");
    EXPECT_EQ(Run("{}, WORK"),
              "t:1: bad argument #1 to 'RunExecutable' (string expected, got table)");
    EXPECT_EQ(Run("CLIENT, nil, 'x'"),
              "t:1: bad argument #2 to 'RunExecutable' (string expected, got nil)");
    EXPECT_EQ(stdoutText, "");
    EXPECT_EQ(stderrText, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(log));
}

// --- Failed starts ---

TEST_F(RunExecutableTest, FailedStartsReportTheErrnoAndFalse) {
    const std::string missing = scratch / "bin/missing";
    const std::string notExecutable = scratch / "bin/data.txt";
    WriteFile(notExecutable, "plain text\n");
    fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
    struct Case {
        std::string call;
        int error;
    };
#ifdef _WIN32
    // GetLastError numbers: ERROR_FILE_NOT_FOUND, ERROR_BAD_EXE_FORMAT, ERROR_DIRECTORY (a
    // working folder that is missing or empty), ERROR_PATH_NOT_FOUND (an empty program path).
    const int fileNotFound = 2;
    const int notAProgram = 193;
    const int noSuchFolder = 267;
    const int noFolder = 267;
    const int noFile = 3;
#else
    const int fileNotFound = ENOENT;
    const int notAProgram = EACCES;
    const int noSuchFolder = ENOENT;
    const int noFolder = ENOENT;
    const int noFile = ENOENT;
#endif
    const Case cases[] = {
        {"'" + missing + "', WORK", fileNotFound},
        {"'" + notExecutable + "', WORK", notAProgram},
        {"CLIENT, '" + (scratch / "no-such-folder") + "'", noSuchFolder},
        {"CLIENT, ''", noFolder},
        {"'', WORK", noFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_EQ(Run(c.call), "");
        EXPECT_TRUE(resultIsBoolean);
        EXPECT_FALSE(result);
        EXPECT_EQ(stderrText, "CreateProcess failed with error: " + std::to_string(c.error) + "\n");
        EXPECT_EQ(stdoutText, "");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(log));
}

// --- The child on its own ---

TEST_F(RunExecutableTest, ReturnsAtOnceAndTheChildRunsOnAsNoChildOfOurs) {
    SetEnvironment("DEMO_CLIENT_LINGER_MS", "1500");
    ASSERT_EQ(Run("CLIENT, WORK, '-log'"), "");
    EXPECT_TRUE(result);
    const long child = PrintedProcessId();
    ASSERT_GT(child, 0) << stdoutText;
    // Still lingering: the call did not wait for it.
    EXPECT_FALSE(fs::exists(log));
#ifdef _WIN32
    // The printed number names the running child. Windows keeps no parent link to check.
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child));
    ASSERT_NE(process, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForLog().args, Words{"-log"});
    EXPECT_EQ(WaitForSingleObject(process, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(process);
#else
    EXPECT_EQ(kill(child, 0), 0);
    // Not our child: nothing of it to reap, so no zombie is left behind.
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_NE(getsid(child), getsid(0));
    EXPECT_EQ(WaitForLog().args, Words{"-log"});
#endif
}

TEST_F(RunExecutableTest, TheChildOutlivesTheLauncher) {
#ifdef _WIN32
    // Longer than on Linux: starting a process under Wine takes a good part of a second.
    SetEnvironment("DEMO_CLIENT_LINGER_MS", "2000");
    // A launcher of its own (no fork here) that starts the client and ends at once.
    std::wstring line = L"launch_once \"" + fs::path(client).wstring() + L"\" \"" +
                        fs::path(work).wstring() + L"\" -log";
    const std::wstring program = fs::path(LAUNCH_ONCE_PATH).wstring();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION launcher = {};
    ASSERT_TRUE(CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &launcher))
        << GetLastError();
    CloseHandle(launcher.hThread);
    EXPECT_EQ(WaitForSingleObject(launcher.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD status = 1;
    EXPECT_TRUE(GetExitCodeProcess(launcher.hProcess, &status));
    CloseHandle(launcher.hProcess);
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(WaitForLog().args, Words{"-log"});
#else
    SetEnvironment("DEMO_CLIENT_LINGER_MS", "500");
    // A launcher of its own that starts the client and ends at once.
    const pid_t launcher = fork();
    ASSERT_GE(launcher, 0);
    if (launcher == 0) {
        _exit(LaunchProcess(client, work, {"-log"}) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(launcher, &status, 0), launcher);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(WaitForLog().args, Words{"-log"});
#endif
}

// --- The launcher closing ---

TEST_F(RunExecutableTest, StartsNothingOnceTheLauncherIsClosing) {
#ifndef _WIN32
    // Orphans below this process become its children while this is set, so a client started
    // through the double fork would show in waitpid.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
#endif
    RequestExit(0);
    ASSERT_EQ(Run("CLIENT, WORK, '-log'"), "");
    EXPECT_TRUE(resultIsBoolean);
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText, "Process not started: the launcher is closing.\n");
    EXPECT_EQ(stdoutText, "");
#ifndef _WIN32
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
#endif
    EXPECT_FALSE(fs::exists(log));

    ResetExitRequest();
    ASSERT_EQ(Run("CLIENT, WORK, '-log'"), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(WaitForLog().args, Words{"-log"});
}

#ifndef _WIN32
// --- Descriptors (Linux) ---

TEST_F(RunExecutableTest, TheChildInheritsNoDescriptorButTheStandardOnesWhicheverWayMarksThem) {
    SetEnvironment("DEMO_CLIENT_LIST_FDS", "1");
    // Inheritable, as a library may leave its descriptors: one low, one far above the others.
    const int low = open("/dev/null", O_RDONLY);
    ASSERT_GE(low, 0);
    ASSERT_EQ(dup2(low, 900), 900);
    for (LinuxCloseOnExecWay way :
         {LinuxCloseOnExecWay::CloseRange, LinuxCloseOnExecWay::ProcSelfFd,
          LinuxCloseOnExecWay::EveryNumber}) {
        SCOPED_TRACE(static_cast<int>(way));
        LinuxFirstCloseOnExecWay = way;
        fs::remove(log);
        ASSERT_EQ(Run("CLIENT, WORK, '-log'"), "");
        EXPECT_TRUE(result);
        const ClientLog started = WaitForLog();
        EXPECT_EQ(started.args, Words{"-log"});
        EXPECT_FALSE(started.descriptors.empty()) << "no descriptor listed";
        for (const std::string& fd : started.descriptors) {
            EXPECT_TRUE(fd == "0" || fd == "1" || fd == "2") << "inherited descriptor " << fd;
        }
    }
    close(low);
    close(900);
}
#endif

TEST(LaunchProcess, PrintsOneLinePerOutcome) {
    ScratchDir scratch;
    OutputCapture capture;
    EXPECT_FALSE(LaunchProcess(scratch / "missing", scratch.Path(), {"a b"}));
    capture.Stop();
    EXPECT_EQ(capture.Out(), "");
    EXPECT_EQ(capture.Err(), "CreateProcess failed with error: 2\n");
}
