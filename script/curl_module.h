// The `cURL` Lua module: easy handles over libcurl with a URL and one synchronous transfer, and
// what a failed transfer was (libcurl's result code) for a script that decides on a retry.
#pragma once

struct lua_State;

// Opens the module: sets the global `cURL`, creates the "CURL.easy" metatable, initialises
// libcurl, and returns the module table. Reached through package.preload["cURL"].
extern "C" int luaopen_cURL(lua_State* L);

// Seconds a connection attempt may take, and seconds a transfer may go on receiving (almost)
// nothing, before perform fails; read by easy_init. 30 in the program: only tests shorten it.
extern long DeadConnectionSeconds;
// A PEM file of certificate authorities that easy_init trusts for HTTPS (CURLOPT_CAINFO), so tests
// can trust a CA of their own. Null in the program, which trusts only the system's store.
extern const char* TestCertificateAuthority;
