// Extraction speed of Unzip against Info-ZIP's unzip on the same archive in the same run.
// The archive has about 2,000 entries and 200 MiB of data in mixed sizes: many small files, some
// large ones, mostly compressible text with some incompressible (stored) data.
//
// usage: unzip_bench [scratch folder] [rounds]
// Prints each round, then the medians and the ratio Unzip / unzip (goal: at most 0.6).
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
#include <sys/wait.h>
#include <unistd.h>

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

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double TimeUnzipHostFunction(const std::string& archive, const std::string& output) {
    ScriptState = luaL_newstate();
    luaL_openlibs(ScriptState);
    RegisterHostFunctions();
    lua_pushstring(ScriptState, archive.c_str());
    lua_setglobal(ScriptState, "ZIP");
    lua_pushstring(ScriptState, output.c_str());
    lua_setglobal(ScriptState, "OUT");
    const auto start = std::chrono::steady_clock::now();
    const int failed = luaL_dostring(ScriptState, "assert(Unzip(ZIP, OUT, SetProgress))");
    const double elapsed = Seconds(start);
    if (failed) {
        std::cerr << "Unzip failed: " << lua_tostring(ScriptState, -1) << "\n";
        std::exit(1);
    }
    lua_close(ScriptState);
    ScriptState = nullptr;
    return elapsed;
}

double TimeInfoZip(const std::string& archive, const std::string& output) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execlp("unzip", "unzip", "-q", "-o", archive.c_str(), "-d", output.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double elapsed = Seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "unzip failed with status " << status << "\n";
        std::exit(1);
    }
    return elapsed;
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
    const std::vector<std::string> outputs = {(scratch / "out-unzip-host").string(),
                                              (scratch / "out-info-zip").string()};
    for (const std::string& output : outputs) {
        fs::remove_all(output);
        fs::create_directories(output);
    }

    std::cout << "Making the archive..." << std::flush;
    MakeArchive(archive);
    std::cout << " " << (fs::file_size(archive) >> 20) << " MiB compressed" << std::endl;

    std::vector<double> oursTimes;
    std::vector<double> theirTimes;
    for (int round = 0; round < rounds; ++round) {
        // Alternate who goes first, so that neither always meets a warmer cache.
        for (int turn = 0; turn < 2; ++turn) {
            const bool oursNow = (round + turn) % 2 == 0;
            const std::string output = outputs[oursNow ? 0 : 1] + "/" + std::to_string(round);
            sync();
            if (oursNow) {
                oursTimes.push_back(TimeUnzipHostFunction(archive, output));
            } else {
                theirTimes.push_back(TimeInfoZip(archive, output));
            }
        }
        std::printf("round %d: Unzip %.3f s, unzip -q -o %.3f s\n", round + 1, oursTimes.back(),
                    theirTimes.back());
    }
    const double oursMedian = Median(oursTimes);
    const double theirMedian = Median(theirTimes);
    std::printf("median: Unzip %.3f s, Info-ZIP unzip -q -o %.3f s, ratio %.3f (goal <= 0.6)\n",
                oursMedian, theirMedian, oursMedian / theirMedian);
    for (const std::string& output : outputs) {
        fs::remove_all(output);
    }
    fs::remove(archive);
    return 0;
}
