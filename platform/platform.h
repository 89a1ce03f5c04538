// What the core needs from the operating system. Each backend (platform/linux, platform/win32)
// implements these; the core never includes a system header for them.
#pragma once

#include <string>

// --- Clock ---

// Seconds since the first call (that call takes the base and so returns about 0); never negative.
double GetElapsedSeconds();

// --- Event queue ---

// Posts a quit request with the exit code to the calling thread's own queue. Only that thread's
// event loop sees it: a request posted by the script worker reaches no loop.
void PlatformPostQuit(int exitCode);

// Takes the calling thread's pending quit request, if any.
bool PlatformTakeQuit(int* exitCode);

// --- Console ---

// Hides the console window attached to the process; does nothing when there is none.
void PlatformHideConsole();

// --- File system ---
// Paths are narrow byte strings, passed on unchanged (on Windows read in the ANSI code page).

// Whether the path exists, as a file or as a folder.
bool PlatformPathExists(const std::string& path);

// Creates exactly one folder (its parent must exist); true on success.
bool PlatformCreateFolder(const std::string& path);

// Gives an extracted file the read, write and execute bits for owner, group and other that its
// archive recorded (mode & 0777; set-id and sticky bits are never applied), so a client program
// unpacked from a Unix-made archive can be started. Does nothing where files carry no such bits.
void PlatformApplyPermissions(const std::string& path, unsigned int unixMode);

// --- Processes ---

// Starts the program at exePath with commandLine (the text that follows the program name, as
// given to CreateProcessW) in workingDir, with the launcher's environment, without waiting for it
// and keeping no handle. On success returns true and the process id; on failure false and the
// platform's error number. The three strings are bytes like the file system paths: on Windows
// they are converted from the active ANSI code page, so a user folder with non-ASCII letters names
// the same file here as in the extraction (never widened byte by byte with sign extension). On
// Linux the child gets the program path (made absolute against the launcher's working folder)
// and then the command line's words, split at spaces.
bool PlatformStartProcess(const std::string& exePath, const std::string& commandLine,
                          const std::string& workingDir, unsigned long* processIdOrError);
