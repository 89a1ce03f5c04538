// Hashing speed of HashFile against GNU coreutils' sha256sum on the same 1 GiB file in the same
// run, with GLib's GChecksum (already linked through GTK) alongside as the other library at hand.
// The file is written first, so all three read it from the page cache: the figures are the
// hashing's, not the disk's.
//
// usage: hash_bench [scratch folder] [rounds]
// Prints each round, then the medians, the throughputs and the ratio HashFile / sha256sum
// (goal: at least 0.9); fails when the digests differ.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <glib.h>
#include <lua.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include "script/host_functions.h"
#include "script/shared_state.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t FileBytes = 1ull << 30;
constexpr size_t WriteBlock = 1 << 20;

// Incompressible bytes from xorshift64, quick enough that writing the file takes a second or two.
void MakeFile(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(WriteBlock / sizeof(uint64_t));
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (uint64_t written = 0; written < FileBytes; written += WriteBlock) {
        for (uint64_t& word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        out.write(reinterpret_cast<const char*>(block.data()), WriteBlock);
    }
    if (!out.flush()) {
        std::cerr << "cannot write " << path << "\n";
        std::exit(1);
    }
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Through the host function, as the carried script calls it.
double TimeHashFile(lua_State* L, std::string* digest) {
    const auto start = std::chrono::steady_clock::now();
    if (luaL_dostring(L, "Digest = assert(HashFile(PATH))") != 0) {
        std::cerr << "HashFile failed: " << lua_tostring(L, -1) << "\n";
        std::exit(1);
    }
    const double elapsed = Seconds(start);
    lua_getglobal(L, "Digest");
    *digest = lua_tostring(L, -1);
    lua_pop(L, 1);
    return elapsed;
}

double TimeSha256sum(const std::string& path, std::string* digest) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        std::exit(1);
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        execlp("sha256sum", "sha256sum", path.c_str(), nullptr);
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string out;
    char buffer[256];
    ssize_t count;
    while ((count = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<size_t>(count));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    const double elapsed = Seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "sha256sum failed with status " << status << "\n";
        std::exit(1);
    }
    *digest = out.substr(0, 64);
    return elapsed;
}

double TimeGChecksum(const std::string& path, std::string* digest) {
    const auto start = std::chrono::steady_clock::now();
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(WriteBlock);
    GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        g_checksum_update(checksum, reinterpret_cast<const guchar*>(block.data()), in.gcount());
    }
    *digest = g_checksum_get_string(checksum);
    g_checksum_free(checksum);
    return Seconds(start);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double MibPerSecond(double seconds) {
    return static_cast<double>(FileBytes >> 20) / seconds;
}

} // namespace

int main(int argc, char** argv) {
    const fs::path scratch = argc > 1 ? fs::path(argv[1]) : fs::path(HASH_BENCH_SCRATCH);
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    fs::create_directories(scratch);
    const std::string path = (scratch / "hash-bench.bin").string();

    std::cout << "Writing 1 GiB to " << path << "..." << std::flush;
    MakeFile(path);
    std::cout << " done" << std::endl;

    ScriptState = luaL_newstate();
    luaL_openlibs(ScriptState);
    RegisterHostFunctions();
    lua_pushstring(ScriptState, path.c_str());
    lua_setglobal(ScriptState, "PATH");

    std::vector<double> ours, theirs, glib;
    std::string ourDigest, theirDigest, glibDigest;
    for (int round = 0; round < rounds; ++round) {
        // Take turns at going first, so that none always follows the same neighbour.
        for (int turn = 0; turn < 3; ++turn) {
            switch ((round + turn) % 3) {
            case 0:
                ours.push_back(TimeHashFile(ScriptState, &ourDigest));
                break;
            case 1:
                theirs.push_back(TimeSha256sum(path, &theirDigest));
                break;
            default:
                glib.push_back(TimeGChecksum(path, &glibDigest));
            }
        }
        std::printf("round %d: HashFile %.3f s, sha256sum %.3f s, GChecksum %.3f s\n", round + 1,
                    ours.back(), theirs.back(), glib.back());
        if (ourDigest != theirDigest || glibDigest != theirDigest) {
            std::printf("digests differ: HashFile %s, sha256sum %s, GChecksum %s\n",
                        ourDigest.c_str(), theirDigest.c_str(), glibDigest.c_str());
            return 1;
        }
    }
    lua_close(ScriptState);
    ScriptState = nullptr;
    fs::remove(path);

    const double oursMedian = Median(ours);
    const double theirMedian = Median(theirs);
    const double glibMedian = Median(glib);
    std::printf("digest %s (all agree)\n", ourDigest.c_str());
    std::printf("median: HashFile %.3f s (%.0f MiB/s), GNU sha256sum %.3f s (%.0f MiB/s), "
                "GChecksum %.3f s (%.0f MiB/s)\n",
                oursMedian, MibPerSecond(oursMedian), theirMedian, MibPerSecond(theirMedian),
                glibMedian, MibPerSecond(glibMedian));
    std::printf("ratio HashFile / sha256sum throughput %.2f (goal >= 0.9); GChecksum / sha256sum "
                "%.2f\n",
                theirMedian / oursMedian, theirMedian / glibMedian);
    return 0;
}
