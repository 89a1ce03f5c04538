// File hashing for the script: the host function HashFile.
#pragma once

struct lua_State;

// Lua: HashFile(path) -> the lowercase hex SHA-256 of the file's bytes (64 characters), or nil
// and a reason, as Lua's io functions: "<path>: <the system's words>", or
// "hash cancelled: the launcher is closing" once the launcher closes during the hash.
int HashFile(lua_State* L);
