#include "tests/support/output_capture.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

void FlushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

// A nameless file to receive one stream.
int OpenCaptureFile() {
#ifdef _WIN32
    // An open file cannot be unlinked on Windows; _O_TEMPORARY removes it on close instead.
    // _O_BINARY: the stream takes the file's mode, so lines end in "\n" as the tests expect.
    char folder[MAX_PATH];
    char path[MAX_PATH];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "cap", 0, path) == 0) {
        return -1;
    }
    return _open(path, _O_RDWR | _O_TRUNC | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
#else
    char path[] = "/tmp/launcher-capture-XXXXXX";
    const int file = mkstemp(path);
    if (file >= 0) {
        unlink(path);
    }
    return file;
#endif
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
    Redirect redirect;
    redirect.fd = fd;
    redirect.file = OpenCaptureFile();
    if (redirect.file < 0) {
        throw std::runtime_error("cannot create capture file");
    }
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
    for (int n; (n = static_cast<int>(read(redirect.file, buffer, sizeof buffer))) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(redirect.file);
    return text;
}
