#include "actions/hash_file.h"

#include <string>

#include <lua.hpp>

#include "platform/platform.h"
#include "script/shared_state.h"

namespace {

const char CancelledReason[] = "hash cancelled: the launcher is closing";
// Room for a path at Linux's PATH_MAX and the system's words after it; a longer reason is cut.
constexpr size_t TextCapacity = 4096 + 256;

// A plain record, so that HashFile's frame, where Lua may raise errors, holds nothing with a
// destructor.
struct HashOutcome {
    bool done;
    char text[TextCapacity]; // the 64 hex digits, or the reason; always terminated
};

void HashPath(const char* path, HashOutcome* outcome) {
    unsigned char digest[Sha256Size];
    std::string reason;
    const HashStatus status = PlatformHashFileSha256(path, LauncherClosing, digest, &reason);
    outcome->done = status == HashStatus::Done;
    if (outcome->done) {
        static const char digits[] = "0123456789abcdef";
        for (size_t i = 0; i < Sha256Size; ++i) {
            outcome->text[2 * i] = digits[digest[i] >> 4];
            outcome->text[2 * i + 1] = digits[digest[i] & 0xf];
        }
        outcome->text[2 * Sha256Size] = '\0';
        return;
    }
    if (status == HashStatus::Cancelled) {
        reason = CancelledReason;
    }
    const size_t length = reason.copy(outcome->text, TextCapacity - 1);
    outcome->text[length] = '\0';
}

} // namespace

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
