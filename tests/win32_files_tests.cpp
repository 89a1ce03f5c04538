// The Win32 file calls: existence tests and one-level folder creation. Names outside the code
// page: tests/win32_text_tests.cpp.
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/platform.h"
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
