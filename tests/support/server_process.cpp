#include "tests/support/server_process.h"

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/launcher_process.h"
#include "tests/support/scratch_dir.h"

namespace {

const int StartAttempts = 5;

sockaddr_in Loopback(int port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A port on 127.0.0.1 that nothing listened on a moment ago.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot pick a loopback port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool Answers(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool connected =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

std::string Replace(std::string word, const std::string& from, const std::string& to) {
    for (size_t at = word.find(from); at != std::string::npos;
         at = word.find(from, at + to.size())) {
        word.replace(at, from.size(), to);
    }
    return word;
}

} // namespace

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? end : end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

ServerProcess::ServerProcess(
    const std::string& folder, const std::string& name, const std::vector<std::string>& command,
    int portCount,
    const std::function<std::string(const std::string&, const std::vector<int>&)>& configure)
    : folder_(folder), name_(name) {
    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        ports_.clear();
        for (int i = 0; i < portCount; ++i) {
            ports_.push_back(FreePort());
        }
        WriteFile(folder_ + "/" + name_ + ".conf", configure(folder_, ports_));
        if (Start(command)) {
            return;
        }
    }
    throw std::runtime_error(name_ + " did not start: " + Read(name_ + ".out"));
}

ServerProcess::~ServerProcess() {
    Stop();
}

bool ServerProcess::Start(const std::vector<std::string>& command) {
    std::vector<std::string> words;
    for (const std::string& word : command) {
        words.push_back(
            Replace(Replace(word, "{conf}", folder_ + "/" + name_ + ".conf"), "{folder}", folder_));
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string out = folder_ + "/" + name_ + ".out";
    pid_ = fork();
    if (pid_ == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    const bool answering = WaitUntil([&] {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        for (int port : ports_) {
            if (!Answers(port)) {
                return false;
            }
        }
        return true;
    });
    if (!answering || pid_ < 0) {
        Stop();
        return false;
    }
    return true;
}

std::string ServerProcess::Read(const std::string& name) const {
    return PathExists(folder_ + "/" + name) ? ReadFile(folder_ + "/" + name) : "";
}

bool ServerProcess::WaitForLines(const std::string& name, size_t count) const {
    return WaitUntil([&] { return Lines(Read(name)).size() >= count; });
}

void ServerProcess::Stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}
