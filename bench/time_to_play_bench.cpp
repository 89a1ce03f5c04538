// Time to play: a first install from the launcher's start until it has started the client,
// against the shell pipeline a studio would otherwise script (curl -o, sha256sum -c, unzip -q),
// both fetching the same 256 MiB package from the same loopback server in the same run.
//
// The package holds about 2,000 entries: half incompressible bytes stored as they are, half text
// deflated, with the demo client where the carried script looks for it. The launcher is the real
// program (GTK splash, carried script, cURL module, HashFile, Unzip, RunExecutable) built to take
// its download host from LAUNCHER_TEST_HOST and its pinned digest from LAUNCHER_TEST_SHA256; it
// needs an X display (run it under xvfb-run, as scripts/bench.sh does).
//
// usage: time_to_play_bench [scratch folder] [rounds]
// Prints each round, then the best and the median of each side and their ratios launcher /
// pipeline (goal: at most 0.6).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "actions/hash_file.h"
#include "bench/package_bytes.h"
#include "platform/platform.h"
#include "tests/support/http_server.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_builder.h"

#ifndef TIME_TO_PLAY_LAUNCHER
#error "TIME_TO_PLAY_LAUNCHER must name the launcher build this benchmark starts"
#endif

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

const std::string PackageName = "windows_pc_halden_202505171539.zip";
const std::string PackagePath = "/client/pc/2100/exe/" + PackageName;
constexpr size_t TargetBytes = size_t{256} << 20;
constexpr int Entries = 2000;
const char* const Started = "Process created successfully with PID: ";

// Half the archive's bytes in stored noise, half in deflated text; the text's entries are made
// larger by how well it deflates, measured on a sample.
void MakePackage(const std::string& path) {
    std::mt19937 random(2100);
    const int half = Entries / 2;
    const size_t stored = TargetBytes / 2 / half;
    const std::string sample = TextBytes(random, 1 << 20);
    const std::string sampleZip = path + ".sample";
    WriteZip(sampleZip, {ZipFile("s", sample)});
    const double deflated = static_cast<double>(fs::file_size(sampleZip)) / sample.size();
    fs::remove(sampleZip);
    const size_t text = static_cast<size_t>(static_cast<double>(stored) / deflated);

    ZipEntry client = ZipFile("windows_pc_halden/win32/game.exe", ReadFile(DEMO_CLIENT_PATH));
    client.unixMode = 0755;
    std::vector<ZipEntry> entries = {ZipFile("windows_pc_halden/patch/version.json", "{}"), client};
    for (int i = 0; i < half; ++i) {
        const std::string folder = "windows_pc_halden/data" + std::to_string(i / 100) + "/";
        entries.push_back(ZipFile(folder + "noise" + std::to_string(i) + ".bin",
                                  RandomBytes(random, stored), false));
        entries.push_back(
            ZipFile(folder + "text" + std::to_string(i) + ".txt", TextBytes(random, text)));
    }
    WriteZip(path, entries);
}

std::string Sha256Hex(const std::string& path) {
    unsigned char digest[Sha256Size];
    std::string reason;
    if (HashFileSha256(
            path, [] { return false; }, digest, &reason) != HashStatus::Done) {
        std::fprintf(stderr, "cannot hash %s: %s\n", path.c_str(), reason.c_str());
        std::exit(1);
    }
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The launcher's run: in all, and its steps as the files it wrote tell them (a file's change
// time is when it was last written: the archive's ends the download, the first extracted entry's
// marks the extraction's start).
struct LauncherTimes {
    double total = 0;
    double download = 0;
    double untilExtraction = 0;
    double extraction = 0;
};

// Seconds from start (on the system clock) to when the file last changed.
double ChangedAfter(const fs::path& path, std::chrono::system_clock::time_point start) {
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0) {
        return -1;
    }
    const auto changed = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(status.st_ctim.tv_sec) +
            std::chrono::nanoseconds(status.st_ctim.tv_nsec)));
    return std::chrono::duration<double>(changed - start).count();
}

// The launcher from its start until it reports the client started; exits on failure.
LauncherTimes TimeLauncher(const fs::path& folder, const HttpServer& server,
                           const std::string& digest) {
    fs::create_directories(folder / "C:/Users/bench/Documents");
    fs::create_directories(folder / "runtime");
    fs::create_directories(folder / "lock-root/tmp");
    // Set here, before the fork: nothing else in this program reads the environment meanwhile.
    const std::pair<const char*, std::string> variables[] = {
        {"USERNAME", "bench"},
        {"LAUNCHER_TEST_HOST", "127.0.0.1:" + std::to_string(server.Port())},
        {"LAUNCHER_TEST_SHA256", digest},
        {"LAUNCHER_BOX_LOG", (folder / "boxes.txt").string()},
        {"XDG_RUNTIME_DIR", (folder / "runtime").string()},
        {"LAUNCHER_TEST_LOCK_ROOT", (folder / "lock-root").string()},
        {"XDG_STATE_HOME", (folder / "state").string()}};
    for (const auto& [name, value] : variables) {
        setenv(name, value.c_str(), 1);
    }
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const std::string folderText = folder.string();
    char program[] = TIME_TO_PLAY_LAUNCHER;
    char* argv[] = {program, nullptr};

    const auto wallStart = std::chrono::system_clock::now();
    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (dup2(out[1], 1) < 0 || chdir(folderText.c_str()) != 0) {
            _exit(126);
        }
        close(out[0]);
        close(out[1]);
        execv(program, argv);
        _exit(127);
    }
    close(out[1]);
    // The line follows the client's start at once; reading the pipe sees it as it is written.
    std::string output;
    double seconds = -1;
    char block[4096];
    for (ssize_t n; (n = read(out[0], block, sizeof block)) > 0;) {
        output.append(block, static_cast<size_t>(n));
        if (seconds < 0 && output.find(Started) != std::string::npos) {
            seconds = Seconds(start);
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (seconds < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the launcher failed (status %d):\n%s%s\n", status, output.c_str(),
                     ReadFile((folder / "boxes.txt").string()).c_str());
        std::exit(1);
    }
    const fs::path documents = folder / "C:/Users/bench/Documents";
    LauncherTimes times;
    times.total = seconds;
    times.download = ChangedAfter(documents / PackageName, wallStart);
    const double extracting =
        ChangedAfter(documents / "game/windows_pc_halden/patch/version.json", wallStart);
    times.untilExtraction = extracting - times.download;
    times.extraction = seconds - extracting;
    return times;
}

// The studio's pipeline, step by step.
struct PipelineTimes {
    double fetch = 0;  // curl -o
    double check = 0;  // sha256sum -c
    double unpack = 0; // unzip -q
    // sync afterwards: not part of the pipeline, but what the launcher's flush costs it, which
    // leaves the client on the disk before the launcher says it is installed.
    double flush = 0;
    double Total() const {
        return fetch + check + unpack;
    }
};

// Seconds for one shell command; exits on failure.
double TimeCommand(const std::string& command) {
    const Clock::time_point start = Clock::now();
    const int status = std::system(command.c_str());
    const double seconds = Seconds(start);
    if (status != 0) {
        std::fprintf(stderr, "failed with status %d: %s\n", status, command.c_str());
        std::exit(1);
    }
    return seconds;
}

// The studio's pipeline into the folder; exits on failure.
PipelineTimes TimePipeline(const fs::path& folder, const HttpServer& server,
                           const std::string& digest) {
    fs::create_directories(folder);
    const std::string in = "cd '" + folder.string() + "' && ";
    PipelineTimes times;
    times.fetch =
        TimeCommand(in + "curl -s -f -o " + PackageName + " '" + server.Url(PackagePath) + "'");
    times.check =
        TimeCommand(in + "echo '" + digest + "  " + PackageName + "' | sha256sum -c --quiet");
    times.unpack = TimeCommand(in + "unzip -q -o " + PackageName + " -d game");
    times.flush = TimeCommand("sync");
    return times;
}

// Seconds for the digest pass alone, as HashFile makes it over the archive the launcher wrote.
double TimeDigestPass(const fs::path& folder) {
    const Clock::time_point start = Clock::now();
    Sha256Hex((folder / "C:/Users/bench/Documents" / PackageName).string());
    return Seconds(start);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr) {
        std::fprintf(stderr, "time_to_play_bench: the launcher needs an X display; run it under "
                             "xvfb-run -a\n");
        return 2;
    }
    const fs::path scratch =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "time-to-play-bench";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    const std::string package = (scratch / PackageName).string();

    std::printf("Making the package...");
    std::fflush(stdout);
    MakePackage(package);
    const std::string digest = Sha256Hex(package);
    std::printf(" %zu MiB, %d entries\n", static_cast<size_t>(fs::file_size(package) >> 20),
                Entries + 2);
    HttpServer server;
    server.Route(PackagePath,
                 HttpResponse::Body(std::make_shared<const std::string>(ReadFile(package))));
    fs::remove(package);

    std::vector<double> launcherTimes;
    std::vector<LauncherTimes> launcherSteps;
    std::vector<double> digestTimes;
    std::vector<PipelineTimes> pipelineTimes;
    for (int round = 0; round < rounds; ++round) {
        // Each run writes into a folder of its own, removed only at the end (see unzip_bench).
        for (int turn = 0; turn < 2; ++turn) {
            const bool launcherNow = (round + turn) % 2 == 0;
            const fs::path folder =
                scratch / ((launcherNow ? "launcher-" : "pipeline-") + std::to_string(round));
            sync();
            if (launcherNow) {
                launcherSteps.push_back(TimeLauncher(folder, server, digest));
                launcherTimes.push_back(launcherSteps.back().total);
                digestTimes.push_back(TimeDigestPass(folder));
            } else {
                pipelineTimes.push_back(TimePipeline(folder, server, digest));
            }
        }
        const PipelineTimes& pipeline = pipelineTimes.back();
        const LauncherTimes& launcher = launcherSteps.back();
        std::printf("round %d: launcher %.3f s (download %.3f s, then %.3f s, extraction %.3f s; "
                    "a digest pass over its archive alone %.3f s); curl %.3f s + sha256sum %.3f s "
                    "+ unzip %.3f s = %.3f s (then sync %.3f s)\n",
                    round + 1, launcher.total, launcher.download, launcher.untilExtraction,
                    launcher.extraction, digestTimes.back(), pipeline.fetch, pipeline.check,
                    pipeline.unpack, pipeline.Total(), pipeline.flush);
    }
    std::vector<double> totals;
    std::vector<double> durableTotals;
    for (const PipelineTimes& pipeline : pipelineTimes) {
        totals.push_back(pipeline.Total());
        durableTotals.push_back(pipeline.Total() + pipeline.flush);
    }
    const double ours = Median(launcherTimes);
    const double theirs = Median(totals);
    // The best of each side too: on a machine shared with other work the medians move with it.
    const double oursBest = *std::min_element(launcherTimes.begin(), launcherTimes.end());
    const double theirsBest = *std::min_element(totals.begin(), totals.end());
    std::printf("best: launcher %.3f s, pipeline %.3f s, ratio %.3f\n", oursBest, theirsBest,
                oursBest / theirsBest);
    std::printf("median: launcher to the client started %.3f s, curl -o + sha256sum -c + unzip -q "
                "%.3f s, ratio %.3f (goal <= 0.6)\n",
                ours, theirs, ours / theirs);
    // The launcher leaves the client on the disk before it starts it; the pipeline, as a studio
    // would script it, does not. Against the pipeline followed by sync, both leave it there.
    const double durable = Median(durableTotals);
    std::printf("median: against the pipeline followed by sync %.3f s, ratio %.3f\n", durable,
                ours / durable);
    fs::remove_all(scratch);
    return 0;
}
