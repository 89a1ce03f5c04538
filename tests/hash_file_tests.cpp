// HashFile: digests of known contents, reasons for what cannot be read, and the stop on close.
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <lua.hpp>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "script/shared_state.h"
#include "tests/support/lua_host.h"
#include "tests/support/scratch_dir.h"

namespace {

const char EmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char AbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// Of ByteRamp(), from Python's hashlib.sha256.
const char RampDigest[] = "2e5e321c61c38df2ec144156f2f70495fa0551a75f1d8cd234ffe54b01d11fba";

// Two whole blocks and a part of a third; byte i is i % 251, so no block repeats another.
std::string ByteRamp() {
    std::string bytes(2 * HashBlockSize + 12345, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

class HashFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OpenHostInterpreter();
    }
    void TearDown() override {
        CloseHostInterpreter();
        ResetExitRequest();
    }

    // "<result count>|<first>|<second>" of HashFile(path), or the error it raised.
    std::string Hash(const std::string& path) {
        SetGlobalString("P", path);
        const std::string error =
            RunChunk("local function pack(...) return select('#', ...), ... end "
                     "local n, d, r = pack(HashFile(P)) Out = n .. '|' .. tostring(d) .. '|' .. "
                     "tostring(r)");
        if (!error.empty()) {
            return error;
        }
        lua_getglobal(ScriptState, "Out");
        std::string out = lua_tostring(ScriptState, -1);
        lua_pop(ScriptState, 1);
        return out;
    }

    ScratchDir scratch;
};

#ifdef _WIN32
// The system's own text for the error, as the reason carries it: Wine words its messages
// differently from Windows ("File not found", "Access denied").
std::string SystemText(DWORD error) {
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && std::string("\r\n .").find(text[length - 1]) != std::string::npos) {
        --length;
    }
    return ": " + std::string(text, length);
}
const std::string NoSuchFile = SystemText(ERROR_FILE_NOT_FOUND);
const std::string IsAFolder = SystemText(ERROR_ACCESS_DENIED);
#else
const char NoSuchFile[] = ": No such file or directory";
const char IsAFolder[] = ": Is a directory";
#endif

} // namespace

TEST_F(HashFileTest, GivesTheKnownDigestsAcrossBlockEdges) {
    WriteFile(scratch / "empty", "");
    WriteFile(scratch / "abc", "abc");
    const std::string ramp = ByteRamp();
    WriteFile(scratch / "ramp", ramp);
    EXPECT_EQ(Hash(scratch / "empty"), std::string("1|") + EmptyDigest + "|nil");
    EXPECT_EQ(Hash(scratch / "abc"), std::string("1|") + AbcDigest + "|nil");
    EXPECT_EQ(Hash(scratch / "ramp"), std::string("1|") + RampDigest + "|nil");
    EXPECT_EQ(ReadFile(scratch / "ramp"), ramp);
}

TEST_F(HashFileTest, MissingFileAndFolderGiveNilAndAReasonNamingThem) {
    const std::string missing = scratch / "package.zip";
    EXPECT_EQ(Hash(missing), "2|nil|" + missing + NoSuchFile);
    EXPECT_FALSE(PathExists(missing));
    EXPECT_EQ(Hash(scratch.Path()), "2|nil|" + scratch.Path() + IsAFolder);

    WriteFile(missing, "abc");
    EXPECT_EQ(Hash(missing), std::string("1|") + AbcDigest + "|nil");
}

TEST_F(HashFileTest, ClosingLauncherCancelsAndAResetRunHashesAgain) {
    WriteFile(scratch / "abc", "abc");
    RequestExit(0);
    EXPECT_EQ(Hash(scratch / "abc"), "2|nil|hash cancelled: the launcher is closing");
    ResetExitRequest();
    EXPECT_EQ(Hash(scratch / "abc"), std::string("1|") + AbcDigest + "|nil");
}

#ifndef _WIN32
// A pipe hands the hash its bytes in pieces, so the close can come between two of them.
TEST_F(HashFileTest, ClosingMidFileStopsBeforeTheNextBlock) {
    const std::string fifo = scratch / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The hash may stop and close its end before the last write.
    std::signal(SIGPIPE, SIG_IGN);
    std::string result;
    std::thread worker([&] { result = Hash(fifo); });
    const int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    // Blocks until the hash has taken most of it: the hash is under way.
    const std::string piece(256 * 1024, 'x');
    ASSERT_EQ(write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    RequestExit(0);
    // Whatever read returns these bytes returns after the request, and a stop check follows it.
    (void)!write(fd, piece.data(), 4096);
    close(fd);
    worker.join();
    EXPECT_EQ(result, "2|nil|hash cancelled: the launcher is closing");
}
#endif

TEST_F(HashFileTest, PathThatIsNoStringRaisesTheArgumentError) {
    EXPECT_EQ(RunChunk("HashFile()"),
              "t:1: bad argument #1 to 'HashFile' (string expected, got no value)");
    EXPECT_EQ(RunChunk("HashFile({})"),
              "t:1: bad argument #1 to 'HashFile' (string expected, got table)");
}

// Sha256(): a download hashed as it is written gives the digest HashFile gives of the same
// bytes, however they were split and whether part of them came from a file first.
TEST_F(HashFileTest, Sha256FedInPiecesAndFromAFileGivesHashFilesDigest) {
    const std::string ramp = ByteRamp();
    const size_t kept = HashBlockSize + 7;
    WriteFile(scratch / "kept", ramp.substr(0, kept));
    SetGlobalString("P", scratch / "kept");
    SetGlobalString("REST", ramp.substr(kept));
    const std::string chunk = R"(
        local whole = assert(Sha256())
        assert(whole:update(REST:sub(1, 1)) == true)
        -- Pieces of every size, one of them empty.
        local pieces = assert(Sha256())
        assert(pieces:update_file(P) == true)
        local at = 1
        for _, size in ipairs({0, 1, 4095, 65536, 1048576}) do
            assert(pieces:update(REST:sub(at, at + size - 1)))
            at = at + size
        end
        assert(pieces:update(REST:sub(at)))
        Digest = pieces:hexdigest()
        Empty = assert(Sha256()):hexdigest()
        Abc = Sha256()
        -- A digest so far leaves the hash open, and what follows counts as if it had not been asked.
        Abc:update("a") A = Abc:hexdigest_so_far() Abc:update("bc")
        Abc = Abc:hexdigest()
        -- Finished: nothing more is taken, and a second digest is refused too.
        LateOk, LateReason = pieces:update("x")
        AgainOk, AgainReason = pieces:hexdigest()
        SoFarOk, SoFarReason = pieces:hexdigest_so_far()
        -- A file that cannot be read: nil and HashFile's reason.
        MissingOk, MissingReason = assert(Sha256()):update_file(P .. ".missing")
    )";
    ASSERT_EQ(RunChunk(chunk), "");
    const auto global = [](const char* name) {
        lua_getglobal(ScriptState, name);
        const char* text = lua_tostring(ScriptState, -1);
        std::string value = text != nullptr ? text : "(nil)";
        lua_pop(ScriptState, 1);
        return value;
    };
    EXPECT_EQ(global("Digest"), RampDigest);
    EXPECT_EQ(global("Empty"), EmptyDigest);
    EXPECT_EQ(global("Abc"), AbcDigest);
    EXPECT_EQ(global("A"), "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb");
    EXPECT_EQ(global("LateOk"), "(nil)");
    EXPECT_EQ(global("LateReason"), "the hash is finished");
    EXPECT_EQ(global("AgainOk"), "(nil)");
    EXPECT_EQ(global("AgainReason"), "the hash is finished");
    EXPECT_EQ(global("SoFarOk"), "(nil)");
    EXPECT_EQ(global("SoFarReason"), "the hash is finished");
    EXPECT_EQ(global("MissingOk"), "(nil)");
    EXPECT_EQ(global("MissingReason"), scratch / "kept.missing" + NoSuchFile);

    RequestExit(0);
    EXPECT_EQ(RunChunk("local ok, reason = assert(Sha256()):update_file(P) "
                       "assert(ok == nil and reason == 'hash cancelled: the launcher is closing')"),
              "");
    EXPECT_NE(RunChunk("Sha256():update()"), "") << "bytes that are no string are refused";
}
