// The Win32 file calls: existence tests and one-level folder creation; files held by another
// program, told apart and waited for. Names outside the code page: tests/win32_text_tests.cpp.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "actions/entry_file.h"
#include "app/status_line.h"
#include "platform/platform.h"
#include "script/shared_state.h"
#include "tests/support/scratch_dir.h"

namespace {

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace

TEST(Win32Files, PathExistsForFilesAndFoldersOnly) {
    ScratchDir scratch;
    WriteFile(scratch / "file.txt", "x");
    EXPECT_TRUE(PlatformPathExists(scratch.Path()));
    EXPECT_TRUE(PlatformPathExists(scratch / "file.txt"));
    EXPECT_FALSE(PlatformPathExists(scratch / "missing"));
    EXPECT_FALSE(PlatformPathExists(scratch / "missing/below"));
    EXPECT_FALSE(PlatformPathExists(""));
}

TEST(Win32Files, CreateFolderMakesOneLevelAndReportsWhyItCannot) {
    ScratchDir scratch;
    EXPECT_TRUE(PlatformCreateFolder(scratch / "one"));
    EXPECT_TRUE(PathExists(scratch / "one"));
    EXPECT_TRUE(PlatformCreateFolder(scratch / "one/two"));

    // No parents are made.
    EXPECT_FALSE(PlatformCreateFolder(scratch / "a/b"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(PathExists(scratch / "a"));

    // An existing folder, or a file in the way, is a failure the caller sees.
    EXPECT_FALSE(PlatformCreateFolder(scratch / "one"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    WriteFile(scratch / "file", "");
    EXPECT_FALSE(PlatformCreateFolder(scratch / "file"));
}

namespace {

// The file opened as a program that shares nothing holds it (an antivirus scan, a running client
// on real Windows); INVALID_HANDLE_VALUE when it cannot be.
HANDLE HoldWithoutSharing(const std::string& path) {
    return CreateFileW(Widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Waits, as the UI thread would, until the status line shows text; false after 60 s.
bool StatusShows(const std::wstring& text) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (TakeStatus() != text) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

const std::wstring BusyStatus = L"文件被占用：game.exe，请关闭游戏…";

} // namespace

// Only a file another program holds is busy: one that is read-only or a folder would refuse for
// ever, and is reported at once with the system's words.
TEST(Win32Files, CreateOutputFileSaysWhetherAnotherProgramHoldsTheFile) {
    ScratchDir scratch;
    const std::string held = scratch / "held.exe";
    WriteFile(held, "old");
    const HANDLE holder = HoldWithoutSharing(held);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    bool busy = false;
    std::string reason;
    EXPECT_EQ(PlatformCreateOutputFile(held, &busy, &reason), nullptr);
    EXPECT_TRUE(busy);
    EXPECT_EQ(reason.rfind(held + ": ", 0), 0u) << reason;
    EXPECT_GT(reason.size(), held.size() + 2) << "the system's words follow";
    CloseHandle(holder);

    // A folder in the file's place: access denied, as for a held file, but for ever.
    ASSERT_TRUE(PlatformCreateFolder(scratch / "folder"));
    busy = true;
    EXPECT_EQ(PlatformCreateOutputFile(scratch / "folder", &busy, &reason), nullptr);
    EXPECT_FALSE(busy);
    EXPECT_EQ(reason.rfind(scratch / "folder: ", 0), 0u) << reason;
    // Not waited for: OpenEntryFile gives up at once.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenEntryFile(scratch / "folder", &reason), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    // A read-only file answers access denied on Windows. Wine run as root writes it (the Unix
    // permission does not stop root), so there only the folder above shows the rule.
    const std::string readOnly = scratch / "read-only.txt";
    WriteFile(readOnly, "old");
    ASSERT_TRUE(SetFileAttributesW(Widen(readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
    busy = true;
    PlatformOutputFile* written = PlatformCreateOutputFile(readOnly, &busy, &reason);
    if (written != nullptr) {
        PlatformCloseOutputFile(written, false, &reason);
    } else {
        EXPECT_FALSE(busy) << reason;
    }
    SetFileAttributesW(Widen(readOnly).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// An entry's file held without sharing is waited for with the file named on the status line:
// let go, it is written and the status line shows what it showed before; held while the
// launcher closes, the wait ends at once and nothing is written.
TEST(Win32Files, EntryFileHeldByAnotherProgramIsWaitedForUntilLetGoOrTheClose) {
    ScratchDir scratch;
    const std::string path = scratch / "game.exe";
    WriteFile(path, "old");
    HandOverStatus(L"正在解压 40%");
    {
        const HANDLE holder = HoldWithoutSharing(path);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        PlatformOutputFile* out = nullptr;
        std::string reason;
        std::thread extracting([&] { out = OpenEntryFile(path, &reason); });
        const bool shown = StatusShows(BusyStatus);
        CloseHandle(holder);
        extracting.join();
        ASSERT_TRUE(shown) << "the status line did not name the file";
        ASSERT_NE(out, nullptr) << reason;
        ASSERT_TRUE(PlatformWriteOutputFile(out, "new", 3, &reason)) << reason;
        ASSERT_TRUE(PlatformCloseOutputFile(out, true, &reason)) << reason;
        ASSERT_TRUE(PlatformFlushWrites(scratch.Path(), &reason)) << reason;
        EXPECT_EQ(ReadFile(path), "new");
        EXPECT_TRUE(StatusShows(L"正在解压 40%")) << "the step's own text is back";
    }
    {
        const HANDLE holder = HoldWithoutSharing(path);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        PlatformOutputFile* out = nullptr;
        std::string reason;
        std::thread extracting([&] { out = OpenEntryFile(path, &reason); });
        const bool shown = StatusShows(BusyStatus);
        const auto closed = std::chrono::steady_clock::now();
        RequestExit(0);
        extracting.join();
        const auto took = std::chrono::steady_clock::now() - closed;
        ResetExitRequest();
        CloseHandle(holder);
        EXPECT_TRUE(shown);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(reason, path + ": not written: the launcher is closing");
        EXPECT_LT(took, std::chrono::seconds(5)) << "the close did not end the wait";
        EXPECT_EQ(ReadFile(path), "new");
    }
}

// Files closed as durable keep their handles until a flusher thread, or PlatformFlushWrites at
// the latest, has flushed and closed them; never more than 512 at once: beyond that the closing
// call flushes the oldest. A held file cannot be removed (its handle does not share deletion), so
// the oldest can be, whatever the flusher thread has reached, and all of them after the flush.
TEST(Win32Files, DurableFilesAreHeldBoundedAndAllFlushedBeforeFlushWritesReturns) {
    ScratchDir scratch;
    const int count = 600;
    const auto name = [&scratch](int i) { return scratch / ("f" + std::to_string(i)); };
    for (int i = 0; i < count; ++i) {
        std::string reason;
        bool busy = false;
        PlatformOutputFile* file = PlatformCreateOutputFile(name(i), &busy, &reason);
        ASSERT_NE(file, nullptr) << reason;
        const std::string bytes = "file " + std::to_string(i);
        ASSERT_TRUE(PlatformWriteOutputFile(file, bytes.data(), bytes.size(), &reason)) << reason;
        ASSERT_TRUE(PlatformCloseOutputFile(file, true, &reason)) << reason;
    }
    EXPECT_TRUE(PlatformRemoveFile(name(0)));
    EXPECT_TRUE(PlatformRemoveFile(name(count - 513)));
    std::string reason;
    EXPECT_TRUE(PlatformFlushWrites(scratch.Path(), &reason)) << reason;
    for (int i = count - 512; i < count; ++i) {
        EXPECT_EQ(ReadFile(name(i)), "file " + std::to_string(i));
        EXPECT_TRUE(PlatformRemoveFile(name(i))) << i;
    }

    // A failed extraction lets go of its held files without waiting for them.
    for (int i = 0; i < 3; ++i) {
        bool busy = false;
        PlatformOutputFile* file = PlatformCreateOutputFile(name(i), &busy, &reason);
        ASSERT_NE(file, nullptr) << reason;
        ASSERT_TRUE(PlatformCloseOutputFile(file, true, &reason));
    }
    PlatformDropWrites();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(PlatformRemoveFile(name(i))) << i;
    }
    EXPECT_TRUE(PlatformFlushWrites(scratch.Path(), &reason)) << reason;
}
