// Download throughput of the cURL module's perform, with a Lua writefunction writing to a file,
// against the curl command-line program fetching the same 256 MiB body from the same server: over
// HTTP, then over HTTPS from a loopback TLS server whose test CA both trust (curl --cacert).
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

#include "script/curl_module.h"
#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/http_server.h"
#include "tests/support/tls_server.h"

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

// Seconds for one run of `curl -s [options] -o output url`, or a negative value on failure.
double TimeCurlProgram(const std::string& url, const std::vector<std::string>& options,
                       const std::string& output) {
    std::vector<std::string> words = {"curl", "-s"};
    words.insert(words.end(), options.begin(), options.end());
    words.insert(words.end(), {"-o", output, url});
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

// Median throughputs in MiB/s.
struct Comparison {
    double perform = 0;
    double curl = 0;
};

// Measures perform and curl(1) downloading the body from url, taking turns; false when a download
// failed or came out wrong.
bool Compare(const std::string& url, const std::vector<std::string>& curlOptions,
             const std::string& body, int rounds, const std::filesystem::path& folder,
             Comparison* result) {
    const std::string performFile = (folder / "perform.bin").string();
    const std::string curlFile = (folder / "curl.bin").string();
    std::vector<double> performSeconds;
    std::vector<double> curlSeconds;
    std::error_code ignored;
    for (int round = 0; round < rounds; ++round) {
        // Alternating, so both meet the same state of the machine and its page cache; each
        // writes a new file rather than truncating the last round's.
        std::filesystem::remove(curlFile, ignored);
        std::filesystem::remove(performFile, ignored);
        const double curlTime = TimeCurlProgram(url, curlOptions, curlFile);
        const double performTime = TimePerform(url, performFile);
        if (curlTime < 0 || performTime < 0 || !HasSize(curlFile, BodySize) ||
            !HasSize(performFile, BodySize)) {
            std::fprintf(stderr, "round %d: a download failed or came out short\n", round + 1);
            return false;
        }
        std::printf("  round %d: perform %.3f s (%.0f MiB/s), curl %.3f s (%.0f MiB/s)\n",
                    round + 1, performTime, MibPerSecond(performTime), curlTime,
                    MibPerSecond(curlTime));
        performSeconds.push_back(performTime);
        curlSeconds.push_back(curlTime);
    }
    if (!SameBytes(performFile, body)) {
        std::fprintf(stderr, "the file written through perform differs from the body\n");
        return false;
    }
    result->perform = MibPerSecond(Median(performSeconds));
    result->curl = MibPerSecond(Median(curlSeconds));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string path = "/client/pc/2100/exe/bench.zip";

    auto body = std::make_shared<std::string>(BodySize, '\0');
    uint32_t state = 2463534242u;
    for (char& byte : *body) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }

    std::string folderPattern =
        (std::filesystem::temp_directory_path() / "curl-bench-XXXXXX").string();
    if (mkdtemp(folderPattern.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const std::filesystem::path folder = folderPattern;

    Comparison http;
    Comparison https;
    bool ok;
    {
        std::printf("HTTP\n");
        HttpServer server;
        server.Route(path, HttpResponse::Body(body));
        ok = Compare(server.Url(path), {}, *body, rounds, folder, &http);
    }
    if (ok) {
        std::printf("HTTPS\n");
        const std::string caFile = (folder / "ca.pem").string();
        const PemCertificate ca = MakeTestCa();
        std::ofstream(caFile, std::ios::binary) << ca.certificate;
        TestCertificateAuthority = caFile.c_str();
        TlsServer server(MakeServerCertificate(ca, ServerCertificate::Trusted), path, body);
        ok = Compare(server.Url(path), {"--cacert", caFile}, *body, rounds, folder, &https);
        TestCertificateAuthority = nullptr;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    if (!ok) {
        return 1;
    }

    std::printf("256 MiB over loopback, median of %d rounds\n", rounds);
    std::printf("  HTTP  perform with a Lua writefunction to a file: %8.1f MiB/s\n", http.perform);
    std::printf("        curl -s -o FILE URL:                        %8.1f MiB/s\n", http.curl);
    std::printf("        ratio perform / curl: %.3f (goal >= 0.95)\n", http.perform / http.curl);
    std::printf("  HTTPS perform with a Lua writefunction to a file: %8.1f MiB/s\n", https.perform);
    std::printf("        curl -s --cacert CA -o FILE URL:            %8.1f MiB/s\n", https.curl);
    std::printf("        ratio perform / curl: %.3f\n", https.perform / https.curl);
    return 0;
}
