// Extraction speed of Unzip against libarchive's bsdtar on the same archive in the same run.
// The archive has about 2,000 entries and 200 MiB of data in mixed sizes: many small files, some
// large ones, mostly compressible text with some incompressible (stored) data.
//
// usage: unzip_bench [scratch folder] [rounds]
// Prints each round, then the medians and the ratios against bsdtar: the extraction as the
// launcher runs it, which flushes what it wrote to the disk before it returns, against bsdtar
// followed by sync (goal: at most 0.6), and the same extraction without the flush against bsdtar
// alone (goal: at most 0.5); each on 1 thread, 2 threads and as many as the launcher takes here,
// so the scaling shows. The progress goes to the carried script's callback: SetProgress per entry,
// SetStatus per percent.
//
// With LAUNCHER_WINE_UNZIP_ONCE set to the command that runs the Windows build of unzip_once
// under Wine (e.g. "scripts/wine64-run.sh build-windows64/bench/unzip_once.exe"), the Windows
// extraction takes its turns too, on 1 and 2 threads, with and without its flush, timed from
// inside the program.
//
// Each timed run writes into a folder of its own, and the outputs are removed only at the end:
// on ext4, creating files seconds after thousands were deleted makes every inode allocation step
// over the recently freed ones, a cost that then outweighs the extraction itself on both sides.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <lua.hpp>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "actions/unzip.h"
#include "bench/package_bytes.h"
#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/zip_builder.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t TargetBytes = 200u << 20;
constexpr int Folders = 20;
constexpr int FilesPerFolder = 99; // with the folder entries: 2,000 entries

// Log-uniform sizes from 256 bytes to 8 MiB, scaled so that they add up to TargetBytes.
std::vector<size_t> EntrySizes(std::mt19937& random, size_t count) {
    std::uniform_real_distribution<double> exponent(std::log(256.0), std::log(8.0 * (1 << 20)));
    std::vector<double> raw(count);
    double total = 0;
    for (double& size : raw) {
        size = std::exp(exponent(random));
        total += size;
    }
    std::vector<size_t> sizes;
    for (double size : raw) {
        sizes.push_back(static_cast<size_t>(size * TargetBytes / total));
    }
    return sizes;
}

void MakeArchive(const std::string& path) {
    std::mt19937 random(2100);
    const std::vector<size_t> sizes = EntrySizes(random, Folders * FilesPerFolder);
    std::vector<ZipEntry> entries;
    size_t index = 0;
    for (int folder = 0; folder < Folders; ++folder) {
        const std::string name = "data" + std::to_string(folder) + "/";
        entries.push_back(ZipFolder(name));
        for (int file = 0; file < FilesPerFolder; ++file, ++index) {
            // One file in ten is incompressible and stored, as zip does for such data.
            const bool noise = index % 10 == 3;
            entries.push_back(
                ZipFile(name + "file" + std::to_string(file) + ".dat",
                        noise ? RandomBytes(random, sizes[index]) : TextBytes(random, sizes[index]),
                        !noise));
        }
    }
    WriteZip(path, entries);
}

// Wall time, and the CPU time (user and system) of the one doing the work: on a machine shared
// with other builds the wall time follows their load, the CPU time much less.
struct Timing {
    double wall;
    double cpu;
};

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The carried script's extraction callback.
const char ProgressCallback[] = R"(
    local shownPercent = 0
    function Progress(progress)
        SetProgress(progress)
        local percent = math.floor(progress * 100)
        if percent ~= shownPercent then
            shownPercent = percent
            SetStatus("extracting " .. percent .. "%")
        end
    end
)";

// ExtractZip as Unzip calls it, with a Lua callback, flushed or not, on so many threads.
Timing TimeExtraction(const std::string& archive, const std::string& output, ExtractFlush flush,
                      unsigned threads) {
    ScriptState = luaL_newstate();
    luaL_openlibs(ScriptState);
    RegisterHostFunctions();
    lua_State* L = ScriptState;
    if (luaL_dostring(L, ProgressCallback) != 0) {
        std::cerr << "callback: " << lua_tostring(L, -1) << "\n";
        std::exit(1);
    }
    const auto progress = [L](float fraction) {
        lua_getglobal(L, "Progress");
        lua_pushnumber(L, fraction);
        if (lua_pcall(L, 1, 0, 0) != 0) {
            lua_pop(L, 1);
        }
    };
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const bool extracted = ExtractZip(archive, output, progress, nullptr, flush, threads);
    const double elapsed = Seconds(start);
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    if (!extracted) {
        std::cerr << "ExtractZip failed\n";
        std::exit(1);
    }
    lua_close(ScriptState);
    ScriptState = nullptr;
    return {elapsed, CpuSeconds(after) - CpuSeconds(before)};
}

// bsdtar -xf, then, when flushed, sync: what leaves its files on the disk as the launcher does.
Timing TimeBsdtar(const std::string& archive, const std::string& output, bool flushed) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execlp("bsdtar", "bsdtar", "-x", "-f", archive.c_str(), "-C", output.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "bsdtar failed with status " << status << "\n";
        std::exit(1);
    }
    if (flushed) {
        sync();
    }
    return {Seconds(start), CpuSeconds(usage)};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The Windows build of unzip_once under Wine, on a path of Wine's drive Z: (the root).
Timing TimeWine(const std::vector<std::string>& command, const std::string& archive,
                const std::string& output, unsigned threads, bool flushed) {
    std::vector<std::string> words = command;
    words.insert(words.end(), {"Z:" + archive, "Z:" + output, std::to_string(threads),
                               flushed ? "flush" : "none"});
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) {
        std::exit(1);
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string printed;
    char block[256];
    for (ssize_t n; (n = read(out[0], block, sizeof block)) > 0;) {
        printed.append(block, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    double seconds = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(printed.c_str(), "seconds %lf", &seconds) != 1) {
        std::cerr << "unzip_once under Wine failed with status " << status << ": " << printed
                  << "\n";
        std::exit(1);
    }
    // Wine's server and its own threads share the work; only the wall time is the program's.
    return {seconds, 0};
}

enum class Who { Launcher, Wine, Bsdtar };

// One way of extracting the archive.
struct Contender {
    std::string name;
    Who who;
    bool flushed = false;
    unsigned threads = 0; // for ExtractZip
    std::vector<double> wall;
    std::vector<double> cpu;
};

// " (CPU <seconds> s)", or nothing for the Windows program, timed from inside under Wine.
std::string CpuText(const Contender& who, double cpu) {
    if (who.who == Who::Wine) {
        return "";
    }
    char text[64];
    std::snprintf(text, sizeof text, " (CPU %.3f s)", cpu);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const fs::path scratch =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "unzip-bench";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    fs::create_directories(scratch);
    const std::string archive = (scratch / "package.zip").string();
    // As many threads as ExtractZip takes by itself here: one per core, at most 8.
    const unsigned cores = std::min(8u, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<unsigned> threadCounts = {1, 2};
    if (cores > 2) {
        threadCounts.push_back(cores);
    }
    std::vector<std::string> wine;
    if (const char* command = std::getenv("LAUNCHER_WINE_UNZIP_ONCE")) {
        std::istringstream words(command);
        for (std::string word; words >> word;) {
            wine.push_back(word);
        }
    }
    std::vector<Contender> contenders;
    const auto add = [&contenders](std::string name, Who who, bool flushed, unsigned threads) {
        if (who != Who::Bsdtar) {
            name += ", " + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
        }
        Contender contender;
        contender.name = name;
        contender.who = who;
        contender.flushed = flushed;
        contender.threads = threads;
        contenders.push_back(contender);
    };
    for (const bool flushed : {true, false}) {
        const std::string unzip = flushed ? "Unzip" : "Unzip without the flush";
        for (const unsigned threads : threadCounts) {
            add(unzip, Who::Launcher, flushed, threads);
        }
        for (const unsigned threads : {1u, 2u}) {
            if (!wine.empty()) {
                add("Wine: " + unzip, Who::Wine, flushed, threads);
            }
        }
        add(flushed ? "bsdtar -x + sync" : "bsdtar -x", Who::Bsdtar, flushed, 0);
    }
    std::vector<std::string> outputs;
    for (size_t i = 0; i < contenders.size(); ++i) {
        outputs.push_back((scratch / ("out" + std::to_string(i))).string());
        fs::remove_all(outputs.back());
        fs::create_directories(outputs.back());
    }

    std::cout << "Making the archive..." << std::flush;
    MakeArchive(archive);
    std::cout << " " << (fs::file_size(archive) >> 20) << " MiB compressed; " << cores
              << " threads by default" << std::endl;

    for (int round = 0; round < rounds; ++round) {
        // Take turns at going first, so that none always meets a warmer cache.
        std::printf("round %d:", round + 1);
        for (size_t turn = 0; turn < contenders.size(); ++turn) {
            Contender& who = contenders[(round + turn) % contenders.size()];
            const std::string output =
                outputs[(round + turn) % contenders.size()] + "/" + std::to_string(round);
            fs::create_directories(output);
            // Nothing of the last run is left to write, so no run pays for another's data.
            sync();
            const Timing timing =
                who.who == Who::Bsdtar ? TimeBsdtar(archive, output, who.flushed)
                : who.who == Who::Wine
                    ? TimeWine(wine, archive, output, who.threads, who.flushed)
                    : TimeExtraction(archive, output,
                                     who.flushed ? ExtractFlush::ToDisk : ExtractFlush::None,
                                     who.threads);
            who.wall.push_back(timing.wall);
            who.cpu.push_back(timing.cpu);
        }
        for (const Contender& who : contenders) {
            std::printf(" %s %.3f s%s;", who.name.c_str(), who.wall.back(),
                        CpuText(who, who.cpu.back()).c_str());
        }
        std::printf("\n");
    }
    const Contender& peerFlushed = contenders[contenders.size() / 2 - 1];
    const Contender& peer = contenders.back();
    for (const Contender& who : contenders) {
        if (who.who == Who::Bsdtar) {
            std::printf("median: %s %.3f s (CPU %.3f s)\n", who.name.c_str(), Median(who.wall),
                        Median(who.cpu));
            continue;
        }
        const Contender& against = who.flushed ? peerFlushed : peer;
        std::printf("median: %s %.3f s%s, ratio against %s %.3f (goal <= %s)\n",
                    who.name.c_str(), Median(who.wall), CpuText(who, Median(who.cpu)).c_str(),
                    against.name.c_str(),
                    Median(who.wall) / Median(against.wall), who.flushed ? "0.6" : "0.5");
    }
    for (const std::string& output : outputs) {
        fs::remove_all(output);
    }
    fs::remove(archive);
    return 0;
}
