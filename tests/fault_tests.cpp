// The fault suite: real launchers (the loopback test build, under Xvfb) against a real loopback
// server, killed, closed, short of disk and started twice. Each case checks what is left on disk
// and what the next run does with it.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/launcher_log.h"
#include "tests/support/http_server.h"
#include "tests/support/launcher_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_builder.h"

#ifndef LAUNCHER_LOOPBACK_PATH
#error "LAUNCHER_LOOPBACK_PATH must name the loopback test build of the launcher"
#endif

namespace {

const std::string PackagePath = "/client/pc/2100/exe/windows_pc_halden_202505171539.zip";
const char* const Started = "Process created successfully with PID: ";
const auto Patience = LauncherPatience;

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

struct LogLine {
    std::string stamp;  // YYYY-MM-DD HH:MM:SS.mmm
    std::string stream; // out or err
    std::string text;   // the line's bytes, line break included
};

// The log's lines from the first one on; a line without the prefix fails the test.
std::vector<LogLine> ParseLog(const std::string& log, size_t first = 0) {
    static const std::regex prefix(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) (out|err) )");
    std::vector<LogLine> lines;
    size_t index = 0;
    for (size_t at = 0, end; at < log.size(); at = end) {
        end = std::min(log.find('\n', at), log.size() - 1) + 1;
        const std::string line = log.substr(at, end - at);
        std::smatch match;
        if (!std::regex_search(line, match, prefix)) {
            ADD_FAILURE() << "no prefix: " << line;
        } else if (index++ >= first) {
            lines.push_back({match[1], match[2], line.substr(match.length(0))});
        }
    }
    return lines;
}

// What the log holds of one stream, prefixes removed: the bytes the stream carried.
std::string Carried(const std::vector<LogLine>& lines, const std::string& stream) {
    std::string bytes;
    for (const LogLine& line : lines) {
        bytes += line.stream == stream ? line.text : "";
    }
    return bytes;
}

// A time as the log writes it, in the fixed zone UTC+8 that the test gives the launcher.
std::string StampInUtcPlus8(std::chrono::system_clock::time_point time) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    const time_t seconds = static_cast<time_t>(ms.count() / 1000) + 8 * 3600;
    tm utc;
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms.count() % 1000));
    return text;
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(Root);
        std::filesystem::create_directories(UserRuntime);
        std::filesystem::permissions(UserRuntime, std::filesystem::perms::owner_all);
        std::filesystem::create_directories(lockRoot_ / "tmp");
    }

    // A launcher in the scratch folder, downloading from the server, with its log in state_.
    // Variables in `first` take precedence over the test's own.
    std::unique_ptr<Launcher> Start(const HttpServer& server, Limits limits = Limits(),
                                    std::vector<std::string> first = {}) {
        first.insert(
            first.end(),
            {"USERNAME=tester", "LAUNCHER_TEST_HOST=127.0.0.1:" + std::to_string(server.Port()),
             "LAUNCHER_BOX_LOG=" + BoxLog, "XDG_RUNTIME_DIR=" + runtime_.Path(),
             "LAUNCHER_TEST_LOCK_ROOT=" + lockRoot_.Path(), "XDG_STATE_HOME=" + state_.Path()});
        return std::make_unique<Launcher>(LAUNCHER_LOOPBACK_PATH, scratch_.Path(), first, limits);
    }

    // A run against a server without the package, which fails with a 404.
    std::unique_ptr<Launcher> FailedRun(std::vector<std::string> first = {}) {
        std::filesystem::remove(scratch_ / "out.txt");
        std::filesystem::remove(scratch_ / "err.txt");
        std::filesystem::remove(BoxLog);
        HttpServer server;
        std::unique_ptr<Launcher> launcher = Start(server, Limits(), first);
        EXPECT_EQ(launcher->Wait(), 1);
        return launcher;
    }

    // What the server of ExpectTheNextRunInstalls saw.
    struct NextRun {
        std::vector<std::string> ranges; // of each request, "" for none
        uint64_t bodyBytesSent = 0;
    };

    // A run with nothing in the way installs the client whole and starts it once.
    NextRun ExpectTheNextRunInstalls(const std::string& package) {
        HttpServer server;
        server.Route(PackagePath, HttpResponse::Body(package));
        std::filesystem::remove(scratch_ / "out.txt");
        std::filesystem::remove(BoxLog);
        std::unique_ptr<Launcher> next = Start(server);
        EXPECT_EQ(next->Wait(), 0);
        EXPECT_EQ(Count(next->Out(), Started), 1u) << next->Out() << next->Err();
        EXPECT_EQ(ReadFile(BoxLog), "");
        EXPECT_TRUE(ReadFile(Archive) == package) << "the archive is whole";
        EXPECT_TRUE(PathExists(Client)) << "the client was extracted";
        EXPECT_FALSE(PathExists(Mark)) << "the install is complete";
        EXPECT_TRUE(WaitUntil([&] { return PathExists(ClientLog); })) << "the client ran";
        return {server.RequestedRanges(), server.BodyBytesSent(PackagePath)};
    }

    static std::string DemoPackage() {
        return ReadFile(DEMO_PACKAGE_PATH);
    }

    // The demo package with a large entry between the install marker and the client, so that a
    // test can hold the extraction there: a FIFO in that entry's place is read by the test.
    std::string PackageWithLargeEntry(size_t size) {
        const std::string path = elsewhere_ / "large.zip";
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            data[i] = static_cast<char>((i * 7919) >> 8);
        }
        ZipEntry client = ZipFile("windows_pc_halden/win32/game.exe", ReadFile(DEMO_CLIENT_PATH));
        client.unixMode = 0755;
        WriteZip(path, {ZipFolder("windows_pc_halden/"), ZipFolder("windows_pc_halden/patch/"),
                        ZipFile("windows_pc_halden/patch/version.json", "{}"),
                        ZipFolder("windows_pc_halden/win32/"),
                        ZipFile("windows_pc_halden/win32/data.bin", data), client});
        return ReadFile(path);
    }

    // Makes the large entry's place a FIFO; its reader holds the extraction at that entry.
    std::string LargeEntryFifo() {
        std::filesystem::create_directories(Root + "/game/windows_pc_halden/win32");
        const std::string fifo = Root + "/game/windows_pc_halden/win32/data.bin";
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        return fifo;
    }

    ScratchDir scratch_;
    ScratchDir runtime_;
    ScratchDir elsewhere_;
    ScratchDir state_;
    // Stands for "/" where the test builds look for the one-launcher lock.
    ScratchDir lockRoot_;
    const std::string UserRuntime = lockRoot_ / ("run/user/" + std::to_string(getuid()));
    const std::string Lock = UserRuntime + "/game-launcher.lock";
    const std::string LogFile = state_ / "game-launcher/launcher.log";
    const std::string FailureBox =
        "owner=1 flags=16 title=Game Launcher text=游戏客户端安装失败。\\nHTTP 404";
    const std::string Root = scratch_ / "C:/Users/tester/Documents";
    const std::string Archive = Root + "/windows_pc_halden_202505171539.zip";
    const std::string Mark = Root + "/windows_pc_halden.installing";
    const std::string Version = Root + "/game/windows_pc_halden/patch/version.json";
    const std::string Client = Root + "/game/windows_pc_halden/win32/game.exe";
    const std::string ClientLog = Root + "/game/windows_pc_halden/win32/client.log";
    const std::string BoxLog = elsewhere_ / "boxes.txt";
    // The archive as the script names it: relative, below the launcher's working folder.
    const std::string ScriptArchive =
        "C:/Users/tester/Documents/windows_pc_halden_202505171539.zip";
    const std::string ScriptClient =
        "C:/Users/tester/Documents/game/windows_pc_halden/win32/game.exe";
};

} // namespace

TEST_F(Faults, KilledDuringTheDownloadTheNextRunFetchesOnlyTheRest) {
    const std::string package = DemoPackage();
    // An odd byte, on no block or buffer boundary.
    const size_t cut = package.size() / 2 + 4321;
    {
        HttpServer server;
        server.Route(PackagePath, HttpResponse::Stall(package, cut, HttpResponse::UntilStop));
        std::unique_ptr<Launcher> launcher = Start(server);
        ASSERT_TRUE(server.WaitForStall(PackagePath, Patience));
        // What the launcher has written so far, short of what its file buffer holds.
        ASSERT_TRUE(WaitUntil([&] { return !ReadFile(Archive).empty(); }));
        launcher->Kill();
    }
    const std::string kept = ReadFile(Archive);
    EXPECT_LE(kept.size(), cut);
    EXPECT_TRUE(kept == package.substr(0, kept.size())) << "the kept bytes are the package's";
    EXPECT_TRUE(PathExists(Mark)) << "the cut install is marked";
    EXPECT_FALSE(PathExists(Version));
    const NextRun next = ExpectTheNextRunInstalls(package);
    EXPECT_EQ(next.ranges, std::vector<std::string>{"bytes=" + std::to_string(kept.size()) + "-"});
    EXPECT_EQ(next.bodyBytesSent, package.size() - kept.size()) << "only the rest was fetched";
}

TEST_F(Faults, KilledDuringTheExtractionTheNextRunInstallsWhole) {
    const std::string package = PackageWithLargeEntry(8 << 20);
    {
        HttpServer server;
        server.Route(PackagePath, HttpResponse::Body(package));
        const std::string fifo = LargeEntryFifo();
        std::unique_ptr<Launcher> launcher = Start(server);
        // Opening blocks until the launcher extracts into it: version.json is on disk by then.
        const int held = open(fifo.c_str(), O_RDONLY);
        char block[4096];
        ASSERT_GT(read(held, block, sizeof block), 0);
        launcher->Kill();
        close(held);
        std::filesystem::remove(fifo);
    }
    // What a kill at this point used to leave: part of the client (another thread may have
    // written its program already), which only the marker tells from an install.
    EXPECT_TRUE(PathExists(Version));
    EXPECT_TRUE(PathExists(Mark)) << "the cut install is marked";
    ExpectTheNextRunInstalls(package);
}

TEST_F(Faults, ClosedWhileDownloadingStalledOrExtractingEndsWithZeroAndStartsNothing) {
    const std::string package = PackageWithLargeEntry(64 << 20);
    {
        // A download in full flow (a minute's worth at this rate): it stops, and nothing starts.
        HttpServer server;
        server.Route(PackagePath,
                     HttpResponse::Slow(package, 1024, std::chrono::milliseconds(100)));
        std::unique_ptr<Launcher> launcher = Start(server);
        ASSERT_TRUE(WaitUntil([&] { return server.BodyBytesSent(PackagePath) > 0; }));
        ASSERT_TRUE(launcher->CloseWindow(Lock));
        EXPECT_EQ(launcher->Wait(), 0);
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_EQ(ReadFile(BoxLog), "") << "a player who closed the window is not told why";
        EXPECT_TRUE(PathExists(Mark));
        EXPECT_LT(ReadFile(Archive).size(), package.size());
    }
    {
        // A connection that delivers nothing more: only the once-a-second progress check ends it.
        HttpServer server;
        server.Route(PackagePath,
                     HttpResponse::Stall(package, package.size() / 2, HttpResponse::UntilStop));
        std::unique_ptr<Launcher> launcher = Start(server);
        ASSERT_TRUE(WaitUntil([&] { return !server.RequestedPaths().empty(); }));
        ASSERT_TRUE(launcher->CloseWindow(Lock));
        EXPECT_EQ(launcher->Wait(), 0) << launcher->Err();
        // Ended by the close, not by the 30 s time-out that would end such a transfer too.
        EXPECT_NE(launcher->Err().find("download cancelled: the launcher is closing"),
                  std::string::npos)
            << launcher->Err();
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_EQ(ReadFile(BoxLog), "") << "a player who closed the window is not told why";
        EXPECT_TRUE(PathExists(Mark));
    }
    {
        // Inside one large entry: the extraction stops between its blocks.
        HttpServer server;
        server.Route(PackagePath, HttpResponse::Body(package));
        const std::string fifo = LargeEntryFifo();
        std::unique_ptr<Launcher> launcher = Start(server);
        const int held = open(fifo.c_str(), O_RDONLY);
        char block[65536];
        size_t received =
            static_cast<size_t>(std::max<ssize_t>(read(held, block, sizeof block), 0));
        ASSERT_TRUE(launcher->CloseWindow(Lock));
        // Drained at a steady pace, so the extraction is held to it: without a check between
        // blocks all 64 MiB arrive; with it, what arrives while the close is handled.
        for (ssize_t n; (n = read(held, block, sizeof block)) > 0;) {
            received += static_cast<size_t>(n);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(held);
        EXPECT_EQ(launcher->Wait(), 0);
        EXPECT_LT(received, size_t{32} << 20) << "the entry was not written to its end";
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_NE(launcher->Err().find("Extraction cancelled: the launcher is closing.\n"),
                  std::string::npos)
            << launcher->Err();
        EXPECT_TRUE(PathExists(Mark));
        std::filesystem::remove(fifo);
    }
    ExpectTheNextRunInstalls(package);
}

// The real Sleep: a close during the wait between attempts ends the launcher at once, long before
// the minute the server asked for, and nothing more is fetched or started.
TEST_F(Faults, ClosedWhileWaitingToRetryEndsAtOnceWithZeroAndStartsNothing) {
    const std::string package = DemoPackage();
    {
        HttpServer server;
        HttpResponse busy = HttpResponse::Body("<html>busy</html>", 503);
        busy.headers = "Retry-After: 60\r\n";
        server.Route(PackagePath, busy);
        std::unique_ptr<Launcher> launcher = Start(server);
        // The retry's log line is written just before the wait begins.
        ASSERT_TRUE(WaitUntil([&] {
            return launcher->Out().find("HTTP 503") != std::string::npos;
        })) << launcher->Out()
            << launcher->Err();
        const auto closed = std::chrono::steady_clock::now();
        ASSERT_TRUE(launcher->CloseWindow(Lock));
        EXPECT_EQ(launcher->Wait(), 0) << launcher->Err();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - closed);
        EXPECT_LT(took, std::chrono::seconds(30)) << "the wait was not cut short";
        RecordProperty("close_to_exit_ms", static_cast<int>(took.count()));
        EXPECT_NE(launcher->Err().find("download cancelled: the launcher is closing"),
                  std::string::npos)
            << launcher->Err();
        EXPECT_EQ(server.RequestedPaths().size(), 1u) << "no request after the close";
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_EQ(ReadFile(BoxLog), "") << "a player who closed the window is not told why";
        EXPECT_TRUE(PathExists(Mark));
        EXPECT_EQ(ReadFile(Archive), "") << "an error page is no part of the package";
    }
    ExpectTheNextRunInstalls(package);
}

TEST_F(Faults, FullDiskIsShownEndsWithOneAndTheNextRunInstalls) {
    const std::string package = DemoPackage();
    {
        HttpServer server;
        server.Route(PackagePath, HttpResponse::Body(package));
        Limits limits;
        limits.fileSize = package.size() / 2;
        std::unique_ptr<Launcher> launcher = Start(server, limits);
        EXPECT_EQ(launcher->Wait(), 1);
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_EQ(ReadFile(BoxLog),
                  "owner=1 flags=16 title=Game Launcher text=游戏客户端安装失败。\\n" +
                      ScriptArchive + ": File too large\\n日志文件：" + LogFile + "\n");
        EXPECT_NE(launcher->Err().find("Lua Update error: "), std::string::npos);
        EXPECT_TRUE(PathExists(Mark));
    }
    ExpectTheNextRunInstalls(package);
}

namespace {

// A small file system of its own at the Documents folder (tmpfs, size= in bytes), unmounted when
// the test ends; null, with the test skipped, where this process may not mount.
struct SmallDisk {
    std::string at;
    ~SmallDisk() {
        umount2(at.c_str(), MNT_DETACH);
    }
};

std::unique_ptr<SmallDisk> MountSmallDisk(const std::string& at, uint64_t size) {
    const std::string options = "size=" + std::to_string(size);
    if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        return nullptr;
    }
    auto disk = std::make_unique<SmallDisk>();
    disk->at = at;
    return disk;
}

bool GrowSmallDisk(const SmallDisk& disk, uint64_t size) {
    const std::string options = "size=" + std::to_string(size);
    return mount("tmpfs", disk.at.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
}

uint64_t FreeBytes(const std::string& path) {
    struct statvfs space = {};
    EXPECT_EQ(statvfs(path.c_str(), &space), 0);
    return static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
}

std::string Megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1 << 20));
    return text;
}

} // namespace

// Documents on a disk too small for the package, then for the package and the client: each run
// is refused before it writes, the box says what is needed and what is free where, and nothing is
// extracted. Once there is room, the next run installs from the archive kept here, fetching no
// byte of it again.
TEST_F(Faults, NoRoomIsShownBeforeAnythingIsWrittenAndTheNextRunWithRoomUsesTheKeptArchive) {
    const std::string data(16 << 20, '\0');
    // Bytes that do not deflate, so that the package's own size shows in megabytes.
    std::string noise(1 << 20, '\0');
    std::mt19937 random(25);
    for (char& byte : noise) {
        byte = static_cast<char>(random());
    }
    ZipEntry client = ZipFile("windows_pc_halden/win32/game.exe", ReadFile(DEMO_CLIENT_PATH));
    client.unixMode = 0755;
    const std::vector<ZipEntry> entries = {ZipFile("windows_pc_halden/patch/version.json", "{}"),
                                           client,
                                           ZipFile("windows_pc_halden/win32/data.bin", data),
                                           ZipFile("windows_pc_halden/win32/noise.bin", noise)};
    WriteZip(elsewhere_ / "big.zip", entries);
    const std::string package = ReadFile(elsewhere_ / "big.zip");
    // The client's bytes and, per entry, the rest of a cluster.
    uint64_t installed = 0;
    for (const ZipEntry& entry : entries) {
        installed += entry.data.size() + 4096;
    }
    const uint64_t page = 4096;
    std::unique_ptr<SmallDisk> disk = MountSmallDisk(Root, package.size() / 2 / page * page);
    if (!disk) {
        GTEST_SKIP() << "cannot mount a tmpfs at " << Root << " (not root?)";
    }
    const std::string volume = std::filesystem::canonical(Root);
    const auto box = [&](uint64_t needed) {
        return "owner=1 flags=16 title=Game Launcher "
               "text=游戏客户端安装失败。\\n磁盘空间不足：还需要 " +
               Megabytes(needed) + " MB，" + volume + " 上只有 " + Megabytes(FreeBytes(Root)) +
               " MB 可用。请清理磁盘后重新打开启动器。\\n日志文件：" + LogFile + "\n";
    };
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(package));
    {
        SCOPED_TRACE("no room for the package");
        std::unique_ptr<Launcher> launcher = Start(server);
        EXPECT_EQ(launcher->Wait(), 1);
        EXPECT_EQ(ReadFile(BoxLog), box(package.size()));
        EXPECT_EQ(ReadFile(Archive).size(), 0u) << "no byte of the package is written";
        EXPECT_TRUE(PathExists(Mark));
    }
    ASSERT_TRUE(GrowSmallDisk(*disk, 8 << 20));
    {
        SCOPED_TRACE("room for the package, not for the client");
        std::filesystem::remove(BoxLog);
        std::unique_ptr<Launcher> launcher = Start(server);
        EXPECT_EQ(launcher->Wait(), 1);
        EXPECT_EQ(ReadFile(BoxLog), box(installed));
        EXPECT_TRUE(ReadFile(Archive) == package) << "the package is kept whole";
        EXPECT_FALSE(PathExists(Root + "/game")) << "nothing is extracted";
        EXPECT_TRUE(PathExists(Mark));
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
    }
    ASSERT_TRUE(GrowSmallDisk(*disk, 64 << 20));
    const NextRun next = ExpectTheNextRunInstalls(package);
    EXPECT_EQ(next.ranges,
              std::vector<std::string>{"bytes=" + std::to_string(package.size()) + "-"});
    EXPECT_EQ(next.bodyBytesSent, 0u) << "the kept archive is the package";
    EXPECT_TRUE(ReadFile(Root + "/game/windows_pc_halden/win32/data.bin") == data);
}

// A client file that another program has open for writing cannot be started (ETXTBSY on Linux,
// a sharing violation on Windows, where a virus scanner reading a new program does this). The
// launcher waits for it: the close still ends it at once; a file let go during the wait is
// started in the same run; one held through the whole 30 s wait is named in the box.
TEST_F(Faults, ClientFileHeldByAnotherProgramIsWaitedForThenStartedOrNamed) {
    ExpectTheNextRunInstalls(DemoPackage());
    HttpServer server;
    const std::string waiting = "Waiting for a file in use by another program: " + ScriptClient;
    const auto startHeld = [&](int* held) {
        std::filesystem::remove(scratch_ / "out.txt");
        std::filesystem::remove(BoxLog);
        std::filesystem::remove(scratch_ / "err.txt");
        // Once the client the run before started has ended: a running program cannot be opened.
        EXPECT_TRUE(
            WaitUntil([&] { return (*held = open(Client.c_str(), O_WRONLY | O_CLOEXEC)) >= 0; }));
        std::unique_ptr<Launcher> launcher = Start(server);
        EXPECT_TRUE(WaitUntil([&] { return launcher->Out().find(waiting) != std::string::npos; }))
            << launcher->Out() << launcher->Err();
        return launcher;
    };
    int held = -1;
    {
        SCOPED_TRACE("closed while waiting");
        std::unique_ptr<Launcher> launcher = startHeld(&held);
        ASSERT_TRUE(launcher->CloseWindow(Lock));
        EXPECT_EQ(launcher->Wait(), 0);
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_EQ(ReadFile(BoxLog), "") << "a player who closed the window is not told why";
        close(held);
    }
    {
        SCOPED_TRACE("let go during the wait");
        std::unique_ptr<Launcher> launcher = startHeld(&held);
        close(held);
        EXPECT_EQ(launcher->Wait(), 0);
        EXPECT_EQ(Count(launcher->Out(), Started), 1u) << launcher->Err();
        EXPECT_EQ(ReadFile(BoxLog), "");
    }
    {
        SCOPED_TRACE("held through the wait");
        std::unique_ptr<Launcher> launcher = startHeld(&held);
        EXPECT_EQ(launcher->Wait(), 1);
        close(held);
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_EQ(ReadFile(BoxLog),
                  "owner=1 flags=16 title=Game Launcher text=游戏客户端启动失败。\\n" +
                      ScriptClient +
                      ": in use by another program (the game itself, perhaps)\\n日志文件：" +
                      LogFile + "\n");
    }
    EXPECT_EQ(server.RequestedPaths().size(), 0u) << "an installed client is only started";
}

// A disk that cannot write the extracted files back (strace fails the syncfs with EIO): the
// install fails with the system's words, nothing starts, and the next run installs.
TEST_F(Faults, FlushThatFailsFailsTheInstallAndTheNextRunInstalls) {
    const std::string package = DemoPackage();
    {
        HttpServer server;
        server.Route(PackagePath, HttpResponse::Body(package));
        Limits limits;
        limits.failedCall = "syncfs";
        // LeakSanitizer cannot run under ptrace, and would end a sanitizer build's launcher with 1.
        std::unique_ptr<Launcher> launcher =
            Start(server, limits, {"ASAN_OPTIONS=detect_leaks=0:abort_on_error=0"});
        EXPECT_EQ(launcher->Wait(), 1);
        EXPECT_EQ(Count(launcher->Out(), Started), 0u);
        EXPECT_NE(launcher->Err().find("Failed to flush the extracted files: "
                                       "C:/Users/tester/Documents/game: Input/output error\n"),
                  std::string::npos)
            << launcher->Err();
        EXPECT_NE(ReadFile(BoxLog), "");
        EXPECT_TRUE(PathExists(Mark));
    }
    ExpectTheNextRunInstalls(package);
}

TEST_F(Faults, SecondLauncherEndsAtOnceAndLeavesTheFirstAlone) {
    const std::string package = DemoPackage();
    {
        HttpServer server;
        server.Route(PackagePath,
                     HttpResponse::Stall(package, package.size() / 2, HttpResponse::UntilStop));
        std::unique_ptr<Launcher> first = Start(server);
        ASSERT_TRUE(WaitUntil([&] { return !server.RequestedPaths().empty(); }));

        ScratchDir otherFolder;
        ScratchDir otherState;
        Launcher second(
            LAUNCHER_LOOPBACK_PATH, otherFolder.Path(),
            {"USERNAME=tester", "LAUNCHER_TEST_HOST=127.0.0.1:" + std::to_string(server.Port()),
             "LAUNCHER_BOX_LOG=" + BoxLog, "XDG_RUNTIME_DIR=" + runtime_.Path(),
             "LAUNCHER_TEST_LOCK_ROOT=" + lockRoot_.Path(), "XDG_STATE_HOME=" + otherState.Path()});
        EXPECT_EQ(second.Wait(), 0);
        EXPECT_EQ(second.Out(), "");
        EXPECT_EQ(second.Err(), "");
        EXPECT_EQ(server.RequestedPaths().size(), 1u) << "the second launcher downloads nothing";
        EXPECT_EQ(ReadFile(BoxLog), "");
        EXPECT_FALSE(PathExists(otherFolder / "C:")) << "nor writes a file";
        EXPECT_FALSE(PathExists(otherState / "game-launcher")) << "not even a log";

        ASSERT_TRUE(first->CloseWindow(Lock));
        EXPECT_EQ(first->Wait(), 0);
    }
    ExpectTheNextRunInstalls(package);
}

// A launcher started without XDG_RUNTIME_DIR (from su or cron, say) meets one started with it:
// the lock is in the user's runtime folder where the system made one, and otherwise in the shared
// temporary folder, also where that runtime folder is another user's.
TEST_F(Faults, LaunchersWithAndWithoutARuntimeFolderVariableMeetAtOneLock) {
    const std::string package = DemoPackage();
    const std::string temporaryLock =
        lockRoot_ / ("tmp/game-launcher-" + std::to_string(getuid()) + ".lock");
    struct Case {
        const char* what;
        std::function<void()> place;
        std::string lock;
    };
    std::vector<Case> cases = {
        {"the user's runtime folder", [] {}, Lock},
        {"no runtime folder", [&] { std::filesystem::remove_all(UserRuntime); }, temporaryLock},
    };
    if (geteuid() == 0) {
        cases.push_back({"another user's runtime folder",
                         [&] {
                             std::filesystem::create_directories(UserRuntime);
                             ASSERT_EQ(chown(UserRuntime.c_str(), 65534, 65534), 0);
                         },
                         temporaryLock});
    }
    for (const Case& kind : cases) {
        SCOPED_TRACE(kind.what);
        kind.place();
        HttpServer server;
        server.Route(PackagePath,
                     HttpResponse::Stall(package, package.size() / 2, HttpResponse::UntilStop));
        std::unique_ptr<Launcher> first = Start(server);
        ASSERT_TRUE(WaitUntil([&] { return !server.RequestedPaths().empty(); }));

        ScratchDir otherFolder;
        Launcher second(LAUNCHER_LOOPBACK_PATH, otherFolder.Path(),
                        {"XDG_RUNTIME_DIR", "USERNAME=tester",
                         "LAUNCHER_TEST_HOST=127.0.0.1:" + std::to_string(server.Port()),
                         "LAUNCHER_BOX_LOG=" + BoxLog,
                         "LAUNCHER_TEST_LOCK_ROOT=" + lockRoot_.Path(),
                         "XDG_STATE_HOME=" + state_.Path()});
        EXPECT_EQ(second.Wait(), 0);
        EXPECT_EQ(second.Out(), "");
        EXPECT_EQ(second.Err(), "") << "not running without the lock either";
        EXPECT_EQ(server.RequestedPaths().size(), 1u) << "the second launcher downloads nothing";
        EXPECT_FALSE(PathExists(otherFolder / "C:"));
        EXPECT_FALSE(PathExists(runtime_ / "game-launcher.lock"));

        ASSERT_TRUE(first->CloseWindow(kind.lock)) << "the first holds the lock there";
        EXPECT_EQ(first->Wait(), 0);
        std::filesystem::remove(kind.lock);
    }
}

TEST_F(Faults, LogHoldsEveryStreamLineOfAFailedAndASuccessfulRunAndTheBoxNamesIt) {
    const auto before = std::chrono::system_clock::now();
    std::unique_ptr<Launcher> failed = FailedRun({"TZ=UTC-8"});
    EXPECT_EQ(ReadFile(BoxLog), FailureBox + "\\n日志文件：" + LogFile + "\n");
    const std::vector<LogLine> failedLines = ParseLog(ReadFile(LogFile));
    EXPECT_EQ(failed->Err(), "Lua Update error: HTTP 404\n") << "written after ExitApp";
    EXPECT_EQ(Carried(failedLines, "err"), failed->Err());
    EXPECT_EQ(Carried(failedLines, "out"), failed->Out());
    EXPECT_EQ(failed->Out().rfind("Start\n", 0), 0u) << failed->Out();

    // The next run appends; its client lingers, to show which streams it was given.
    std::filesystem::remove(scratch_ / "out.txt");
    std::filesystem::remove(scratch_ / "err.txt");
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(DemoPackage()));
    std::unique_ptr<Launcher> installed =
        Start(server, Limits(), {"TZ=UTC-8", "DEMO_CLIENT_LINGER_MS=60000"});
    EXPECT_EQ(installed->Wait(), 0);
    const auto after = std::chrono::system_clock::now();
    const std::vector<LogLine> lines = ParseLog(ReadFile(LogFile), failedLines.size());
    EXPECT_EQ(installed->Err(), "");
    EXPECT_EQ(Carried(lines, "err"), "");
    EXPECT_EQ(Carried(lines, "out"), installed->Out());
    EXPECT_EQ(Count(installed->Out(), Started), 1u);
    for (const std::vector<LogLine>* run : {&failedLines, &lines}) {
        for (const LogLine& line : *run) {
            EXPECT_LE(StampInUtcPlus8(before), line.stamp) << "local time, not UTC";
            EXPECT_GE(StampInUtcPlus8(after), line.stamp) << "local time, not UTC";
        }
    }

    // A client that outlives the launcher writes where the launcher's output went, not into
    // the log's pipe, which nobody reads any more.
    const size_t at = installed->Out().find(Started);
    ASSERT_NE(at, std::string::npos);
    const pid_t client = std::stoi(installed->Out().substr(at + std::strlen(Started)));
    const std::string fd = "/proc/" + std::to_string(client) + "/fd/";
    EXPECT_EQ(std::filesystem::read_symlink(fd + "1"),
              std::filesystem::canonical(scratch_ / "out.txt"));
    EXPECT_EQ(std::filesystem::read_symlink(fd + "2"),
              std::filesystem::canonical(scratch_ / "err.txt"));
    kill(client, SIGKILL);
}

TEST_F(Faults, LogOverOneMebibyteAtStartUpBecomesLauncherLog1AndANewLogStarts) {
    std::filesystem::create_directories(state_ / "game-launcher");
    const std::string full = std::string(LogRotateSize - 1, 'o') + "\n";
    WriteFile(LogFile, full);
    WriteFile(LogFile + ".1", "older\n");
    FailedRun();
    const std::string grown = ReadFile(LogFile);
    EXPECT_EQ(grown.rfind(full, 0), 0u) << "a log of exactly 1 MiB is kept";
    EXPECT_GT(grown.size(), full.size());
    EXPECT_EQ(ReadFile(LogFile + ".1"), "older\n");

    std::unique_ptr<Launcher> next = FailedRun();
    EXPECT_TRUE(ReadFile(LogFile + ".1") == grown) << "the grown log replaced the older one";
    const std::vector<LogLine> lines = ParseLog(ReadFile(LogFile));
    EXPECT_EQ(Carried(lines, "out"), next->Out()) << "the new log holds this run alone";
    EXPECT_EQ(Carried(lines, "err"), next->Err());
}

TEST_F(Faults, UnwritableLogLeavesStreamsBoxAndExitCodeAsTheyWere) {
    const std::string notAFolder = elsewhere_ / "state";
    WriteFile(notAFolder, "a file");
    std::unique_ptr<Launcher> launcher = FailedRun({"XDG_STATE_HOME=" + notAFolder});
    EXPECT_EQ(ReadFile(BoxLog), FailureBox + "\n") << "no line about a log";
    EXPECT_EQ(launcher->Err(), "Lua Update error: HTTP 404\n");
    EXPECT_TRUE(std::regex_match(
        launcher->Out(),
        std::regex("Start\n[0-9.e-]+\ndiskWritablePath:\tC:/Users/tester/Documents\n")))
        << launcher->Out();
    EXPECT_EQ(ReadFile(notAFolder), "a file");
    EXPECT_FALSE(PathExists(state_ / "game-launcher")) << "nor another place instead";
}

// What another user could have put at the lock's path (it may lie in the shared temporary
// folder): a hard link or a symbolic link to one of our files, a FIFO, a file of their own. None
// is written, and each launcher runs without the lock and says so: the first installs, the later
// ones start the installed client.
TEST_F(Faults, LockPathThatIsNotOursAloneIsNeitherWrittenNorInTheWay) {
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(DemoPackage()));
    const std::string lock = Lock;
    const std::string victim = elsewhere_ / "victim.txt";
    const std::string precious = "the user's own file\n";
    struct Case {
        const char* what;
        std::function<void()> place;
        std::string watched; // a file that must keep its bytes
        const char* reason;
    };
    std::vector<Case> cases = {
        {"hard link", [&] { ASSERT_EQ(link(victim.c_str(), lock.c_str()), 0); }, victim,
         "hard-linked (2 links)"},
        {"symbolic link", [&] { ASSERT_EQ(symlink(victim.c_str(), lock.c_str()), 0); }, victim,
         "a symbolic link"},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0); }, victim, "not a regular file"},
    };
    if (geteuid() == 0) {
        cases.push_back({"another user's file",
                         [&] {
                             WriteFile(lock, precious);
                             ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
                         },
                         lock, "owned by user 65534"});
    }
    for (const Case& kind : cases) {
        SCOPED_TRACE(kind.what);
        WriteFile(victim, precious);
        kind.place();
        std::filesystem::remove(scratch_ / "out.txt");
        std::filesystem::remove(scratch_ / "err.txt");
        std::unique_ptr<Launcher> launcher = Start(server);
        EXPECT_EQ(launcher->Wait(), 0);
        EXPECT_EQ(Count(launcher->Out(), Started), 1u) << launcher->Err();
        EXPECT_EQ(launcher->Err(), "launcher: running without the one-launcher lock: " + lock +
                                       ": " + kind.reason + "\n");
        EXPECT_EQ(ReadFile(kind.watched), precious);
        EXPECT_FALSE(PathExists(Mark));
        std::filesystem::remove(lock);
    }
    EXPECT_EQ(server.RequestedPaths().size(), 1u) << "only the first run installs";
}

// With umask 022, modes of 0777 and 0666 in the archive come out as 0755 and 0644: no local user
// can replace the client the launcher starts. The next run starts that client.
TEST_F(Faults, ArchiveModesAreCutByTheUmaskAndTheNextRunStartsTheClient) {
    ZipEntry version = ZipFile("windows_pc_halden/patch/version.json", "{}");
    version.unixMode = 0666;
    ZipEntry client = ZipFile("windows_pc_halden/win32/game.exe", ReadFile(DEMO_CLIENT_PATH));
    client.unixMode = 0777;
    WriteZip(elsewhere_ / "modes.zip", {version, client});
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(ReadFile(elsewhere_ / "modes.zip")));
    Limits limits;
    limits.umask = 022;
    const auto mode = [](const std::string& path) {
        struct stat info = {};
        EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    };
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        std::filesystem::remove(scratch_ / "out.txt");
        std::unique_ptr<Launcher> launcher = Start(server, limits);
        EXPECT_EQ(launcher->Wait(), 0);
        EXPECT_EQ(Count(launcher->Out(), Started), 1u) << launcher->Err();
        EXPECT_EQ(mode(Client), 0755u);
        EXPECT_EQ(mode(Version), 0644u);
        EXPECT_EQ(mode(Root + "/game/windows_pc_halden/win32"), 0755u);
    }
    EXPECT_EQ(server.RequestedPaths().size(), 1u)
        << "the second run starts what the first installed";
}

// A power cut right after an install finds on the disk what the system calls put there before
// the mark's removal. Seen with strace, in the order the launcher's threads made the calls: the
// client's file is written, one syncfs flushes the output folder's file system, and only then is
// the mark removed and its folder flushed.
TEST_F(Faults, ExtractedFilesAreOnTheDiskBeforeTheMarkGoes) {
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(DemoPackage()));
    Limits limits;
    limits.traceFile = elsewhere_ / "trace.txt";
    // LeakSanitizer cannot run under ptrace, and would end a sanitizer build's launcher with 1.
    std::unique_ptr<Launcher> launcher =
        Start(server, limits, {"ASAN_OPTIONS=detect_leaks=0:abort_on_error=0"});
    ASSERT_EQ(launcher->Wait(), 0) << launcher->Err();
    EXPECT_EQ(Count(launcher->Out(), Started), 1u);
    EXPECT_FALSE(PathExists(Mark));

    // One entry per call, in the order the calls began. strace splits a call that another
    // thread interrupts into "<unfinished ...>" and "<... name resumed>" lines; they are joined
    // again, so that a call and its result stay on one line.
    std::vector<std::string> calls;
    std::map<std::string, size_t> unfinished; // pid -> the call it has not finished
    const std::string trace = ReadFile(limits.traceFile);
    const std::string pause = " <unfinished ...>";
    for (size_t at = 0, end; at < trace.size(); at = end + 1) {
        end = std::min(trace.find('\n', at), trace.size());
        const std::string line = trace.substr(at, end - at);
        const std::string pid = line.substr(0, line.find(' '));
        const size_t resumed = line.find(" resumed>");
        const auto open = unfinished.find(pid);
        if (resumed != std::string::npos && open != unfinished.end()) {
            calls[open->second] += line.substr(resumed + std::strlen(" resumed>"));
            unfinished.erase(open);
            continue;
        }
        if (line.size() >= pause.size() &&
            line.compare(line.size() - pause.size(), pause.size(), pause) == 0) {
            unfinished[pid] = calls.size();
            calls.push_back(line.substr(0, line.size() - pause.size()));
            continue;
        }
        calls.push_back(line);
    }
    // The first call from `from` on that holds every part, or calls.size().
    const auto find = [&calls](size_t from, std::vector<std::string> parts) {
        for (size_t i = from; i < calls.size(); ++i) {
            if (std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
                    return calls[i].find(part) != std::string::npos;
                })) {
                return i;
            }
        }
        return calls.size();
    };
    // The number a successful open returned, as strace writes it: "... = 7".
    const auto descriptor = [&calls](size_t call) {
        const size_t at = call < calls.size() ? calls[call].rfind("= ") : std::string::npos;
        return at == std::string::npos ? std::string("none") : calls[call].substr(at + 2);
    };
    const std::string documents = "C:/Users/tester/Documents";
    const size_t client =
        find(0, {"openat(AT_FDCWD, \"" + documents + "/game/windows_pc_halden/win32/game.exe\"",
                 "O_CREAT"});
    const size_t outputFolder =
        find(client, {"openat(AT_FDCWD, \"" + documents + "/game\"", "O_DIRECTORY"});
    const size_t flush = find(outputFolder, {"syncfs(" + descriptor(outputFolder)});
    const size_t removal =
        find(flush, {"unlink", "\"" + documents + "/windows_pc_halden.installing\""});
    const size_t markFolder =
        find(removal, {"openat(AT_FDCWD, \"" + documents + "\"", "O_DIRECTORY"});
    const size_t removalFlush = find(markFolder, {"fsync(" + descriptor(markFolder)});
    EXPECT_LT(client, calls.size()) << trace;
    EXPECT_LT(flush, calls.size()) << "no syncfs after the client's file\n" << trace;
    EXPECT_LT(removal, calls.size()) << "no removal of the mark after the syncfs\n" << trace;
    EXPECT_LT(removalFlush, calls.size()) << "no fsync of the mark's folder after it\n" << trace;
    EXPECT_EQ(find(0, {"fdatasync"}), calls.size()) << "one flush for all, not one per file";
}
