// Linux file hashing: POSIX reads into OpenSSL's libcrypto, which uses the processor's SHA
// instructions where it has them (libcurl already loads the same library).
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace {

std::string SystemReason(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

// OpenSSL keeps its errors in a per-thread queue; the oldest one names the cause.
std::string CryptoReason(const std::string& path) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return path + ": SHA-256 failed: " + text;
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const {
        EVP_MD_CTX_free(context);
    }
};

} // namespace

HashStatus PlatformHashFileSha256(const std::string& path, bool (*stop)(), unsigned char* digest,
                                  std::string* reason) {
    const Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        *reason = SystemReason(path, errno);
        return HashStatus::Failed;
    }
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        *reason = CryptoReason(path);
        return HashStatus::Failed;
    }
    const std::unique_ptr<unsigned char[]> block(new unsigned char[HashBlockSize]);
    for (;;) {
        if (stop()) {
            return HashStatus::Cancelled;
        }
        const ssize_t count = read(file.fd, block.get(), HashBlockSize);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        // A folder opens; only its first read fails (EISDIR).
        if (count < 0) {
            *reason = SystemReason(path, errno);
            return HashStatus::Failed;
        }
        if (count == 0) {
            break;
        }
        if (EVP_DigestUpdate(context.get(), block.get(), static_cast<size_t>(count)) != 1) {
            *reason = CryptoReason(path);
            return HashStatus::Failed;
        }
    }
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length != Sha256Size) {
        *reason = CryptoReason(path);
        return HashStatus::Failed;
    }
    return HashStatus::Done;
}
