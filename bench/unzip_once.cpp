// One extraction as Unzip runs it, timed from inside: the Windows build of it is what unzip_bench
// runs under Wine, so that Wine's start-up is not counted as the extraction's.
//
// usage: unzip_once ARCHIVE OUTPUT THREADS flush|none
// Prints "seconds <wall time of ExtractZip>" and exits with 0, or 1 when the extraction failed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions/unzip.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: unzip_once ARCHIVE OUTPUT THREADS flush|none\n");
        return 2;
    }
    const unsigned threads = static_cast<unsigned>(std::atoi(argv[3]));
    const ExtractFlush flush =
        std::strcmp(argv[4], "flush") == 0 ? ExtractFlush::ToDisk : ExtractFlush::None;
    size_t calls = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool extracted = ExtractZip(
        argv[1], argv[2], [&calls](float) { ++calls; }, nullptr, flush, threads);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("seconds %.3f\n", seconds);
    return extracted && calls > 0 ? 0 : 1;
}
