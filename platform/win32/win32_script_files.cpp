// The script's own file functions on Windows. Lua 5.1's io.open, os.remove, os.rename and
// os.getenv take names in the ANSI code page (fopen, remove, rename, getenv), so a path the code
// page cannot hold names no file, and its file:seek counts in a C long, 32 bits here, so it
// cannot tell where a file past 2 GiB ends. These stand in for them under the same names, with
// the same results, on UTF-8 names and 64-bit offsets. Script worker only.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <lua.hpp>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// Where a file's offset stops being exact in a lua_Number (a double): 2^53.
const lua_Number LargestOffset = 9007199254740992.0;

// nil, "<name>: <strerror>" (or the bare words without a name) and the number, as Lua's own io and
// os functions fail.
int PushFailure(lua_State* L, const char* name, int error) {
    lua_pushnil(L);
    if (name != nullptr) {
        lua_pushfstring(L, "%s: %s", name, std::strerror(error));
    } else {
        lua_pushstring(L, std::strerror(error));
    }
    lua_pushinteger(L, error);
    return 3;
}

// The C++ side of each function, in a frame of its own: the wide strings must be gone before Lua
// may raise an error. Each gives errno's value on failure, EILSEQ for a name that is not UTF-8.

FILE* OpenWide(const char* name, const char* mode, int* error) {
    std::wstring wideName;
    std::wstring wideMode;
    if (!Win32WidePath(name, &wideName) || !Win32WideFromUtf8(mode, &wideMode)) {
        *error = EILSEQ;
        return nullptr;
    }
    FILE* file = _wfopen(wideName.c_str(), wideMode.c_str());
    *error = errno;
    return file;
}

bool RemoveWide(const char* name, int* error) {
    std::wstring wideName;
    if (!Win32WidePath(name, &wideName)) {
        *error = EILSEQ;
        return false;
    }
    const bool removed = _wremove(wideName.c_str()) == 0;
    *error = errno;
    return removed;
}

bool RenameWide(const char* from, const char* to, int* error) {
    std::wstring wideFrom;
    std::wstring wideTo;
    if (!Win32WidePath(from, &wideFrom) || !Win32WidePath(to, &wideTo)) {
        *error = EILSEQ;
        return false;
    }
    const bool renamed = _wrename(wideFrom.c_str(), wideTo.c_str()) == 0;
    *error = errno;
    return renamed;
}

// A plain record for the variable's value, so the binding's frame holds nothing with a
// destructor. A value longer than fits is cut, as no real one is.
struct EnvironmentValue {
    bool found;
    char text[32768 * 3 + 1]; // a variable's longest value, every unit as three UTF-8 bytes
};

void ReadEnvironment(const char* name, EnvironmentValue* value) {
    value->found = false;
    std::wstring wideName;
    if (!Win32WideFromUtf8(name, &wideName)) {
        return;
    }
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) {
        return;
    }
    std::wstring wide(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), &wide[0], size);
    std::string text;
    if (length >= size || !Win32Utf8FromWide(wide.substr(0, length), &text)) {
        return;
    }
    value->found = true;
    value->text[text.copy(value->text, sizeof value->text - 1)] = '\0';
}

// io.open(name [, mode]): the file object Lua's own io.open makes (the io library's metatable, and
// the environment whose __close the io library calls), opened by _wfopen.
int OpenFile(lua_State* L) {
    const char* name = luaL_checkstring(L, 1);
    const char* mode = luaL_optstring(L, 2, "r");
    FILE** file = static_cast<FILE**>(lua_newuserdata(L, sizeof(FILE*)));
    *file = nullptr; // closed until opened, as Lua's own makes it
    luaL_getmetatable(L, LUA_FILEHANDLE);
    lua_setmetatable(L, -2);
    int error = 0;
    *file = OpenWide(name, mode, &error);
    return *file != nullptr ? 1 : PushFailure(L, name, error);
}

int RemoveFile(lua_State* L) {
    const char* name = luaL_checkstring(L, 1);
    int error = 0;
    if (!RemoveWide(name, &error)) {
        return PushFailure(L, name, error);
    }
    lua_pushboolean(L, 1);
    return 1;
}

int RenameFile(lua_State* L) {
    const char* from = luaL_checkstring(L, 1);
    const char* to = luaL_checkstring(L, 2);
    int error = 0;
    if (!RenameWide(from, to, &error)) {
        return PushFailure(L, from, error);
    }
    lua_pushboolean(L, 1);
    return 1;
}

int GetEnvironment(lua_State* L) {
    const char* name = luaL_checkstring(L, 1);
    // Too large for the worker's stack; each thread running a script has its own.
    static thread_local EnvironmentValue value;
    ReadEnvironment(name, &value);
    if (value.found) {
        lua_pushstring(L, value.text);
    } else {
        lua_pushnil(L);
    }
    return 1;
}

// file:seek([whence [, offset]]) with _fseeki64 and _ftelli64; the position is a lua_Number, exact
// to 2^53 bytes.
int SeekFile(lua_State* L) {
    static const int origins[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    static const char* const names[] = {"set", "cur", "end", nullptr};
    FILE** file = static_cast<FILE**>(luaL_checkudata(L, 1, LUA_FILEHANDLE));
    if (*file == nullptr) {
        return luaL_error(L, "attempt to use a closed file");
    }
    const int origin = luaL_checkoption(L, 2, "cur", names);
    const lua_Number offset = luaL_optnumber(L, 3, 0);
    luaL_argcheck(L, offset >= -LargestOffset && offset <= LargestOffset, 3, "offset out of range");
    if (_fseeki64(*file, static_cast<__int64>(offset), origins[origin]) != 0) {
        return PushFailure(L, nullptr, errno);
    }
    const __int64 position = _ftelli64(*file);
    if (position < 0) {
        return PushFailure(L, nullptr, errno);
    }
    lua_pushnumber(L, static_cast<lua_Number>(position));
    return 1;
}

// Replaces table[name] (the table on top of the stack) with function.
void Replace(lua_State* L, const char* name, lua_CFunction function) {
    lua_pushcfunction(L, function);
    lua_setfield(L, -2, name);
}

} // namespace

void PlatformOpenScriptFiles(lua_State* L) {
    lua_getglobal(L, "io");
    // Files made by OpenFile are closed by the io library's own __close, which it finds in the
    // environment of the function that made them: Lua's io.open's.
    lua_getfield(L, -1, "open");
    lua_pushcfunction(L, OpenFile);
    lua_getfenv(L, -2);
    lua_setfenv(L, -2);
    lua_setfield(L, -3, "open");
    lua_pop(L, 2);

    lua_getglobal(L, "os");
    Replace(L, "remove", RemoveFile);
    Replace(L, "rename", RenameFile);
    Replace(L, "getenv", GetEnvironment);
    lua_pop(L, 1);

    // The file methods live in the metatable itself (its __index).
    luaL_getmetatable(L, LUA_FILEHANDLE);
    Replace(L, "seek", SeekFile);
    lua_pop(L, 1);
}
