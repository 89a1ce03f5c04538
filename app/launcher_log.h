// The launcher's log, the part that is the same on every platform: how the bytes of the two
// standard streams become the log's lines, and how the launcher ends it. Each backend's logger
// (platform/*/..._log.cpp) reads the redirected streams and feeds what it reads through here.
#pragma once

#include <cstddef>
#include <string>

enum class LogStream { Out = 0, Err = 1 };

// Local wall-clock time as written in front of each line.
struct LogTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
};

// A log larger than this at start-up is renamed to launcher.log.1.
const unsigned long long LogRotateSize = 1 << 20;
// A line is cut into parts of at most this many bytes, so a stream without line breaks cannot
// grow the logger's memory.
const size_t LogLineLimit = 64 * 1024;

// The part of each stream's last line that has not ended yet.
struct LogLines {
    std::string pending[2];
};

// Takes bytes read from one stream and appends to *text every line they complete, as
// "YYYY-MM-DD HH:MM:SS.mmm out|err <the line's bytes, its line break included>".
void AddLogBytes(LogLines* lines, LogStream stream, const char* bytes, size_t size,
                 const LogTime& now, std::string* text);

// Appends the unfinished last line of each stream, out first, closed by a line break.
void FinishLogLines(LogLines* lines, const LogTime& now, std::string* text);

// The main functions' last step: waits (bounded) for the script worker to write its last lines,
// then ends the log (PlatformStopLog). False when the logger did not finish in its time.
bool EndLauncherLog();
