// SetProgress's conversion, ExitApp's effect, and what registration leaves in the interpreter.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <lua.hpp>

#include "actions/archive_size.h"
#include "actions/hash_file.h"
#include "actions/run_executable.h"
#include "actions/unzip.h"
#include "app/status_line.h"
#include "app/ui_state.h"
#include "platform/platform.h"
#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/environment.h"
#include "tests/support/lua_host.h"
#include "tests/support/message_box_recorder.h"

namespace {

class HostFunctions : public ::testing::Test {
  protected:
    void SetUp() override {
        ProgressPercent.store(0);
        ResetExitRequest();
        OpenHostInterpreter();
    }
    void TearDown() override {
        CloseHostInterpreter();
        ResetExitRequest();
        int ignored;
        PlatformTakeQuit(&ignored);
    }

    std::string Exec(const std::string& code) {
        return RunChunk(code);
    }
};

struct ProgressCase {
    const char* argument;
    int32_t stored;
};

void PrintTo(const ProgressCase& c, std::ostream* os) {
    *os << "SetProgress(" << c.argument << ")";
}

class SetProgressValues : public HostFunctions,
                          public ::testing::WithParamInterface<ProgressCase> {};

} // namespace

TEST_P(SetProgressValues, StoresTruncatedPercent) {
    ProgressPercent.store(12345);
    ASSERT_EQ(Exec(std::string("SetProgress(") + GetParam().argument + ")"), "");
    EXPECT_EQ(ProgressPercent.load(), GetParam().stored) << GetParam().argument;
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, SetProgressValues,
    ::testing::Values(ProgressCase{"0.5", 50}, ProgressCase{"1", 100}, ProgressCase{"0", 0},
                      // 0.29 * 100.0 is 28.999999999999996 in double precision.
                      ProgressCase{"0.29", 28}, ProgressCase{"1.5", 150},
                      ProgressCase{"-0.25", -25}, ProgressCase{"-0.009", 0},
                      ProgressCase{"'0.5'", 50}, ProgressCase{"' 0x10 '", 1600},
                      // Products outside int32 and NaN take the x86 "integer indefinite" value.
                      ProgressCase{"0/0", INT32_MIN}, ProgressCase{"1/0", INT32_MIN},
                      ProgressCase{"-1/0", INT32_MIN}, ProgressCase{"21474836.48", INT32_MIN},
                      ProgressCase{"21474836.47", INT32_MAX},
                      ProgressCase{"-21474836.48", INT32_MIN}, ProgressCase{"1e300", INT32_MIN}));

TEST_F(HostFunctions, SetProgressRejectsNonNumbersAndKeepsTheValue) {
    ProgressPercent.store(77);
    EXPECT_EQ(Exec("SetProgress()"),
              "t:1: bad argument #1 to 'SetProgress' (number expected, got no value)");
    EXPECT_EQ(Exec("SetProgress(nil)"),
              "t:1: bad argument #1 to 'SetProgress' (number expected, got nil)");
    EXPECT_EQ(Exec("SetProgress({})"),
              "t:1: bad argument #1 to 'SetProgress' (number expected, got table)");
    EXPECT_EQ(Exec("SetProgress('half')"),
              "t:1: bad argument #1 to 'SetProgress' (number expected, got string)");
    EXPECT_EQ(ProgressPercent.load(), 77);
}

TEST_F(HostFunctions, ExitAppClearsRunningTheFirstCodeStaysAndTheScriptGoesOn) {
    EXPECT_EQ(Exec("ExitApp(7) ExitApp() ExitApp('ignored', 1) reached = true"), "");
    EXPECT_FALSE(AppRunning.load());
    EXPECT_EQ(RequestedExitCode(-1), 7);
    lua_getglobal(ScriptState, "reached");
    EXPECT_TRUE(lua_toboolean(ScriptState, -1));
    lua_pop(ScriptState, 1);

    ResetExitRequest();
    EXPECT_EQ(Exec("ExitApp('not a code')"), "");
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

TEST_F(HostFunctions, ExitAppOnTheWorkerPostsNoQuitToAnotherThread) {
    std::thread worker([this] {
        EXPECT_EQ(Exec("ExitApp()"), "");
        int code = -1;
        EXPECT_TRUE(PlatformTakeQuit(&code)); // the worker's own queue holds it
        EXPECT_EQ(code, 0);
    });
    worker.join();
    int code = -1;
    EXPECT_FALSE(PlatformTakeQuit(&code));
    EXPECT_FALSE(AppRunning.load());
}

// Without a window the box is shown where it is asked for; UTF-8 text is converted, a byte that is
// no UTF-8 is replaced rather than refused, and once the launcher is closing nothing is shown.
TEST_F(HostFunctions, ShowMessageConvertsUtf8AndShowsNothingWhileClosing) {
    MessageBoxSink = RecordMessageBox;
    ClearRecordedBoxes();
    EXPECT_EQ(Exec("ShowMessage('\\228\\184\\173\\230\\150\\135 \\255')"
                   "ShowMessage('second', '\\228\\184\\173')"),
              "");
    ASSERT_EQ(RecordedBoxes.size(), 2u);
    EXPECT_EQ(RecordedBoxes[0].text.substr(0, 3), L"\u4e2d\u6587 ");
    EXPECT_GT(RecordedBoxes[0].text.size(), 3u) << "the stray byte is replaced, not dropped";
    EXPECT_EQ(RecordedBoxes[0].title, L"Game Launcher");
    EXPECT_EQ(RecordedBoxes[0].flags, 0x10u);
    EXPECT_EQ(RecordedBoxes[0].owner, nullptr);
    EXPECT_EQ(RecordedBoxes[1].title, L"\u4e2d");
    EXPECT_NE(Exec("ShowMessage()"), "");

    RequestExit(0);
    EXPECT_EQ(Exec("ShowMessage('too late')"), "");
    EXPECT_EQ(RecordedBoxes.size(), 2u);
    MessageBoxSink = PlatformMessageBox;
}

TEST_F(HostFunctions, SetStatusHandsOverUtf8TextAndRefusesAMissingOne) {
    EXPECT_EQ(Exec("SetStatus('\\232\\167\\163\\229\\142\\139 42%')"), "");
    EXPECT_EQ(TakeStatus(), L"\u89e3\u538b 42%");
    const uint32_t generation = StatusGeneration();
    EXPECT_EQ(Exec("SetStatus()"),
              "t:1: bad argument #1 to 'SetStatus' (string expected, got no value)");
    EXPECT_EQ(Exec("SetStatus({})"),
              "t:1: bad argument #1 to 'SetStatus' (string expected, got table)");
    EXPECT_EQ(StatusGeneration(), generation) << "a refused call changes nothing";
    EXPECT_EQ(Exec("SetStatus('')"), "");
    EXPECT_EQ(TakeStatus(), L"");
}

// The worker's wait between download attempts: the time passes, unless the launcher closes, which
// wakes it at once rather than at the end of the wait.
// The folder the script installs below: the system's on Windows (USERNAME plays no part), the
// Windows layout below the working folder on Linux; an unknown kind is a Lua argument error.
TEST_F(HostFunctions, UserFolderGivesTheKindAskedForOrNilAndAReason) {
    SetEnvironment("USERNAME", "player");
#ifdef _WIN32
    const char* localAppData = std::getenv("LOCALAPPDATA");
    ASSERT_NE(localAppData, nullptr);
    std::string expected = localAppData;
    for (char& c : expected) {
        c = c == '\\' ? '/' : c;
    }
    SetGlobalString("Expected", expected);
    EXPECT_EQ(
        Exec("assert(UserFolder('local-app-data') == Expected, UserFolder('local-app-data'))\n"
             "local documents = assert(UserFolder('documents'))\n"
             "assert(not documents:find('\\\\', 1, true) and not documents:find('player'))"),
        "");
#else
    EXPECT_EQ(Exec("assert(UserFolder('documents') == 'C:/Users/player/Documents')\n"
                   "assert(UserFolder('local-app-data') == 'C:/Users/player/AppData/Local')"),
              "");
    UnsetEnvironment("USERNAME");
    EXPECT_EQ(Exec("local path, why = UserFolder('documents')\n"
                   "assert(path == nil and why == 'USERNAME is not set', why)"),
              "");
#endif
    EXPECT_EQ(Exec("UserFolder('roaming')"),
              "t:1: bad argument #1 to 'UserFolder' (invalid option 'roaming')");
    EXPECT_EQ(Exec("UserFolder()"),
              "t:1: bad argument #1 to 'UserFolder' (string expected, got no value)");
    UnsetEnvironment("USERNAME");
}

TEST_F(HostFunctions, SleepWaitsAndEndsAsSoonAsTheLauncherCloses) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Exec("assert(Sleep(0.05) == true) assert(Sleep(0) == true)"), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    for (const char* refused :
         {"Sleep()", "Sleep('soon')", "Sleep(-1)", "Sleep(0/0)", "Sleep(86401)", "Sleep(1/0)"}) {
        EXPECT_NE(Exec(refused), "") << refused;
    }

    std::atomic<bool> sleeping{false};
    std::chrono::steady_clock::duration slept{};
    std::thread worker([&] {
        sleeping = true;
        const auto asleep = std::chrono::steady_clock::now();
        EXPECT_EQ(Exec("Result = Sleep(600)"), "");
        slept = std::chrono::steady_clock::now() - asleep;
    });
    while (!sleeping) {
        std::this_thread::yield();
    }
    // Whether the close comes before the wait begins or during it, the wait ends with false.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RequestExit(0);
    worker.join();
    lua_getglobal(ScriptState, "Result");
    EXPECT_TRUE(lua_isboolean(ScriptState, -1));
    EXPECT_FALSE(lua_toboolean(ScriptState, -1));
    lua_pop(ScriptState, 1);
    EXPECT_LT(slept, std::chrono::seconds(60)) << "woken by the close, not by the end of the wait";
    EXPECT_EQ(Exec("assert(Sleep(600) == false)"), "") << "once closing, no wait at all";
}

// The retries' waits are drawn from it: each number in [0, 1), and launchers (here draws) apart.
TEST_F(HostFunctions, RandomDrawsNumbersFromZeroToBelowOneThatDiffer) {
    EXPECT_EQ(Exec("local seen, count = {}, 0\n"
                   "for i = 1, 1000 do\n"
                   "  local x = Random()\n"
                   "  assert(type(x) == 'number' and x >= 0 and x < 1, tostring(x))\n"
                   "  if not seen[x] then seen[x] = true count = count + 1 end\n"
                   "end\n"
                   "assert(count == 1000, count .. ' distinct of 1000')"),
              "");
}

TEST_F(HostFunctions, HideConsoleWithoutConsoleDoesNothing) {
    EXPECT_EQ(Exec("HideConsole() HideConsole(1, 2)"), "");
}

TEST_F(HostFunctions, RegistrationLeavesTheStackAsFoundAndAddsPlainFunctions) {
    lua_State* L = ScriptState;
    lua_pushstring(L, "sentinel");
    lua_pushnumber(L, 7);
    const int top = lua_gettop(L);
    RegisterHostFunctions();
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_STREQ(lua_tostring(L, -2), "sentinel");

    const std::pair<const char*, lua_CFunction> expected[] = {
        {"SetProgress", SetProgress},
        {"ExitApp", ExitApp},
        {"HideConsole", HideConsole},
        {"Unzip", Unzip},
        {"RunExecutable", RunExecutable},
        {"ShowMessage", ShowMessage},
        {"HashFile", HashFile},
        {"LogPath", LogPath},
        {"SetStatus", SetStatus},
        {"Sleep", SleepUnlessClosing},
        {"Sha256", Sha256},
        {"RemoveFileDurably", RemoveFileDurably},
        {"Random", Random},
        {"FreeSpace", FreeSpace},
        {"ArchiveSize", ArchiveSize},
        {"UserFolder", UserFolderPath}};
    for (const auto& [name, function] : expected) {
        lua_getglobal(L, name);
        EXPECT_TRUE(lua_iscfunction(L, -1)) << name;
        EXPECT_EQ(lua_tocfunction(L, -1), function) << name;
        EXPECT_EQ(lua_getupvalue(L, -1, 1), nullptr) << name << " has an upvalue";
        lua_pop(L, 1);
    }
    lua_settop(L, 0);
    EXPECT_EQ(Exec("assert(LogPath() == nil)"), "") << "a program that skips main has no log";
}
