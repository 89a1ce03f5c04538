#include "actions/hash_file.h"

#include <memory>
#include <string>

#include <lua.hpp>

#include "platform/platform.h"
#include "script/plain_text.h"
#include "script/shared_state.h"

namespace {

struct Sha256Free {
    void operator()(PlatformSha256* sha) const {
        PlatformSha256Free(sha);
    }
};

const char CancelledReason[] = "hash cancelled: the launcher is closing";
const char FinishedReason[] = "the hash is finished";
const char* const Sha256Metatable = "Launcher.sha256";
// A plain record, so that HashFile's frame, where Lua may raise errors, holds nothing with a
// destructor.
struct HashOutcome {
    bool done;
    char text[PlainTextCapacity]; // the 64 hex digits, or the reason; always terminated
};

void SetHex(const unsigned char* digest, HashOutcome* outcome) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < Sha256Size; ++i) {
        outcome->text[2 * i] = digits[digest[i] >> 4];
        outcome->text[2 * i + 1] = digits[digest[i] & 0xf];
    }
    outcome->text[2 * Sha256Size] = '\0';
}

void SetOutcome(HashStatus status, const std::string& reason, HashOutcome* outcome) {
    outcome->done = status == HashStatus::Done;
    const std::string& text = status == HashStatus::Cancelled ? CancelledReason : reason;
    CopyPlainText(text, outcome->text);
}

void HashPath(const char* path, HashOutcome* outcome) {
    unsigned char digest[Sha256Size];
    std::string reason;
    const HashStatus status = HashFileSha256(path, LauncherClosing, digest, &reason);
    SetOutcome(status, reason, outcome);
    if (outcome->done) {
        SetHex(digest, outcome);
    }
}

// What a Sha256() object is to Lua: a full userdata, freed by __gc.
struct ScriptSha256 {
    PlatformSha256* sha; // null once finished
};

void StartHash(ScriptSha256* hash, HashOutcome* outcome) {
    std::string reason;
    hash->sha = PlatformSha256New(&reason);
    SetOutcome(hash->sha != nullptr ? HashStatus::Done : HashStatus::Failed, reason, outcome);
}

void AddBytes(ScriptSha256* hash, const char* bytes, size_t size, HashOutcome* outcome) {
    std::string reason = FinishedReason;
    const bool added = hash->sha != nullptr && PlatformSha256Add(hash->sha, bytes, size, &reason);
    SetOutcome(added ? HashStatus::Done : HashStatus::Failed, reason, outcome);
}

void AddFile(ScriptSha256* hash, const char* path, HashOutcome* outcome) {
    std::string reason = FinishedReason;
    const HashStatus status = hash->sha != nullptr
                                  ? PlatformSha256AddFile(hash->sha, path, LauncherClosing, &reason)
                                  : HashStatus::Failed;
    SetOutcome(status, reason, outcome);
}

void FinishHash(ScriptSha256* hash, HashOutcome* outcome) {
    unsigned char digest[Sha256Size];
    std::string reason = FinishedReason;
    const bool finished = hash->sha != nullptr && PlatformSha256Finish(hash->sha, digest, &reason);
    PlatformSha256Free(hash->sha);
    hash->sha = nullptr;
    SetOutcome(finished ? HashStatus::Done : HashStatus::Failed, reason, outcome);
    if (outcome->done) {
        SetHex(digest, outcome);
    }
}

void PeekHash(const ScriptSha256* hash, HashOutcome* outcome) {
    unsigned char digest[Sha256Size];
    std::string reason = FinishedReason;
    const bool peeked = hash->sha != nullptr && PlatformSha256Peek(hash->sha, digest, &reason);
    SetOutcome(peeked ? HashStatus::Done : HashStatus::Failed, reason, outcome);
    if (outcome->done) {
        SetHex(digest, outcome);
    }
}

// true, or nil and the reason, as Lua's io functions answer.
int PushOutcome(lua_State* L, const HashOutcome& outcome) {
    if (outcome.done) {
        lua_pushboolean(L, 1);
        return 1;
    }
    lua_pushnil(L);
    lua_pushstring(L, outcome.text);
    return 2;
}

ScriptSha256* CheckHash(lua_State* L) {
    return static_cast<ScriptSha256*>(luaL_checkudata(L, 1, Sha256Metatable));
}

int Sha256Update(lua_State* L) {
    ScriptSha256* hash = CheckHash(L);
    size_t size = 0;
    const char* bytes = luaL_checklstring(L, 2, &size);
    HashOutcome outcome;
    AddBytes(hash, bytes, size, &outcome);
    return PushOutcome(L, outcome);
}

int Sha256UpdateFile(lua_State* L) {
    ScriptSha256* hash = CheckHash(L);
    const char* path = luaL_checkstring(L, 2);
    HashOutcome outcome;
    AddFile(hash, path, &outcome);
    return PushOutcome(L, outcome);
}

int Sha256HexDigest(lua_State* L) {
    ScriptSha256* hash = CheckHash(L);
    HashOutcome outcome;
    FinishHash(hash, &outcome);
    if (!outcome.done) {
        return PushOutcome(L, outcome);
    }
    lua_pushstring(L, outcome.text);
    return 1;
}

int Sha256HexDigestSoFar(lua_State* L) {
    const ScriptSha256* hash = CheckHash(L);
    HashOutcome outcome;
    PeekHash(hash, &outcome);
    if (!outcome.done) {
        return PushOutcome(L, outcome);
    }
    lua_pushstring(L, outcome.text);
    return 1;
}

int Sha256Gc(lua_State* L) {
    ScriptSha256* hash = CheckHash(L);
    PlatformSha256Free(hash->sha);
    hash->sha = nullptr;
    return 0;
}

const luaL_Reg Sha256Methods[] = {
    {"update", Sha256Update},
    {"update_file", Sha256UpdateFile},
    {"hexdigest", Sha256HexDigest},
    {"hexdigest_so_far", Sha256HexDigestSoFar},
    {nullptr, nullptr},
};

} // namespace

HashStatus HashFileSha256(const std::string& path, bool (*stop)(), unsigned char* digest,
                          std::string* reason) {
    const std::unique_ptr<PlatformSha256, Sha256Free> sha(PlatformSha256New(reason));
    if (!sha) {
        *reason = path + ": " + *reason;
        return HashStatus::Failed;
    }
    const HashStatus status = PlatformSha256AddFile(sha.get(), path, stop, reason);
    if (status != HashStatus::Done) {
        return status;
    }
    if (!PlatformSha256Finish(sha.get(), digest, reason)) {
        *reason = path + ": " + *reason;
        return HashStatus::Failed;
    }
    return HashStatus::Done;
}

int HashFile(lua_State* L) {
    const char* path = luaL_checkstring(L, 1);
    HashOutcome outcome;
    HashPath(path, &outcome);
    if (outcome.done) {
        lua_pushstring(L, outcome.text);
        return 1;
    }
    lua_pushnil(L);
    lua_pushstring(L, outcome.text);
    return 2;
}

int Sha256(lua_State* L) {
    ScriptSha256* hash = static_cast<ScriptSha256*>(lua_newuserdata(L, sizeof(ScriptSha256)));
    hash->sha = nullptr;
    if (luaL_newmetatable(L, Sha256Metatable)) {
        lua_newtable(L);
        luaL_register(L, nullptr, Sha256Methods);
        lua_setfield(L, -2, "__index");
        lua_pushcfunction(L, Sha256Gc);
        lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2);
    HashOutcome outcome;
    StartHash(hash, &outcome);
    if (!outcome.done) {
        return PushOutcome(L, outcome);
    }
    return 1;
}
