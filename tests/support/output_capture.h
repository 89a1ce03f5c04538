// Captures what the process writes to its standard output and error streams (fds 1 and 2),
// so tests can assert on the exact lines the launcher prints.
#pragma once

#include <string>

class OutputCapture {
  public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Restores the streams; Out() and Err() then hold everything written meanwhile.
    void Stop();
    const std::string& Out() const {
        return out_;
    }
    const std::string& Err() const {
        return err_;
    }

  private:
    struct Redirect {
        int fd = -1;
        int saved = -1;
        int file = -1;
    };
    static Redirect Begin(int fd);
    static std::string End(Redirect& redirect);

    Redirect stdout_;
    Redirect stderr_;
    std::string out_;
    std::string err_;
    bool stopped_ = false;
};
