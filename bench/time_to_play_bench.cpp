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
// With LAUNCHER_WINE_RUN (the command that runs a Windows program under Wine, e.g.
// "scripts/wine-run.sh") and LAUNCHER_WINE_BUILD (a Windows build folder, e.g. build-windows),
// the Windows program of the same takes its turn too, in a Wine prefix of the benchmark's own, on
// a package whose client is a Windows program.
//
// usage: time_to_play_bench [scratch folder] [rounds] [package MiB]
// Prints each round, then the best and the median of each side and their ratios launcher /
// pipeline (goal: at most 0.6; the Windows program's, at most 1.0), and each launcher's peak
// memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
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
size_t TargetBytes = size_t{256} << 20;
constexpr int Entries = 2000;
const char* const Started = "Process created successfully with PID: ";

// Half the archive's bytes in stored noise, half in deflated text; the text's entries are made
// larger by how well it deflates, measured on a sample.
void MakePackage(const std::string& path, const std::string& client) {
    std::mt19937 random(2100);
    const int half = Entries / 2;
    const size_t stored = TargetBytes / 2 / half;
    const std::string sample = TextBytes(random, 1 << 20);
    const std::string sampleZip = path + ".sample";
    WriteZip(sampleZip, {ZipFile("s", sample)});
    const double deflated = static_cast<double>(fs::file_size(sampleZip)) / sample.size();
    fs::remove(sampleZip);
    const size_t text = static_cast<size_t>(static_cast<double>(stored) / deflated);

    ZipEntry game = ZipFile("windows_pc_halden/win32/game.exe", ReadFile(client));
    game.unixMode = 0755;
    std::vector<ZipEntry> entries = {ZipFile("windows_pc_halden/patch/version.json", "{}"), game};
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
// marks the extraction's start, the last written one its end; the flush and the client's start
// follow).
struct LauncherTimes {
    double total = 0;
    double download = 0;
    double untilExtraction = 0;
    double extraction = 0;
    double flushAndStart = 0;
    double peakMiB = 0; // the launcher process's largest resident size
};

// One launcher as the benchmark starts it.
struct Launcher {
    std::string name;
    std::vector<std::string> command; // program and arguments
    fs::path documents;               // where the carried script installs
    std::vector<std::pair<std::string, std::string>> variables;
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

// Seconds from start to the last change of any file below folder.
double LastChangeAfter(const fs::path& folder, std::chrono::system_clock::time_point start) {
    double last = -1;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            last = std::max(last, ChangedAfter(entry.path(), start));
        }
    }
    return last;
}

// The launcher from its start until it reports the client started, in folder; exits on failure.
LauncherTimes TimeLauncher(const Launcher& launcher, const fs::path& folder) {
    // Set here, before the fork: nothing else in this program reads the environment meanwhile.
    for (const auto& [name, value] : launcher.variables) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const std::string folderText = folder.string();
    // GNU time reports the peak memory of the program it starts alone; that of a child of this
    // program would start from this program's own, which holds the package.
    const std::string peakFile = (folder / "peak.txt").string();
    std::vector<std::string> command = {"time", "-f", "%M", "-o", peakFile};
    command.insert(command.end(), launcher.command.begin(), launcher.command.end());
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    posix_spawn_file_actions_addchdir_np(&actions, folderText.c_str());
    const auto wallStart = std::chrono::system_clock::now();
    const Clock::time_point start = Clock::now();
    pid_t child = -1;
    if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
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
        std::fprintf(stderr, "%s failed (status %d):\n%s%s\n", launcher.name.c_str(), status,
                     output.c_str(), ReadFile((folder / "boxes.txt").string()).c_str());
        std::exit(1);
    }
    LauncherTimes times;
    times.total = seconds;
    times.download = ChangedAfter(launcher.documents / PackageName, wallStart);
    const fs::path client = launcher.documents / "game/windows_pc_halden";
    const double extracting = ChangedAfter(client / "patch/version.json", wallStart);
    const double extracted = LastChangeAfter(client, wallStart);
    times.untilExtraction = extracting - times.download;
    times.extraction = extracted - extracting;
    times.flushAndStart = seconds - extracted;
    times.peakMiB = std::atof(ReadFile(peakFile).c_str()) / 1024;
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
double TimeDigestPass(const fs::path& documents) {
    const Clock::time_point start = Clock::now();
    Sha256Hex((documents / PackageName).string());
    return Seconds(start);
}

// A package with the given client, served by its own server; returns its digest.
std::string ServePackage(const fs::path& scratch, const std::string& client, HttpServer& server) {
    const std::string package = (scratch / PackageName).string();
    MakePackage(package, client);
    const std::string digest = Sha256Hex(package);
    server.Route(PackagePath,
                 HttpResponse::Body(std::make_shared<const std::string>(ReadFile(package))));
    fs::remove(package);
    return digest;
}

// The Linux launcher, installing into folder.
Launcher LinuxLauncher(const fs::path& folder, const HttpServer& server,
                       const std::string& digest) {
    Launcher launcher;
    launcher.name = "the launcher";
    launcher.command = {TIME_TO_PLAY_LAUNCHER};
    launcher.documents = folder / "C:/Users/bench/Documents";
    fs::create_directories(launcher.documents);
    fs::create_directories(folder / "runtime");
    fs::create_directories(folder / "lock-root/tmp");
    launcher.variables = {{"USERNAME", "bench"},
                          {"LAUNCHER_TEST_HOST", "127.0.0.1:" + std::to_string(server.Port())},
                          {"LAUNCHER_TEST_SHA256", digest},
                          {"LAUNCHER_BOX_LOG", (folder / "boxes.txt").string()},
                          {"XDG_RUNTIME_DIR", (folder / "runtime").string()},
                          {"LAUNCHER_TEST_LOCK_ROOT", (folder / "lock-root").string()},
                          {"XDG_STATE_HOME", (folder / "state").string()}};
    return launcher;
}

// Splits a command line at spaces, as the shell would without quotes.
std::vector<std::string> Words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

// Runs a command to its end; exits on failure.
void Run(const std::vector<std::string>& command) {
    std::string line;
    for (const std::string& word : command) {
        line += "'" + word + "' ";
    }
    if (std::system(line.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", line.c_str());
        std::exit(1);
    }
}

// The Windows program under Wine, in a prefix of its own below scratch, whose user is "bench":
// it installs into that user's Documents, a new empty folder each time (the last one is moved
// aside, so that it stays until the end, as the other sides' folders do).
struct WineSide {
    std::vector<std::string> run; // the command that runs a Windows program under Wine
    std::string build;            // the Windows build folder
    fs::path prefix;
    fs::path documents;
    int moved = 0;

    Launcher Next(const fs::path& folder, const HttpServer& server, const std::string& digest) {
        if (fs::exists(documents)) {
            fs::rename(documents, documents.string() + "-" + std::to_string(++moved));
        }
        fs::create_directories(documents);
        fs::create_directories(folder);
        Launcher launcher;
        launcher.name = "the Windows launcher under Wine";
        launcher.command = run;
        launcher.command.push_back(build + "/bench/time_to_play_launcher.exe");
        launcher.documents = documents;
        launcher.variables = {{"LAUNCHER_TEST_HOST", "127.0.0.1:" + std::to_string(server.Port())},
                              {"LAUNCHER_TEST_SHA256", digest},
                              {"LAUNCHER_BOX_LOG", "Z:" + (folder / "boxes.txt").string()},
                              {"LAUNCHER_RECORD_FILE", "Z:" + (folder / "client.txt").string()}};
        return launcher;
    }
};

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
    if (argc > 3) {
        TargetBytes = static_cast<size_t>(std::max(16, std::atoi(argv[3]))) << 20;
    }
    fs::remove_all(scratch);
    fs::create_directories(scratch);

    std::printf("Making the package...");
    std::fflush(stdout);
    HttpServer server;
    const std::string digest = ServePackage(scratch, DEMO_CLIENT_PATH, server);
    std::printf(" %zu MiB, %d entries\n", TargetBytes >> 20, Entries + 2);

    const char* wineRun = std::getenv("LAUNCHER_WINE_RUN");
    const char* wineBuild = std::getenv("LAUNCHER_WINE_BUILD");
    const bool withWine = wineRun != nullptr && wineBuild != nullptr;
    WineSide wine;
    HttpServer wineServer;
    std::string wineDigest;
    if (withWine) {
        std::printf("Making the Windows package and the Wine prefix...\n");
        std::fflush(stdout);
        wine.run = Words(wineRun);
        wine.build = wineBuild;
        // The client records how it was started, which a Windows program needs to be one.
        wineDigest = ServePackage(scratch, wine.build + "/tests/win32_record_child.exe", wineServer);
        wine.prefix = scratch / "wine-prefix";
        setenv("LAUNCHER_WINEPREFIX", wine.prefix.c_str(), 1);
        setenv("LAUNCHER_WINE_DISPLAY", std::getenv("DISPLAY"), 1);
        // Wine names the Windows user after USER.
        setenv("USER", "bench", 1);
        setenv("LOGNAME", "bench", 1);
        std::vector<std::string> prepare = wine.run;
        prepare.push_back("--prepare");
        Run(prepare);
        wine.documents = wine.prefix / "drive_c/users/bench/Documents";
        // Wine links a new profile's Documents to the Unix home.
        if (fs::is_symlink(wine.documents)) {
            fs::remove(wine.documents);
        }
    }

    const int sides = withWine ? 3 : 2;
    std::vector<LauncherTimes> launcherSteps;
    std::vector<LauncherTimes> wineSteps;
    std::vector<double> digestTimes;
    std::vector<PipelineTimes> pipelineTimes;
    for (int round = 0; round < rounds; ++round) {
        // Each run writes into a folder of its own, removed only at the end (see unzip_bench).
        for (int turn = 0; turn < sides; ++turn) {
            const int side = (round + turn) % sides;
            const fs::path folder = scratch / ("side" + std::to_string(side) + "-" +
                                               std::to_string(round));
            sync();
            if (side == 0) {
                const Launcher launcher = LinuxLauncher(folder, server, digest);
                launcherSteps.push_back(TimeLauncher(launcher, folder));
                digestTimes.push_back(TimeDigestPass(launcher.documents));
            } else if (side == 1) {
                pipelineTimes.push_back(TimePipeline(folder, server, digest));
            } else {
                wineSteps.push_back(TimeLauncher(wine.Next(folder, wineServer, wineDigest), folder));
            }
        }
        const PipelineTimes& pipeline = pipelineTimes.back();
        const auto print = [](const char* name, const LauncherTimes& times) {
            std::printf("  %s %.3f s: download %.3f s, then %.3f s, extraction %.3f s, flush and "
                        "start %.3f s; peak memory %.0f MiB\n",
                        name, times.total, times.download, times.untilExtraction,
                        times.extraction, times.flushAndStart, times.peakMiB);
        };
        std::printf("round %d:\n", round + 1);
        print("launcher", launcherSteps.back());
        std::printf("    (a digest pass over its archive alone %.3f s)\n", digestTimes.back());
        if (withWine) {
            print("Windows launcher under Wine", wineSteps.back());
        }
        std::printf("  pipeline: curl %.3f s + sha256sum %.3f s + unzip %.3f s = %.3f s (then sync "
                    "%.3f s)\n",
                    pipeline.fetch, pipeline.check, pipeline.unpack, pipeline.Total(),
                    pipeline.flush);
    }
    if (withWine) {
        std::vector<std::string> wait = wine.run;
        wait.push_back("--wait");
        Run(wait);
    }
    std::vector<double> totals;
    std::vector<double> durableTotals;
    for (const PipelineTimes& pipeline : pipelineTimes) {
        totals.push_back(pipeline.Total());
        durableTotals.push_back(pipeline.Total() + pipeline.flush);
    }
    const auto launcherTotals = [](const std::vector<LauncherTimes>& steps) {
        std::vector<double> values;
        for (const LauncherTimes& times : steps) {
            values.push_back(times.total);
        }
        return values;
    };
    const std::vector<double> launcherTimes = launcherTotals(launcherSteps);
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
    std::vector<double> peaks;
    for (const LauncherTimes& times : launcherSteps) {
        peaks.push_back(times.peakMiB);
    }
    std::printf("launcher's peak memory: %.0f MiB at most\n",
                *std::max_element(peaks.begin(), peaks.end()));
    if (withWine) {
        const std::vector<double> wineTimes = launcherTotals(wineSteps);
        const double windows = Median(wineTimes);
        std::printf("median: Windows launcher under Wine to the client started %.3f s, ratio "
                    "against the pipeline %.3f (goal <= 1.0), against the Linux launcher %.3f\n",
                    windows, windows / theirs, windows / ours);
    }
    fs::remove_all(scratch);
    return 0;
}
