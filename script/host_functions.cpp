#include "script/host_functions.h"

#include <chrono>
#include <cstdint>
#include <string>

#include <lua.hpp>

#include "actions/archive_size.h"
#include "actions/hash_file.h"
#include "actions/run_executable.h"
#include "actions/unzip.h"
#include "app/message_hand_off.h"
#include "app/status_line.h"
#include "app/ui_wake.h"
#include "platform/platform.h"
#include "script/curl_module.h"
#include "script/plain_text.h"
#include "script/shared_state.h"
#include "script/truncate.h"

namespace {

constexpr lua_Number MaxSleepSeconds = 86400;

// Registration order is part of the contract: later entries may rely on earlier ones.
// clang-format off
const luaL_Reg HostFunctionTable[] = {
    {"SetProgress", SetProgress},
    {"ExitApp", ExitApp},
    {"HideConsole", HideConsole},
    {"Unzip", Unzip},
    {"RunExecutable", RunExecutable},
    {"ShowMessage", ShowMessage},
    {"HashFile", HashFile},
    {"LogPath", LogPath},
    {"SetStatus", SetStatus},
    {"Sleep", SleepUnlessClosing},
    {"Sha256", Sha256},
    {"RemoveFileDurably", RemoveFileDurably},
    {"Random", Random},
    {"FreeSpace", FreeSpace},
    {"ArchiveSize", ArchiveSize},
    {"UserFolder", UserFolderPath},
    {nullptr, nullptr},
};
// clang-format on

// Makes require("cURL") open the built-in module without searching the file system; the module
// itself is opened only by the script's first require.
void RegisterPreloads(lua_State* L) {
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "preload");
    lua_pushcfunction(L, luaopen_cURL);
    lua_setfield(L, -2, "cURL");
    lua_pop(L, 2);
}

// The C++ side of ShowMessage, in a frame of its own: nothing with a destructor may live in a
// frame where Lua raises an error.
void ShowCheckedMessage(const char* text, size_t textSize, const char* title, size_t titleSize) {
    const std::wstring wideTitle =
        title != nullptr ? PlatformWideFromUtf8(std::string(title, titleSize)) : L"Game Launcher";
    ShowScriptMessage(PlatformWideFromUtf8(std::string(text, textSize)), wideTitle);
}

// The C++ side of SetStatus, in a frame of its own like ShowCheckedMessage's.
void HandOverCheckedStatus(const char* text, size_t textSize) {
    HandOverStatus(PlatformWideFromUtf8(std::string(text, textSize)));
}

// A plain record, so that RemoveFileDurably's frame, where Lua may raise errors, holds nothing
// with a destructor.
struct RemoveOutcome {
    bool removed;
    char reason[PlainTextCapacity]; // always terminated
};

// UserFolder's record, plain like RemoveOutcome: the path, or the reason.
struct FolderOutcome {
    bool found;
    char text[PlainTextCapacity]; // always terminated
};

void FindUserFolder(UserFolder kind, FolderOutcome* outcome) {
    std::string path;
    std::string reason;
    outcome->found = PlatformUserFolder(kind, &path, &reason);
    const std::string& text = outcome->found ? path : reason;
    CopyPlainText(text, outcome->text);
}

void RemovePathDurably(const char* path, RemoveOutcome* outcome) {
    std::string reason;
    outcome->removed = PlatformRemoveFileDurably(path, &reason);
    CopyPlainText(reason, outcome->reason);
}

// As RemoveOutcome, for FreeSpace.
struct SpaceOutcome {
    bool known;
    unsigned long long bytes;
    char volume[PlainTextCapacity]; // always terminated
    char reason[PlainTextCapacity]; // always terminated
};

void AskFreeSpace(const char* folder, SpaceOutcome* outcome) {
    std::string volume;
    std::string reason;
    outcome->known = PlatformFreeSpace(folder, &outcome->bytes, &volume, &reason);
    CopyPlainText(volume, outcome->volume);
    CopyPlainText(reason, outcome->reason);
}

} // namespace

void RegisterHostFunctions() {
    lua_State* L = ScriptState;
    for (const luaL_Reg* entry = HostFunctionTable; entry->name != nullptr; ++entry) {
        lua_register(L, entry->name, entry->func);
    }
    PlatformOpenScriptFiles(L);
    RegisterPreloads(L);
}

int SetProgress(lua_State* L) {
    const lua_Number fraction = luaL_checknumber(L, 1);
    ProgressPercent.exchange(TruncateToInt32(fraction * 100.0));
    WakeUi();
    return 0;
}

int ExitApp(lua_State* L) {
    // Any other argument is ignored, as it always was: the code is 0.
    const int code = lua_isnumber(L, 1) ? static_cast<int>(lua_tointeger(L, 1)) : 0;
    RequestExit(code);
    WakeUi();
    // Goes to the worker's own queue, which nothing reads: the UI loop ends on AppRunning.
    PlatformPostQuit(code);
    return 0;
}

int HideConsole(lua_State* /*L*/) {
    PlatformHideConsole();
    return 0;
}

int ShowMessage(lua_State* L) {
    size_t textSize = 0;
    const char* text = luaL_checklstring(L, 1, &textSize);
    size_t titleSize = 0;
    const char* title = luaL_optlstring(L, 2, nullptr, &titleSize);
    ShowCheckedMessage(text, textSize, title, titleSize);
    return 0;
}

int LogPath(lua_State* L) {
    const char* path = PlatformLogPath();
    if (path != nullptr) {
        lua_pushstring(L, path);
    } else {
        lua_pushnil(L);
    }
    return 1;
}

int SleepUnlessClosing(lua_State* L) {
    const lua_Number seconds = luaL_checknumber(L, 1);
    // Bounded so that the conversion to a duration stays defined; NaN fails the check too.
    luaL_argcheck(L, seconds >= 0 && seconds <= MaxSleepSeconds, 1, "0 to 86400 seconds expected");
    const auto duration = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0 + 0.5));
    lua_pushboolean(L, WaitUnlessClosing(duration));
    return 1;
}

int SetStatus(lua_State* L) {
    size_t textSize = 0;
    const char* text = luaL_checklstring(L, 1, &textSize);
    HandOverCheckedStatus(text, textSize);
    return 0;
}

int RemoveFileDurably(lua_State* L) {
    const char* path = luaL_checkstring(L, 1);
    RemoveOutcome outcome;
    RemovePathDurably(path, &outcome);
    if (outcome.removed) {
        lua_pushboolean(L, 1);
        return 1;
    }
    lua_pushnil(L);
    lua_pushstring(L, outcome.reason);
    return 2;
}

int Random(lua_State* L) {
    uint64_t bits = 0;
    if (!PlatformRandomBytes(&bits, sizeof bits)) {
        // Without the system's source the clock still keeps launchers apart.
        bits = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
               0x9E3779B97F4A7C15ull;
    }
    // The top 53 bits, as many as a double holds exactly.
    lua_pushnumber(L, static_cast<lua_Number>(bits >> 11) / 9007199254740992.0);
    return 1;
}

int FreeSpace(lua_State* L) {
    const char* folder = luaL_checkstring(L, 1);
    SpaceOutcome outcome;
    AskFreeSpace(folder, &outcome);
    if (!outcome.known) {
        lua_pushnil(L);
        lua_pushstring(L, outcome.reason);
        return 2;
    }
    // A double holds every byte count below 2^53, 8 PiB.
    lua_pushnumber(L, static_cast<lua_Number>(outcome.bytes));
    lua_pushstring(L, outcome.volume);
    return 2;
}

int UserFolderPath(lua_State* L) {
    static const char* const kinds[] = {"documents", "local-app-data", nullptr};
    const int kind = luaL_checkoption(L, 1, nullptr, kinds);
    FolderOutcome outcome;
    FindUserFolder(kind == 0 ? UserFolder::Documents : UserFolder::LocalAppData, &outcome);
    if (!outcome.found) {
        lua_pushnil(L);
    }
    lua_pushstring(L, outcome.text);
    return outcome.found ? 1 : 2;
}
