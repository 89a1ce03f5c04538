// The carried bootstrap script from end to end, as the worker runs it: a real loopback server
// serving the demo package, real extraction below a scratch working folder, the real demo client.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include "actions/hash_file.h"
#include "app/message_hand_off.h"
#include "app/ui_state.h"
#include "platform/platform.h"
#include "script/carried_script.h"
#include "script/curl_module.h"
#include "script/script_runner.h"
#include "script/shared_state.h"
#include "tests/support/environment.h"
#include "tests/support/http_server.h"
#include "tests/support/message_box_recorder.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#ifndef _WIN32
#include "tests/support/tls_server.h"
#endif
#include "tests/support/zip_builder.h"

namespace {

const std::string PackagePath = "/client/pc/2100/exe/windows_pc_halden_202505171539.zip";

// The start of a client that was never extracted fails on its missing program (ENOENT) on Linux;
// Windows checks the working folder first, missing too (ERROR_DIRECTORY).
#ifdef _WIN32
const std::string ClientMissing = "CreateProcess failed with error: 267\n";
#else
const std::string ClientMissing = "CreateProcess failed with error: 2\n";
#endif

#ifdef _WIN32
// The script's root is absolute on Windows: each test is a user of its own, so that tests running
// side by side in one Wine prefix never share a Documents folder.
std::string UserName() {
    static int tests = 0;
    return "launcher-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++tests);
}
#else
// Relative on Linux: it lands below the scratch working folder.
std::string UserName() {
    return "tester";
}
#endif

// The script's messages as the UTF-8 bytes it carries.
const std::string Deleting = u8"删除压缩包：";
const std::string Deleted = u8"成功" + Deleting;
const std::string AlreadyGone = u8"压缩包已不存在，可能已被占用";

bool NeverStop() {
    return false;
}

// The status line's texts during one wait before attempt `turn`: the reason and the seconds left,
// counted down, then the attempt itself.
std::vector<std::wstring> Countdown(const std::wstring& why, int seconds, int turn) {
    const std::wstring of = L"（第 " + std::to_wstring(turn) + L" 次，共 5 次）";
    std::vector<std::wstring> texts;
    for (int left = seconds; left > 0; --left) {
        texts.push_back(why + L"，" + std::to_wstring(left) + L" 秒后重试" + of);
    }
    texts.push_back(L"正在重试" + of);
    return texts;
}

std::vector<std::wstring> Joined(std::initializer_list<std::vector<std::wstring>> parts) {
    std::vector<std::wstring> all;
    for (const std::vector<std::wstring>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const std::wstring Interrupted = L"网络连接中断";

// Whole seconds to count down from for a wait.
int Ceil(double seconds) {
    return static_cast<int>(std::ceil(seconds));
}

// A wait as the script's log line gives it: whole seconds, or with one decimal.
std::wstring SecondsText(double seconds) {
    wchar_t text[32];
    std::swprintf(text, 32, seconds == std::floor(seconds) ? L"%.0f" : L"%.1f", seconds);
    return text;
}

// Each wait is drawn between half and all of its usual length.
void ExpectSpread(const std::vector<double>& waits, const std::vector<int>& usual) {
    ASSERT_EQ(waits.size(), usual.size());
    for (size_t i = 0; i < waits.size(); ++i) {
        EXPECT_GE(waits[i], usual[i] / 2.0) << "wait " << i + 1;
        EXPECT_LE(waits[i], usual[i]) << "wait " << i + 1;
    }
}

struct RunOutput {
    std::string out;
    std::string err;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        previousDir_ = std::filesystem::current_path();
        std::filesystem::current_path(scratch_.Path());
        SetEnvironment("USERNAME", user_);
        std::filesystem::create_directories(Root);
        ProgressPercent.store(0);
        ResetExitRequest();
        ResetMessageHandOff();
        MessageBoxSink = RecordMessageBox;
        ClearRecordedBoxes();
    }
    void TearDown() override {
        std::filesystem::current_path(previousDir_);
        ResetExitRequest();
        MessageBoxSink = PlatformMessageBox;
        DeadConnectionSeconds = 30;
#ifdef _WIN32
        RemoveTree("C:/Users/" + user_);
#endif
    }

    // The carried text with the test server as download host, over `scheme` whatever the build's
    // is, `pinned` as the package's digest, and SetProgress and SetStatus wrapped so every value
    // the script reports lands in progress.log and status.log, in order. Sleep records the waits
    // asked for in sleep.log and returns at once (still false once the launcher is closing), so
    // a retried download costs no real waiting; the fault suite runs the real one.
    std::string ScriptFor(int port, const std::string& pinned, const std::string& scheme) const {
        std::string text(CarriedScriptText, CarriedScriptSize);
        // Whatever the build pinned (scripts/demo.sh pins the demo package's digest in build/).
        const std::string pin = "local packageSha256 = \"";
        const size_t digest = text.find(pin);
        EXPECT_NE(digest, std::string::npos) << "the carried script has no package digest";
        if (digest != std::string::npos) {
            const size_t end = text.find('"', digest + pin.size());
            text.replace(digest + pin.size(), end - digest - pin.size(), pinned);
        }
        // The package's size and what it extracts to, as a release pins them (none by default).
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"packageSize", packageSize_},
              {"installedSize", installedSize_}}) {
            const std::string size = "local " + name + " = tonumber(\"";
            const size_t sizeAt = text.find(size);
            EXPECT_NE(sizeAt, std::string::npos) << "the carried script has no " << name;
            if (sizeAt != std::string::npos) {
                const size_t end = text.find('"', sizeAt + size.size());
                text.replace(sizeAt + size.size(), end - sizeAt - size.size(), value);
            }
        }
        // Whatever URL the build carries, the test's server serves the package at PackagePath.
        const std::string url = CARRIED_PACKAGE_URL;
        const size_t at = text.find('"' + url + '"');
        EXPECT_NE(at, std::string::npos) << "the carried script names no download URL";
        if (at != std::string::npos) {
            text.replace(at + 1, url.size(),
                         scheme + "://127.0.0.1:" + std::to_string(port) + PackagePath);
        }
#ifdef _WIN32
        // Tests side by side in one Wine prefix must not share its one Documents folder: each
        // is a user of its own, as on Linux. The system's folder is the real launcher.exe's
        // (tests/win32_text_tests.py).
        text += "\nfunction UserFolder()\n"
                "  local user = os.getenv('USERNAME')\n"
                "  if not user then return nil, 'USERNAME is not set' end\n"
                "  return 'C:/Users/' .. user .. '/Documents'\n"
                "end\n";
#endif
        return text + "\nlocal realSetProgress = SetProgress\n"
                      "function SetProgress(value)\n"
                      "  local log = io.open('progress.log', 'ab')\n"
                      "  log:write(string.format('%.7g\\n', value))\n"
                      "  log:close()\n"
                      "  realSetProgress(value)\n"
                      "end\n"
                      "local realSetStatus = SetStatus\n"
                      "function SetStatus(text)\n"
                      "  local log = io.open('status.log', 'ab')\n"
                      "  log:write(text, '\\n')\n"
                      "  log:close()\n"
                      "  realSetStatus(text)\n"
                      "end\n"
                      "local realSleep = Sleep\n"
                      "function Sleep(seconds)\n"
                      "  local log = io.open('sleep.log', 'ab')\n"
                      "  log:write(seconds, '\\n')\n"
                      "  log:close()\n"
                      "  return realSleep(0)\n"
                      "end\n";
    }

    // Runs the script on its own thread, as the window starts the worker.
    RunOutput RunLauncherScript(int port, const std::string& pinned = "",
                                const std::string& scheme = "http") {
        const std::string text = ScriptFor(port, pinned, scheme);
        std::remove("progress.log");
        std::remove("status.log");
        std::remove("sleep.log");
        OutputCapture capture;
        std::thread worker([&text] { RunScriptText(text.c_str(), text.size()); });
        worker.join();
        capture.Stop();
        return {capture.Out(), capture.Err()};
    }

    std::string ProgressLog() const {
        return ReadFile("progress.log");
    }

    // The seconds of all the script's waits together.
    double SecondsSlept() const {
        double seconds = 0;
        for (const double step : SleepSteps()) {
            seconds += step;
        }
        return seconds;
    }

    // Each Sleep the script asked for, in order.
    std::vector<double> SleepSteps() const {
        const std::string log = ReadFile("sleep.log");
        std::vector<double> steps;
        for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1) {
            steps.push_back(std::stod(log.substr(at)));
        }
        return steps;
    }

    // The waits before each retry, in seconds, as the script slept them: the status line counts
    // each down with one Sleep per text, then shows the attempt.
    std::vector<double> RetryWaits() const {
        const std::vector<double> steps = SleepSteps();
        std::vector<double> waits;
        size_t step = 0;
        double wait = 0;
        for (const std::wstring& text : RetryStatusLog()) {
            if (text.rfind(L"正在重试", 0) == 0) {
                waits.push_back(wait);
                wait = 0;
            } else if (step < steps.size()) {
                wait += steps[step++];
            }
        }
        EXPECT_EQ(step, steps.size()) << "a Sleep outside the countdowns";
        return waits;
    }

    // The status texts of the waits between attempts, without the download's and extraction's.
    std::vector<std::wstring> RetryStatusLog() const {
        std::vector<std::wstring> texts;
        for (const std::wstring& text : StatusLog()) {
            if (!text.empty() && text.rfind(L"已下载", 0) != 0 && text.rfind(L"正在解压", 0) != 0) {
                texts.push_back(text);
            }
        }
        return texts;
    }

    // The status line's texts in order, converted as the launcher converts them.
    std::vector<std::wstring> StatusLog() const {
        const std::wstring log = PlatformWideFromUtf8(ReadFile("status.log"));
        std::vector<std::wstring> texts;
        for (size_t at = 0; at < log.size();) {
            const size_t end = log.find(L'\n', at);
            texts.push_back(log.substr(at, end - at));
            at = end + 1;
        }
        return texts;
    }

    // The client runs on by itself; wait (bounded) until the log it writes when started can be
    // read (on Windows the handle that renamed it into place may still keep it from being opened).
    std::string WaitForClientLog() const {
        const std::string log = ClientDir + "/client.log";
        std::string text;
        for (int i = 0; i < 500 && (text = ReadFile(log)).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return text;
    }

    // The one box of a failed run: the sentence, then the reason on a line of its own.
    static void ExpectFailureBox(const std::wstring& sentence, const std::wstring& reason) {
        ASSERT_EQ(RecordedBoxes.size(), 1u);
        const std::wstring& text = RecordedBoxes[0].text;
        EXPECT_EQ(text.substr(0, sentence.size() + 1), sentence + L"\n");
        EXPECT_NE(text.find(reason, sentence.size()), std::wstring::npos)
            << "no \"" << std::string(reason.begin(), reason.end()) << "\" in the box";
        EXPECT_EQ(text.find(L"[string"), std::wstring::npos) << "no Lua position for the player";
        EXPECT_EQ(RecordedBoxes[0].title, L"Game Launcher");
        EXPECT_EQ(RecordedBoxes[0].flags, 0x10u);
    }

    static std::string DemoPackage() {
        return ReadFile(DEMO_PACKAGE_PATH);
    }

    // The lowercase hex SHA-256 of the bytes, as HashFile gives it.
    static std::string Sha256(const std::string& bytes) {
        ScratchDir dir;
        WriteFile(dir / "bytes", bytes);
        unsigned char digest[Sha256Size];
        std::string reason;
        EXPECT_EQ(HashFileSha256(dir / "bytes", NeverStop, digest, &reason), HashStatus::Done)
            << reason;
        std::string hex;
        for (const unsigned char byte : digest) {
            hex += "0123456789abcdef"[byte >> 4];
            hex += "0123456789abcdef"[byte & 15];
        }
        return hex;
    }

    // What a cut install leaves: its mark and the bytes it had of the archive.
    void LeaveCutInstall(const std::string& archiveBytes) const {
        WriteFile(MarkPath, "");
        WriteFile(ArchivePath, archiveBytes);
    }

    // A run that refused the package: the box, nothing extracted or started, the archive gone and
    // the install still marked.
    void ExpectRefused(const RunOutput& run, const std::string& got, const std::string& pinned) {
        const std::string reason = "the package is damaged or not the expected one (SHA-256 " +
                                   got + ", expected " + pinned + ")";
        EXPECT_EQ(run.err, "Lua Update error: " + reason + "\n");
        ExpectFailureBox(InstallFailed, std::wstring(reason.begin(), reason.end()));
        EXPECT_EQ(RequestedExitCode(-1), 1);
        EXPECT_FALSE(PathExists(ArchivePath));
        EXPECT_FALSE(PathExists(Root + "/game"));
        EXPECT_TRUE(PathExists(MarkPath));
        EXPECT_EQ(run.out.find("Process created"), std::string::npos);
    }

    ScratchDir scratch_;
    std::filesystem::path previousDir_;
    // The pinned sizes ScriptFor puts in, in bytes; empty for none.
    std::string packageSize_;
    std::string installedSize_;
    const std::string user_ = UserName();
    const std::string Root = "C:/Users/" + user_ + "/Documents";
    const std::string ArchivePath = Root + "/windows_pc_halden_202505171539.zip";
    const std::string ClientDir = Root + "/game/windows_pc_halden/win32";
    const std::string ClientExe = ClientDir + "/game.exe";
    const std::string MarkPath = Root + "/windows_pc_halden.installing";
    const std::wstring InstallFailed = L"游戏客户端安装失败。";
    const std::wstring StartFailed = L"游戏客户端启动失败。";
};

} // namespace

TEST_F(EndToEnd, FirstRunDownloadsExtractsAndStartsTheClient) {
    HttpServer server;
    const std::string package = DemoPackage();
    // Half the archive, a pause long enough to be seen, then the rest.
    server.Route(PackagePath,
                 HttpResponse::Stall(package, package.size() / 2, std::chrono::milliseconds(300)));

    const RunOutput run = RunLauncherScript(server.Port());

    EXPECT_EQ(run.err, "");
    // "Start", the time, the root, then the PID line of the started client.
    ASSERT_EQ(run.out.rfind("Start\n", 0), 0u) << run.out;
    const size_t timeEnd = run.out.find('\n', 6);
    const double time = std::stod(run.out.substr(6, timeEnd - 6));
    EXPECT_GE(time, 0.0);
    EXPECT_LT(time, 1.0);
    EXPECT_EQ(run.out.substr(timeEnd + 1, run.out.find('\n', timeEnd + 1) - timeEnd),
              "diskWritablePath:\t" + Root + "\n");
    EXPECT_NE(run.out.find("Process created successfully with PID: "), std::string::npos);
    EXPECT_EQ(server.RequestedPaths(), std::vector<std::string>{PackagePath});

    // The download rises to 100, is reset to 0, then each of the five entries reports its share.
    const std::string progress = ProgressLog();
    const std::string tail = "1\n0\n0.2\n0.4\n0.6\n0.8\n1\n";
    const size_t reset = progress.find(tail);
    ASSERT_NE(reset, std::string::npos) << progress;
    EXPECT_EQ(reset + tail.size(), progress.size()) << progress;
    // Exactly the share sent before the pause, as the script's wrapper writes it (an odd-sized
    // package gives 0.4999..., not 0.5).
    char halfway[32];
    std::snprintf(halfway, sizeof halfway, "\n%.7g\n",
                  static_cast<double>(package.size() / 2) / static_cast<double>(package.size()));
    EXPECT_NE(("\n" + progress).find(halfway), std::string::npos)
        << "no progress while stalled halfway:\n"
        << progress;
    EXPECT_EQ(ProgressPercent.load(), 100);

    EXPECT_EQ(ReadFile(ArchivePath), package) << "the archive stays until the next run";
    EXPECT_TRUE(PathExists(Root + "/game/windows_pc_halden/patch/version.json"));
    EXPECT_FALSE(PathExists(MarkPath)) << "the install is complete";
    EXPECT_TRUE(RecordedBoxes.empty());
    const std::string client = WaitForClientLog();
    const std::string words = "arg -screen-width\narg 1560\narg -screen-height\narg 720\n"
                              "arg -force-opengl\narg -log\n";
#ifdef _WIN32
    // The child gets the options alone as its command line; its runtime's argv[0] is empty.
    const std::string clientDir = std::filesystem::path(ClientDir).make_preferred().string();
    EXPECT_EQ(client, "cwd " + clientDir +
                          "\ncmdline  -screen-width 1560 -screen-height 720 -force-opengl -log\n"
                          "arg0 \n" +
                          words);
#else
    const std::string clientDir = (std::filesystem::current_path() / ClientDir).string();
    EXPECT_EQ(client, "cwd " + clientDir + "\narg0 " + clientDir + "/game.exe\n" + words);
#endif
    EXPECT_EQ(RequestedExitCode(-1), 0);
    EXPECT_FALSE(ScriptBusy.load());
    EXPECT_EQ(ScriptState, nullptr);
}

// Sizes pinned at build that the disk cannot hold stop the install before it asks the server for
// anything or writes a file, and the box says how much is needed and where; pins that fit change
// nothing.
TEST_F(EndToEnd, PinnedSizesBeyondTheFreeSpaceStopTheInstallBeforeAnyRequestOrFile) {
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(DemoPackage()));
    packageSize_ = "1000000000000000"; // a petabyte: 931322.6 GiB
    installedSize_ = "1";
    const RunOutput run = RunLauncherScript(server.Port());
    ExpectFailureBox(InstallFailed, L"磁盘空间不足：还需要 931322.6 GB，");
    ASSERT_EQ(RecordedBoxes.size(), 1u);
    EXPECT_NE(RecordedBoxes[0].text.find(L" GB 可用。请清理磁盘后重新打开启动器。"),
              std::wstring::npos);
    EXPECT_EQ(RequestedExitCode(-1), 1);
    EXPECT_EQ(server.RequestedPaths().size(), 0u) << "nothing was asked of the server";
    EXPECT_FALSE(PathExists(MarkPath)) << "nothing was written";
    EXPECT_FALSE(PathExists(ArchivePath));
    EXPECT_EQ(run.out.find("Process created"), std::string::npos);

    ClearRecordedBoxes();
    ResetExitRequest();
    packageSize_ = std::to_string(DemoPackage().size());
    const RunOutput installed = RunLauncherScript(server.Port());
    EXPECT_TRUE(RecordedBoxes.empty());
    EXPECT_EQ(RequestedExitCode(-1), 0) << installed.err;
    EXPECT_NE(installed.out.find("Process created"), std::string::npos) << installed.out;
}

TEST_F(EndToEnd, SecondRunRemovesTheArchiveAndStartsTheClientAtOnce) {
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(DemoPackage()));
    RunLauncherScript(server.Port());
    WaitForClientLog();
    std::filesystem::remove(ClientDir + "/client.log");
    ResetExitRequest();

    const RunOutput second = RunLauncherScript(server.Port());
    EXPECT_EQ(second.err, "");
    EXPECT_NE(second.out.find(Deleting + ArchivePath + "\n" + Deleted + ArchivePath + "\n"),
              std::string::npos)
        << second.out;
    EXPECT_FALSE(PathExists(ArchivePath));
    EXPECT_EQ(server.RequestedPaths().size(), 1u) << "the second run must not download";
    EXPECT_EQ(ProgressLog(), "") << "the second run reports no progress";
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(AppRunning.load());

    // A third run finds the archive gone and says so.
    ResetExitRequest();
    const RunOutput third = RunLauncherScript(server.Port());
    EXPECT_NE(third.out.find(Deleting + ArchivePath + "\n" + AlreadyGone + "\n"), std::string::npos)
        << third.out;
    EXPECT_NE(third.out.find("Process created successfully with PID: "), std::string::npos);
}

TEST_F(EndToEnd, ArchiveThatCannotBeRemovedIsNotReportedAsRemoved) {
    std::filesystem::create_directories(Root + "/game/windows_pc_halden/patch");
    WriteFile(Root + "/game/windows_pc_halden/patch/version.json", "{}");
    std::filesystem::create_directories(ClientDir);
    WriteFile(ClientExe, "not a program");
#ifdef _WIN32
    // An archive still open elsewhere without delete sharing (the client's updater, say) can be
    // read but not removed.
    WriteFile(ArchivePath, "held");
    HANDLE held = CreateFileA(ArchivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const RunOutput run = RunLauncherScript(1);
    CloseHandle(held);
    const std::string stillThere = ArchivePath;
#else
    // A non-empty folder in the archive's place opens for reading but cannot be removed.
    std::filesystem::create_directories(ArchivePath + "/held");
    const RunOutput run = RunLauncherScript(1);
    const std::string stillThere = ArchivePath + "/held";
#endif
    EXPECT_EQ(run.out.find(Deleted), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(u8"删除压缩包失败："), std::string::npos) << run.out;
    EXPECT_TRUE(PathExists(stillThere));
    EXPECT_FALSE(AppRunning.load());
}

TEST_F(EndToEnd, UnsetUserNameFailsBeforeAnyDownload) {
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(DemoPackage()));
    UnsetEnvironment("USERNAME");

    const RunOutput run = RunLauncherScript(server.Port());
    EXPECT_EQ(run.err, "Lua Update error: USERNAME is not set\n");
    ExpectFailureBox(InstallFailed, L"USERNAME is not set");
    EXPECT_TRUE(server.RequestedPaths().empty());
    EXPECT_EQ(RequestedExitCode(-1), 1);
}

// Another 4xx fails at once; a 5xx only after five attempts.
TEST_F(EndToEnd, ErrorStatusIsShownNothingIsStartedAndTheNextRunInstalls) {
    for (const int status : {404, 500}) {
        HttpServer server;
        server.Route(PackagePath, HttpResponse::Body("<html>not here</html>", status));
        ClearRecordedBoxes();
        ResetExitRequest();
        const RunOutput run = RunLauncherScript(server.Port());
        const std::string reason = "HTTP " + std::to_string(status);
        EXPECT_EQ(run.err, "Lua Update error: " + reason + "\n");
        ExpectFailureBox(InstallFailed, std::wstring(reason.begin(), reason.end()));
        EXPECT_EQ(RequestedExitCode(-1), 1);
        EXPECT_EQ(ReadFile(ArchivePath), "") << "an error page is no package";
        EXPECT_TRUE(PathExists(MarkPath));
        EXPECT_EQ(run.out.find("Process created"), std::string::npos);
        EXPECT_EQ(server.RequestedPaths().size(), status == 404 ? 1u : 5u);
    }

    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(DemoPackage()));
    ResetExitRequest();
    const RunOutput next = RunLauncherScript(server.Port());
    EXPECT_EQ(next.err, "");
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

TEST_F(EndToEnd, WithoutAnnouncedLengthTheBarStaysAtZeroDuringTheDownload) {
    HttpServer server;
    server.Route(PackagePath, HttpResponse::WithoutLength(DemoPackage()));

    const RunOutput run = RunLauncherScript(server.Port());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ProgressLog(), "0\n0.2\n0.4\n0.6\n0.8\n1\n");
    EXPECT_NE(WaitForClientLog(), "");
}

TEST_F(EndToEnd, RefusedConnectionIsShownAndTheLauncherEndsWithOne) {
    int port;
    {
        HttpServer gone;
        port = gone.Port();
    }
    const RunOutput run = RunLauncherScript(port);
    EXPECT_EQ(run.err.rfind("Lua Update error: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out.find("Process created"), std::string::npos);
    // libcurl's own words for the refusal reach the player, after five attempts.
    ExpectFailureBox(InstallFailed, L"onnect");
    EXPECT_EQ(RequestedExitCode(-1), 1);
    // Each wait is drawn apart from other launchers'; were they the usual ones, every launcher
    // that failed together would come back together.
    const std::vector<double> waits = RetryWaits();
    ExpectSpread(waits, {2, 4, 8, 16});
    EXPECT_NE(waits, (std::vector<double>{2, 4, 8, 16}));
    const std::wstring out = PlatformWideFromUtf8(run.out);
    EXPECT_NE(out.find(L"；" + SecondsText(waits[3]) + L" 秒后重试（第 5 次，共 5 次）\n"),
              std::wstring::npos)
        << run.out;
    EXPECT_EQ(RetryStatusLog().front(), Countdown(L"无法连接服务器", Ceil(waits[0]), 2).front());
}

TEST_F(EndToEnd, PackageWithAnotherTopFolderIsDownloadedAgainNextRun) {
    ScratchDir elsewhere;
    const std::string wrong = elsewhere / "wrong.zip";
    WriteZip(wrong, {ZipFolder("other/"), ZipFolder("other/patch/"),
                     ZipFile("other/patch/version.json", "{}")});
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(ReadFile(wrong)));

    const RunOutput first = RunLauncherScript(server.Port());
    EXPECT_TRUE(PathExists(Root + "/game/other/patch/version.json"));
    EXPECT_EQ(first.err.rfind(ClientMissing, 0), 0u) << first.err;
    ExpectFailureBox(StartFailed,
                     L"cannot start " + std::wstring(ClientExe.begin(), ClientExe.end()));
    EXPECT_EQ(RequestedExitCode(-1), 1);

    ResetExitRequest();
    RunLauncherScript(server.Port());
    EXPECT_EQ(server.RequestedPaths().size(), 2u);
}

TEST_F(EndToEnd, DeadConnectionIsShownAfterTheTimeOut) {
    DeadConnectionSeconds = 1; // 30 in the program
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Stall(DemoPackage(), 0, HttpResponse::UntilStop));
    const RunOutput run = RunLauncherScript(server.Port());
    ExpectFailureBox(InstallFailed, L"Operation too slow");
    EXPECT_EQ(RequestedExitCode(-1), 1);
    EXPECT_EQ(run.out.find("Process created"), std::string::npos);
    EXPECT_TRUE(PathExists(MarkPath)) << "the next run installs again";
    EXPECT_EQ(server.RequestedPaths().size(), 5u);
    EXPECT_EQ(RetryStatusLog().front(),
              Countdown(L"网络连接超时", Ceil(RetryWaits()[0]), 2).front());
}

// 3 GiB announced: the counts reach the script exactly, so the bar moves (a 32-bit count made
// the size negative and the bar never moved); the cut transfer then fails as any other.
TEST_F(EndToEnd, PackageOfThreeGiBMovesTheBar) {
    const uint64_t announced = 3ull << 30;
    const std::string sent(40 << 20, 'z');
    HttpServer server;
    server.Route(PackagePath, HttpResponse::CloseMidBody(sent, announced));
    RunLauncherScript(server.Port());
    double largest = 0;
    const std::string progress = ProgressLog();
    for (size_t at = 0; at < progress.size(); at = progress.find('\n', at) + 1) {
        largest = std::max(largest, std::stod(progress.substr(at)));
    }
    EXPECT_GT(largest, 0.01) << "at least one percent of the bar";
    EXPECT_LE(largest, static_cast<double>(sent.size()) / static_cast<double>(announced));
    ExpectFailureBox(InstallFailed, L"transfer closed");
    EXPECT_EQ(RequestedExitCode(-1), 1);
}

TEST_F(EndToEnd, CutInstallIsResumedOrDownloadedWholeInTheSameRun) {
    const std::string package = DemoPackage();
    const size_t have = package.size() / 3 + 1;
    const std::string rest = "bytes=" + std::to_string(have) + "-";
    // A run after a cut install that kept `kept`: installs; gives what the server saw.
    const auto resume = [&](const HttpResponse& response, const std::string& kept) {
        HttpServer server;
        server.Route(PackagePath, response);
        LeaveCutInstall(kept);
        ResetExitRequest();
        EXPECT_EQ(RunLauncherScript(server.Port()).err, "");
        EXPECT_TRUE(ReadFile(ArchivePath) == package) << "the archive is byte-exact";
        EXPECT_FALSE(PathExists(MarkPath));
        EXPECT_NE(WaitForClientLog(), "");
        std::filesystem::remove(ClientDir + "/client.log");
        return std::make_pair(server.RequestedRanges(), server.BodyBytesSent(PackagePath));
    };

    // Held at the start of the rest, so the bar shows the bytes kept before any arrive.
    const auto resumed = resume(HttpResponse::Stall(package, have, std::chrono::milliseconds(300)),
                                package.substr(0, have));
    EXPECT_EQ(resumed.first, std::vector<std::string>{rest});
    EXPECT_EQ(resumed.second, package.size() - have);
    char share[32];
    std::snprintf(share, sizeof share, "%.7g\n",
                  static_cast<double>(have) / static_cast<double>(package.size()));
    EXPECT_EQ(ProgressLog().rfind(share, 0), 0u) << ProgressLog();

    HttpResponse ignoring = HttpResponse::Body(package);
    ignoring.honoursRanges = false;
    EXPECT_EQ(resume(ignoring, package.substr(0, have)).first,
              (std::vector<std::string>{rest, ""}));
    // Longer than the package, so no part of it: 416, then the whole.
    EXPECT_EQ(resume(HttpResponse::Body(package), package + "extra").first,
              (std::vector<std::string>{"bytes=" + std::to_string(package.size() + 5) + "-", ""}));
}

TEST_F(EndToEnd, PackageChangedOnTheServerMidInstallIsRefusedAndTheNextRunGetsItWhole) {
    const std::string package = DemoPackage();
    // The package the cut install was fetching differs from today's in its first bytes.
    std::string earlier = package;
    earlier[10] = static_cast<char>(earlier[10] ^ 0x5a);
    const size_t have = package.size() / 2 + 1;
    LeaveCutInstall(earlier.substr(0, have));
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(package));
    const std::string pinned = Sha256(package);

    const RunOutput run = RunLauncherScript(server.Port(), pinned);
    ExpectRefused(run, Sha256(earlier.substr(0, have) + package.substr(have)), pinned);
    EXPECT_EQ(server.BodyBytesSent(PackagePath), package.size() - have) << "it was resumed";

    ClearRecordedBoxes();
    ResetExitRequest();
    const RunOutput next = RunLauncherScript(server.Port(), pinned);
    EXPECT_EQ(next.err, "");
    EXPECT_EQ(server.RequestedRanges(),
              (std::vector<std::string>{"bytes=" + std::to_string(have) + "-", ""}));
    EXPECT_TRUE(ReadFile(ArchivePath) == package);
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

TEST_F(EndToEnd, TamperedPackageIsRefusedAndNothingIsExtractedOrStarted) {
    const std::string package = DemoPackage();
    std::string tampered = package;
    tampered[tampered.size() / 2] = static_cast<char>(tampered[tampered.size() / 2] ^ 1);
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(tampered));
    const std::string pinned = Sha256(package);

    ExpectRefused(RunLauncherScript(server.Port(), pinned), Sha256(tampered), pinned);

    // Once the server has the right package again, the next run installs it.
    server.Route(PackagePath, HttpResponse::Body(package));
    ClearRecordedBoxes();
    ResetExitRequest();
    EXPECT_EQ(RunLauncherScript(server.Port(), pinned).err, "");
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_EQ(server.RequestedRanges(), (std::vector<std::string>{"", ""}));
}

#ifndef _WIN32
namespace {

// Over HTTPS from a loopback TLS server. The test CA is trusted through the cURL module's
// test-only CA file; the program itself trusts only the system's store.
class EndToEndHttps : public EndToEnd {
  protected:
    void SetUp() override {
        EndToEnd::SetUp();
        WriteFile(caFile_, ca_.certificate);
        TestCertificateAuthority = caFile_.c_str();
    }
    void TearDown() override {
        TestCertificateAuthority = nullptr;
        EndToEnd::TearDown();
    }

    std::unique_ptr<TlsServer> ServerWith(ServerCertificate kind) const {
        return std::make_unique<TlsServer>(MakeServerCertificate(ca_, kind), PackagePath,
                                           std::make_shared<const std::string>(DemoPackage()));
    }

    const PemCertificate ca_ = MakeTestCa();
    ScratchDir certificates_;
    const std::string caFile_ = certificates_ / "ca.pem";
};

} // namespace

TEST_F(EndToEndHttps, TrustedCertificateInstallsAndStartsTheClient) {
    const auto server = ServerWith(ServerCertificate::Trusted);
    const RunOutput run = RunLauncherScript(server->Port(), "", "https");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(server->RequestedPaths(), std::vector<std::string>{PackagePath});
    EXPECT_TRUE(ReadFile(ArchivePath) == DemoPackage()) << "the archive arrives whole";
    EXPECT_TRUE(PathExists(Root + "/game/windows_pc_halden/patch/version.json"));
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_TRUE(RecordedBoxes.empty());
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

// libcurl's own words reach the player; no request is made over the refused connection, and a
// later run against a certificate the CA signed installs.
TEST_F(EndToEndHttps, SelfSignedAndWrongNameCertificatesAreRefusedAndThePlayerIsTold) {
    const std::pair<ServerCertificate, std::wstring> refusals[] = {
        {ServerCertificate::SelfSigned, L"SSL certificate problem: self-signed certificate"},
        {ServerCertificate::WrongName,
         L"no alternative certificate subject name matches target host name '127.0.0.1'"},
    };
    for (const auto& [kind, reason] : refusals) {
        const auto server = ServerWith(kind);
        ClearRecordedBoxes();
        ResetExitRequest();
        const RunOutput run = RunLauncherScript(server->Port(), "", "https");
        ExpectFailureBox(InstallFailed, reason);
        EXPECT_EQ(run.err.rfind("Lua Update error: ", 0), 0u) << run.err;
        EXPECT_EQ(RequestedExitCode(-1), 1);
        EXPECT_TRUE(server->RequestedPaths().empty());
        EXPECT_EQ(ReadFile(ArchivePath), "");
        EXPECT_TRUE(PathExists(MarkPath));
        EXPECT_FALSE(PathExists(Root + "/game"));
        EXPECT_EQ(run.out.find("Process created"), std::string::npos);
    }

    const auto trusted = ServerWith(ServerCertificate::Trusted);
    ResetExitRequest();
    const RunOutput next = RunLauncherScript(trusted->Port(), "", "https");
    EXPECT_EQ(next.err, "");
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_EQ(RequestedExitCode(-1), 0);
}
#endif

// "<bytes in MB, one decimal> MB" as the status line writes a size under a gigabyte.
std::wstring Megabytes(size_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1 << 20));
    return std::wstring(text, text + std::strlen(text));
}

TEST_F(EndToEnd, StatusLineShowsTheDownloadThenTheExtractionAndIsEmptyAtTheStart) {
    // 4 MiB, mostly incompressible, sent 128 KiB every 100 ms: over three seconds, so the speed,
    // measured between whole seconds, is shown at least once.
    std::string filler(4 << 20, '\0');
    std::mt19937 random(13);
    for (char& byte : filler) {
        byte = static_cast<char>(random());
    }
    ZipEntry client = ZipFile("windows_pc_halden/win32/game.exe", ReadFile(DEMO_CLIENT_PATH));
    client.unixMode = 0755;
    ScratchDir elsewhere;
    WriteZip(elsewhere / "package.zip",
             {ZipFile("windows_pc_halden/patch/version.json", "{}"), client,
              ZipFile("windows_pc_halden/filler.bin", filler, false)});
    const std::string package = ReadFile(elsewhere / "package.zip");
    HttpServer server;
    server.Route(PackagePath,
                 HttpResponse::Slow(package, 128 << 10, std::chrono::milliseconds(100)));

    EXPECT_EQ(RunLauncherScript(server.Port()).err, "");
    EXPECT_NE(WaitForClientLog(), "");
    const std::vector<std::wstring> texts = StatusLog();
    const std::wregex download(L"已下载 \\d+\\.\\d / " + Megabytes(package.size()) +
                               L" MB( · \\d+(\\.\\d)? (MB|KB)/s( · 剩余 \\d+ 秒)?)?");
    size_t at = 0;
    size_t withSpeed = 0;
    for (; at < texts.size() && texts[at].rfind(L"已下载", 0) == 0; ++at) {
        EXPECT_TRUE(std::regex_match(texts[at], download)) << at;
        withSpeed += texts[at].find(L"/s") != std::wstring::npos;
    }
    EXPECT_GE(at, 2u);
    EXPECT_GE(withSpeed, 1u);
    // Three entries: each reports its share.
    const std::vector<std::wstring> after(texts.begin() + static_cast<ptrdiff_t>(at), texts.end());
    EXPECT_EQ(after, (std::vector<std::wstring>{L"正在解压 0%", L"正在解压 33%", L"正在解压 66%",
                                                L"正在解压 100%", L""}));

    // A resumed download counts the bytes it kept from its first text on.
    const size_t have = package.size() / 3;
    LeaveCutInstall(package.substr(0, have));
    server.Route(PackagePath, HttpResponse::Stall(package, have, std::chrono::milliseconds(300)));
    std::filesystem::remove(ClientDir + "/client.log");
    ResetExitRequest();
    EXPECT_EQ(RunLauncherScript(server.Port()).err, "");
    ASSERT_FALSE(StatusLog().empty());
    EXPECT_EQ(StatusLog()[0],
              L"已下载 " + Megabytes(have) + L" / " + Megabytes(package.size()) + L" MB");
}

// A dropped connection is resumed in the same run from the bytes written, after 2 s, then 4 s.
TEST_F(EndToEnd, ConnectionDroppedTwiceMidBodyIsResumedInTheSameRun) {
    const auto package = std::make_shared<const std::string>(DemoPackage());
    // Odd places, on no block boundary.
    const size_t cuts[] = {package->size() / 3 + 7, package->size() * 2 / 3 + 11};
    HttpServer server;
    server.Route(PackagePath, [&](const HttpRequest& request) {
        return request.index < 2 ? HttpResponse::CutAt(package, cuts[request.index])
                                 : HttpResponse::Body(package);
    });

    // Pinned: the digest taken from the blocks as they were written spans the three requests.
    const RunOutput run = RunLauncherScript(server.Port(), Sha256(*package));
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(ArchivePath) == *package) << "the archive is byte-exact";
    EXPECT_EQ(server.RequestedRanges(),
              (std::vector<std::string>{"", "bytes=" + std::to_string(cuts[0]) + "-",
                                        "bytes=" + std::to_string(cuts[1]) + "-"}));
    EXPECT_EQ(server.BodyBytesSent(PackagePath), package->size()) << "no byte fetched twice";
    const std::vector<double> waits = RetryWaits();
    ExpectSpread(waits, {2, 4});
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_EQ(RetryStatusLog(), Joined({Countdown(Interrupted, Ceil(waits[0]), 2),
                                        Countdown(Interrupted, Ceil(waits[1]), 3)}));
    // One line per retry in the log, with libcurl's words.
    const std::wstring out = PlatformWideFromUtf8(run.out);
    EXPECT_NE(out.find(L"下载失败：transfer closed with " +
                       std::to_wstring(package->size() - cuts[0]) + L" bytes remaining to read；" +
                       SecondsText(waits[0]) + L" 秒后重试（第 2 次，共 5 次）\n"),
              std::wstring::npos)
        << run.out;
    EXPECT_NE(out.find(L"；" + SecondsText(waits[1]) + L" 秒后重试（第 3 次，共 5 次）\n"),
              std::wstring::npos)
        << run.out;
    EXPECT_NE(run.out.find("Process created successfully with PID: "), std::string::npos);
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_TRUE(RecordedBoxes.empty());
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

// "Thu, 01 Jan 1970 00:00:00 GMT", as HTTP writes a date.
std::string HttpDate(std::chrono::system_clock::time_point when) {
    const time_t seconds = std::chrono::system_clock::to_time_t(when);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&seconds));
    return text;
}

// Retry-After is followed up to 60 s, as seconds or as a date; a longer one gets the usual wait,
// drawn as ever; 0 or a date already past waits a second, so the attempts are not spent at once.
TEST_F(EndToEnd, BusyServerIsAskedAgainAfterTheWaitItAsksFor) {
    const auto package = std::make_shared<const std::string>(DemoPackage());
    const auto now = std::chrono::system_clock::now();
    HttpServer server;
    server.Route(PackagePath, [&](const HttpRequest& request) {
        HttpResponse busy = HttpResponse::Body("<html>busy</html>", 503);
        switch (request.index) {
        case 0:
            busy.headers = "Retry-After: 0\r\n";
            return busy;
        case 1:
            busy.headers = "Retry-After: " + HttpDate(now + std::chrono::seconds(30)) + "\r\n";
            return busy;
        case 2:
            busy.status = 429;
            busy.headers = "Retry-After: 3600\r\n";
            return busy;
        case 3:
            busy.headers = "Retry-After: " + HttpDate(now - std::chrono::seconds(30)) + "\r\n";
            return busy;
        default:
            return HttpResponse::Body(package);
        }
    });

    const RunOutput run = RunLauncherScript(server.Port());
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(ArchivePath) == *package);
    EXPECT_EQ(server.RequestedRanges(), (std::vector<std::string>{"", "", "", "", ""}))
        << "an error page is never kept as a part of the package";
    const std::vector<double> waits = RetryWaits();
    ASSERT_EQ(waits.size(), 4u);
    EXPECT_EQ(waits[0], 1);
    // The date's wait is what is left of its 30 s when the answer is read.
    EXPECT_GE(waits[1], 10);
    EXPECT_LE(waits[1], 30);
    EXPECT_EQ(waits[1], std::floor(waits[1])) << "a date counts whole seconds";
    ExpectSpread({waits[2]}, {8});
    EXPECT_EQ(waits[3], 1);
    const std::wstring busy = L"服务器暂时无法响应（HTTP 503）";
    EXPECT_EQ(RetryStatusLog(),
              Joined({Countdown(busy, 1, 2), Countdown(busy, Ceil(waits[1]), 3),
                      Countdown(L"服务器暂时无法响应（HTTP 429）", Ceil(waits[2]), 4),
                      Countdown(busy, 1, 5)}));
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

// Five failures of every kind that is retried: waits of 2, 4, 8 and 16 s, then the box with the
// last reason; what was written stays, and the next run asks only for the rest.
TEST_F(EndToEnd, FiveFailuresInARowShowTheLastReasonAndTheNextRunResumes) {
    const auto package = std::make_shared<const std::string>(DemoPackage());
    const size_t firstCut = package->size() / 4 + 3;
    const size_t lastCut = package->size() / 2 + 5;
    HttpServer server;
    server.Route(PackagePath, [&](const HttpRequest& request) {
        switch (request.index) {
        case 0:
            return HttpResponse::CutAt(package, firstCut);
        case 1:
            return HttpResponse::Reset();
        case 2:
            return HttpResponse::Body("<html>oops</html>", 500);
        case 3:
            return HttpResponse::Body("", 408);
        default:
            return HttpResponse::CutAt(package, lastCut);
        }
    });

    const RunOutput run = RunLauncherScript(server.Port());
    const std::string reason = "transfer closed with " + std::to_string(package->size() - lastCut) +
                               " bytes remaining to read";
    EXPECT_EQ(run.err, "Lua Update error: " + reason + "\n");
    ExpectFailureBox(InstallFailed, std::wstring(reason.begin(), reason.end()));
    EXPECT_EQ(RequestedExitCode(-1), 1);
    EXPECT_EQ(run.out.find("Process created"), std::string::npos);
    const std::string resumed = "bytes=" + std::to_string(firstCut) + "-";
    EXPECT_EQ(server.RequestedRanges(),
              (std::vector<std::string>{"", resumed, resumed, resumed, resumed}));
    const std::vector<double> waits = RetryWaits();
    ExpectSpread(waits, {2, 4, 8, 16});
    ASSERT_EQ(waits.size(), 4u);
    EXPECT_EQ(RetryStatusLog(),
              Joined({Countdown(Interrupted, Ceil(waits[0]), 2),
                      Countdown(Interrupted, Ceil(waits[1]), 3),
                      Countdown(L"服务器暂时无法响应（HTTP 500）", Ceil(waits[2]), 4),
                      Countdown(L"服务器暂时无法响应（HTTP 408）", Ceil(waits[3]), 5)}));
    // Linux reports the reset ("Recv failure: Connection reset by peer"); under Wine it reads as a
    // connection closed without an answer ("Empty reply from server"). Both are retried.
    const std::wstring out = PlatformWideFromUtf8(run.out);
    EXPECT_TRUE(out.find(L"下载失败：Recv failure: ") != std::wstring::npos ||
                out.find(L"下载失败：Empty reply from server") != std::wstring::npos)
        << run.out;
    // An error status answering a range request is given as the status (libcurl's words for it
    // are about the range it refused, which used to be the reason given).
    EXPECT_NE(out.find(L"下载失败：HTTP 500；" + SecondsText(waits[2]) +
                       L" 秒后重试（第 4 次，共 5 次）\n"),
              std::wstring::npos)
        << run.out;
    EXPECT_TRUE(ReadFile(ArchivePath) == package->substr(0, lastCut));
    EXPECT_TRUE(PathExists(MarkPath));
    EXPECT_FALSE(PathExists(Root + "/game"));

    // Pinned: the kept bytes are hashed first, then the rest as it arrives.
    server.Route(PackagePath, HttpResponse::Body(package));
    ClearRecordedBoxes();
    ResetExitRequest();
    EXPECT_EQ(RunLauncherScript(server.Port(), Sha256(*package)).err, "");
    EXPECT_EQ(server.RequestedRanges().back(), "bytes=" + std::to_string(lastCut) + "-");
    EXPECT_TRUE(ReadFile(ArchivePath) == *package);
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

// A 206 for another part than the one asked for, or without saying which part, is never
// appended: the same run downloads the package whole, without waiting (it used to fail every run).
TEST_F(EndToEnd, PartFromAnotherRangeIsDownloadedWholeInTheSameRun) {
    const auto package = std::make_shared<const std::string>(DemoPackage());
    const size_t have = package->size() / 3;
    const std::string whole =
        "bytes 0-" + std::to_string(package->size() - 1) + "/" + std::to_string(package->size());
    for (const std::string& contentRange : {"Content-Range: " + whole + "\r\n", std::string()}) {
        HttpServer server;
        server.Route(PackagePath, [&](const HttpRequest& request) {
            HttpResponse response = HttpResponse::Body(package);
            if (request.index == 0) {
                response.status = 206;
                response.honoursRanges = false;
                response.headers = contentRange;
            }
            return response;
        });
        LeaveCutInstall(package->substr(0, have));
        ResetExitRequest();
        const RunOutput run = RunLauncherScript(server.Port());
        EXPECT_EQ(run.err, "") << contentRange;
        EXPECT_TRUE(ReadFile(ArchivePath) == *package) << contentRange;
        EXPECT_EQ(server.RequestedRanges(),
                  (std::vector<std::string>{"bytes=" + std::to_string(have) + "-", ""}));
        EXPECT_EQ(SecondsSlept(), 0);
        EXPECT_NE(PlatformWideFromUtf8(run.out).find(L"；重新下载整个压缩包（第 2 次，共 5 次）\n"),
                  std::wstring::npos)
            << run.out;
        EXPECT_NE(WaitForClientLog(), "");
        EXPECT_FALSE(PathExists(MarkPath));
        std::filesystem::remove(ClientDir + "/client.log");
    }
}

// A 206 that ends before the package does (a server or proxy that sends parts) is continued at
// once from where it ended, each part one attempt; the pinned digest spans the parts. A server
// that only ever sends parts uses up the attempts, and what came stays for the next run.
TEST_F(EndToEnd, PartThatEndsBeforeThePackageIsContinuedAtOnceInTheSameRun) {
    const auto package = std::make_shared<const std::string>(DemoPackage());
    const size_t have = package->size() / 3;
    const std::string total = std::to_string(package->size());
    bool onlyParts = false;
    HttpServer server;
    server.Route(PackagePath, [&](const HttpRequest& request) {
        const size_t from = std::stoul(request.range.substr(6));
        if (request.index > 0 && !onlyParts) {
            return HttpResponse::Body(package);
        }
        HttpResponse part = HttpResponse::Body(package->substr(from, 10), 206);
        part.honoursRanges = false;
        part.headers = "Content-Range: bytes " + std::to_string(from) + "-" +
                       std::to_string(from + 9) + "/" + total + "\r\n";
        return part;
    });
    LeaveCutInstall(package->substr(0, have));

    const RunOutput run = RunLauncherScript(server.Port(), Sha256(*package));
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(ArchivePath) == *package) << "the archive is byte-exact";
    EXPECT_EQ(server.RequestedRanges(),
              (std::vector<std::string>{"bytes=" + std::to_string(have) + "-",
                                        "bytes=" + std::to_string(have + 10) + "-"}));
    EXPECT_EQ(SecondsSlept(), 0) << "the server answered: nothing to wait for";
    EXPECT_NE(PlatformWideFromUtf8(run.out).find(L"下载未完成：the server's part ends at byte " +
                                                std::to_wstring(have + 9) + L" of " +
                                                std::wstring(total.begin(), total.end()) +
                                                L"；继续下载其余部分（第 2 次，共 5 次）\n"),
              std::wstring::npos)
        << run.out;
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));

    onlyParts = true;
    std::filesystem::remove_all(Root + "/game");
    LeaveCutInstall(package->substr(0, have));
    ResetExitRequest();
    const RunOutput parts = RunLauncherScript(server.Port(), Sha256(*package));
    const std::string reason =
        "the server's part ends at byte " + std::to_string(have + 49) + " of " + total;
    EXPECT_EQ(parts.err, "Lua Update error: " + reason + "\n");
    ExpectFailureBox(InstallFailed, std::wstring(reason.begin(), reason.end()));
    EXPECT_EQ(server.RequestedRanges().size(), 2u + 5u);
    EXPECT_TRUE(ReadFile(ArchivePath) == package->substr(0, have + 50));
    EXPECT_TRUE(PathExists(MarkPath));
    EXPECT_FALSE(PathExists(ClientExe));
}

// A client taken from a complete install (a virus scanner's quarantine, a player's delete) is
// installed again and started, instead of failing to start on every run. Right after the install
// its archive is still here: pinned, it is extracted again without a request; once the archive is
// gone too, the package is downloaded again.
TEST_F(EndToEnd, ClientGoneFromACompleteInstallIsInstalledAgainAndStarted) {
    const auto package = std::make_shared<const std::string>(DemoPackage());
    const std::string pinned = Sha256(*package);
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(package));
    ASSERT_EQ(RunLauncherScript(server.Port(), pinned).err, "");
    ASSERT_NE(WaitForClientLog(), "");
    ASSERT_TRUE(PathExists(ArchivePath));

    for (const bool archiveKept : {true, false}) {
        SCOPED_TRACE(archiveKept ? "archive kept" : "archive gone");
        std::filesystem::remove(ClientExe);
        std::filesystem::remove(ClientDir + "/client.log");
        if (!archiveKept) {
            std::filesystem::remove(ArchivePath);
        }
        const size_t requests = server.RequestedPaths().size();
        ResetExitRequest();
        const RunOutput run = RunLauncherScript(server.Port(), pinned);
        EXPECT_EQ(run.err, "");
        EXPECT_NE(
            PlatformWideFromUtf8(run.out).find(L"客户端程序不存在，重新安装：" +
                                              std::wstring(ClientExe.begin(), ClientExe.end())),
            std::wstring::npos)
            << run.out;
        EXPECT_EQ(server.RequestedPaths().size(), requests + (archiveKept ? 0 : 1));
        EXPECT_NE(WaitForClientLog(), "") << "started in the same run";
        EXPECT_TRUE(PathExists(ClientExe));
        EXPECT_FALSE(PathExists(MarkPath));
        EXPECT_TRUE(RecordedBoxes.empty());
        EXPECT_EQ(RequestedExitCode(-1), 0);
    }
    EXPECT_EQ(server.RequestedRanges().back(), "") << "nothing kept: the package whole";
}

// Unpinned, a kept archive the server calls complete (416 for the bytes after it, the package as
// long) is extracted without downloading it again. When that extraction fails, only a new
// download can tell a damaged archive from a passing fault, so the next run downloads it whole.
TEST_F(EndToEnd, KeptArchiveAsLongAsThePackageIsTakenOnceAndDownloadedWholeAfterItFails) {
    const auto package = std::make_shared<const std::string>(DemoPackage());
    ScratchDir elsewhere;
    WriteFile(elsewhere / "damaged.zip", *package);
    SetEntryCrc(elsewhere / "damaged.zip", "windows_pc_halden/patch/version.json", 0x12345678);
    const std::string damaged = ReadFile(elsewhere / "damaged.zip");
    ASSERT_EQ(damaged.size(), package->size());
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(package));
    const std::string asked = "bytes=" + std::to_string(package->size()) + "-";

    LeaveCutInstall(damaged);
    const RunOutput kept = RunLauncherScript(server.Port());
    EXPECT_EQ(server.RequestedRanges(), std::vector<std::string>{asked});
    const std::string crc = "Failed to extract file: windows_pc_halden/patch/version.json: CRC "
                            "mismatch";
    EXPECT_EQ(kept.err, crc + "\nLua Update error: " + crc + "\n");
    EXPECT_TRUE(ReadFile(ArchivePath) == damaged) << "taken as it was, not downloaded";
    EXPECT_NE(
        PlatformWideFromUtf8(kept.out).find(L"压缩包已完整，不再下载：" +
                                           std::wstring(ArchivePath.begin(), ArchivePath.end())),
        std::wstring::npos)
        << kept.out;
    EXPECT_TRUE(PathExists(MarkPath));

    ClearRecordedBoxes();
    ResetExitRequest();
    const RunOutput whole = RunLauncherScript(server.Port());
    EXPECT_EQ(whole.err, "");
    EXPECT_EQ(server.RequestedRanges(), (std::vector<std::string>{asked, asked, ""}));
    EXPECT_TRUE(ReadFile(ArchivePath) == *package);
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

// A package whose entry data ends early (a sound deflate stream of half the data, the whole size
// declared) is no install: the player is told, the entry is not left in place, nothing starts and
// the mark stays, so the next run installs again, here the studio's fixed package.
TEST_F(EndToEnd, DamagedEntryIsShownTheMarkStaysAndTheNextRunInstallsTheFixedPackage) {
    std::string data(1 << 20, '\0');
    std::mt19937 random(18);
    for (char& byte : data) {
        byte = static_cast<char>(random());
    }
    ZipEntry damaged = ZipFile("windows_pc_halden/win32/data.bin", data);
    damaged.endAfter = data.size() / 2;
    ZipEntry client = ZipFile("windows_pc_halden/win32/game.exe", ReadFile(DEMO_CLIENT_PATH));
    client.unixMode = 0755;
    ScratchDir elsewhere;
    WriteZip(elsewhere / "damaged.zip",
             {ZipFile("windows_pc_halden/patch/version.json", "{}"), damaged, client});
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(ReadFile(elsewhere / "damaged.zip")));

    const RunOutput run = RunLauncherScript(server.Port());
    // The box carries the entry and what is wrong with it, as the error stream does.
    const std::string line = "Failed to extract file: windows_pc_halden/win32/data.bin: data ends "
                             "after 524288 of 1048576 bytes";
    EXPECT_EQ(run.err, line + "\nLua Update error: " + line + "\n");
    ExpectFailureBox(InstallFailed, std::wstring(line.begin(), line.end()));
    EXPECT_EQ(RequestedExitCode(-1), 1);
    EXPECT_TRUE(PathExists(MarkPath));
    EXPECT_FALSE(PathExists(ClientDir + "/data.bin"));
    EXPECT_FALSE(PathExists(ClientExe));
    EXPECT_EQ(run.out.find("Process created"), std::string::npos);

    // The fixed package is smaller than the archive left here, so the resume finds nothing to
    // fetch (416) and the package is downloaded whole.
    const std::string fixed = DemoPackage();
    ASSERT_LT(fixed.size(), ReadFile(ArchivePath).size());
    server.Route(PackagePath, HttpResponse::Body(fixed));
    ClearRecordedBoxes();
    ResetExitRequest();
    const RunOutput next = RunLauncherScript(server.Port());
    EXPECT_EQ(next.err, "");
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_EQ(ReadFile(ArchivePath), fixed);
    EXPECT_FALSE(PathExists(MarkPath));
    EXPECT_EQ(RequestedExitCode(-1), 0);
}

// Some Windows tools write "a\b\c.txt" and list no folders. Such a package installs, folders and
// all, with "/" on Linux; a name may mix both separators. The next run starts the client at once.
TEST_F(EndToEnd, PackageNamedWithBackslashesInstallsAndTheNextRunStartsTheClient) {
    ZipEntry client = ZipFile("windows_pc_halden\\win32\\game.exe", ReadFile(DEMO_CLIENT_PATH));
    client.unixMode = 0755;
    ScratchDir elsewhere;
    WriteZip(elsewhere / "backslashes.zip",
             {ZipFile("windows_pc_halden\\patch/version.json", "{}"), client});
    HttpServer server;
    server.Route(PackagePath, HttpResponse::Body(ReadFile(elsewhere / "backslashes.zip")));

    EXPECT_EQ(RunLauncherScript(server.Port()).err, "");
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_EQ(ReadFile(Root + "/game/windows_pc_halden/patch/version.json"), "{}");
    EXPECT_FALSE(PathExists(MarkPath));
    std::vector<std::string> extracted;
    for (const auto& item : std::filesystem::recursive_directory_iterator(Root + "/game")) {
        extracted.push_back(
            std::filesystem::relative(item.path(), Root + "/game").generic_string());
    }
    std::sort(extracted.begin(), extracted.end());
    EXPECT_EQ(extracted, (std::vector<std::string>{"windows_pc_halden", "windows_pc_halden/patch",
                                                   "windows_pc_halden/patch/version.json",
                                                   "windows_pc_halden/win32",
                                                   "windows_pc_halden/win32/client.log",
                                                   "windows_pc_halden/win32/game.exe"}));

    std::filesystem::remove(ClientDir + "/client.log");
    ResetExitRequest();
    EXPECT_EQ(RunLauncherScript(server.Port()).err, "");
    EXPECT_NE(WaitForClientLog(), "");
    EXPECT_EQ(server.RequestedPaths().size(), 1u)
        << "the second run starts what the first installed";
}
