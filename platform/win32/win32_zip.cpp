// Win32 zip archives: minizip on file functions of our own, which open the wide path, count in
// 64-bit offsets and read through a buffer. minizip reads an entry's records a byte or a field at a
// time (about 200 reads per entry as the extraction walks and opens it); unbuffered, each of those
// is a ReadFile, which for a client of 20,000 files costs seconds on Windows and more under Wine.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>

#include <unzip.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// Large enough to hold many directory records, small enough to cost nothing per thread.
constexpr DWORD ReadBufferSize = 64 * 1024;

struct BufferedFile {
    HANDLE file;
    ZPOS64_T position;    // where the next read starts
    ZPOS64_T bufferStart; // the file offset of buffer[0]
    DWORD bufferLength;   // bytes of buffer that hold the file's
    bool failed;
    unsigned char buffer[ReadBufferSize];
};

// One ReadFile at an offset; a synchronous handle takes the offset from the OVERLAPPED, so no
// seek call is needed.
bool ReadAt(HANDLE file, ZPOS64_T offset, void* into, DWORD size, DWORD* got) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (ReadFile(file, into, size, got, &at)) {
        return true;
    }
    // Reading at or past the end is no failure, only nothing read.
    *got = 0;
    return GetLastError() == ERROR_HANDLE_EOF;
}

voidpf ZCALLBACK OpenFile(voidpf, const void* name, int mode) {
    // The extraction only reads.
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
        return nullptr;
    }
    HANDLE file = CreateFileW(static_cast<const wchar_t*>(name), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* stream = new (std::nothrow) BufferedFile;
    if (stream == nullptr) {
        CloseHandle(file);
        return nullptr;
    }
    stream->file = file;
    stream->position = 0;
    stream->bufferStart = 0;
    stream->bufferLength = 0;
    stream->failed = false;
    return stream;
}

uLong ZCALLBACK ReadFromFile(voidpf, voidpf opened, void* into, uLong size) {
    auto* stream = static_cast<BufferedFile*>(opened);
    auto* out = static_cast<unsigned char*>(into);
    uLong done = 0;
    while (done < size) {
        const ZPOS64_T bufferEnd = stream->bufferStart + stream->bufferLength;
        if (stream->position >= stream->bufferStart && stream->position < bufferEnd) {
            const DWORD skip = static_cast<DWORD>(stream->position - stream->bufferStart);
            const DWORD part = static_cast<DWORD>(
                std::min<ZPOS64_T>(size - done, bufferEnd - stream->position));
            std::memcpy(out + done, stream->buffer + skip, part);
            done += part;
            stream->position += part;
            continue;
        }
        DWORD got = 0;
        if (size - done >= ReadBufferSize) {
            // A large read (an entry's data) goes straight into the caller's memory.
            if (!ReadAt(stream->file, stream->position, out + done, size - done, &got)) {
                stream->failed = true;
            }
            done += got;
            stream->position += got;
            break;
        }
        ZPOS64_T start = stream->position;
        if (stream->bufferLength > 0 && stream->position < stream->bufferStart) {
            // Reading backwards, as minizip looks for the end of the directory: what is asked
            // goes at the buffer's end, so that the next step back is in it too.
            const ZPOS64_T before = ReadBufferSize - (size - done);
            start = stream->position > before ? stream->position - before : 0;
        }
        if (!ReadAt(stream->file, start, stream->buffer, ReadBufferSize, &got)) {
            stream->failed = true;
            got = 0;
        }
        stream->bufferStart = start;
        stream->bufferLength = got;
        if (stream->position >= start + got) {
            break;
        }
    }
    return done;
}

uLong ZCALLBACK WriteToFile(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK TellFile(voidpf, voidpf opened) {
    return static_cast<BufferedFile*>(opened)->position;
}

long ZCALLBACK SeekFile(voidpf, voidpf opened, ZPOS64_T offset, int origin) {
    auto* stream = static_cast<BufferedFile*>(opened);
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        stream->position = offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
        stream->position += offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_END: {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(stream->file, &size)) {
            return -1;
        }
        stream->position = static_cast<ZPOS64_T>(size.QuadPart) + offset;
        return 0;
    }
    default:
        return -1;
    }
}

int ZCALLBACK CloseFile(voidpf, voidpf opened) {
    auto* stream = static_cast<BufferedFile*>(opened);
    const int result = CloseHandle(stream->file) ? 0 : -1;
    delete stream;
    return result;
}

int ZCALLBACK FileError(voidpf, voidpf opened) {
    return static_cast<BufferedFile*>(opened)->failed ? 1 : 0;
}

} // namespace

void* PlatformOpenZip(const std::string& path) {
    std::wstring widePath;
    if (!Win32WidePath(path, &widePath)) {
        return nullptr;
    }
    zlib_filefunc64_def functions = {OpenFile,  ReadFromFile, WriteToFile, TellFile,
                                     SeekFile,  CloseFile,    FileError,   nullptr};
    return unzOpen2_64(widePath.c_str(), &functions);
}
