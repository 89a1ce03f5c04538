// A stand-in client program. It records how it was started in "client.log" beside its own
// executable, then exits:
//
//     cwd <working folder>
//     cmdline <the raw command line>     (Windows only)
//     arg0 <argv[0]>
//     arg <argv[1]>
//     arg <argv[2]> ...
//
// one line each, the text copied unchanged after the first space, in UTF-8. On Windows a program
// receives one command line and its C runtime splits it into argv, so both are recorded. The
// file is written under a temporary name and renamed, so a reader sees it whole or not at all.
// When DEMO_CLIENT_LINGER_MS is set, the program first sleeps that many milliseconds, to show
// that the launcher does not wait for it. On Linux, when DEMO_CLIENT_LIST_FDS is set, a line
// "fd <number>" follows for each descriptor it was started with, to show what it inherited.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#endif

namespace {

#ifdef _WIN32
std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &bytes[0], length, nullptr, nullptr);
    }
    return bytes;
}

bool OwnPath(std::filesystem::path* self) {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return false;
    }
    path.resize(length);
    *self = path;
    return true;
}

std::string CurrentFolder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), &folder[0]));
    return Utf8(folder);
}
#else
bool OwnPath(std::filesystem::path* self) {
    std::error_code error;
    *self = std::filesystem::read_symlink("/proc/self/exe", error);
    return !error;
}

std::string CurrentFolder() {
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    return error ? std::string() : cwd.string();
}

// The open descriptors, but the one the listing itself holds.
void ListDescriptors(std::vector<std::string>* lines) {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        lines->push_back("fd unknown");
        return;
    }
    const std::string own = std::to_string(dirfd(folder));
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != own) {
            lines->push_back("fd " + name);
        }
    }
    closedir(folder);
}
#endif

// Writes the record beside the program; the process exit code on failure, else 0.
int Record(const std::vector<std::string>& lines) {
    std::filesystem::path self;
    if (!OwnPath(&self)) {
        return 2;
    }
    const std::filesystem::path log = self.parent_path() / "client.log";
    const std::filesystem::path partial = self.parent_path() / "client.log.partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        for (const std::string& line : lines) {
            out << line << "\n";
        }
        if (!out.flush()) {
            return 3;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, log, error);
    return error ? 4 : 0;
}

void Linger() {
    if (const char* linger = std::getenv("DEMO_CLIENT_LINGER_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(linger)));
    }
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    Linger();
    std::vector<std::string> lines = {"cwd " + CurrentFolder(),
                                      "cmdline " + Utf8(GetCommandLineW()),
                                      "arg0 " + (argc > 0 ? Utf8(argv[0]) : std::string())};
    for (int i = 1; i < argc; ++i) {
        lines.push_back("arg " + Utf8(argv[i]));
    }
    return Record(lines);
}
#else
int main(int argc, char** argv) {
    Linger();
    std::vector<std::string> lines = {"cwd " + CurrentFolder(),
                                      "arg0 " + std::string(argc > 0 ? argv[0] : "")};
    for (int i = 1; i < argc; ++i) {
        lines.push_back(std::string("arg ") + argv[i]);
    }
    if (std::getenv("DEMO_CLIENT_LIST_FDS") != nullptr) {
        ListDescriptors(&lines);
    }
    return Record(lines);
}
#endif
