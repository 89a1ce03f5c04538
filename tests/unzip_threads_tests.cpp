// The extraction on several threads, on real archives: the first damage in archive order is the
// one reported whichever thread saw it, nothing after it counts as done, a close stops every
// thread at its next block and starts no other entry, and any number of threads gives the same
// tree, byte for byte and mode for mode. Also built with ThreadSanitizer (docs/testing.md).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "actions/unzip.h"
#include "script/shared_state.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_builder.h"

namespace fs = std::filesystem;

namespace {

// Text that deflates, different for each seed.
std::string Bytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>("abcdefgh\n"[(state >> 16) % 9]);
    }
    return bytes;
}

// Every file and folder below root, relative, with its bytes (folders: "<folder>") and, on
// Linux, its permission bits.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string path = item.path().string();
        std::string what = item.is_directory() ? "<folder>" : ReadFile(path);
#ifndef _WIN32
        struct stat info;
        stat(path.c_str(), &info);
        what += " mode " + std::to_string(info.st_mode & 07777);
#endif
        tree[fs::relative(item.path(), root).generic_string()] = what;
    }
    return tree;
}

// What the progress callable got.
struct Progress {
    std::vector<float> seen;
    std::function<void(float)> Callable() {
        return [this](float fraction) { seen.push_back(fraction); };
    }
};

} // namespace

// Entry 150 of 400 is large and breaks near its end; meanwhile the other threads finish the small
// entries after it, and entry 300 fails its CRC, so they usually see a failure first. Entry 150 is
// the one reported, every entry before it is reported done, none after, and none after it is
// left on the disk; the fixed archive then installs whole.
TEST(UnzipThreads, FirstDamageInArchiveOrderIsReportedAndTheNextRunInstalls) {
    ScratchDir scratch;
    const std::string zip = scratch / "package.zip";
    const std::string out = scratch / "out";
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 400; ++i) {
        const std::string folder = "data" + std::to_string(i / 50) + "/";
        entries.push_back(ZipFile(folder + "file" + std::to_string(i) + ".txt",
                                  Bytes(i == 150 ? 4u << 20 : 2000, i)));
    }
    const std::vector<ZipEntry> whole = entries;
    entries[150].breakAfter = (4u << 20) - 100000;
    WriteZip(zip, entries);
    SetEntryCrc(zip, entries[300].name, 0x12345678);

    for (unsigned threads : {2u, 8u}) {
        SCOPED_TRACE(threads);
        fs::remove_all(out);
        Progress progress;
        OutputCapture capture;
        std::string failure;
        const bool extracted =
            ExtractZip(zip, out, progress.Callable(), &failure, ExtractFlush::None, threads);
        capture.Stop();
        EXPECT_FALSE(extracted);
        EXPECT_EQ(failure.substr(0, failure.find(" after ")),
                  "Failed to extract file: data3/file150.txt: data cannot be read");
        EXPECT_EQ(capture.Err(), failure + "\n");
        ASSERT_EQ(progress.seen.size(), 150u);
        for (size_t i = 0; i < progress.seen.size(); ++i) {
            EXPECT_EQ(progress.seen[i], static_cast<float>(i + 1) / 400.0f);
        }
        EXPECT_EQ(ReadFile(out + "/data2/file149.txt"), whole[149].data);
        // Nothing after the first failure stays, whichever thread finished it.
        for (int i = 150; i < 400; ++i) {
            EXPECT_FALSE(PathExists(out + "/" + whole[i].name)) << whole[i].name;
        }
    }

    WriteZip(zip, whole);
    Progress progress;
    EXPECT_TRUE(ExtractZip(zip, out, progress.Callable(), nullptr, ExtractFlush::ToDisk, 4));
    EXPECT_EQ(progress.seen.size(), 400u);
    EXPECT_EQ(progress.seen.back(), 1.0f);
    for (const ZipEntry& entry : whole) {
        EXPECT_EQ(ReadFile(out + "/" + entry.name), entry.data) << entry.name;
    }
}

// One thread and eight give the same files, folders, bytes and modes, and both match the
// archive.
TEST(UnzipThreads, AnyNumberOfThreadsGivesTheSameTree) {
    ScratchDir scratch;
    const std::string zip = scratch / "package.zip";
    std::vector<ZipEntry> entries = {ZipFolder("bin/"), ZipFolder("empty/")};
    for (int i = 0; i < 200; ++i) {
        // Sizes from nothing to several read buffers; some stored; some with modes.
        ZipEntry entry = ZipFile("d" + std::to_string(i % 7) + "/sub" + std::to_string(i % 3) +
                                     "/f" + std::to_string(i),
                                 Bytes(static_cast<size_t>(i) * i * 7 % 200000, i), i % 5 != 0);
        if (i % 4 == 0) {
            entry.unixMode = i % 8 == 0 ? 0755 : 0640;
        }
        entries.push_back(entry);
    }
    ZipEntry program = ZipFile("bin/client", "#!/bin/sh\n");
    program.unixMode = 0755;
    entries.push_back(program);
    WriteZip(zip, entries);

    std::map<std::string, std::string> trees[2];
    const unsigned threads[2] = {1, 8};
    for (int run = 0; run < 2; ++run) {
        const std::string out = scratch / ("out" + std::to_string(run));
        Progress progress;
        OutputCapture capture;
        EXPECT_TRUE(
            ExtractZip(zip, out, progress.Callable(), nullptr, ExtractFlush::None, threads[run]));
        capture.Stop();
        EXPECT_EQ(capture.Err(), "");
        EXPECT_EQ(progress.seen.size(), entries.size());
        trees[run] = Tree(out);
    }
    EXPECT_TRUE(trees[0] == trees[1]);
    for (const ZipEntry& entry : entries) {
        const std::string name =
            entry.name.back() == '/' ? entry.name.substr(0, entry.name.size() - 1) : entry.name;
        const std::string what = trees[1][name];
        EXPECT_EQ(what.substr(0, what.rfind(" mode ")),
                  entry.name.back() == '/' ? "<folder>" : entry.data)
            << name;
    }
#ifndef _WIN32
    EXPECT_EQ(trees[1]["bin/client"], "#!/bin/sh\n mode " + std::to_string(0755));
#endif
}

// An archive may name a file twice (appended updates do); extracted in order, the later entry
// wins, and so it does here: two threads writing the one file at once would mix them.
TEST(UnzipThreads, FileNamedTwiceEndsAsItsLastEntry) {
    ScratchDir scratch;
    const std::string zip = scratch / "package.zip";
    const std::string out = scratch / "out";
    // Eight in a row, so that eight threads would write it at once.
    std::vector<ZipEntry> entries;
    for (char version = 'a'; version <= 'h'; ++version) {
        entries.push_back(ZipFile("data/dup.bin", std::string(2u << 20, version)));
    }
    for (int i = 0; i < 20; ++i) {
        entries.push_back(ZipFile("data/f" + std::to_string(i), Bytes(1000, i)));
    }
    WriteZip(zip, entries);
    Progress progress;
    EXPECT_TRUE(ExtractZip(zip, out, progress.Callable(), nullptr, ExtractFlush::None, 8));
    EXPECT_EQ(progress.seen.size(), entries.size());
    EXPECT_TRUE(ReadFile(out + "/data/dup.bin") == entries[7].data);
}

#ifndef _WIN32
// Four threads each held inside a large entry (FIFOs at their paths, read by the test), the
// launcher closes: each stops at its next block, no entry after the four is started, nothing is
// reported done, and the next run installs whole.
TEST(UnzipThreads, CloseStopsEveryThreadAtItsNextBlockAndStartsNothingMore) {
    ScratchDir scratch;
    const std::string zip = scratch / "package.zip";
    const std::string out = scratch / "out";
    const std::string large(8u << 20, 'x');
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 4; ++i) {
        entries.push_back(ZipFile("large" + std::to_string(i), large));
    }
    for (int i = 0; i < 20; ++i) {
        entries.push_back(ZipFile("after" + std::to_string(i), "later"));
    }
    WriteZip(zip, entries);
    fs::create_directories(out);

    constexpr int Held = 4;
    std::mutex mutex;
    std::condition_variable allBegun;
    int begun = 0;
    size_t arrived[Held] = {};
    int readEnds[Held];
    std::vector<std::thread> readers;
    for (int i = 0; i < Held; ++i) {
        const std::string fifo = out + "/large" + std::to_string(i);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Opened here, so the extraction's open never waits.
        readEnds[i] = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(readEnds[i], 0);
    }
    for (int i = 0; i < Held; ++i) {
        readers.emplace_back([&, i] {
            std::vector<char> block(1 << 16);
            pollfd wait = {readEnds[i], POLLIN, 0};
            while (poll(&wait, 1, -1) >= 0) {
                const ssize_t n = read(readEnds[i], block.data(), block.size());
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    break;
                }
                if (n <= 0) {
                    continue;
                }
                if (arrived[i] == 0) {
                    // Each writer waits on its full pipe until every thread is inside its entry;
                    // then the launcher closes. A thread that never came fails the test below
                    // rather than holding it.
                    std::unique_lock<std::mutex> lock(mutex);
                    if (++begun == Held) {
                        RequestExit(0);
                        allBegun.notify_all();
                    }
                    allBegun.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return begun == Held; });
                    RequestExit(0);
                }
                arrived[i] += static_cast<size_t>(n);
            }
        });
    }
    Progress progress;
    OutputCapture capture;
    const bool extracted =
        ExtractZip(zip, out, progress.Callable(), nullptr, ExtractFlush::ToDisk, Held);
    capture.Stop();
    for (int i = 0; i < Held; ++i) {
        // A writer that comes and goes ends a reader even if the extraction never opened it.
        close(open((out + "/large" + std::to_string(i)).c_str(), O_WRONLY | O_NONBLOCK));
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_FALSE(extracted);
    EXPECT_EQ(begun, Held);
    EXPECT_EQ(capture.Err(), "Extraction cancelled: the launcher is closing.\n");
    EXPECT_TRUE(progress.seen.empty());
    for (int i = 0; i < Held; ++i) {
        close(readEnds[i]);
        EXPECT_GT(arrived[i], 0u);
        EXPECT_LT(arrived[i], 1u << 20) << "large" << i << " was written on after the close";
        fs::remove(out + "/large" + std::to_string(i));
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(PathExists(out + "/after" + std::to_string(i))) << "after" << i;
    }

    ResetExitRequest();
    Progress again;
    OutputCapture quiet;
    EXPECT_TRUE(ExtractZip(zip, out, again.Callable(), nullptr, ExtractFlush::ToDisk, Held));
    quiet.Stop();
    EXPECT_EQ(again.seen.size(), entries.size());
    EXPECT_EQ(ReadFile(out + "/large3"), large);
    EXPECT_EQ(ReadFile(out + "/after19"), "later");
}
#endif
