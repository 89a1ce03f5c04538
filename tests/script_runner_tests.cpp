// The worker's run of a script: call order, error lines, and the ScriptBusy/ScriptState discipline.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "script/carried_script.h"
#include "script/script_runner.h"
#include "script/shared_state.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace {

struct RunResult {
    std::string out;
    std::string err;
};

RunResult RunScript(const std::string& text) {
    OutputCapture capture;
    RunScriptText(text.c_str(), text.size());
    capture.Stop();
    EXPECT_EQ(ScriptState, nullptr);
    EXPECT_FALSE(ScriptBusy.load());
    return {capture.Out(), capture.Err()};
}

} // namespace

TEST(ScriptRunner, CallsStartThenUpdateOnceWithSmallNonNegativeTime) {
    const RunResult result = RunScript(R"(
calls = 0
function Start() print("Start") end
function Update(time)
    calls = calls + 1
    print(type(time), time >= 0 and time < 1, calls)
end
)");
    EXPECT_EQ(result.out, "Start\nnumber\ttrue\t1\n");
    EXPECT_EQ(result.err, "");
}

TEST(ScriptRunner, StartErrorIsReportedAndUpdateStillRuns) {
    const RunResult result = RunScript("\nfunction Start() error('no start') end\n"
                                       "function Update() print('update ran') end\n");
    EXPECT_EQ(result.err, "Lua Start error: [string \"...\"]:2: no start\n");
    EXPECT_EQ(result.out, "update ran\n");
}

TEST(ScriptRunner, TextThatDoesNotCompileGivesExactlyTwoNilCallLines) {
    const RunResult result = RunScript("\nfunction Start(\n");
    EXPECT_EQ(result.err, "Lua Start error: attempt to call a nil value\n"
                          "Lua Update error: attempt to call a nil value\n");
    EXPECT_EQ(result.out, "");
}

TEST(ScriptRunner, ChunkThatFailsMidwayKeepsWhatItDefined) {
    const RunResult result = RunScript("\nfunction Start() print('defined') end\n"
                                       "error('chunk failed')\n"
                                       "function Update() end\n");
    EXPECT_EQ(result.out, "defined\n");
    EXPECT_EQ(result.err, "Lua Update error: attempt to call a nil value\n");
}

TEST(ScriptRunner, ErrorValuesAreWrittenAsText) {
    EXPECT_EQ(
        RunScript("\nfunction Start() end\nfunction Update()\n  local x = nil .. 'a'\nend\n").err,
        "Lua Update error: [string \"...\"]:4: attempt to concatenate a nil value\n");
    EXPECT_EQ(RunScript("function Start() error(42, 0) end function Update() end").err,
              "Lua Start error: 42\n");
    // A value Lua cannot turn into text still gives a line, naming its type.
    EXPECT_EQ(RunScript("function Start() end function Update() error({}) end").err,
              "Lua Update error: (error object is a table value)\n");
}

TEST(ScriptRunner, NonCallableGlobalsAreReported) {
    const RunResult result = RunScript("Start = 5 Update = 'text'");
    EXPECT_EQ(result.err, "Lua Start error: attempt to call a number value\n"
                          "Lua Update error: attempt to call a string value\n");
}

TEST(ScriptRunner, AllStandardLibrariesAreOpen) {
    const RunResult result = RunScript(R"(
function Start() end
function Update()
    print(type(coroutine), type(package), type(table), type(io), type(os),
          type(string), type(math), type(debug))
end
)");
    EXPECT_EQ(result.out, "table\ttable\ttable\ttable\ttable\ttable\ttable\ttable\n");
}

TEST(ScriptRunner, BusyAndStateStayVisibleWhileUpdateRuns) {
    // The script reports that it is inside Update, then spins until the test lets it go.
    ScratchDir scratch;
    const std::string release = scratch / "release";
    const std::string text = "function Start() end\nfunction Update()\n  SetProgress(0.42)\n"
                             "  while not io.open('" +
                             release + "') do end\nend\n";
    ProgressPercent.store(0);
    OutputCapture capture;
    std::thread worker([&] { RunScriptText(text.c_str(), text.size()); });
    // Bounded, so a worker that never gets there fails the test instead of hanging it; the
    // release file is written either way, so the worker always ends and can be joined.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool inside = false;
    while (!(inside = ProgressPercent.load() == 42) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(inside) << "Update did not report its progress within 5 seconds";
    if (inside) {
        EXPECT_TRUE(ScriptBusy.load());
        EXPECT_NE(ScriptState, nullptr);
    }
    WriteFile(release, "");
    worker.join();
    capture.Stop();
    EXPECT_FALSE(ScriptBusy.load());
    EXPECT_EQ(ScriptState, nullptr);
    EXPECT_EQ(capture.Err(), "");
}

TEST(CarriedScript, IsNulTerminatedWithExactLengthAndLineFeeds) {
    ASSERT_GT(CarriedScriptSize, 0u);
    EXPECT_EQ(std::strlen(CarriedScriptText), CarriedScriptSize);
    EXPECT_EQ(CarriedScriptText[0], '\n');
    EXPECT_EQ(std::memchr(CarriedScriptText, '\r', CarriedScriptSize), nullptr);
}
