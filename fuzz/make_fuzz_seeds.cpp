// Writes the fuzzer's seed corpus: small archives of our own covering folders, stored and
// deflated data, Unix modes, broken streams, bad CRCs and names that try to leave the folder.
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/zip_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_fuzz_seeds <folder>\n";
        return 2;
    }
    const std::string folder = argv[1];
    const std::string text = "the quick brown fox jumps over the lazy dog\n";
    std::string repeated;
    for (int i = 0; i < 40; ++i) {
        repeated += text;
    }
    ZipEntry program = ZipFile("bin/client", "#!/bin/sh\necho hi\n");
    program.unixMode = 04755;
    ZipEntry folderWithMode = ZipFolder("bin/");
    folderWithMode.unixMode = 0755;
    ZipEntry broken = ZipFile("broken", repeated);
    broken.breakAfter = 100;

    const std::vector<std::pair<std::string, std::vector<ZipEntry>>> seeds = {
        {"four-entries.zip",
         {ZipFolder("d/"), ZipFile("d/a.txt", "alpha\n"), ZipFile("d/b.bin", repeated, false),
          ZipFile("e.txt", text)}},
        {"deflated.zip", {ZipFile("big.txt", repeated), ZipFile("empty", "")}},
        {"unix-modes.zip", {folderWithMode, program}},
        {"broken-stream.zip", {ZipFile("ok", text), broken}},
        {"bad-crc.zip", {ZipFile("crc", repeated)}},
        {"traversal.zip",
         {ZipFile("../up.txt", text), ZipFile("d/../../up2.txt", text), ZipFolder("../evil/")}},
        {"absolute.zip", {ZipFile("/abs.txt", text), ZipFile("C:\\drive.txt", text)}},
        {"long-name.zip", {ZipFile(std::string(300, 'n'), text), ZipFile("", text)}},
        {"nested.zip",
         {ZipFolder("a/"), ZipFolder("a/b/"), ZipFile("a/b/c", text), ZipFile("x/missing", text)}},
    };
    try {
        for (const auto& [name, entries] : seeds) {
            WriteZip(folder + "/" + name, entries);
        }
        SetEntryCrc(folder + "/bad-crc.zip", "crc", 0xDEADBEEF);
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
    return 0;
}
