// A real server from Debian (nginx, a forward proxy) run by a test as its own child process
// (Linux): on loopback ports it picks, with its configuration, pid file, logs and temporary files
// in a folder of its own, never as the system's service. Stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class ServerProcess {
  public:
    // Writes configure(folder, ports) to <folder>/<name>.conf for `portCount` free ports on
    // 127.0.0.1 and runs `command` (in its words, "{conf}" and "{folder}" stand for those paths)
    // with its output in <folder>/<name>.out, until every port answers. A server that ends before
    // (another program took a port between the pick and its bind) is started again on other
    // ports, a few times. Throws when it never answers.
    ServerProcess(const std::string& folder, const std::string& name,
                  const std::vector<std::string>& command, int portCount,
                  const std::function<std::string(const std::string& folder,
                                                  const std::vector<int>& ports)>& configure);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int Port(size_t index = 0) const {
        return ports_.at(index);
    }
    // A file the server wrote into its folder (a log), "" when there is none.
    std::string Read(const std::string& name) const;
    // Waits, bounded, until the file holds at least `count` lines; false on time-out.
    bool WaitForLines(const std::string& name, size_t count) const;
    // Asks the server to end (SIGTERM) and waits for it; SIGKILL when it lingers.
    void Stop();

  private:
    bool Start(const std::vector<std::string>& command);

    std::string folder_;
    std::string name_;
    std::vector<int> ports_;
    pid_t pid_ = -1;
};

// The lines of a text, without their line breaks.
std::vector<std::string> Lines(const std::string& text);
