// Win32 file hashing: ReadFile blocks into CNG's SHA-256 (bcrypt.dll, which Windows has from
// Vista on). The path is bytes in the ANSI code page, opened by CreateFileA like the other file
// calls, and the reasons are FormatMessageA's text in the same code page.
#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <memory>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// CNG reports an NTSTATUS, which FormatMessage's system table does not hold.
std::string CngReason(const std::string& path, NTSTATUS status) {
    char text[64];
    std::snprintf(text, sizeof text, "SHA-256 failed (status 0x%08lx)",
                  static_cast<unsigned long>(status));
    return path + ": " + text;
}

struct FileHandle {
    HANDLE handle;
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

struct Sha256 {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~Sha256() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
};

} // namespace

HashStatus PlatformHashFileSha256(const std::string& path, bool (*stop)(), unsigned char* digest,
                                  std::string* reason) {
    // Shared as the C runtime's fopen shares, so a file the script still holds open can be read.
    const FileHandle file{CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) {
        *reason = Win32SystemReason(path, GetLastError());
        return HashStatus::Failed;
    }
    Sha256 sha;
    NTSTATUS status =
        BCryptOpenAlgorithmProvider(&sha.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) {
        // CNG keeps the hash object itself when given no buffer (Windows 7 on).
        status = BCryptCreateHash(sha.algorithm, &sha.hash, nullptr, 0, nullptr, 0, 0);
    }
    if (!BCRYPT_SUCCESS(status)) {
        *reason = CngReason(path, status);
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
            break;
        }
        status = BCryptHashData(sha.hash, block.get(), count, 0);
        if (!BCRYPT_SUCCESS(status)) {
            *reason = CngReason(path, status);
            return HashStatus::Failed;
        }
    }
    status = BCryptFinishHash(sha.hash, digest, static_cast<ULONG>(Sha256Size), 0);
    if (!BCRYPT_SUCCESS(status)) {
        *reason = CngReason(path, status);
        return HashStatus::Failed;
    }
    return HashStatus::Done;
}
