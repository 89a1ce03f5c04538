// Download throughput of the cURL module's perform, with a Lua writefunction writing to a file,
// against the curl command-line program fetching the same 256 MiB body from the same server.
// Without a Lua progressfunction, perform still runs its transfer-info callback (the closing
// check) for nearly every block, so its cost shows here.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <lua.hpp>

#include <spawn.h>
#include <sys/wait.h>

#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/http_server.h"

extern char** environ;

namespace {

constexpr size_t BodySize = size_t{256} << 20;

// The bootstrap script's download, minus the progress bar.
const char* const DownloadScript = R"(
    local cURL = require("cURL")
    local file = io.open(OUTPUT, "wb+")
    local h = cURL.easy_init()
    h:setopt_url(URL)
    h:perform({writefunction = function(str) file:write(str) end})
    file:close()
)";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds for one download through perform, or a negative value on failure.
double TimePerform(const std::string& url, const std::string& output) {
    ScriptState = luaL_newstate();
    luaL_openlibs(ScriptState);
    RegisterHostFunctions();
    lua_pushstring(ScriptState, url.c_str());
    lua_setglobal(ScriptState, "URL");
    lua_pushstring(ScriptState, output.c_str());
    lua_setglobal(ScriptState, "OUTPUT");

    const Clock::time_point start = Clock::now();
    const bool ok =
        luaL_loadstring(ScriptState, DownloadScript) == 0 && lua_pcall(ScriptState, 0, 0, 0) == 0;
    const double seconds = Seconds(start);
    if (!ok) {
        std::fprintf(stderr, "perform failed: %s\n", lua_tostring(ScriptState, -1));
    }
    lua_close(ScriptState);
    ScriptState = nullptr;
    return ok ? seconds : -1;
}

// Seconds for one run of `curl -s -o output url`, or a negative value on failure.
double TimeCurlProgram(const std::string& url, const std::string& output) {
    std::vector<std::string> words = {"curl", "-s", "-o", output, url};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const Clock::time_point start = Clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start curl\n");
        return -1;
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = Seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "curl failed with status %d\n", status);
        return -1;
    }
    return seconds;
}

bool HasSize(const std::string& path, size_t size) {
    std::error_code error;
    return std::filesystem::file_size(path, error) == size && !error;
}

bool SameBytes(const std::string& path, const std::string& expected) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(expected.size(), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return in.gcount() == static_cast<std::streamsize>(expected.size()) && bytes == expected &&
           in.peek() == std::char_traits<char>::eof();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double MibPerSecond(double seconds) {
    return static_cast<double>(BodySize) / (1024.0 * 1024.0) / seconds;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    auto body = std::make_shared<std::string>(BodySize, '\0');
    uint32_t state = 2463534242u;
    for (char& byte : *body) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    HttpServer server;
    server.Route("/client/pc/2100/exe/bench.zip", HttpResponse::Body(body));
    const std::string url = server.Url("/client/pc/2100/exe/bench.zip");

    std::string folderPattern =
        (std::filesystem::temp_directory_path() / "curl-bench-XXXXXX").string();
    if (mkdtemp(folderPattern.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const std::filesystem::path folder = folderPattern;
    const std::string performFile = (folder / "perform.bin").string();
    const std::string curlFile = (folder / "curl.bin").string();

    std::vector<double> performSeconds;
    std::vector<double> curlSeconds;
    bool failed = false;
    std::error_code ignored;
    for (int round = 0; round < rounds && !failed; ++round) {
        // Alternating, so both meet the same state of the machine and its page cache; each
        // writes a new file rather than truncating the last round's.
        std::filesystem::remove(curlFile, ignored);
        std::filesystem::remove(performFile, ignored);
        const double curlTime = TimeCurlProgram(url, curlFile);
        const double performTime = TimePerform(url, performFile);
        if (curlTime < 0 || performTime < 0 || !HasSize(curlFile, BodySize) ||
            !HasSize(performFile, BodySize)) {
            std::fprintf(stderr, "round %d: a download failed or came out short\n", round + 1);
            failed = true;
            break;
        }
        std::printf("round %d: perform %.3f s (%.0f MiB/s), curl %.3f s (%.0f MiB/s)\n", round + 1,
                    performTime, MibPerSecond(performTime), curlTime, MibPerSecond(curlTime));
        performSeconds.push_back(performTime);
        curlSeconds.push_back(curlTime);
    }
    if (!failed && !SameBytes(performFile, *body)) {
        std::fprintf(stderr, "the file written through perform differs from the body\n");
        failed = true;
    }
    std::filesystem::remove_all(folder, ignored);
    server.Stop();
    if (failed) {
        return 1;
    }

    const double perform = MibPerSecond(Median(performSeconds));
    const double curl = MibPerSecond(Median(curlSeconds));
    std::printf("256 MiB over loopback, median of %d rounds\n", rounds);
    std::printf("  perform with a Lua writefunction to a file: %8.1f MiB/s\n", perform);
    std::printf("  curl -s -o FILE URL:                        %8.1f MiB/s\n", curl);
    std::printf("  ratio perform / curl: %.3f (goal >= 0.95)\n", perform / curl);
    return 0;
}
