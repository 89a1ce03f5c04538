// Linux hashing: POSIX reads into OpenSSL's libcrypto, which uses the processor's SHA
// instructions where it has them (libcurl already loads the same library); and its random bytes.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

struct PlatformSha256 {
    EVP_MD_CTX* context;
};

namespace {

std::string SystemReason(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

// OpenSSL keeps its errors in a per-thread queue; the oldest one names the cause.
std::string CryptoReason() {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return std::string("SHA-256 failed: ") + text;
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

} // namespace

PlatformSha256* PlatformSha256New(std::string* reason) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        *reason = CryptoReason();
        EVP_MD_CTX_free(context);
        return nullptr;
    }
    return new PlatformSha256{context};
}

bool PlatformSha256Add(PlatformSha256* sha, const void* data, size_t size, std::string* reason) {
    if (EVP_DigestUpdate(sha->context, data, size) != 1) {
        *reason = CryptoReason();
        return false;
    }
    return true;
}

HashStatus PlatformSha256AddFile(PlatformSha256* sha, const std::string& path, bool (*stop)(),
                                 std::string* reason) {
    const Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        *reason = SystemReason(path, errno);
        return HashStatus::Failed;
    }
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
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
            return HashStatus::Done;
        }
        if (!PlatformSha256Add(sha, block.get(), static_cast<size_t>(count), reason)) {
            *reason = path + ": " + *reason;
            return HashStatus::Failed;
        }
    }
}

bool PlatformSha256Finish(PlatformSha256* sha, unsigned char* digest, std::string* reason) {
    unsigned length = 0;
    if (EVP_DigestFinal_ex(sha->context, digest, &length) != 1 || length != Sha256Size) {
        *reason = CryptoReason();
        return false;
    }
    return true;
}

bool PlatformSha256Peek(const PlatformSha256* sha, unsigned char* digest, std::string* reason) {
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned length = 0;
    const bool peeked = copy != nullptr && EVP_MD_CTX_copy_ex(copy, sha->context) == 1 &&
                        EVP_DigestFinal_ex(copy, digest, &length) == 1 && length == Sha256Size;
    if (!peeked) {
        *reason = CryptoReason();
    }
    EVP_MD_CTX_free(copy);
    return peeked;
}

void PlatformSha256Free(PlatformSha256* sha) {
    if (sha != nullptr) {
        EVP_MD_CTX_free(sha->context);
        delete sha;
    }
}

bool PlatformRandomBytes(void* bytes, size_t size) {
    if (RAND_bytes(static_cast<unsigned char*>(bytes), static_cast<int>(size)) != 1) {
        ERR_clear_error();
        return false;
    }
    return true;
}

void PlatformEndThreadCrypto() {
    OPENSSL_thread_stop();
}
