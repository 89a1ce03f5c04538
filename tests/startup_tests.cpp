// Start-up failures: the loader's and start-up's boxes (texts, titles, order), exit codes, a worker
// that cannot start, and a launcher with no display. None of these reach a window.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/image_resources.h"
#include "app/startup.h"
#include "app/ui_state.h"
#include "app/window_procedure.h"
#include "platform/linux/linux_backend.h"
#include "platform/platform.h"
#include "script/shared_state.h"
#include "tests/support/environment.h"
#include "tests/support/message_box_recorder.h"
#include "tests/support/scratch_dir.h"

#ifndef LAUNCHER_PATH
#error "LAUNCHER_PATH must name the launcher program"
#endif

namespace {

const unsigned char NotAPicture[] = "GIF89a: certainly not a PNG";

// The carried bytes of one picture, to build tables from.
LinuxResource Carried(int id) {
    LinuxUseResourceTable(nullptr);
    LinuxResource entry{"PNG", id, nullptr, 0};
    EXPECT_EQ(PlatformFindResource("PNG", id, &entry.bytes, &entry.size), ResourceStatus::Found);
    return entry;
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        MessageBoxSink = RecordMessageBox;
        ClearRecordedBoxes();
        ResetExitRequest();
        // Cases run side by side, each a launcher: each takes the one-launcher lock of its own.
        SetEnvironment("XDG_RUNTIME_DIR", runtime_.Path());
    }
    void TearDown() override {
        LinuxUseResourceTable(nullptr);
        MessageBoxSink = PlatformMessageBox;
    }

    // Runs start-up over this table; it must end before any window is made.
    int RunWith(std::vector<LinuxResource> table) {
        table.push_back({nullptr, 0, nullptr, 0});
        table_ = table;
        LinuxUseResourceTable(table_.data());
        const int code = LauncherMain();
        EXPECT_EQ(MainWindow, nullptr);
        EXPECT_EQ(BackgroundImage, nullptr);
        EXPECT_EQ(TrackImage, nullptr);
        EXPECT_EQ(FillImage, nullptr);
        EXPECT_EQ(FrameBitmap, nullptr);
        EXPECT_FALSE(ScriptBusy.load()) << "no worker may have started";
        return code;
    }

    static void ExpectBox(size_t index, const std::wstring& text, const std::wstring& title) {
        ASSERT_GT(RecordedBoxes.size(), index);
        EXPECT_EQ(RecordedBoxes[index].text, text);
        EXPECT_EQ(RecordedBoxes[index].title, title);
        EXPECT_EQ(RecordedBoxes[index].flags, 0x10u);
        EXPECT_EQ(RecordedBoxes[index].owner, nullptr);
    }

  private:
    ScratchDir runtime_;
    std::vector<LinuxResource> table_;
};

} // namespace

TEST_F(Startup, LoaderReportsAMissingResourceById) {
    const std::vector<LinuxResource> table = {Carried(IdTrack), {nullptr, 0, nullptr, 0}};
    LinuxUseResourceTable(table.data());
    TrackImage = LoadPngResource(IdTrack);
    EXPECT_NE(TrackImage, nullptr) << "a picture that decodes is returned";
    ASSERT_TRUE(RecordedBoxes.empty());
    PlatformImage* none = LoadPngResource(-7);
    EXPECT_EQ(none, nullptr);
    ExpectBox(0, L"PNG Resource not found: ID -7", L"Resource Error");
    EXPECT_EQ(RecordedBoxes.size(), 1u);
    ShutdownGraphics();
}

TEST_F(Startup, LoaderReportsUndecodableAndTruncatedPicturesWithTheDecoderStatus) {
    const LinuxResource track = Carried(IdTrack);
    const std::vector<LinuxResource> table = {
        {"PNG", 133, NotAPicture, sizeof NotAPicture},
        {"PNG", 135, track.bytes, track.size / 2},
        {"BMP", 140, track.bytes, track.size},
        {nullptr, 0, nullptr, 0},
    };
    LinuxUseResourceTable(table.data());
    EXPECT_EQ(LoadPngResource(133), nullptr);
    EXPECT_EQ(LoadPngResource(135), nullptr);
    EXPECT_EQ(LoadPngResource(140), nullptr) << "only type PNG is looked at";
    ASSERT_EQ(RecordedBoxes.size(), 3u);
    const std::wstring prefix = L"GDI+ Bitmap::FromStream failed for resource ID ";
    for (int i = 0; i < 2; ++i) {
        const std::wstring& text = RecordedBoxes[i].text;
        const std::wstring head = prefix + (i == 0 ? L"133" : L"135") + L". Status: ";
        ASSERT_EQ(text.compare(0, head.size(), head), 0) << LinuxUtf8(text);
        const int status = std::stoi(text.substr(head.size()));
        EXPECT_NE(status, 0);
        EXPECT_EQ(text, head + std::to_wstring(status)) << "plain decimal, nothing after it";
        EXPECT_EQ(RecordedBoxes[i].title, L"GDI+ Error");
        EXPECT_EQ(RecordedBoxes[i].flags, 0x10u);
    }
    ExpectBox(2, L"PNG Resource not found: ID 140", L"Resource Error");
}

TEST_F(Startup, MissingBackgroundEndsWithOneCriticalBoxAfterTheBarMessages) {
    EXPECT_EQ(RunWith({}), 1);
    ASSERT_EQ(RecordedBoxes.size(), 3u);
    ExpectBox(0, L"PNG Resource not found: ID 133", L"Resource Error");
    ExpectBox(1, L"PNG Resource not found: ID 135", L"Resource Error");
    ExpectBox(2, L"Background PNG resource (IDB_BG) not found.", L"Critical Error");
}

TEST_F(Startup, UndecodableBackgroundEndsWithOneCriticalBoxAndNothingElse) {
    EXPECT_EQ(RunWith({Carried(IdTrack),
                       Carried(IdFill),
                       {"PNG", IdBackground, NotAPicture, sizeof NotAPicture}}),
              1);
    ASSERT_EQ(RecordedBoxes.size(), 1u);
    ExpectBox(0, L"Failed to load background PNG (IDB_BG) or GDI+ error.", L"Critical Error");
}

TEST_F(Startup, FillMessageComesBetweenTheTrackAndTheBackground) {
    LinuxResource fill = Carried(IdFill);
    fill.size = 20;
    EXPECT_EQ(RunWith({fill}), 1);
    ASSERT_EQ(RecordedBoxes.size(), 3u);
    ExpectBox(0, L"PNG Resource not found: ID 133", L"Resource Error");
    EXPECT_EQ(RecordedBoxes[1].title, L"GDI+ Error");
    EXPECT_EQ(RecordedBoxes[1].text.rfind(L"GDI+ Bitmap::FromStream failed for resource ID 135", 0),
              0u);
    ExpectBox(2, L"Background PNG resource (IDB_BG) not found.", L"Critical Error");
}

TEST(MessageLoop, ClearedBeforeTheLoopEndsAtOnceWithZero) {
    AppRunning.store(false);
    PlatformPostQuit(9); // would be taken by a wait; there must be none
    EXPECT_EQ(RunMessageLoop(), 0);
    int code = 0;
    EXPECT_TRUE(PlatformTakeQuit(&code));
    EXPECT_EQ(code, 9);
    ResetExitRequest();
}

TEST(MessageLoop, QuitRequestOfTheUiThreadEndsItWithItsCode) {
    ResetExitRequest();
    PlatformPostQuit(0);
    EXPECT_EQ(RunMessageLoop(), 0);
    PlatformPostQuit(42);
    EXPECT_EQ(RunMessageLoop(), 42);
}

// With too little address space for a thread's stack, std::thread cannot start the worker.
TEST(WorkerStart, ThreadThatCannotStartIsReportedAndRefusesTheWindow) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs far more address space than the limit leaves";
#else
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        MessageBoxSink = RecordMessageBox;
        RecordedBoxes.reserve(4);
        long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) {
            _exit(10);
        }
        std::fclose(statm);
        const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (1 << 20);
        const rlimit rl{limit, limit};
        if (setrlimit(RLIMIT_AS, &rl) != 0) {
            _exit(11);
        }
        const bool created = WindowOnCreate(nullptr);
        int failures = 0;
        failures += created ? 1 : 0;
        failures += ScriptBusy.load() ? 2 : 0;
        failures += WorkerStartFailed ? 0 : 4;
        failures += RecordedBoxes.size() == 1 ? 0 : 8;
        if (RecordedBoxes.size() == 1) {
            const RecordedBox& box = RecordedBoxes[0];
            failures += box.text == L"Failed to start the launcher script." ? 0 : 16;
            failures += box.title == L"Critical Error" && box.flags == 0x10u ? 0 : 32;
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bit set per failed expectation";
#endif
}

TEST(NoDisplay, LauncherWritesOneLineAndEndsWithOne) {
    ScratchDir scratch;
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY XDG_STATE_HOME=" + scratch.Path() +
        " " LAUNCHER_PATH " >" + (scratch / "out") + " 2>" + (scratch / "err");
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(scratch / "err"), "launcher: cannot open the display\n");
    EXPECT_EQ(ReadFile(scratch / "out"), "");
    // The log starts before the display is opened.
    const std::string log = ReadFile(scratch / "game-launcher/launcher.log");
    EXPECT_EQ(log.substr(log.find(' ', 11) + 1), "err launcher: cannot open the display\n") << log;
}
