// The Win32 process start, with a real child of ours that records its command line, working
// folder and own path: what reaches the child, the error numbers of failures, and no handle kept.
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/platform.h"
#include "tests/support/scratch_dir.h"

namespace {

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// The folder of this test program, where the build puts the recording child too.
std::string ProgramFolder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/"));
}

std::string ChildPath() {
    return ProgramFolder() + "\\win32_record_child.exe";
}

// Back slashes for comparing with what Windows reports.
std::wstring Native(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

struct Record {
    std::wstring commandLine;
    std::wstring folder;
    std::wstring program;
};

// Waits for the child's record and splits its three lines. The record is renamed into place
// whole, but the child's rename may still hold the file for a moment (Wine's does, and then a
// read fails), so the wait lasts until the record reads whole.
bool WaitForRecord(const std::string& path, Record* record) {
    std::wstring text;
    size_t first = std::wstring::npos;
    size_t second = std::wstring::npos;
    size_t third = std::wstring::npos;
    for (int waited = 0; waited < 20000 && third == std::wstring::npos; waited += 10) {
        const std::string bytes = PathExists(path) ? ReadFile(path) : "";
        text.assign(bytes.size() / 2, L'\0');
        memcpy(&text[0], bytes.data(), text.size() * 2);
        first = text.find(L'\n');
        second = first == std::wstring::npos ? first : text.find(L'\n', first + 1);
        third = second == std::wstring::npos ? second : text.find(L'\n', second + 1);
        if (third == std::wstring::npos) {
            Sleep(10);
        }
    }
    if (third == std::wstring::npos) {
        return false;
    }
    record->commandLine = text.substr(0, first);
    record->folder = text.substr(first + 1, second - first - 1);
    record->program = text.substr(second + 1, third - second - 1);
    return true;
}

class Win32Process : public ::testing::Test {
  protected:
    void SetUp() override {
        recordPath_ = scratch_ / "record.bin";
        SetEnvironmentVariableA("LAUNCHER_RECORD_FILE", recordPath_.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableA("LAUNCHER_RECORD_FILE", nullptr);
    }

    ScratchDir scratch_;
    std::string recordPath_;
};

} // namespace

TEST_F(Win32Process, WorkedExampleCommandLineReachesTheChildUnchanged) {
    const std::string commandLine = " -screen-width 1560 -screen-height 720 -force-opengl -log";
    ASSERT_EQ(commandLine.size(), 57u);
    unsigned long processId = 0;
    ASSERT_TRUE(PlatformStartProcess(ChildPath(), commandLine, scratch_.Path(), &processId))
        << "error " << processId;
    EXPECT_NE(processId, 0u);

    Record record;
    ASSERT_TRUE(WaitForRecord(recordPath_, &record));
    // The program path is the application name only; the child sees the text as given.
    EXPECT_EQ(record.commandLine, Widen(commandLine));
    EXPECT_EQ(record.folder, Native(Widen(scratch_.Path())));
}

TEST_F(Win32Process, NoOptionsGiveAnEmptyCommandLine) {
    unsigned long processId = 0;
    ASSERT_TRUE(PlatformStartProcess(ChildPath(), "", scratch_.Path(), &processId));
    Record record;
    ASSERT_TRUE(WaitForRecord(recordPath_, &record));
    // Wine puts the quoted program path in place of an empty line; either way, no options.
    const std::wstring quotedProgram = L"\"" + Native(Widen(ChildPath())) + L"\"";
    EXPECT_TRUE(record.commandLine.empty() || record.commandLine == quotedProgram)
        << "the child saw options";
}

TEST_F(Win32Process, FailuresGiveTheWindowsErrorNumber) {
    unsigned long error = 0;
    EXPECT_FALSE(PlatformStartProcess(scratch_ / "missing.exe", " -log", scratch_.Path(), &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(PlatformStartProcess(scratch_ / "missing/game.exe", "", scratch_.Path(), &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_PATH_NOT_FOUND));

    WriteFile(scratch_ / "text.exe", "this is not a program\n");
    EXPECT_FALSE(PlatformStartProcess(scratch_ / "text.exe", "", scratch_.Path(), &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_BAD_EXE_FORMAT));

    EXPECT_FALSE(PlatformStartProcess(ChildPath(), "", scratch_ / "no-such-folder", &error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_DIRECTORY));
    EXPECT_FALSE(PathExists(recordPath_)) << "a child ran after all";
}

TEST_F(Win32Process, KeepsNoHandleOfTheChild) {
    DWORD before = 0;
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    unsigned long processId = 0;
    ASSERT_TRUE(PlatformStartProcess(ChildPath(), "", scratch_.Path(), &processId));
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
    Record record;
    EXPECT_TRUE(WaitForRecord(recordPath_, &record));
}

TEST_F(Win32Process, Utf8NamesNoCodePageHoldsNameTheProgramFolderAndOptions) {
    // Korean, Chinese and a character outside the BMP: no ANSI code page holds them all.
    const std::string sample = u8"플레이어-玩家-😀";
    const std::wstring sampleWide = L"플레이어-玩家-😀";
    // The child is copied into a folder whose name holds the sample, under its wide name.
    const std::wstring wideFolder = Widen(scratch_.Path()) + L"/" + sampleWide;
    ASSERT_TRUE(CreateDirectoryW(wideFolder.c_str(), nullptr));
    const std::wstring wideProgram = wideFolder + L"/" + sampleWide + L".exe";
    ASSERT_TRUE(CopyFileW(Widen(ChildPath()).c_str(), wideProgram.c_str(), TRUE));

    const std::string folder = scratch_ / sample;
    const std::string program = folder + "/" + sample + ".exe";
    unsigned long processId = 0;
    ASSERT_TRUE(PlatformStartProcess(program, " -name " + sample, folder, &processId))
        << "error " << processId;
    Record record;
    ASSERT_TRUE(WaitForRecord(recordPath_, &record));
    EXPECT_EQ(record.commandLine, L" -name " + sampleWide);
    EXPECT_EQ(record.folder, Native(wideFolder));
    EXPECT_EQ(Native(record.program), Native(wideProgram));
}
