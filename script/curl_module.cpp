// The `cURL` Lua module over libcurl: `easy_init` and `getdate`, and on each handle
// `setopt_url`, `setopt_resume_from`, `setopt_followlocation`, `perform` and `last_result`.
//
// Lua errors are longjmps and libcurl must never be unwound by one, so every Lua callback runs
// under lua_cpcall (which also protects pushing its arguments). A callback that raises stops the
// transfer through libcurl's own refusal values; perform raises the kept error value once
// curl_easy_perform has returned. Nothing in this file owns a C++ destructor.
//
// Every transfer watches LauncherClosing() from its transfer-info callback, which libcurl calls
// about once a second even when nothing arrives, so closing the window ends a stalled download.
//
// Each perform asks the platform which way its URL goes (platform/platform.h): the system's proxy
// settings on Windows, libcurl's own reading of the environment elsewhere.
#include "script/curl_module.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <curl/curl.h>
#include <lua.hpp>

#include "platform/platform.h"
#include "script/shared_state.h"

long DeadConnectionSeconds = 30;
const char* TestCertificateAuthority = nullptr;

namespace {

const char* const EasyMetatable = "CURL.easy";
const long ReceiveBufferSize = 1024L * 1024;
const char* const ClosingMessage = "download cancelled: the launcher is closing";
// As a browser: enough for a mirror chain, few enough that a loop fails at once.
const long MaxRedirects = 5;

// One easy handle as the script sees it. It lives inside a full userdata, which Lua never moves,
// so libcurl may keep the address of errorBuffer for the handle's whole life.
struct EasyHandle {
    CURL* curl;
    char errorBuffer[CURL_ERROR_SIZE];
    // Set while curl_easy_perform runs, so callbacks cannot change or reuse the handle under it.
    bool performing;
    // setopt_followlocation is on.
    bool following;
    // A malloc'd copy of the URL last set, whose route each perform looks up; null before one.
    char* url;
    // libcurl's code for the last perform: a failure's text is for people, this is for the script.
    CURLcode lastResult;
    // The proxy's answer to the last perform's CONNECT, 0 without a tunnel: a refused tunnel is
    // libcurl's 56, as a reset is, and the proxy's answer is never passed to the headerfunction.
    long lastProxyStatus;
};

// Positions of the callback functions in the table perform snapshots before the transfer.
enum CallbackSlot { WriteSlot = 1, HeaderSlot, ReadSlot, ProgressSlot };
// Where that table keeps header lines held back.
const int HeldLinesSlot = ProgressSlot + 1;

// What becomes of one header line. A redirect that will be followed carries no body, so the
// script sees neither its header lines nor its progress: they are held until the response's
// last header line shows whether it names a Location.
enum class HeaderAction {
    Pass,    // to the headerfunction at once
    Hold,    // kept until the end of its response's headers
    Release, // the held lines, then this one, to the headerfunction
    Drop,    // the held lines are forgotten with this one
};

const char* const CallbackFields[] = {"writefunction", "headerfunction", "readfunction",
                                      "progressfunction"};

// What the libcurl callbacks of one perform share.
struct Transfer {
    lua_State* L;
    int callbacksRef;
    // A callback raised an error; its value waits on top of L's stack for perform to raise.
    bool failed;
    bool hasProgressFunction;
    bool hasHeaderFunction;
    // The launcher began closing during the transfer, which was aborted for it.
    bool cancelled;
    // The handle follows redirects.
    bool following;
    // Between a response's status line and the empty line that ends its headers.
    bool inHeaders;
    // The response whose headers are arriving is a redirect: 3xx, and followed.
    bool heldResponse;
    bool hasLocation;
    // The response is a redirect being followed: its body counts are not the script's.
    bool skippingResponse;
};

// Arguments and results of one protected callback call.
struct CallbackCall {
    Transfer* transfer;
    CallbackSlot slot;
    char* data;  // write and header: the block; read: destination
    size_t size; // write and header: the block's size; read: room in the destination
    size_t readCount;
    HeaderAction headerAction;
    curl_off_t counts[4]; // dltotal, dlnow, ultotal, ulnow
    bool abort;
};

// Runs inside RunCallback, with the callbacks table at index 2 and the headerfunction at 3.
int RunHeaderCallback(lua_State* L, CallbackCall* call) {
    lua_rawgeti(L, 2, HeldLinesSlot);
    const int held = lua_istable(L, -1) ? static_cast<int>(lua_objlen(L, -1)) : 0;
    switch (call->headerAction) {
    case HeaderAction::Hold:
        if (held == 0) {
            lua_pop(L, 1);
            lua_newtable(L);
            lua_pushvalue(L, -1);
            lua_rawseti(L, 2, HeldLinesSlot);
        }
        lua_pushlstring(L, call->data, call->size);
        lua_rawseti(L, -2, held + 1);
        return 0;
    case HeaderAction::Release:
        for (int line = 1; line <= held; ++line) {
            lua_pushvalue(L, 3);
            lua_rawgeti(L, 4, line);
            lua_call(L, 1, 0);
        }
        break;
    case HeaderAction::Pass:
    case HeaderAction::Drop:
        break;
    }
    lua_pushnil(L);
    lua_rawseti(L, 2, HeldLinesSlot);
    if (call->headerAction != HeaderAction::Drop) {
        lua_pushvalue(L, 3);
        lua_pushlstring(L, call->data, call->size);
        lua_call(L, 1, 0);
    }
    return 0;
}

// Runs inside lua_cpcall: looks up the callback, passes its arguments, reads its result.
int RunCallback(lua_State* L) {
    CallbackCall* call = static_cast<CallbackCall*>(lua_touserdata(L, 1));
    lua_rawgeti(L, LUA_REGISTRYINDEX, call->transfer->callbacksRef);
    lua_rawgeti(L, -1, call->slot);
    switch (call->slot) {
    case HeaderSlot:
        return RunHeaderCallback(L, call);
    case WriteSlot:
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

// Whether the line starts with the prefix, ignoring case.
bool StartsWith(const char* data, size_t size, const char* prefix) {
    const size_t length = std::strlen(prefix);
    if (size < length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(data[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The status of a status line ("HTTP/1.1 302 Found", "HTTP/2 200"); 0 when there is none.
int StatusOf(const char* data, size_t size) {
    const char* space = static_cast<const char*>(std::memchr(data, ' ', size));
    if (space == nullptr || data + size - space < 4) {
        return 0;
    }
    int status = 0;
    for (const char* digit = space + 1; digit < space + 4; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return 0;
        }
        status = status * 10 + (*digit - '0');
    }
    return status;
}

// Follows each response's headers, so that a followed redirect stays out of the script's sight,
// and hands the lines on as the response's fate allows.
size_t OnHeader(char* data, size_t size, size_t count, void* userdata) {
    Transfer* transfer = static_cast<Transfer*>(userdata);
    const size_t length = size * count;
    HeaderAction action = HeaderAction::Pass;
    if (!transfer->inHeaders && StartsWith(data, length, "http/")) {
        const int status = StatusOf(data, length);
        transfer->inHeaders = true;
        transfer->heldResponse = transfer->following && status >= 300 && status < 400;
        transfer->hasLocation = false;
        transfer->skippingResponse = false;
    }
    if (transfer->inHeaders) {
        const bool last = length > 0 && length <= 2 && (data[0] == '\r' || data[0] == '\n');
        transfer->hasLocation = transfer->hasLocation || StartsWith(data, length, "location:");
        if (transfer->heldResponse) {
            if (!last) {
                action = HeaderAction::Hold;
            } else {
                action = transfer->hasLocation ? HeaderAction::Drop : HeaderAction::Release;
            }
        }
        if (last) {
            transfer->inHeaders = false;
            transfer->skippingResponse = transfer->heldResponse && transfer->hasLocation;
        }
    }
    if (!transfer->hasHeaderFunction) {
        return length;
    }
    CallbackCall call = {};
    call.transfer = transfer;
    call.slot = HeaderSlot;
    call.data = data;
    call.size = length;
    call.headerAction = action;
    return InvokeCallback(&call) ? length : RefuseBlock(length);
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
    if (!transfer->hasProgressFunction || transfer->skippingResponse) {
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

// Sends the next transfer the way the platform gives for the URL. Holds its C++ strings in its own
// frame only, so perform can still raise Lua errors afterwards.
void ApplyRoute(CURL* curl, const char* url) {
    std::string proxy;
    const ProxyRoute route =
        url != nullptr ? PlatformProxyForUrl(url, &proxy) : ProxyRoute::Environment;
    // Without a proxy of the system's, libcurl's own reading of the environment (a null proxy) or
    // a direct connection (an empty one, which also overrides the environment's).
    curl_easy_setopt(curl, CURLOPT_PROXY,
                     route == ProxyRoute::Proxy    ? proxy.c_str()
                     : route == ProxyRoute::Direct ? ""
                                                   : nullptr);
    if (route == ProxyRoute::Proxy) {
        // A proxy that asks (407) gets the logged-on user's own credentials through the system
        // (SSPI); one that does not ask gets nothing.
        curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, ":");
        curl_easy_setopt(curl, CURLOPT_PROXYAUTH,
                         static_cast<long>(CURLAUTH_NTLM | CURLAUTH_NEGOTIATE));
    } else {
        curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, nullptr);
        curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
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
    handle->following = false;
    handle->url = nullptr;
    handle->lastResult = CURLE_OK;
    handle->lastProxyStatus = 0;
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
    curl_easy_setopt(handle->curl, CURLOPT_MAXREDIRS, MaxRedirects);
    // A tunnel's "200 Connection established" from a proxy describes no body of the server's.
    curl_easy_setopt(handle->curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
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

// Whether libcurl reads the URL as plain http, parsing it as CURLOPT_URL does.
bool IsPlainHttp(const char* url) {
    CURLU* parsed = curl_url();
    char* scheme = nullptr;
    const unsigned flags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME;
    const bool plain = parsed != nullptr &&
                       curl_url_set(parsed, CURLUPART_URL, url, flags) == CURLUE_OK &&
                       curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                       std::strcmp(scheme, "http") == 0;
    curl_free(scheme);
    curl_url_cleanup(parsed);
    return plain;
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
    char* copy = static_cast<char*>(std::malloc(std::strlen(url) + 1));
    if (copy == nullptr) {
        return luaL_error(L, "not enough memory");
    }
    std::free(handle->url);
    handle->url = std::strcpy(copy, url);
    // A download that began encrypted never continues in the clear, whatever a server answers;
    // plain http may move up to https. Anything else may only be redirected to https.
    curl_easy_setopt(handle->curl, CURLOPT_REDIR_PROTOCOLS_STR,
                     IsPlainHttp(url) ? "http,https" : "https");
    return 0;
}

// Off by default: a redirect is then the response itself, body and status as the server sent them.
int EasySetoptFollowlocation(lua_State* L) {
    EasyHandle* handle = CheckUsableHandle(L);
    long on;
    if (lua_isboolean(L, 2)) {
        on = lua_toboolean(L, 2);
    } else if (lua_isnumber(L, 2)) {
        on = lua_tonumber(L, 2) != 0;
    } else {
        return luaL_typerror(L, 2, "boolean");
    }
    handle->errorBuffer[0] = '\0';
    const CURLcode code = curl_easy_setopt(handle->curl, CURLOPT_FOLLOWLOCATION, on);
    if (code != CURLE_OK) {
        return RaiseCurlError(L, handle, code);
    }
    handle->following = on != 0;
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
        handle->lastProxyStatus = 0;
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
    transfer.hasHeaderFunction = present[HeaderSlot];
    transfer.cancelled = false;
    transfer.following = handle->following;
    transfer.inHeaders = false;
    transfer.heldResponse = false;
    transfer.hasLocation = false;
    transfer.skippingResponse = false;

    CURL* curl = handle->curl;
    if (present[WriteSlot]) {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnWrite);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    }
    if (present[HeaderSlot] || handle->following) {
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
    ApplyRoute(curl, handle->url);

    handle->performing = true;
    const CURLcode code = curl_easy_perform(curl);
    handle->performing = false;
    handle->lastResult = code;
    handle->lastProxyStatus = 0;
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &handle->lastProxyStatus);
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
// the words; and the proxy's status for the tunnel it was asked for (0 without one), so a proxy
// that refuses (403, 407) can be told from one that is busy (502, 503).
int EasyLastResult(lua_State* L) {
    const EasyHandle* handle = static_cast<EasyHandle*>(luaL_checkudata(L, 1, EasyMetatable));
    lua_pushinteger(L, handle->lastResult);
    lua_pushinteger(L, static_cast<lua_Integer>(handle->lastProxyStatus));
    return 2;
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
        std::free(handle->url);
        handle->url = nullptr;
    }
    return 0;
}

const luaL_Reg EasyMethods[] = {
    {"setopt_url", EasySetoptUrl},
    {"setopt_resume_from", EasySetoptResumeFrom},
    {"setopt_followlocation", EasySetoptFollowlocation},
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
