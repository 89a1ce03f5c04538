// Waiting for a file that another program holds open: a client still running from the install,
// a virus scanner reading a program just written.
#pragma once

#include <chrono>
#include <functional>
#include <string>

// How long a busy file is waited for before the action gives up.
constexpr std::chrono::seconds BusyFileWait{30};

enum class BusyAttempt { Done, Failed, Busy };

// Runs attempt until it is Done or Failed, or, while it answers Busy, again after growing pauses
// (0.1 s doubling up to 2 s) until BusyFileWait has passed, with the line "Waiting for a file in
// use by another program: <path>" on std::cout as it begins and the status line naming the file
// meanwhile ("文件被占用：<name>，请关闭游戏…") and given back once the file is had. The
// launcher's close ends a pause at once. Gives the last attempt's answer: Busy when the wait ran
// out or the launcher is closing. Any thread may call it, several at once.
BusyAttempt RetryWhileBusy(const std::string& path, const std::function<BusyAttempt()>& attempt);

// The reason for a file that stayed busy through the wait: "<path>: in use by another program
// (the game itself, perhaps)", and the system's words when given.
std::string BusyReason(const std::string& path, const std::string& systemReason);
