// Linux has no console window owned by the process; hiding one is a no-op.
#include "platform/platform.h"

void PlatformHideConsole() {}
