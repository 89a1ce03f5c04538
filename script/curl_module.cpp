// The `cURL` Lua module over libcurl: `easy_init` and `getdate`, and on each handle `setopt_url`,
// `setopt_resume_from`, `perform` and `last_result`.
//
// Lua errors are longjmps and libcurl must never be unwound by one, so every Lua callback runs
// under lua_cpcall (which also protects pushing its arguments). A callback that raises stops the
// transfer through libcurl's own refusal values; perform raises the kept error value once
// curl_easy_perform has returned. Nothing in this file owns a C++ destructor.
//
// Every transfer watches LauncherClosing() from its transfer-info callback, which libcurl calls
// about once a second even when nothing arrives, so closing the window ends a stalled download.
#include "script/curl_module.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <curl/curl.h>
#include <lua.hpp>

#include "script/shared_state.h"

long DeadConnectionSeconds = 30;
const char* TestCertificateAuthority = nullptr;

namespace {

const char* const EasyMetatable = "CURL.easy";
const long ReceiveBufferSize = 1024L * 1024;
const char* const ClosingMessage = "download cancelled: the launcher is closing";

// One easy handle as the script sees it. It lives inside a full userdata, which Lua never moves,
// so libcurl may keep the address of errorBuffer for the handle's whole life.
struct EasyHandle {
    CURL* curl;
    char errorBuffer[CURL_ERROR_SIZE];
    // Set while curl_easy_perform runs, so callbacks cannot change or reuse the handle under it.
    bool performing;
    // libcurl's code for the last perform: a failure's text is for people, this is for the script.
    CURLcode lastResult;
};

// Positions of the callback functions in the table perform snapshots before the transfer.
enum CallbackSlot { WriteSlot = 1, HeaderSlot, ReadSlot, ProgressSlot };

const char* const CallbackFields[] = {"writefunction", "headerfunction", "readfunction",
                                      "progressfunction"};

// What the libcurl callbacks of one perform share.
struct Transfer {
    lua_State* L;
    int callbacksRef;
    // A callback raised an error; its value waits on top of L's stack for perform to raise.
    bool failed;
    bool hasProgressFunction;
    // The launcher began closing during the transfer, which was aborted for it.
    bool cancelled;
};

// Arguments and results of one protected callback call.
struct CallbackCall {
    Transfer* transfer;
    CallbackSlot slot;
    char* data;  // write and header: the block; read: destination
    size_t size; // write and header: the block's size; read: room in the destination
    size_t readCount;
    curl_off_t counts[4]; // dltotal, dlnow, ultotal, ulnow
    bool abort;
};

// Runs inside lua_cpcall: looks up the callback, passes its arguments, reads its result.
int RunCallback(lua_State* L) {
    CallbackCall* call = static_cast<CallbackCall*>(lua_touserdata(L, 1));
    lua_rawgeti(L, LUA_REGISTRYINDEX, call->transfer->callbacksRef);
    lua_rawgeti(L, -1, call->slot);
    switch (call->slot) {
    case WriteSlot:
    case HeaderSlot:
        // Results are discarded: the block always counts as consumed.
        lua_pushlstring(L, call->data, call->size);
        lua_call(L, 1, 0);
        return 0;
    case ReadSlot: {
        lua_pushinteger(L, static_cast<lua_Integer>(call->size));
        lua_call(L, 1, 1);
        size_t length = 0;
        const char* bytes = lua_tolstring(L, -1, &length);
        if (bytes == nullptr) {
            call->readCount = 0; // nothing more to send
            return 0;
        }
        if (length > call->size) {
            // Cutting the string would silently lose upload data.
            return luaL_error(L, "readfunction returned %d bytes, more than the %d asked for",
                              static_cast<int>(length), static_cast<int>(call->size));
        }
        std::memcpy(call->data, bytes, length);
        call->readCount = length;
        return 0;
    }
    case ProgressSlot: {
        // A double holds every count below 2^53, so packages of 2 GiB and more arrive exactly.
        for (curl_off_t count : call->counts) {
            lua_pushnumber(L, static_cast<lua_Number>(count));
        }
        lua_call(L, 4, 1);
        // The first result truncated to an integer decides; NaN truncates to a non-zero value on
        // x86, so it aborts too. Anything that is not a number counts as 0.
        const lua_Number verdict = lua_isnumber(L, -1) ? lua_tonumber(L, -1) : 0;
        call->abort = !(verdict > -1.0 && verdict < 1.0);
        return 0;
    }
    }
    return 0;
}

// Calls the Lua callback protected; false once any callback of this transfer has failed.
bool InvokeCallback(CallbackCall* call) {
    Transfer* transfer = call->transfer;
    if (transfer->failed) {
        return false;
    }
    if (lua_cpcall(transfer->L, RunCallback, call) != 0) {
        transfer->failed = true;
        return false;
    }
    return true;
}

// A count different from the block's size is libcurl's signal to stop.
size_t RefuseBlock(size_t size) {
    return size == 0 ? 1 : 0;
}

// Hands one block of body or header data to its Lua callback.
size_t PassBlock(CallbackSlot slot, char* data, size_t size, void* userdata) {
    CallbackCall call = {};
    call.transfer = static_cast<Transfer*>(userdata);
    call.slot = slot;
    call.data = data;
    call.size = size;
    return InvokeCallback(&call) ? call.size : RefuseBlock(call.size);
}

size_t OnWrite(char* data, size_t size, size_t count, void* userdata) {
    return PassBlock(WriteSlot, data, size * count, userdata);
}

size_t OnHeader(char* data, size_t size, size_t count, void* userdata) {
    return PassBlock(HeaderSlot, data, size * count, userdata);
}

size_t OnRead(char* buffer, size_t size, size_t count, void* userdata) {
    CallbackCall call = {};
    call.transfer = static_cast<Transfer*>(userdata);
    call.slot = ReadSlot;
    call.data = buffer;
    call.size = size * count;
    return InvokeCallback(&call) ? call.readCount : CURL_READFUNC_ABORT;
}

// Installed for every transfer: on a fast link it runs for nearly every block, so without a Lua
// progressfunction it costs one atomic load.
int OnProgress(void* userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
               curl_off_t ulnow) {
    Transfer* transfer = static_cast<Transfer*>(userdata);
    if (LauncherClosing()) {
        transfer->cancelled = true;
        return 1;
    }
    if (!transfer->hasProgressFunction) {
        return 0;
    }
    CallbackCall call = {};
    call.transfer = transfer;
    call.slot = ProgressSlot;
    call.counts[0] = dltotal;
    call.counts[1] = dlnow;
    call.counts[2] = ultotal;
    call.counts[3] = ulnow;
    return InvokeCallback(&call) && !call.abort ? 0 : 1;
}

// Puts libcurl's defaults back: body to standard output, no header or progress callbacks.
void RemoveCallbacks(CURL* curl) {
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, stdout);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, stdin);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
}

// A resume point belongs to one perform, whatever its outcome: the next asks for the whole body.
void ForgetResumePoint(CURL* curl) {
    curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
}

// Raises the handle's error-buffer text, or libcurl's text for the code when nothing was written.
int RaiseCurlError(lua_State* L, EasyHandle* handle, CURLcode code) {
    handle->errorBuffer[CURL_ERROR_SIZE - 1] = '\0';
    const char* text =
        handle->errorBuffer[0] != '\0' ? handle->errorBuffer : curl_easy_strerror(code);
    return luaL_error(L, "%s", text);
}

// Checks argument 1 is a handle that may be used now.
EasyHandle* CheckUsableHandle(lua_State* L) {
    EasyHandle* handle = static_cast<EasyHandle*>(luaL_checkudata(L, 1, EasyMetatable));
    if (handle->curl == nullptr) {
        luaL_error(L, "easy handle already cleaned up");
    }
    if (handle->performing) {
        luaL_error(L, "easy handle is busy in perform");
    }
    return handle;
}

int EasyInit(lua_State* L) {
    EasyHandle* handle = static_cast<EasyHandle*>(lua_newuserdata(L, sizeof(EasyHandle)));
    handle->curl = nullptr;
    handle->errorBuffer[0] = '\0';
    handle->performing = false;
    handle->lastResult = CURLE_OK;
    luaL_getmetatable(L, EasyMetatable);
    lua_setmetatable(L, -2);

    handle->curl = curl_easy_init();
    if (handle->curl == nullptr) {
        return luaL_error(L, "something went wrong and you cannot use the other curl functions");
    }
    if (curl_easy_setopt(handle->curl, CURLOPT_ERRORBUFFER, handle->errorBuffer) != CURLE_OK) {
        curl_easy_cleanup(handle->curl);
        handle->curl = nullptr;
        return luaL_error(L, "cannot set error buffer");
    }
    // Lets a fast link hand over large blocks: each block costs a Lua call and a Lua string, and
    // with libcurl's 16 KiB default that overhead held a loopback download to 70% of curl(1)'s
    // speed. A slow link still delivers what each read returns, so nothing else changes.
    curl_easy_setopt(handle->curl, CURLOPT_BUFFERSIZE, ReceiveBufferSize);
    // A dead server or a connection that stopped delivering must fail the transfer, never hang
    // it; keep-alive probes find a peer that vanished without closing.
    curl_easy_setopt(handle->curl, CURLOPT_CONNECTTIMEOUT, DeadConnectionSeconds);
    curl_easy_setopt(handle->curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle->curl, CURLOPT_LOW_SPEED_TIME, DeadConnectionSeconds);
    curl_easy_setopt(handle->curl, CURLOPT_TCP_KEEPALIVE, 1L);
    if (TestCertificateAuthority != nullptr) {
        curl_easy_setopt(handle->curl, CURLOPT_CAINFO, TestCertificateAuthority);
    }
#if defined(_WIN32) && defined(CURLSSLOPT_REVOKE_BEST_EFFORT)
    // Schannel otherwise refuses any certificate whose revocation status it cannot fetch, as is
    // usual for those an inspecting corporate proxy issues; one listed as revoked is still
    // refused. Unchecked: where it cannot be set, Schannel's strict default stays.
    curl_easy_setopt(handle->curl, CURLOPT_SSL_OPTIONS,
                     static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
#endif
    return 1;
}

int EasySetoptUrl(lua_State* L) {
    EasyHandle* handle = CheckUsableHandle(L);
    const char* url = luaL_checkstring(L, 2);
    // setopt rarely writes the buffer; a text left from an earlier perform would be wrong here.
    handle->errorBuffer[0] = '\0';
    const CURLcode code = curl_easy_setopt(handle->curl, CURLOPT_URL, url);
    if (code != CURLE_OK) {
        return RaiseCurlError(L, handle, code);
    }
    return 0;
}

// A range request for the rest: the next perform asks for the body from this byte on.
int EasySetoptResumeFrom(lua_State* L) {
    EasyHandle* handle = CheckUsableHandle(L);
    const lua_Number bytes = luaL_checknumber(L, 2);
    // Doubles hold every whole number up to 2^53 exactly; past that a size would be rounded.
    luaL_argcheck(L, bytes >= 0 && bytes <= 9007199254740992.0 && bytes == std::floor(bytes), 2,
                  "a whole number of bytes, 0 or more, expected");
    handle->errorBuffer[0] = '\0';
    const CURLcode code =
        curl_easy_setopt(handle->curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(bytes));
    if (code != CURLE_OK) {
        return RaiseCurlError(L, handle, code);
    }
    return 0;
}

int EasyPerform(lua_State* L) {
    EasyHandle* handle = CheckUsableHandle(L);
    luaL_checktype(L, 2, LUA_TTABLE);
    lua_settop(L, 2);
    if (LauncherClosing()) {
        ForgetResumePoint(handle->curl);
        handle->lastResult = CURLE_ABORTED_BY_CALLBACK;
        return luaL_error(L, "%s", ClosingMessage);
    }

    // A snapshot, so a callback that edits the caller's table cannot change the running transfer.
    bool present[ProgressSlot + 1] = {};
    lua_createtable(L, ProgressSlot, 0);
    for (int slot = WriteSlot; slot <= ProgressSlot; ++slot) {
        lua_getfield(L, 2, CallbackFields[slot - 1]);
        if (lua_isfunction(L, -1)) {
            lua_rawseti(L, 3, slot);
            present[slot] = true;
        } else {
            lua_pop(L, 1);
        }
    }
    Transfer transfer;
    transfer.L = L;
    transfer.callbacksRef = luaL_ref(L, LUA_REGISTRYINDEX);
    transfer.failed = false;
    transfer.hasProgressFunction = present[ProgressSlot];
    transfer.cancelled = false;

    CURL* curl = handle->curl;
    if (present[WriteSlot]) {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnWrite);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    }
    if (present[HeaderSlot]) {
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    }
    if (present[ReadSlot]) {
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnRead);
        curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
    }
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

    handle->performing = true;
    const CURLcode code = curl_easy_perform(curl);
    handle->performing = false;
    handle->lastResult = code;
    RemoveCallbacks(curl);
    ForgetResumePoint(curl);
    luaL_unref(L, LUA_REGISTRYINDEX, transfer.callbacksRef);

    if (transfer.failed) {
        return lua_error(L); // the callback's own error value, unchanged
    }
    if (transfer.cancelled) {
        return luaL_error(L, "%s", ClosingMessage);
    }
    if (code != CURLE_OK) {
        return RaiseCurlError(L, handle, code);
    }
    return 0;
}

// easy:last_result(): libcurl's CURLcode of the handle's last perform, 0 after a success or before
// any, so the script can tell a refused connection (7) from a timed-out one (28) without parsing
// the words.
int EasyLastResult(lua_State* L) {
    const EasyHandle* handle = static_cast<EasyHandle*>(luaL_checkudata(L, 1, EasyMetatable));
    lua_pushinteger(L, handle->lastResult);
    return 1;
}

// cURL.getdate(text): the seconds since 1970 of a date as HTTP writes them (Retry-After's date
// form among them), or nil when libcurl cannot read it.
int GetDate(lua_State* L) {
    const char* text = luaL_checkstring(L, 1);
    const time_t seconds = curl_getdate(text, nullptr);
    if (seconds == -1) {
        lua_pushnil(L);
    } else {
        lua_pushnumber(L, static_cast<lua_Number>(seconds));
    }
    return 1;
}

int EasyGc(lua_State* L) {
    EasyHandle* handle = static_cast<EasyHandle*>(luaL_checkudata(L, 1, EasyMetatable));
    // A collection cannot reach a performing handle (it is on perform's stack), but an explicit
    // __gc call from a callback can; the real collection cleans it up later.
    if (handle->curl != nullptr && !handle->performing) {
        curl_easy_cleanup(handle->curl);
        handle->curl = nullptr;
    }
    return 0;
}

const luaL_Reg EasyMethods[] = {
    {"setopt_url", EasySetoptUrl},
    {"setopt_resume_from", EasySetoptResumeFrom},
    {"perform", EasyPerform},
    {"last_result", EasyLastResult},
    {nullptr, nullptr},
};

const luaL_Reg ModuleFunctions[] = {
    {"easy_init", EasyInit},
    {"getdate", GetDate},
    {nullptr, nullptr},
};

} // namespace

extern "C" int luaopen_cURL(lua_State* L) {
    const CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
    if (code != CURLE_OK) {
        return luaL_error(L, "curl_global_init: %s", curl_easy_strerror(code));
    }

    luaL_newmetatable(L, EasyMetatable);
    lua_newtable(L);
    luaL_register(L, nullptr, EasyMethods);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, EasyGc);
    lua_setfield(L, -2, "__gc");
    lua_pop(L, 1);

    // Also stores the table in the global `cURL` and in package.loaded.
    luaL_register(L, "cURL", ModuleFunctions);
    return 1;
}
