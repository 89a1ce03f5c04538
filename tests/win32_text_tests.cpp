// Windows names and sizes: UTF-8 paths that no ANSI code page holds reach the file system through
// every call the launcher makes (the platform's, the script's io and os functions, the hash), long
// paths take the \\?\ form, zip entry names are read by their UTF-8 flag, and files and archives
// past 4 GiB (sparse, so they cost no disk) are sized, appended to and read where they end.
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <lua.hpp>
#include <unzip.h>
#include <windows.h>
#include <zlib.h>

#include "actions/hash_file.h"
#include "actions/unzip.h"
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "script/shared_state.h"
#include "tests/support/lua_host.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/win32_ansi_sample.h"
#include "tests/support/zip_builder.h"

namespace {

// Korean, Chinese, Cyrillic and a character outside the BMP: no ANSI code page holds them all.
const std::string SampleUtf8 = u8"플레이어-玩家-игрок-\U0001F600";
const std::wstring SampleWide = L"플레이어-玩家-игрок-\U0001F600";
const uint64_t GiB = 1ull << 30;

std::wstring Wide(const std::string& utf8) {
    std::wstring wide;
    EXPECT_TRUE(Win32WideFromUtf8(utf8, &wide)) << utf8;
    return wide;
}

bool IsFolderW(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string ReadFileW(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "(missing)";
    }
    std::string bytes(4096, '\0');
    DWORD got = 0;
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

// Makes a sparse file of the given size whose last bytes are tail; under Wine on Linux the hole
// takes no disk.
void MakeSparseFile(const std::wstring& path, uint64_t size, const std::string& tail) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size - tail.size());
    ASSERT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr));
    CloseHandle(file);
}

uint64_t FileSizeW(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void Put16(std::string* out, unsigned value) {
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string* out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void Put64(std::string* out, uint64_t value) {
    Put32(out, static_cast<uint32_t>(value));
    Put32(out, static_cast<uint32_t>(value >> 32));
}

// A stored Zip64 archive, as Python's zipfile writes one: "big.bin" of bigSize zero bytes (a hole
// on disk), then "after.txt" holding text, whose local header lies past 4 GiB.
void MakeArchivePast4GiB(const std::wstring& path, uint64_t bigSize, const std::string& text) {
    const uint32_t textCrc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
    std::string bigHeader;
    Put32(&bigHeader, 0x04034b50);
    Put16(&bigHeader, 45);
    Put16(&bigHeader, 0); // flags
    Put16(&bigHeader, 0); // stored
    Put16(&bigHeader, 0);
    Put16(&bigHeader, 0x21); // 1980-01-01
    Put32(&bigHeader, 0);    // its CRC: never read to its end here
    Put32(&bigHeader, 0xFFFFFFFF);
    Put32(&bigHeader, 0xFFFFFFFF);
    Put16(&bigHeader, 7);
    Put16(&bigHeader, 20);
    bigHeader += "big.bin";
    Put16(&bigHeader, 1);
    Put16(&bigHeader, 16);
    Put64(&bigHeader, bigSize);
    Put64(&bigHeader, bigSize);
    const uint64_t afterOffset = bigHeader.size() + bigSize;

    std::string rest;
    Put32(&rest, 0x04034b50);
    Put16(&rest, 20);
    Put16(&rest, 0);
    Put16(&rest, 0);
    Put16(&rest, 0);
    Put16(&rest, 0x21);
    Put32(&rest, textCrc);
    Put32(&rest, static_cast<uint32_t>(text.size()));
    Put32(&rest, static_cast<uint32_t>(text.size()));
    Put16(&rest, 9);
    Put16(&rest, 0);
    rest += "after.txt" + text;
    const uint64_t directoryOffset = afterOffset + rest.size();

    std::string directory;
    for (int entry = 0; entry < 2; ++entry) {
        const bool big = entry == 0;
        Put32(&directory, 0x02014b50);
        Put16(&directory, 45);
        Put16(&directory, 45);
        Put16(&directory, 0);
        Put16(&directory, 0);
        Put16(&directory, 0);
        Put16(&directory, 0x21);
        Put32(&directory, big ? 0 : textCrc);
        Put32(&directory, big ? 0xFFFFFFFF : static_cast<uint32_t>(text.size()));
        Put32(&directory, big ? 0xFFFFFFFF : static_cast<uint32_t>(text.size()));
        Put16(&directory, big ? 7 : 9);
        Put16(&directory, big ? 20 : 12);
        Put16(&directory, 0);
        Put16(&directory, 0);
        Put16(&directory, 0);
        Put32(&directory, 0);
        Put32(&directory, big ? 0 : 0xFFFFFFFF);
        directory += big ? "big.bin" : "after.txt";
        Put16(&directory, 1);
        if (big) {
            Put16(&directory, 16);
            Put64(&directory, bigSize);
            Put64(&directory, bigSize);
        } else {
            Put16(&directory, 8);
            Put64(&directory, afterOffset);
        }
    }
    const uint64_t endRecordOffset = directoryOffset + directory.size();
    std::string end = directory;
    Put32(&end, 0x06064b50);
    Put64(&end, 44);
    Put16(&end, 45);
    Put16(&end, 45);
    Put32(&end, 0);
    Put32(&end, 0);
    Put64(&end, 2);
    Put64(&end, 2);
    Put64(&end, directory.size());
    Put64(&end, directoryOffset);
    Put32(&end, 0x07064b50);
    Put32(&end, 0);
    Put64(&end, endRecordOffset);
    Put32(&end, 1);
    Put32(&end, 0x06054b50);
    Put16(&end, 0);
    Put16(&end, 0);
    Put16(&end, 2);
    Put16(&end, 2);
    Put32(&end, 0xFFFFFFFF);
    Put32(&end, 0xFFFFFFFF);
    Put16(&end, 0);

    MakeSparseFile(path, directoryOffset + end.size(), rest + end);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bigHeader.data(), static_cast<DWORD>(bigHeader.size()), &written, nullptr);
    CloseHandle(file);
}

class Win32Text : public ::testing::Test {
  protected:
    void SetUp() override {
        OpenHostInterpreter();
    }
    void TearDown() override {
        CloseHostInterpreter();
    }

    ScratchDir scratch_;
};

} // namespace

TEST_F(Win32Text, NamesNoCodePageHoldsReachTheFileSystemThroughEveryCall) {
    const std::string folder = scratch_ / SampleUtf8;
    const std::string file = folder + "/" + SampleUtf8 + ".txt";
    const std::wstring wideFolder = Wide(folder);

    // The platform's calls, as the extraction makes them.
    ASSERT_TRUE(PlatformCreateFolder(folder));
    EXPECT_TRUE(IsFolderW(wideFolder)) << "the folder got another name";
    bool busy = false;
    std::string reason;
    PlatformOutputFile* out = PlatformCreateOutputFile(file, &busy, &reason);
    ASSERT_NE(out, nullptr) << reason;
    EXPECT_TRUE(PlatformWriteOutputFile(out, "abc", 3, &reason)) << reason;
    EXPECT_TRUE(PlatformCloseOutputFile(out, false, &reason)) << reason;
    EXPECT_EQ(ReadFileW(Wide(file)), "abc");
    EXPECT_TRUE(PlatformPathExists(file));

    // The hash, and a failure reason that names the path as it was given.
    unsigned char digest[Sha256Size];
    EXPECT_EQ(HashFileSha256(
                  file, [] { return false; }, digest, &reason),
              HashStatus::Done)
        << reason;
    EXPECT_EQ(HashFileSha256(
                  folder + "/missing", [] { return false; }, digest, &reason),
              HashStatus::Failed);
    EXPECT_EQ(reason.rfind(folder + "/missing: ", 0), 0u) << reason;

    // The script's io and os functions, on the same names.
    ASSERT_TRUE(SetEnvironmentVariableW(L"LAUNCHER_TEST_SAMPLE", SampleWide.c_str()));
    SetGlobalString("Folder", folder);
    SetGlobalString("Sample", SampleUtf8);
    EXPECT_EQ(
        RunChunk("assert(os.getenv('LAUNCHER_TEST_SAMPLE') == Sample)\n"
                 "assert(os.getenv('LAUNCHER_TEST_UNSET') == nil)\n"
                 "local name = Folder .. '/' .. Sample .. '.txt'\n"
                 "local f = assert(io.open(name, 'rb'))\n"
                 "assert(f:read('*a') == 'abc')\n"
                 "assert(f:close())\n"
                 "local w = assert(io.open(name, 'ab'))\n"
                 "assert(w:write('def'))\n"
                 "assert(w:close())\n"
                 "assert(os.rename(name, Folder .. '/' .. Sample .. '.moved') == true)\n"
                 "local gone, why, number = io.open(name, 'rb')\n"
                 "assert(gone == nil and why == name .. ': No such file or directory'\n"
                 "       and number == 2, why)\n"
                 "local ok, removeWhy = os.remove(name)\n"
                 "assert(ok == nil and removeWhy == name .. ': No such file or directory')\n"),
        "");
    const std::wstring moved = wideFolder + L"/" + SampleWide + L".moved";
    EXPECT_EQ(ReadFileW(moved), "abcdef");
    EXPECT_EQ(RunChunk("assert(os.remove(Folder .. '/' .. Sample .. '.moved') == true)"), "");
    EXPECT_EQ(GetFileAttributesW(moved.c_str()), INVALID_FILE_ATTRIBUTES);

    // Bytes that are not UTF-8 name no file at all rather than another one (EILSEQ, 42).
    EXPECT_FALSE(PlatformCreateFolder(scratch_ / "\xC4\xE3"));
    EXPECT_EQ(RunChunk("local f, why, number = io.open(Folder .. '/\\196\\227', 'wb')\n"
                       "assert(f == nil and number == 42 and why:sub(1, #Folder) == Folder, why)"),
              "");
}

TEST_F(Win32Text, LongPathsTakeTheLongFormNormalised) {
    std::wstring wide;
    ASSERT_TRUE(Win32WidePath("C:/short/name.txt", &wide));
    EXPECT_EQ(wide, L"C:/short/name.txt") << "short paths are left as they are";

    const std::string segment(60, 'a');
    std::string path = scratch_.Path();
    for (int level = 0; level < 5; ++level) {
        path += "/" + segment;
        ASSERT_TRUE(PlatformCreateFolder(path)) << path.size();
    }
    const std::string file = path + "/x/../" + SampleUtf8 + ".txt";
    ASSERT_TRUE(Win32WidePath(file, &wide));
    EXPECT_EQ(wide.compare(0, 4, L"\\\\?\\"), 0) << "not in the long form";
    EXPECT_EQ(wide.find(L'/'), std::wstring::npos) << "the long form takes no '/'";
    EXPECT_EQ(wide.find(L"\\x\\..\\"), std::wstring::npos) << "nor '..'";
    bool busy = false;
    std::string reason;
    PlatformOutputFile* out = PlatformCreateOutputFile(file, &busy, &reason);
    ASSERT_NE(out, nullptr) << reason;
    EXPECT_TRUE(PlatformCloseOutputFile(out, false, &reason)) << reason;
    EXPECT_TRUE(PlatformPathExists(path + "/" + SampleUtf8 + ".txt"));
}

// The size of a kept archive past 4 GiB, appending to it and reading where it ends: Lua's own seek
// counts in a 32-bit long here and gave nil or -1.
TEST_F(Win32Text, ScriptSeeksAndAppendsPast4GiB) {
    const std::string file = scratch_ / (SampleUtf8 + ".zip");
    const uint64_t size = 5 * GiB + 3;
    MakeSparseFile(Wide(file), size, "end");
    SetGlobalString("Name", file);
    EXPECT_EQ(RunChunk("local f = assert(io.open(Name, 'ab'))\n"
                       "local size = f:seek('end')\n"
                       "assert(size == 5 * 2^30 + 3, tostring(size))\n"
                       "assert(f:write('tail'))\n"
                       "assert(f:close())\n"
                       "local r = assert(io.open(Name, 'rb'))\n"
                       "assert(r:seek('set', 5 * 2^30) == 5 * 2^30)\n"
                       "assert(r:read('*a') == 'endtail')\n"
                       "assert(r:seek('cur') == 5 * 2^30 + 7)\n"
                       "assert(r:seek('end', -4) == 5 * 2^30 + 3)\n"
                       "local bad, why = r:seek('set', -1)\n"
                       "assert(bad == nil and why == 'Invalid argument', why)\n"
                       "r:close()\n"
                       "assert(not pcall(r.seek, r))"),
              "");
    EXPECT_EQ(FileSizeW(Wide(file)), size + 4);
}

// minizip as built for Windows cuts its seek offsets to 32 bits through the C runtime; the
// archive's central directory past 4 GiB, and an entry there, are found and read whole.
TEST_F(Win32Text, ArchivePast4GiBOpensAndItsLastEntryReads) {
    const std::string path = scratch_ / (SampleUtf8 + ".zip");
    const uint64_t bigSize = 4 * GiB + 16;
    MakeArchivePast4GiB(Wide(path), bigSize, "after 4 GiB");
    unzFile archive = PlatformOpenZip(path);
    ASSERT_NE(archive, nullptr);
    unz_global_info64 global = {};
    ASSERT_EQ(unzGetGlobalInfo64(archive, &global), UNZ_OK);
    EXPECT_EQ(global.number_entry, 2u);
    unz_file_info64 info = {};
    ASSERT_EQ(unzGoToFirstFile(archive), UNZ_OK);
    ASSERT_EQ(unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0), UNZ_OK);
    EXPECT_EQ(info.uncompressed_size, bigSize);
    ASSERT_EQ(unzLocateFile(archive, "after.txt", 1), UNZ_OK);
    ASSERT_EQ(unzOpenCurrentFile(archive), UNZ_OK);
    char text[64] = {};
    EXPECT_EQ(unzReadCurrentFile(archive, text, sizeof text), 11);
    EXPECT_STREQ(text, "after 4 GiB");
    EXPECT_EQ(unzCloseCurrentFile(archive), UNZ_OK) << "CRC";
    unzClose(archive);
}

// Also run in code page 936 (ctest: win32_text_in_code_page_936): a name flagged UTF-8 comes out
// as its UTF-8 says whatever the code page, one without the flag as the code page reads it, and
// the GBK trail byte 0x5C in it stays part of its character.
TEST_F(Win32Text, AnyCodePageEntryNamesAreReadByTheirUtf8Flag) {
    const AnsiSample sample = AnsiSampleName();
    if (sample.bytes.empty()) {
        GTEST_SKIP() << "no sample name for code page " << GetACP();
    }
    ZipEntry flagged = ZipFile(u8"数据/" + SampleUtf8 + ".txt", "flagged", false);
    flagged.utf8Name = true;
    // "数" in GBK is 0xCA 0xFD; "\xD5\x5C" (a character whose trail byte is a backslash) only
    // where GBK reads it.
    const std::string trail = GetACP() == 936 ? "\xD5\x5C" : "";
    const std::wstring trailWide = GetACP() == 936 ? L"\u8aa0" : L"";
    const std::string archive = scratch_ / "names.zip";
    WriteZip(archive, {flagged, ZipFile("old/" + sample.bytes + trail + ".txt", "unflagged")});
    const std::string out = scratch_ / "out";
    ASSERT_TRUE(ExtractZip(archive, out, nullptr, nullptr, ExtractFlush::None));
    const std::wstring wideOut = Wide(out);
    EXPECT_EQ(ReadFileW(wideOut + L"/数据/" + SampleWide + L".txt"), "flagged");
    EXPECT_EQ(ReadFileW(wideOut + L"/old/" + sample.text + trailWide + L".txt"), "unflagged");
}
