// The native functions through which the script acts on the program.
#pragma once

struct lua_State;

// Registers the host functions and the preload entries on ScriptState, and gives the script's io
// and os functions the platform's paths and sizes (PlatformOpenScriptFiles), leaving its stack as
// found.
void RegisterHostFunctions();

int SetProgress(lua_State* L);
int ExitApp(lua_State* L);
int HideConsole(lua_State* L);

// ShowMessage(text [, title]): a modal box with the error icon and one OK button, title "Game
// Launcher" when none is given; both UTF-8 like the carried script. Returns once the box is closed,
// or at once, showing nothing, once the launcher is closing.
int ShowMessage(lua_State* L);

// LogPath(): the path of the launcher's log file as UTF-8 text, for the player to send to support,
// or nil when the launcher writes no log.
int LogPath(lua_State* L);

// SetStatus(text): the line shown above the bar from the splash's next tick on; UTF-8 like the
// carried script, "" shows nothing. Only hands the text over, so any progress callback may call it.
int SetStatus(lua_State* L);

// Sleep(seconds): waits on the worker, from 0 to 86400 seconds; true once the time has passed,
// false at once or as soon as the launcher is closing. Named apart from Win32's Sleep.
int SleepUnlessClosing(lua_State* L);

// RemoveFileDurably(path): removes the file as os.remove does, then waits until the removal is on
// the disk where the system allows it (on Linux, its folder's fsync), so that once it returns a
// power cut cannot bring the file back. true, or nil and "<path>: <the system's words>".
int RemoveFileDurably(lua_State* L);

// Random(): a number drawn uniformly from [0, 1) out of the system's random source, so that
// launchers started in the same second still draw apart (Lua's math.random is C's rand, which
// needs a seed, and on Windows gives nearly equal first numbers for nearly equal seeds).
int Random(lua_State* L);

// FreeSpace(folder): the bytes the user may still write on the disk that holds the folder, and
// that disk's root (Windows: "C:\"; Linux: its mount point), for the player's message; or nil and
// "<folder>: <the system's words>".
int FreeSpace(lua_State* L);

// UserFolder(kind): the user's folder the client is installed below, "documents" or
// "local-app-data", as UTF-8 with "/" between names (see PlatformUserFolder); or nil and the
// reason. Named apart from the platform's enum.
int UserFolderPath(lua_State* L);
