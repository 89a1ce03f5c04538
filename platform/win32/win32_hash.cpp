// Win32 hashing: bytes and ReadFile blocks into CNG's SHA-256 (bcrypt.dll, which Windows has from
// Vista on). The path is UTF-8, opened by CreateFileW like the other file calls, and the reasons
// are the system's words in UTF-8.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

struct PlatformSha256 {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

// CNG reports an NTSTATUS, which FormatMessage's system table does not hold.
std::string CngReason(NTSTATUS status) {
    char text[64];
    std::snprintf(text, sizeof text, "SHA-256 failed (status 0x%08lx)",
                  static_cast<unsigned long>(status));
    return text;
}

struct FileHandle {
    HANDLE handle;
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

struct Sha256Free {
    void operator()(PlatformSha256* sha) const {
        PlatformSha256Free(sha);
    }
};

} // namespace

PlatformSha256* PlatformSha256New(std::string* reason) {
    std::unique_ptr<PlatformSha256, Sha256Free> sha(new PlatformSha256());
    NTSTATUS status =
        BCryptOpenAlgorithmProvider(&sha->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) {
        // CNG keeps the hash object itself when given no buffer (Windows 7 on).
        status = BCryptCreateHash(sha->algorithm, &sha->hash, nullptr, 0, nullptr, 0, 0);
    }
    if (!BCRYPT_SUCCESS(status)) {
        *reason = CngReason(status);
        return nullptr;
    }
    return sha.release();
}

bool PlatformSha256Add(PlatformSha256* sha, const void* data, size_t size, std::string* reason) {
    // CNG takes a 32-bit count a call.
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ULONG part = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        const NTSTATUS status =
            BCryptHashData(sha->hash, const_cast<unsigned char*>(bytes), part, 0);
        if (!BCRYPT_SUCCESS(status)) {
            *reason = CngReason(status);
            return false;
        }
        bytes += part;
        size -= part;
    }
    return true;
}

HashStatus PlatformSha256AddFile(PlatformSha256* sha, const std::string& path, bool (*stop)(),
                                 std::string* reason) {
    // Shared as the C runtime's fopen shares, so a file the script still holds open can be read.
    std::wstring widePath;
    const FileHandle file{
        Win32WidePath(path, &widePath)
            ? CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                          nullptr)
            : INVALID_HANDLE_VALUE};
    if (file.handle == INVALID_HANDLE_VALUE) {
        *reason = Win32SystemReason(path, GetLastError());
        return HashStatus::Failed;
    }
    const std::unique_ptr<unsigned char[]> block(new unsigned char[HashBlockSize]);
    for (;;) {
        if (stop()) {
            return HashStatus::Cancelled;
        }
        DWORD count = 0;
        if (!ReadFile(file.handle, block.get(), static_cast<DWORD>(HashBlockSize), &count,
                      nullptr)) {
            *reason = Win32SystemReason(path, GetLastError());
            return HashStatus::Failed;
        }
        if (count == 0) {
            return HashStatus::Done;
        }
        if (!PlatformSha256Add(sha, block.get(), count, reason)) {
            *reason = path + ": " + *reason;
            return HashStatus::Failed;
        }
    }
}

bool PlatformSha256Finish(PlatformSha256* sha, unsigned char* digest, std::string* reason) {
    const NTSTATUS status = BCryptFinishHash(sha->hash, digest, static_cast<ULONG>(Sha256Size), 0);
    if (!BCRYPT_SUCCESS(status)) {
        *reason = CngReason(status);
        return false;
    }
    return true;
}

// The copy lives only here, inside the original's provider, which it needs.
bool PlatformSha256Peek(const PlatformSha256* sha, unsigned char* digest, std::string* reason) {
    BCRYPT_HASH_HANDLE copy = nullptr;
    NTSTATUS status = BCryptDuplicateHash(sha->hash, &copy, nullptr, 0, 0);
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptFinishHash(copy, digest, static_cast<ULONG>(Sha256Size), 0);
        BCryptDestroyHash(copy);
    }
    if (!BCRYPT_SUCCESS(status)) {
        *reason = CngReason(status);
        return false;
    }
    return true;
}

void PlatformSha256Free(PlatformSha256* sha) {
    if (sha == nullptr) {
        return;
    }
    if (sha->hash != nullptr) {
        BCryptDestroyHash(sha->hash);
    }
    if (sha->algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(sha->algorithm, 0);
    }
    delete sha;
}

bool PlatformRandomBytes(void* bytes, size_t size) {
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(bytes),
                                          static_cast<ULONG>(size),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

// CNG and Schannel keep nothing per thread that outlives a call.
void PlatformEndThreadCrypto() {}
