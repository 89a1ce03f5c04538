// Win32 log: the C runtime's descriptors 1 and 2 and the two standard handles become named pipes,
// read by one logger thread with overlapped reads (anonymous pipes cannot wait side by side). It
// copies every byte on to the handles the streams had before, when they had any (a GUI program
// started from the shell has none), and writes the lines (app/launcher_log.h) into
// %LOCALAPPDATA%\GameLauncher\launcher.log. Implements the log part of platform/platform.h.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "app/launcher_log.h"
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// Once the streams are handed back the logger ends at once, unless a writer is stuck.
const auto StopPatience = std::chrono::seconds(1);
const DWORD PipeBufferSize = 64 * 1024;

struct Stream {
    int fd;                // 1 or 2
    DWORD handleId;        // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE
    HANDLE before;         // the standard handle as it was, null or invalid included
    int original;          // C runtime copy of fd before the log; -1 when fd had no usable handle
    HANDLE destination;    // original's handle, where the bytes go on to; null when there is none
    HANDLE pipe;           // the reading end, overlapped
    OVERLAPPED overlapped; // the read under way
    bool open;
    char buffer[PipeBufferSize];
};

// Never freed: a logger still stuck at exit must not find its state destroyed.
struct LogState {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path; // UTF-8
    Stream streams[2] = {};
    LogLines lines;
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    std::atomic<bool> stopped{false};
};

LogState* State = nullptr;

bool Usable(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           handle != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)) &&
           GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

std::wstring LocalAppData() {
    const DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (size == 0) {
        return std::wstring();
    }
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", &value[0], size);
    value.resize(length < size ? length : 0);
    return value;
}

bool MakeFolder(const std::wstring& path) {
    CreateDirectoryW(path.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

LogTime Now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear,   now.wMonth,  now.wDay,         now.wHour,
            now.wMinute, now.wSecond, now.wMilliseconds};
}

bool WriteAll(HANDLE handle, const char* bytes, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes, static_cast<DWORD>(size), &written, nullptr)) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

void WriteLog(LogState* state, const std::string& text) {
    // A log that fails once is given up: the streams must never wait for it.
    if (state->file != INVALID_HANDLE_VALUE && !text.empty() &&
        !WriteAll(state->file, text.data(), text.size())) {
        CloseHandle(state->file);
        state->file = INVALID_HANDLE_VALUE;
    }
}

// The stream gets its bytes first, so a log that cannot be written costs it nothing.
void Deliver(LogState* state, int index, DWORD size) {
    Stream& stream = state->streams[index];
    if (stream.destination != nullptr && !WriteAll(stream.destination, stream.buffer, size)) {
        stream.destination = nullptr;
    }
    std::string text;
    AddLogBytes(&state->lines, static_cast<LogStream>(index), stream.buffer, size, Now(), &text);
    WriteLog(state, text);
}

// Starts the next read; its end signals the stream's event, also when it ends at once.
void StartRead(Stream* stream) {
    if (!ReadFile(stream->pipe, stream->buffer, PipeBufferSize, nullptr, &stream->overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        stream->open = false; // ERROR_BROKEN_PIPE: no writer left
    }
}

// Runs until both pipes have no writer left, that is until PlatformStopLog handed the streams
// back and the last write that was under way has landed.
void RunLogger(LogState* state) {
    for (Stream& stream : state->streams) {
        StartRead(&stream);
    }
    for (;;) {
        HANDLE events[2];
        DWORD count = 0;
        for (Stream& stream : state->streams) {
            if (stream.open) {
                events[count++] = stream.overlapped.hEvent;
            }
        }
        if (count == 0 || WaitForMultipleObjects(count, events, FALSE, INFINITE) >= count) {
            break;
        }
        // Out before err when both have bytes: that is the order the logger sees them in.
        for (int i = 0; i < 2; ++i) {
            Stream& stream = state->streams[i];
            if (!stream.open || WaitForSingleObject(stream.overlapped.hEvent, 0) != WAIT_OBJECT_0) {
                continue;
            }
            DWORD got = 0;
            if (!GetOverlappedResult(stream.pipe, &stream.overlapped, &got, FALSE)) {
                stream.open = false;
                continue;
            }
            Deliver(state, i, got);
            StartRead(&stream);
        }
    }
    std::string text;
    FinishLogLines(&state->lines, Now(), &text);
    WriteLog(state, text);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->finished = true;
    state->ended.notify_all();
}

// A named pipe of our own (one instance, first of its name, taken by our writing end at once, so
// nobody else can connect) and that writing end.
bool MakePipe(Stream* stream, int index, HANDLE* writeEnd) {
    const std::wstring name = L"\\\\.\\pipe\\GameLauncherLog-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(index) + L"-" + std::to_wstring(GetTickCount());
    stream->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stream->pipe = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, PipeBufferSize, 0, nullptr);
    *writeEnd =
        stream->pipe == INVALID_HANDLE_VALUE
            ? INVALID_HANDLE_VALUE
            : CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    stream->open = true;
    return stream->overlapped.hEvent != nullptr && *writeEnd != INVALID_HANDLE_VALUE;
}

void CloseStream(Stream* stream, HANDLE writeEnd) {
    if (stream->original >= 0) {
        _close(stream->original);
    }
    for (HANDLE handle : {stream->overlapped.hEvent, stream->pipe, writeEnd}) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
}

// Puts the pipe's writing end in the place of the stream's descriptor and standard handle. Text
// mode, as the C runtime gives the standard descriptors: "\n" still reaches the stream as "\r\n".
void Redirect(const Stream& stream, HANDLE writeEnd) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_TEXT);
    if (fd < 0) {
        CloseHandle(writeEnd);
        return;
    }
    if (fd == stream.fd || _dup2(fd, stream.fd) == 0) {
        const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(stream.fd));
        // _dup2 makes an inheritable handle; a started client must not hold the pipe.
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
        SetStdHandle(stream.handleId, handle);
    }
    if (fd != stream.fd) {
        _close(fd);
    }
}

void StopAtExit() {
    (void)PlatformStopLog();
}

} // namespace

bool PlatformStartLog() {
    if (State != nullptr) {
        return true;
    }
    const std::wstring base = LocalAppData();
    const std::wstring folder = base + L"\\GameLauncher";
    if (base.empty() || !MakeFolder(base) || !MakeFolder(folder)) {
        return false;
    }
    const std::wstring path = folder + L"\\launcher.log";
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        ((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) >
            LogRotateSize) {
        // Should the move fail, the log just goes on growing.
        MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LogState* state = new LogState;
    state->file = file;
    Win32Utf8FromWide(path, &state->path);
    HANDLE writeEnds[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    bool ready = true;
    for (int i = 0; i < 2; ++i) {
        Stream& stream = state->streams[i];
        stream.fd = i + 1;
        stream.handleId = i == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
        stream.before = GetStdHandle(stream.handleId);
        stream.original =
            Usable(reinterpret_cast<HANDLE>(_get_osfhandle(stream.fd))) ? _dup(stream.fd) : -1;
        stream.destination = stream.original >= 0
                                 ? reinterpret_cast<HANDLE>(_get_osfhandle(stream.original))
                                 : nullptr;
        ready = MakePipe(&stream, i, &writeEnds[i]) && ready;
    }
    if (ready) {
        try {
            std::thread(RunLogger, state).detach();
        } catch (const std::exception&) {
            ready = false;
        }
    }
    if (!ready) {
        for (int i = 0; i < 2; ++i) {
            CloseStream(&state->streams[i], writeEnds[i]);
        }
        CloseHandle(file);
        delete state;
        return false;
    }
    // Each write is handed on at once, so the log's times are the lines' own: msvcrt has no line
    // buffering, and a pipe would make stdout fully buffered.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 0; i < 2; ++i) {
        Redirect(state->streams[i], writeEnds[i]);
    }
    State = state;
    std::atexit(StopAtExit);
    return true;
}

bool PlatformStopLog() {
    LogState* state = State;
    if (state == nullptr || state->stopped.exchange(true)) {
        return true;
    }
    // stdout is unbuffered while the log runs, so no bytes wait in a buffer.
    for (const Stream& stream : state->streams) {
        if (stream.original >= 0 && _dup2(stream.original, stream.fd) == 0) {
            SetStdHandle(stream.handleId, reinterpret_cast<HANDLE>(_get_osfhandle(stream.fd)));
        } else {
            _close(stream.fd);
            SetStdHandle(stream.handleId, stream.before);
        }
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->ended.wait_for(lock, StopPatience, [state] { return state->finished; });
}

const char* PlatformLogPath() {
    return State != nullptr ? State->path.c_str() : nullptr;
}
