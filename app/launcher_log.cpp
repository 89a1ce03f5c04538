#include "app/launcher_log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

// The worker ends within moments of ExitApp; a script that goes on regardless must not keep the
// launcher from ending.
const auto WorkerPatience = std::chrono::seconds(2);

void AppendPrefix(const LogTime& now, LogStream stream, std::string* text) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s ", now.year,
                  now.month, now.day, now.hour, now.minute, now.second, now.millisecond,
                  stream == LogStream::Out ? "out" : "err");
    text->append(prefix);
}

} // namespace

void AddLogBytes(LogLines* lines, LogStream stream, const char* bytes, size_t size,
                 const LogTime& now, std::string* text) {
    std::string& pending = lines->pending[static_cast<int>(stream)];
    while (size > 0) {
        const size_t room = LogLineLimit - pending.size();
        const char* end = static_cast<const char*>(std::memchr(bytes, '\n', size));
        const size_t take = end != nullptr ? static_cast<size_t>(end - bytes) + 1 : size;
        if (take > room) {
            pending.append(bytes, room);
            bytes += room;
            size -= room;
            pending += '\n';
        } else {
            pending.append(bytes, take);
            bytes += take;
            size -= take;
            if (pending.back() != '\n') {
                return;
            }
        }
        AppendPrefix(now, stream, text);
        text->append(pending);
        pending.clear();
    }
}

void FinishLogLines(LogLines* lines, const LogTime& now, std::string* text) {
    for (LogStream stream : {LogStream::Out, LogStream::Err}) {
        std::string& pending = lines->pending[static_cast<int>(stream)];
        if (!pending.empty()) {
            AppendPrefix(now, stream, text);
            text->append(pending);
            *text += '\n';
            pending.clear();
        }
    }
}

bool EndLauncherLog() {
    // After ExitApp the worker still writes the script's failure line and closes the
    // interpreter; lines written after the log has ended reach the streams but not the log.
    const auto end = std::chrono::steady_clock::now() + WorkerPatience;
    while (ScriptBusy.load() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return PlatformStopLog();
}
