#include "actions/entry_file.h"

#include "actions/busy_file.h"
#include "platform/platform.h"
#include "script/shared_state.h"

PlatformOutputFile* OpenEntryFile(const std::string& path, std::string* reason) {
    PlatformOutputFile* out = nullptr;
    bool busy = false;
    std::string why;
    const BusyAttempt outcome = RetryWhileBusy(path, [&] {
        out = PlatformCreateOutputFile(path, &busy, &why);
        // Replaced when it cannot be written over: whoever has the old one open keeps it.
        if (out == nullptr && PlatformRemoveFile(path)) {
            out = PlatformCreateOutputFile(path, &busy, &why);
        }
        if (out != nullptr) {
            return BusyAttempt::Done;
        }
        return busy ? BusyAttempt::Busy : BusyAttempt::Failed;
    });
    if (outcome == BusyAttempt::Done) {
        return out;
    }
    if (outcome == BusyAttempt::Busy && LauncherClosing()) {
        *reason = path + ": not written: the launcher is closing";
    } else if (outcome == BusyAttempt::Busy) {
        *reason = BusyReason(path, why);
    } else {
        *reason = why;
    }
    return nullptr;
}
