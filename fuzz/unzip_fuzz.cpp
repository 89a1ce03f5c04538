// libFuzzer target: arbitrary bytes as an archive for ExtractZip. Beyond crashes and sanitizer
// reports it checks that nothing is created outside the output folder; hangs are caught by
// libFuzzer's -timeout (see fuzz/run.sh).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>

#include "actions/unzip.h"

namespace fs = std::filesystem;

namespace {

// The output folder sits deep below the scratch root, so that a followed ".." lands inside the
// root, where the scan after each run sees it.
const char* const Chain[] = {"a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/e", "a/b/c/d/e/f"};
const char* const OutputBelowRoot = "a/b/c/d/e/f/out";
const char* const ArchiveName = "input.zip";

std::string Root;

void RemoveRoot() {
    std::error_code ignored;
    fs::remove_all(Root, ignored);
}

// Every path below the root must be the archive, the chain of folders, or inside the output.
void CheckNothingEscaped() {
    static const std::set<std::string> allowed(std::begin(Chain), std::end(Chain));
    const std::string output = OutputBelowRoot;
    for (auto it = fs::recursive_directory_iterator(Root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string relative = fs::relative(it->path(), Root).string();
        if (relative == ArchiveName || allowed.count(relative) != 0 || relative == output ||
            relative.compare(0, output.size() + 1, output + "/") == 0) {
            continue;
        }
        std::fprintf(stderr, "extraction wrote outside its folder: %s\n", relative.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "launcher-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    Root = pattern;
    fs::create_directories(fs::path(Root) / Chain[std::size(Chain) - 1]);
    std::atexit(RemoveRoot);
    // One failure line per input would drown the fuzzer's own output.
    std::cerr.setstate(std::ios::badbit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string archive = Root + "/" + ArchiveName;
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::string output = Root + "/" + OutputBelowRoot;
    float last = 0.0f;
    // Two threads, so the fuzzer also meets the hand-out of entries and the first failure's choice.
    ExtractZip(
        archive, output, [&last](float fraction) { last = fraction; }, nullptr, ExtractFlush::None,
        2);
    CheckNothingEscaped();
    std::error_code ignored;
    fs::remove_all(output, ignored);
    return 0;
}
