// Win32 proxy lookup: the user's own proxy settings (Settings > Network > Proxy, the Internet
// Options), as WinHTTP reads them, for each transfer of the cURL module. Needs winhttp.dll, which
// every Windows has. The http_proxy-style variables, which libcurl reads by itself, come first.
#include <windows.h>

#include <winhttp.h>

#include <cstdlib>
#include <cwctype>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

namespace {

// Bounds, in milliseconds, on each step of fetching an automatic configuration script.
const int DiscoveryStepTimeout = 5000;

// What the settings are matched against: scheme and host in lower case, and the port.
struct UrlParts {
    std::wstring scheme;
    std::wstring host;
    unsigned port;
};

// The user's settings; empty strings where none is set.
struct Settings {
    bool autoDetect = false;
    std::wstring autoConfigUrl;
    std::wstring proxy;
    std::wstring bypass;
};

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

// Takes a string WinHTTP allocated; null gives "".
std::wstring TakeGlobal(LPWSTR text) {
    std::wstring taken = text != nullptr ? text : L"";
    if (text != nullptr) {
        GlobalFree(text);
    }
    return taken;
}

// libcurl reads these by itself; what a user set on purpose wins over the system's settings.
bool EnvironmentNamesProxy() {
    // Windows' environment ignores case, so HTTP_PROXY and the like count too.
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return true;
        }
    }
    return false;
}

bool CrackUrl(const std::wstring& url, UrlParts* parts) {
    URL_COMPONENTSW components = {};
    components.dwStructSize = sizeof components;
    components.dwSchemeLength = static_cast<DWORD>(-1);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &components)) {
        return false;
    }
    parts->scheme = Lower(std::wstring(components.lpszScheme, components.dwSchemeLength));
    parts->host = Lower(std::wstring(components.lpszHostName, components.dwHostNameLength));
    parts->port = components.nPort;
    return true;
}

bool ReadSettings(Settings* settings) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        return false;
    }
    settings->autoDetect = config.fAutoDetect != FALSE;
    settings->autoConfigUrl = TakeGlobal(config.lpszAutoConfigUrl);
    settings->proxy = TakeGlobal(config.lpszProxy);
    settings->bypass = TakeGlobal(config.lpszProxyBypass);
    return true;
}

// One discovery through WinHttpGetProxyForUrl: automatic detection, or the configuration script
// at scriptUrl when it is not null. True with the proxy list and bypass list the script gave for
// the URL (an empty list: a direct connection); false when discovery failed.
bool Discover(const std::wstring& url, const wchar_t* scriptUrl, std::wstring* list,
              std::wstring* bypass) {
    // One session for the process, so WinHTTP may keep what it found between transfers.
    static const HINTERNET session = [] {
        const HINTERNET opened = WinHttpOpen(L"", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (opened != nullptr) {
            WinHttpSetTimeouts(opened, DiscoveryStepTimeout, DiscoveryStepTimeout,
                               DiscoveryStepTimeout, DiscoveryStepTimeout);
        }
        return opened;
    }();
    if (session == nullptr) {
        return false;
    }
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (scriptUrl == nullptr) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl;
    }
    // A script on an intranet server that asks who is fetching it gets the user's credentials.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
        return false;
    }
    const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    *list = TakeGlobal(info.lpszProxy);
    *bypass = TakeGlobal(info.lpszProxyBypass);
    if (!named) {
        list->clear();
    }
    return true;
}

bool IsSeparator(wchar_t c) {
    return c == L';' || c == L',' || std::iswspace(c);
}

// Calls visit(entry) for each entry of a list separated by semicolons, commas or spaces, until it
// returns true; true when one did.
template <typename Visit>
bool AnyEntry(const std::wstring& list, Visit visit) {
    for (size_t at = 0; at < list.size();) {
        while (at < list.size() && IsSeparator(list[at])) {
            ++at;
        }
        size_t end = at;
        while (end < list.size() && !IsSeparator(list[end])) {
            ++end;
        }
        if (end > at && visit(list.substr(at, end - at))) {
            return true;
        }
        at = end;
    }
    return false;
}

// The server a proxy list ("host:port", or "http=host:port;https=host:port") names for the
// scheme: its first entry for that scheme, else its first entry for every scheme; "" for none.
std::wstring ServerForScheme(const std::wstring& list, const std::wstring& scheme) {
    std::wstring forScheme;
    std::wstring forAll;
    AnyEntry(list, [&](const std::wstring& entry) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (forAll.empty()) {
                forAll = entry;
            }
        } else if (Lower(entry.substr(0, equals)) == scheme && equals + 1 < entry.size()) {
            forScheme = entry.substr(equals + 1);
            return true;
        }
        return false;
    });
    return !forScheme.empty() ? forScheme : forAll;
}

// Matches text against a pattern in which '*' stands for any run of characters; both lower case.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& text) {
    size_t p = 0;
    size_t t = 0;
    size_t star = std::wstring::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

// Whether one bypass entry names the URL: "<local>" (a name without a dot), or a host pattern
// with '*' wildcards, optionally after "scheme://" and before ":port".
bool BypassEntryMatches(std::wstring entry, const UrlParts& url) {
    entry = Lower(entry);
    if (entry == L"<local>") {
        return url.host.find_first_of(L".:") == std::wstring::npos;
    }
    const size_t schemeEnd = entry.find(L"://");
    if (schemeEnd != std::wstring::npos) {
        if (entry.compare(0, schemeEnd, url.scheme) != 0) {
            return false;
        }
        entry.erase(0, schemeEnd + 3);
    }
    const size_t colon = entry.rfind(L':');
    if (colon != std::wstring::npos && entry.find(L']') == std::wstring::npos &&
        entry.find(L':') == colon) {
        if (entry.substr(colon + 1) != std::to_wstring(url.port)) {
            return false;
        }
        entry.erase(colon);
    }
    return WildcardMatch(entry, url.host);
}

// libcurl's proxy URL for a WinHTTP server entry ("host", "host:port", "http://host:port"): an
// HTTP proxy on port 80 unless the entry says otherwise, as WinHTTP takes it.
std::string ProxyUrl(std::wstring server) {
    if (Lower(server.substr(0, 7)) == L"http://") {
        server.erase(0, 7);
    }
    const bool hasScheme = server.find(L"://") != std::wstring::npos;
    while (!server.empty() && server.back() == L'/') {
        server.pop_back();
    }
    const size_t bracket = server.rfind(L']');
    const size_t colon = server.rfind(L':');
    if (!hasScheme &&
        (colon == std::wstring::npos || (bracket != std::wstring::npos && colon < bracket))) {
        server += L":80";
    }
    std::string narrow;
    for (wchar_t c : server) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return hasScheme ? narrow : "http://" + narrow;
}

} // namespace

ProxyRoute PlatformProxyForUrl(const std::string& url, std::string* proxy) {
    if (EnvironmentNamesProxy()) {
        return ProxyRoute::Environment;
    }
    std::wstring wideUrl;
    UrlParts parts;
    Settings settings;
    // A URL WinHTTP cannot read is no http or https one; libcurl refuses it anyway.
    if (!Win32WideFromUtf8(url, &wideUrl) || !CrackUrl(wideUrl, &parts) ||
        !ReadSettings(&settings)) {
        return ProxyRoute::Direct;
    }
    std::wstring list = settings.proxy;
    std::wstring bypass = settings.bypass;
    // As browsers do: detection first, then the configuration script, then the fixed proxy. Each
    // asked on its own, as not every WinHTTP tries the script once detection has failed.
    std::wstring discovered;
    std::wstring discoveredBypass;
    if ((settings.autoDetect && Discover(wideUrl, nullptr, &discovered, &discoveredBypass)) ||
        (!settings.autoConfigUrl.empty() &&
         Discover(wideUrl, settings.autoConfigUrl.c_str(), &discovered, &discoveredBypass))) {
        list = discovered;
        bypass = discoveredBypass;
    }
    const std::wstring server = ServerForScheme(list, parts.scheme);
    if (server.empty() || AnyEntry(bypass, [&](const std::wstring& entry) {
            return BypassEntryMatches(entry, parts);
        })) {
        return ProxyRoute::Direct;
    }
    *proxy = ProxyUrl(server);
    return ProxyRoute::Proxy;
}
