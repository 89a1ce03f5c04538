// Linux has no system-wide proxy setting that every program follows; libcurl reads the usual
// environment variables by itself.
#include "platform/platform.h"

ProxyRoute PlatformProxyForUrl(const std::string&, std::string*) {
    return ProxyRoute::Environment;
}
