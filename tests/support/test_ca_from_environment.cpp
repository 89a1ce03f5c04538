// Linked into the HTTPS test build of launcher.exe: the cURL module trusts the CA file named by
// LAUNCHER_TEST_CA, so a test can serve HTTPS with a CA it made itself. The program never reads
// this variable; it trusts only the system's store.
#include <cstdlib>

#include "script/curl_module.h"

namespace {

// The seam is a constant-initialised pointer, so this runs after it has its default.
const bool Installed = (TestCertificateAuthority = std::getenv("LAUNCHER_TEST_CA"), true);

} // namespace
