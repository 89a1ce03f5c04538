// Linked into the Linux test builds of the launcher: the one-launcher lock is looked for below
// the folder named by LAUNCHER_TEST_LOCK_ROOT ("<root>/run/user/<uid>", else "<root>/tmp")
// instead of below "/", so test programs running side by side, and the user's own launcher, each
// hold a lock of their own. The program never reads this variable.
#include <cstdlib>
#include <string>

#include "platform/linux/linux_backend.h"

namespace {

const char* const Root = std::getenv("LAUNCHER_TEST_LOCK_ROOT");
const std::string RuntimeRoot = Root != nullptr ? std::string(Root) + "/run/user" : "";
const std::string TemporaryFolder = Root != nullptr ? std::string(Root) + "/tmp" : "";

// The seams are constant-initialised pointers, so this runs after they have their defaults.
const bool Installed =
    Root != nullptr && (LinuxUserRuntimeRoot = RuntimeRoot.c_str(),
                        LinuxSharedTemporaryFolder = TemporaryFolder.c_str(), true);

} // namespace
