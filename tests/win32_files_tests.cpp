// The Win32 file calls: existence tests and one-level folder creation, on narrow paths read in the
// ANSI code page.
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/platform.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/win32_ansi_sample.h"

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

TEST(Win32AnsiCodePage, FolderNameBytesAreReadInTheAnsiCodePage) {
    const AnsiSample sample = AnsiSampleName();
    if (sample.bytes.empty()) {
        GTEST_SKIP() << "no sample name for code page " << GetACP();
    }
    ScratchDir scratch;
    const std::string narrow = scratch / sample.bytes;
    const std::wstring wide = Widen(scratch.Path()) + L"/" + sample.text;

    ASSERT_TRUE(PlatformCreateFolder(narrow));
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "the folder got another name";
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(PlatformPathExists(narrow));
}

TEST(Win32AnsiCodePage, FileMadeWithItsWideNameIsFoundByItsBytes) {
    const AnsiSample sample = AnsiSampleName();
    if (sample.bytes.empty()) {
        GTEST_SKIP() << "no sample name for code page " << GetACP();
    }
    ScratchDir scratch;
    const std::wstring wide = Widen(scratch.Path()) + L"/" + sample.text + L".txt";
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(PlatformPathExists(scratch / (sample.bytes + ".txt")));
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
        PlatformOutputFile* file = PlatformCreateOutputFile(name(i));
        ASSERT_NE(file, nullptr);
        std::string reason;
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
        PlatformOutputFile* file = PlatformCreateOutputFile(name(i));
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(PlatformCloseOutputFile(file, true, &reason));
    }
    PlatformDropWrites();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(PlatformRemoveFile(name(i))) << i;
    }
    EXPECT_TRUE(PlatformFlushWrites(scratch.Path(), &reason)) << reason;
}
