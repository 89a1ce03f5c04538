// Unzip on real archives: progress values, argument errors, every failure line and the reason
// handed to the script, what stays on disk, entry names that would leave the output folder,
// damaged data, permission bits and a close of the launcher from the callback. What threads can
// break is in unzip_threads_tests.cpp.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lua.hpp>
#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "actions/archive_size.h"
#include "actions/unzip.h"
#include "platform/platform.h"
#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/lua_host.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_builder.h"

namespace fs = std::filesystem;

namespace {

// Compressible but not trivial: enough to span several read buffers when large.
std::string SampleBytes(size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    unsigned state = seed;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>("abcdefgh\n"[(state >> 16) % 9]);
    }
    return bytes;
}

class UnzipTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ProgressPercent.store(0);
        OpenHostInterpreter();
        zip = scratch / "package.zip";
        out = scratch / "out";
    }
    void TearDown() override {
        CloseHostInterpreter();
        ResetExitRequest();
    }

    // Runs Unzip(zip, out, callback) in Lua with a callback that records what it gets. Returns
    // the Lua error text, or "" when the call returned; its result is then in `result`.
    std::string RunUnzip(const std::string& callArguments = "ZIP, OUT, Record") {
        SetGlobalString("ZIP", zip);
        SetGlobalString("OUT", out);
        const HostCall call =
            RunCapturedCall("Seen = {} function Record(p) Seen[#Seen + 1] = p end Result, Reason = "
                            "Unzip(" +
                            callArguments + ")");
        stdoutText = call.out;
        stderrText = call.err;
        resultIsBoolean = call.resultIsBoolean;
        result = call.result;
        // A failure hands the script its line, so that the player can be shown why.
        lua_getglobal(ScriptState, "Reason");
        if (call.error.empty() && result) {
            EXPECT_TRUE(lua_isnil(ScriptState, -1));
        } else if (call.error.empty()) {
            EXPECT_EQ(lua_type(ScriptState, -1), LUA_TSTRING);
            EXPECT_EQ(
                std::string(lua_isstring(ScriptState, -1) ? lua_tostring(ScriptState, -1) : "") +
                    "\n",
                stderrText);
        }
        lua_pop(ScriptState, 1);
        EXPECT_EQ(lua_gettop(ScriptState), 0);
        return call.error;
    }

    std::vector<double> Seen() {
        lua_State* L = ScriptState;
        std::vector<double> values;
        lua_getglobal(L, "Seen");
        for (int i = 1;; ++i) {
            lua_rawgeti(L, -1, i);
            if (lua_isnil(L, -1)) {
                lua_pop(L, 1);
                break;
            }
            values.push_back(lua_tonumber(L, -1));
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
        return values;
    }

    // Every path below the scratch folder, relative to it.
    std::vector<std::string> ScratchTree() {
        std::vector<std::string> paths;
        for (const auto& item : fs::recursive_directory_iterator(scratch.Path())) {
            paths.push_back(fs::relative(item.path(), scratch.Path()).generic_string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    ScratchDir scratch;
    std::error_code ignored_;
    std::string zip;
    std::string out;
    bool result = false;
    bool resultIsBoolean = false;
    std::string stdoutText;
    std::string stderrText;
};

} // namespace

// --- The working path ---

TEST_F(UnzipTest, FourEntriesIntoAMissingFolderReportQuarterSteps) {
    const std::string big = SampleBytes(200000);
    WriteZip(zip, {ZipFolder("d/"), ZipFile("d/a.txt", "alpha\n"), ZipFile("d/b.bin", big, false),
                   ZipFile("e.txt", "echo")});
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(resultIsBoolean);
    EXPECT_TRUE(result);
    EXPECT_EQ(Seen(), (std::vector<double>{0.25, 0.5, 0.75, 1.0}));
    EXPECT_EQ(ReadFile(out + "/d/a.txt"), "alpha\n");
    EXPECT_EQ(ReadFile(out + "/d/b.bin"), big);
    EXPECT_EQ(ReadFile(out + "/e.txt"), "echo");
    EXPECT_EQ(stdoutText, "");
    EXPECT_EQ(stderrText, "");
}

TEST_F(UnzipTest, FractionsAreSinglePrecision) {
    WriteZip(zip, {ZipFile("a", "1"), ZipFile("b", "2"), ZipFile("c", "3")});
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(Seen(), (std::vector<double>{static_cast<float>(1.0f / 3.0f),
                                           static_cast<float>(2.0f / 3.0f), 1.0}));
    EXPECT_EQ(Seen()[0], 0.3333333432674408);
}

TEST_F(UnzipTest, AHostFunctionServesAsCallback) {
    WriteZip(zip, {ZipFile("a", "1"), ZipFile("b", "2")});
    ASSERT_EQ(RunUnzip("ZIP, OUT, SetProgress"), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(ProgressPercent.load(), 100);
}

TEST_F(UnzipTest, CallbackErrorsAreSwallowedAndExtractionGoesOn) {
    WriteZip(zip, {ZipFolder("d/"), ZipFile("d/a", "1"), ZipFile("b", "2")});
    ASSERT_EQ(RunUnzip("ZIP, OUT, function(p) Record(p) error('callback broke') end"), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(Seen().size(), 3u);
    EXPECT_EQ(ReadFile(out + "/b"), "2");
    EXPECT_EQ(stderrText, "");
}

TEST_F(UnzipTest, ExistingFolderIsUsedAndExistingFilesOverwritten) {
    fs::create_directories(out + "/d");
    WriteFile(out + "/d/a.txt", "a much longer old content");
    WriteFile(out + "/keep.txt", "untouched");
    WriteZip(zip, {ZipFolder("d/"), ZipFile("d/a.txt", "new"), ZipFile("empty", "")});
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(ReadFile(out + "/d/a.txt"), "new");
    EXPECT_EQ(ReadFile(out + "/keep.txt"), "untouched");
    ASSERT_TRUE(PathExists(out + "/empty"));
    EXPECT_EQ(fs::file_size(out + "/empty"), 0u);
    EXPECT_EQ(Seen().size(), 3u);
}

#ifndef _WIN32
// A client still running from the file being replaced (ETXTBSY): the new file takes its place
// and the running one goes on with its old copy. Windows refuses to remove a running program, so
// there the extraction fails as before.
TEST_F(UnzipTest, ProgramStillRunningFromAnOldFileIsReplacedNotRefused) {
    fs::create_directories(out);
    fs::copy_file("/bin/sleep", out + "/game.exe");
    const pid_t running = fork();
    ASSERT_GE(running, 0);
    if (running == 0) {
        const std::string program = out + "/game.exe";
        execl(program.c_str(), program.c_str(), "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Busy from the moment the child has exec'd it: wait for that, not for a time.
    for (int i = 0; i < 5000 && fs::read_symlink("/proc/" + std::to_string(running) + "/exe",
                                                 ignored_) != fs::path(out + "/game.exe");
         ++i) {
        usleep(1000);
    }
    WriteZip(zip, {ZipFile("game.exe", "the new client")});
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(ReadFile(out + "/game.exe"), "the new client");
    EXPECT_EQ(waitpid(running, nullptr, WNOHANG), 0) << "the old program runs on";
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
}
#endif

TEST_F(UnzipTest, NamesWithDotsThatStayInsideAreExtracted) {
    std::vector<ZipEntry> entries = {ZipFolder("d/"), ZipFile("d/..hidden", "1"),
                                     ZipFile("a..b", "2"), ZipFolder("./"), ZipFile("./dot", "4")};
#ifndef _WIN32
    // Windows drops trailing dots from names, so there a name of dots only is the folder itself.
    entries.push_back(ZipFile("...", "3"));
#endif
    WriteZip(zip, entries);
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(ReadFile(out + "/d/..hidden"), "1");
    EXPECT_EQ(ReadFile(out + "/a..b"), "2");
    EXPECT_EQ(ReadFile(out + "/dot"), "4");
#ifndef _WIN32
    EXPECT_EQ(ReadFile(out + "/..."), "3");
#endif
}

// --- Arguments ---

TEST_F(UnzipTest, ArgumentErrorsAreBareMessages) {
    WriteZip(zip, {ZipFile("a", "1")});
    const std::string count = "Expected 2 arguments: zip file path and output folder";
    const std::string callback = "Third argument must be a callback function";
    EXPECT_EQ(RunUnzip("ZIP, OUT"), count);
    EXPECT_EQ(RunUnzip("ZIP, OUT, Record, 4"), count);
    EXPECT_EQ(RunUnzip(""), count);
    EXPECT_EQ(RunUnzip("ZIP, OUT, 5"), callback);
    EXPECT_EQ(RunUnzip("ZIP, OUT, nil"), callback);
    EXPECT_EQ(RunUnzip("ZIP, OUT, {}"), callback);
    EXPECT_EQ(RunUnzip("{}, OUT, Record"),
              "t:1: bad argument #1 to 'Unzip' (string expected, got table)");
    EXPECT_EQ(RunUnzip("ZIP, true, Record"),
              "t:1: bad argument #2 to 'Unzip' (string expected, got boolean)");
    EXPECT_FALSE(PathExists(out));
}

// --- Failures before the first entry ---

TEST_F(UnzipTest, MissingArchiveLeavesTheOutputFolderUncreated) {
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(resultIsBoolean);
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText, "Failed to open zip file: " + zip + "\n");
    EXPECT_FALSE(PathExists(out));
}

TEST_F(UnzipTest, NotAZipFileFailsToOpen) {
    WriteFile(zip, "this is not an archive");
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText, "Failed to open zip file: " + zip + "\n");
}

TEST_F(UnzipTest, OutputFolderWithMissingParentIsNotCreated) {
    WriteZip(zip, {ZipFile("a", "1")});
    out = scratch / "missing/out";
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText, "Failed to create output folder: " + out + "\n");
    EXPECT_FALSE(PathExists(scratch / "missing"));
}

TEST_F(UnzipTest, ArchiveWithoutEntriesHasNoFirstFile) {
    // An end record with no entries, after a few bytes of something else (a stub, as
    // self-extracting archives have). Minizip cannot find an end record at offset 0 and would
    // report a bare empty archive as unopenable.
    WriteFile(zip, "stub" + std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText, "Failed to locate first file in zip.\n");
    EXPECT_TRUE(PathExists(out));
    EXPECT_TRUE(Seen().empty());
}

// --- Failing entries ---

TEST_F(UnzipTest, FoldersTheArchiveDoesNotListAreCreatedUnlessAFileHoldsTheirPlace) {
    // As "zip -r package.zip a/b" writes it: no "a/", and no folder entry at all for x/ and x/y/.
    WriteZip(zip, {ZipFile("first", "1"), ZipFolder("a/b/"), ZipFile("a/b/c.txt", "2"),
                   ZipFile("x/y/z.txt", "3"), ZipFile("later", "4")});
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(stderrText, "");
    EXPECT_EQ(ReadFile(out + "/a/b/c.txt"), "2");
    EXPECT_EQ(ReadFile(out + "/x/y/z.txt"), "3");

    fs::remove_all(out);
    fs::create_directories(out);
    WriteFile(out + "/x", "a file where a folder goes");
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText,
              "Failed to extract file: x/y/z.txt: " + out + "/x/y: the folder cannot be created\n");
    EXPECT_EQ(Seen().size(), 3u);
    EXPECT_EQ(ReadFile(out + "/x"), "a file where a folder goes");
    EXPECT_FALSE(PathExists(out + "/later"));
}

// Each damage fails its entry with a line that names it and what was wrong, takes the file away
// (an old file of the same name included), extracts nothing after it, and the studio's fixed
// archive then installs over what was left.
TEST_F(UnzipTest, DamagedEntriesAreNamedAndNotLeftInPlaceAndAFixedArchiveInstalls) {
    const std::string data = SampleBytes(300000);
    struct Damage {
        const char* what;
        ZipEntry entry;
        std::function<void()> afterWriting; // what happens to the archive later, if anything
        std::string line;
    };
    // A complete deflate stream of the first half with the full size declared: inflate ends
    // cleanly, and minizip skips its CRC check short of the declared size.
    ZipEntry shortEntry = ZipFile("d/game.bin", data);
    shortEntry.endAfter = 150000;
    ZipEntry broken = ZipFile("d/game.bin", data);
    broken.breakAfter = 200000;
    const std::vector<Damage> damages = {
        {"short", shortEntry, nullptr,
         "Failed to extract file: d/game.bin: data ends after 150000 of 300000 bytes\n"},
        // minizip drops what inflate made of the failing block before the error.
        {"inflate error", broken, nullptr,
         "Failed to extract file: d/game.bin: data cannot be read after 196605 of 300000 bytes\n"},
        {"stored, a byte changed", ZipFile("d/game.bin", data, false),
         [&] { FlipEntryDataByte(zip, "d/game.bin", 123456); },
         "Failed to extract file: d/game.bin: CRC mismatch\n"},
        {"deflated, wrong CRC", ZipFile("d/game.bin", data),
         [&] { SetEntryCrc(zip, "d/game.bin", 0x12345678); },
         "Failed to extract file: d/game.bin: CRC mismatch\n"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        fs::remove_all(out);
        fs::create_directories(out + "/d");
        WriteFile(out + "/d/game.bin", "the old client");
        WriteZip(zip, {ZipFile("good", "1"), damage.entry, ZipFile("later", "3")});
        if (damage.afterWriting) {
            damage.afterWriting();
        }
        ASSERT_EQ(RunUnzip(), "");
        EXPECT_FALSE(result);
        EXPECT_EQ(stderrText, damage.line);
        EXPECT_EQ(Seen().size(), 1u);
        EXPECT_EQ(ReadFile(out + "/good"), "1");
        EXPECT_FALSE(PathExists(out + "/d/game.bin"));
        // Another thread may have begun it before the damage was seen; then it is whole.
        if (PathExists(out + "/later")) {
            EXPECT_EQ(ReadFile(out + "/later"), "3");
        }

        WriteZip(zip, {ZipFile("good", "1"), ZipFile("d/game.bin", data), ZipFile("later", "3")});
        ASSERT_EQ(RunUnzip(), "");
        EXPECT_TRUE(result);
        EXPECT_EQ(stderrText, "");
        EXPECT_EQ(ReadFile(out + "/d/game.bin"), data);
        EXPECT_EQ(ReadFile(out + "/later"), "3");
    }
}

// The file that cannot be had is named, on the error stream and as Unzip's second result, with
// the system's words; a folder is not taken for a busy file, so this fails at once.
TEST_F(UnzipTest, OutputPathThatIsAFolderFailsTheEntryAndSaysWhy) {
    fs::create_directories(out + "/taken");
    WriteZip(zip, {ZipFile("taken", "1")});
    SetGlobalString("ZIP", zip);
    SetGlobalString("OUT", out);
    const HostCall call = RunCapturedCall("Result, Why = Unzip(ZIP, OUT, function() end)");
    ASSERT_EQ(call.error, "");
    EXPECT_TRUE(call.resultIsBoolean);
    EXPECT_FALSE(call.result);
    // The system's words: "Is a directory" on Linux, "Access denied" on Windows.
    const std::string line = "Failed to extract file: taken: " + out + "/taken: ";
    ASSERT_EQ(call.err.rfind(line, 0), 0u) << call.err;
    ASSERT_GT(call.err.size(), line.size() + 1) << "the system's words follow";
    SetGlobalString("EXPECTED", call.err.substr(0, call.err.size() - 1));
    EXPECT_EQ(RunChunk("assert(Why == EXPECTED, tostring(Why))"), "");
}

TEST_F(UnzipTest, NamesOf256BytesOrEmptyFailInsteadOfBeingCut) {
    const std::string longest(255, 'n');
    WriteZip(zip, {ZipFile(longest, "ok")});
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(ReadFile(out + "/" + longest), "ok");

    const std::string tooLong =
        "Failed to extract file: entry 2: its name is longer than 255 bytes\n";
    for (const auto& [name, line] :
         {std::pair(std::string(256, 'n'), tooLong), std::pair(std::string(300, 'n'), tooLong),
          std::pair(std::string(),
                    std::string("Failed to extract file: entry 2: its name is empty\n"))}) {
        SCOPED_TRACE(name.size());
        fs::remove_all(out);
        WriteZip(zip, {ZipFile("first", "1"), ZipFile(name, "x")});
        ASSERT_EQ(RunUnzip(), "");
        EXPECT_FALSE(result);
        EXPECT_EQ(stderrText, line);
        EXPECT_EQ(Seen().size(), 1u);
        fs::remove(out + "/first");
        EXPECT_TRUE(fs::is_empty(out));
    }
}

// --- Entry names that would leave the output folder ---

class UnzipTraversal : public UnzipTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnzipTraversal, IsRefusedAndNothingIsWrittenOutside) {
    // Deep enough that every ".." form lands inside the scratch folder if it is followed.
    out = scratch / "a/b/c/out";
    fs::create_directories(scratch / "a/b/c");
    const std::string name = GetParam();
    std::vector<ZipEntry> entries = {ZipFile("first", "1")};
    if (name.back() == '/') {
        entries.push_back(ZipFolder(name));
    } else {
        entries.push_back(ZipFile(name, "escaped"));
    }
    WriteZip(zip, entries);
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText,
              "Failed to extract file: " + name + ": the name would leave the output folder\n");
    EXPECT_EQ(Seen().size(), 1u);
    EXPECT_EQ(ScratchTree(), (std::vector<std::string>{"a", "a/b", "a/b/c", "a/b/c/out",
                                                       "a/b/c/out/first", "package.zip"}));
}

INSTANTIATE_TEST_SUITE_P(Names, UnzipTraversal,
                         ::testing::Values("../escape.txt", "../../escape.txt", "..", "../",
                                           "../evil/", "d/../../escape.txt", "d/../../../x/",
                                           "a/../../escape.txt", "..\\escape.txt",
                                           "d\\..\\..\\escape.txt", "/absolute.txt", "/",
                                           "\\absolute.txt", "C:escape.txt", "c:/escape.txt",
                                           "Z:\\escape.txt"));

// Names Windows would write as another file, or open as a device: refused there before anything
// of the entry is written, and named; Linux holds each as it is.
TEST_F(UnzipTest, NamesWindowsCannotHoldAreRefusedThereWithTheEntryNamed) {
    for (const std::string name : {"aux.txt", "d/trail.", "d/a:b", "d/COM1/x.txt"}) {
        SCOPED_TRACE(name);
        fs::remove_all(out);
        WriteZip(zip, {ZipFile("first", "1"), ZipFile(name, "x")});
        ASSERT_EQ(RunUnzip(), "");
        if (PlatformNamesFollowWindowsRules()) {
            EXPECT_FALSE(result);
            EXPECT_EQ(stderrText, "Failed to extract file: " + name + ": name refused\n");
            std::vector<std::string> written;
            for (const auto& item : fs::recursive_directory_iterator(out)) {
                written.push_back(fs::relative(item.path(), out).generic_string());
            }
            EXPECT_EQ(written, std::vector<std::string>{"first"});
        } else {
            EXPECT_TRUE(result);
            EXPECT_EQ(ReadFile(out + "/" + name), "x");
        }
    }
}

// --- Permission bits ---

TEST_F(UnzipTest, UnixPermissionBitsApplyWithoutSetIdAndTheOwnerKeepsWriting) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows files have no Unix permission bits";
#else
    ZipEntry program = ZipFile("client", "#!/bin/sh\n");
    program.unixMode = 04755;
    ZipEntry secret = ZipFile("secret", "s");
    secret.unixMode = 02640;
    ZipEntry readOnly = ZipFile("readme", "r");
    readOnly.unixMode = 0444;
    ZipEntry plain = ZipFile("plain", "p");
    WriteZip(zip, {program, secret, readOnly, plain});
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    struct stat info;
    ASSERT_EQ(stat((out + "/client").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    ASSERT_EQ(stat((out + "/secret").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    // The mode is the check that counts: root, as CI runs, writes over 0444 files anyway.
    ASSERT_EQ(stat((out + "/readme").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    ASSERT_EQ(stat((out + "/plain").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0111, 0u);
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(stderrText, "");
#endif
}

// --- A close of the launcher ---

TEST_F(UnzipTest, CloseInTheCallbackReportsNoMoreEntriesAndTheNextRunCompletes) {
    WriteZip(zip, {ZipFile("a", "1"), ZipFile("b", "2"), ZipFile("c", "3")});
    lua_register(ScriptState, "CloseLauncher", [](lua_State*) {
        RequestExit(0);
        return 0;
    });
    ASSERT_EQ(
        RunUnzip("ZIP, OUT, function(p) Record(p) if #Seen == 2 then CloseLauncher() end end"), "");
    EXPECT_TRUE(resultIsBoolean);
    EXPECT_FALSE(result);
    EXPECT_EQ(stderrText, "Extraction cancelled: the launcher is closing.\n");
    EXPECT_EQ(Seen().size(), 2u);
    EXPECT_EQ(ReadFile(out + "/b"), "2");
    // Another thread may have written c already; it is not reported done, and the result is
    // false all the same.

    ResetExitRequest();
    ASSERT_EQ(RunUnzip(), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(ReadFile(out + "/c"), "3");
}

// --- ExtractZip on its own ---

TEST(ExtractZip, WorksWithoutProgressCallable) {
    ScratchDir scratch;
    WriteZip(scratch / "p.zip", {ZipFile("a", "1")});
    OutputCapture capture;
    EXPECT_TRUE(ExtractZip(scratch / "p.zip", scratch / "out", nullptr));
    capture.Stop();
    EXPECT_EQ(ReadFile(scratch / "out/a"), "1");
}

// A launcher already closing makes no folder and writes no file, however large the archive.
TEST(ExtractZip, ClosingBeforeTheFirstEntryMakesNothing) {
    ScratchDir scratch;
    WriteZip(scratch / "p.zip", {ZipFile("a/b/c", "1"), ZipFile("d", "2")});
    RequestExit(0);
    OutputCapture capture;
    EXPECT_FALSE(ExtractZip(scratch / "p.zip", scratch / "out", nullptr));
    capture.Stop();
    ResetExitRequest();
    EXPECT_EQ(capture.Err(), "Extraction cancelled: the launcher is closing.\n");
    EXPECT_TRUE(fs::is_empty(scratch / "out"));
}

// --- What an archive needs on the disk ---

// Over a cut install, only what is not yet in place counts: a file already there counts its
// missing bytes, a file below a folder that is missing or a name with backslashes counts whole
// unless its file is there. Without the folder at all, everything counts.
TEST(ArchiveSizes, GrowthCountsOnlyWhatIsNotAlreadyInPlace) {
    ScratchDir scratch;
    const std::string zip = scratch / "p.zip";
    WriteZip(zip, {ZipFolder("a/"), ZipFile("a/x.bin", std::string(1000, 'x')),
                   ZipFile("a/b/y.bin", std::string(2000, 'y')),
                   ZipFile("c\\z.bin", std::string(500, 'z')),
                   ZipFile("top.bin", std::string(300, 't'))});
    const std::string out = scratch / "out";
    ArchiveSizes sizes;
    std::string reason;
    ASSERT_TRUE(ReadArchiveSizes(zip, out, &sizes, &reason)) << reason;
    EXPECT_EQ(sizes.total, 3800u);
    EXPECT_EQ(sizes.entries, 5u);
    EXPECT_EQ(sizes.growth, 3800u);

    fs::create_directories(out + "/a");
    fs::create_directories(out + "/c");
    WriteFile(out + "/a/x.bin", std::string(400, 'x'));
    WriteFile(out + "/c/z.bin", std::string(600, 'z'));
    WriteFile(out + "/top.bin", std::string(300, 't'));
    ASSERT_TRUE(ReadArchiveSizes(zip, out, &sizes, &reason)) << reason;
    EXPECT_EQ(sizes.total, 3800u);
    EXPECT_EQ(sizes.growth, 600u + 2000u) << "a/x.bin lacks 600 bytes, a/b/y.bin all";
}
