// A stand-in client program. It records how it was started in "client.log" beside its own
// executable, then exits:
//
//     cwd <working folder>
//     arg0 <argv[0]>
//     arg <argv[1]>
//     arg <argv[2]> ...
//
// one line each, the text copied unchanged after the first space. The file is written under a
// temporary name and renamed, so a reader sees it whole or not at all. When DEMO_CLIENT_LINGER_MS
// is set, the program first sleeps that many milliseconds, to show that the launcher does not
// wait for it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

int main(int argc, char** argv) {
    if (const char* linger = std::getenv("DEMO_CLIENT_LINGER_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(linger)));
    }
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return 2;
    }
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    const std::filesystem::path log = self.parent_path() / "client.log";
    const std::filesystem::path partial = self.parent_path() / "client.log.partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << "cwd " << (error ? std::string() : cwd.string()) << "\n";
        out << "arg0 " << (argc > 0 ? argv[0] : "") << "\n";
        for (int i = 1; i < argc; ++i) {
            out << "arg " << argv[i] << "\n";
        }
        if (!out.flush()) {
            return 3;
        }
    }
    std::filesystem::rename(partial, log, error);
    return error ? 4 : 0;
}
