// Hashing for the script: the host functions HashFile and Sha256.
#pragma once

#include <string>

#include "platform/platform.h"

struct lua_State;

// Reads the file at path block by block, never whole, into SHA-256, and on Done writes the
// Sha256Size bytes of its digest to digest. Asks stop() before each block and gives up as soon as
// it returns true. The script worker may call it.
HashStatus HashFileSha256(const std::string& path, bool (*stop)(), unsigned char* digest,
                          std::string* reason);

// Lua: HashFile(path) -> the lowercase hex SHA-256 of the file's bytes (64 characters), or nil
// and a reason, as Lua's io functions: "<path>: <the system's words>", or
// "hash cancelled: the launcher is closing" once the launcher closes during the hash.
int HashFile(lua_State* L);

// Lua: Sha256() -> a hash fed in steps, so a download is hashed as it is written, or nil and a
// reason when the system's SHA-256 cannot start. Its methods:
//   update(bytes) -> true, or nil and a reason;
//   update_file(path) -> true once the file's bytes are added, or nil and a reason as HashFile's;
//   hexdigest() -> the lowercase hex SHA-256 of all the bytes added, or nil and a reason; the hash
//   takes no more bytes afterwards ("the hash is finished");
//   hexdigest_so_far() -> the same for the bytes added so far, and the hash takes more after.
int Sha256(lua_State* L);
