#include "tests/support/scratch_dir.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <stdlib.h>

#ifdef _WIN32
#include <atomic>
#include <string>

#include <windows.h>
#endif

ScratchDir::ScratchDir() {
#ifdef _WIN32
    // No mkdtemp: try fresh names until one can be created. Forward slashes, so that the path can
    // be pasted into a Lua string literal as it is.
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "launcher-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount()) + "-" + std::to_string(counter++);
        std::error_code error;
        if (std::filesystem::create_directory(temp / name, error)) {
            path_ = (temp / name).generic_string();
            return;
        }
    }
    throw std::runtime_error("cannot create scratch folder");
#else
    std::string pattern =
        (std::filesystem::temp_directory_path() / "launcher-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create scratch folder");
    }
    path_ = pattern;
#endif
}

ScratchDir::~ScratchDir() {
    RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
#ifdef _WIN32
    for (int attempt = 0; error && attempt < 250; ++attempt) {
        Sleep(20);
        std::filesystem::remove_all(path, error);
    }
#endif
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool PathExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}
