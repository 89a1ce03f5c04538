#include "tests/support/output_capture.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include <unistd.h>

namespace {

void FlushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

} // namespace

OutputCapture::OutputCapture() {
    FlushAll();
    stdout_ = Begin(STDOUT_FILENO);
    stderr_ = Begin(STDERR_FILENO);
}

OutputCapture::~OutputCapture() {
    Stop();
}

void OutputCapture::Stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    FlushAll();
    out_ = End(stdout_);
    err_ = End(stderr_);
}

OutputCapture::Redirect OutputCapture::Begin(int fd) {
    char path[] = "/tmp/launcher-capture-XXXXXX";
    Redirect redirect;
    redirect.fd = fd;
    redirect.file = mkstemp(path);
    if (redirect.file < 0) {
        throw std::runtime_error("cannot create capture file");
    }
    unlink(path);
    redirect.saved = dup(fd);
    dup2(redirect.file, fd);
    return redirect;
}

std::string OutputCapture::End(Redirect& redirect) {
    dup2(redirect.saved, redirect.fd);
    close(redirect.saved);
    std::string text;
    char buffer[4096];
    lseek(redirect.file, 0, SEEK_SET);
    for (ssize_t n; (n = read(redirect.file, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(redirect.file);
    return text;
}
