// Extraction speed of Unzip against Info-ZIP's unzip on the same archive in the same run.
// The archive has about 2,000 entries and 200 MiB of data in mixed sizes: many small files, some
// large ones, mostly compressible text with some incompressible (stored) data.
//
// usage: unzip_bench [scratch folder] [rounds]
// Prints each round, then the medians and two ratios against unzip: the extraction as the
// launcher runs it, which flushes what it wrote to the disk before it returns (goal: at most 0.7;
// unzip does not flush), and the same extraction without the flush (goal: at most 0.55). The
// progress goes to the carried script's callback: SetProgress per entry, SetStatus per percent.
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
#include <string>
#include <vector>

#include <lua.hpp>
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

// ExtractZip as Unzip calls it, with a Lua callback, flushed or not.
Timing TimeExtraction(const std::string& archive, const std::string& output, ExtractFlush flush) {
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
    const bool extracted = ExtractZip(archive, output, progress, nullptr, flush);
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

Timing TimeInfoZip(const std::string& archive, const std::string& output) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execlp("unzip", "unzip", "-q", "-o", archive.c_str(), "-d", output.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    wait4(child, &status, 0, &usage);
    const double elapsed = Seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "unzip failed with status " << status << "\n";
        std::exit(1);
    }
    return {elapsed, CpuSeconds(usage)};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const fs::path scratch =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "unzip-bench";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    fs::create_directories(scratch);
    const std::string archive = (scratch / "package.zip").string();
    enum Contender { Flushed, Unflushed, InfoZip, Contenders };
    const char* const names[Contenders] = {"out-flushed", "out-unflushed", "out-info-zip"};
    std::vector<std::string> outputs;
    for (const char* name : names) {
        outputs.push_back((scratch / name).string());
        fs::remove_all(outputs.back());
        fs::create_directories(outputs.back());
    }

    std::cout << "Making the archive..." << std::flush;
    MakeArchive(archive);
    std::cout << " " << (fs::file_size(archive) >> 20) << " MiB compressed" << std::endl;

    std::vector<double> wall[Contenders];
    std::vector<double> cpu[Contenders];
    for (int round = 0; round < rounds; ++round) {
        // Take turns at going first, so that none always meets a warmer cache.
        for (int turn = 0; turn < Contenders; ++turn) {
            const int who = (round + turn) % Contenders;
            const std::string output = outputs[who] + "/" + std::to_string(round);
            // Nothing of the last run is left to write, so no run pays for another's data.
            sync();
            const Timing timing =
                who == InfoZip
                    ? TimeInfoZip(archive, output)
                    : TimeExtraction(archive, output,
                                     who == Flushed ? ExtractFlush::ToDisk : ExtractFlush::None);
            wall[who].push_back(timing.wall);
            cpu[who].push_back(timing.cpu);
        }
        std::printf("round %d: Unzip %.3f s (CPU %.3f s), without the flush %.3f s (CPU %.3f s), "
                    "unzip -q -o %.3f s (CPU %.3f s)\n",
                    round + 1, wall[Flushed].back(), cpu[Flushed].back(), wall[Unflushed].back(),
                    cpu[Unflushed].back(), wall[InfoZip].back(), cpu[InfoZip].back());
    }
    const double flushed = Median(wall[Flushed]);
    const double unflushed = Median(wall[Unflushed]);
    const double infoZip = Median(wall[InfoZip]);
    std::printf("median: Unzip %.3f s, without the flush %.3f s, Info-ZIP unzip -q -o %.3f s\n",
                flushed, unflushed, infoZip);
    std::printf("ratio with the flush %.3f (goal <= 0.7), without the flush %.3f (goal <= 0.55)\n",
                flushed / infoZip, unflushed / infoZip);
    std::printf("CPU time ratio with the flush %.3f, without the flush %.3f\n",
                Median(cpu[Flushed]) / Median(cpu[InfoZip]),
                Median(cpu[Unflushed]) / Median(cpu[InfoZip]));
    for (const std::string& output : outputs) {
        fs::remove_all(output);
    }
    fs::remove(archive);
    return 0;
}
