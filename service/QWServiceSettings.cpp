#include "ZQLiveKit/QWServiceSettings.h"

#include <cctype>
#include <cstdlib>
#include <mutex>
#include "ZQPlatform/Console.h"

#ifndef ZQ_DEFAULT_VIEW_HOST
#define ZQ_DEFAULT_VIEW_HOST "view.zqlive.example.com"
#endif
#ifndef ZQ_DEFAULT_LIVE_HOST
#define ZQ_DEFAULT_LIVE_HOST "live.zqlive.example.com"
#endif
#ifndef ZQ_DEFAULT_HTTPDNS_URL
#define ZQ_DEFAULT_HTTPDNS_URL "http://httpdns.zqlive.example.com"
#endif
#ifndef ZQ_DEFAULT_INTERACTION_HOST
#define ZQ_DEFAULT_INTERACTION_HOST "interaction.zqlive.example.com"
#endif

namespace {

std::mutex gMutex;

struct Setting {
    const char* environment;
    const char* fallback;
    bool isURL;
    std::optional<std::string> value; // the setter's; guarded by gMutex
};

Setting gView{"ZQLIVEKIT_VIEW_HOST", ZQ_DEFAULT_VIEW_HOST, false, {}};
Setting gLive{"ZQLIVEKIT_LIVE_HOST", ZQ_DEFAULT_LIVE_HOST, false, {}};
Setting gHTTPDNS{"ZQLIVEKIT_HTTPDNS_URL", ZQ_DEFAULT_HTTPDNS_URL, true, {}};
Setting gInteraction{"ZQLIVEKIT_INTERACTION_HOST", ZQ_DEFAULT_INTERACTION_HOST, false, {}};

bool validFor(const Setting& setting, const std::string& value) {
    return setting.isURL ? QWServiceSettings::isValidHTTPURL(value) : QWServiceSettings::isValidHost(value);
}

std::string read(const Setting& setting) {
    {
        std::lock_guard lock(gMutex);
        if (setting.value) return *setting.value;
    }
    if (const char* env = std::getenv(setting.environment); env && *env) {
        if (validFor(setting, env)) return env;
        platform::Console::logf("QWServiceSettings: %s=\"%s\" is not a valid value; using \"%s\"", setting.environment,
                                env, setting.fallback);
    }
    return setting.fallback;
}

bool write(Setting& setting, std::optional<std::string> value) {
    if (value && !validFor(setting, *value)) return false;
    std::lock_guard lock(gMutex);
    setting.value = std::move(value);
    return true;
}

bool isHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

} // namespace

std::string QWServiceSettings::viewHost() { return read(gView); }
std::string QWServiceSettings::liveHost() { return read(gLive); }
std::string QWServiceSettings::httpDNSURL() { return read(gHTTPDNS); }
std::string QWServiceSettings::interactionHost() { return read(gInteraction); }

bool QWServiceSettings::setViewHost(std::optional<std::string> host) { return write(gView, std::move(host)); }
bool QWServiceSettings::setLiveHost(std::optional<std::string> host) { return write(gLive, std::move(host)); }
bool QWServiceSettings::setHTTPDNSURL(std::optional<std::string> url) { return write(gHTTPDNS, std::move(url)); }
bool QWServiceSettings::setInteractionHost(std::optional<std::string> host) { return write(gInteraction, std::move(host)); }

std::string QWServiceSettings::defaultViewHost() { return ZQ_DEFAULT_VIEW_HOST; }
std::string QWServiceSettings::defaultLiveHost() { return ZQ_DEFAULT_LIVE_HOST; }
std::string QWServiceSettings::defaultHTTPDNSURL() { return ZQ_DEFAULT_HTTPDNS_URL; }
std::string QWServiceSettings::defaultInteractionHost() { return ZQ_DEFAULT_INTERACTION_HOST; }

bool QWServiceSettings::isValidHost(const std::string& host) {
    if (host.empty() || host.size() > 260) return false;
    std::size_t portStart;
    if (host[0] == '[') {
        // A bracketed IPv6 address: hex digits, ":" and "." inside.
        auto close = host.find(']');
        if (close == std::string::npos || close < 3) return false;
        for (std::size_t i = 1; i < close; ++i) {
            char c = host[i];
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
        }
        portStart = close + 1;
    } else {
        portStart = host.find(':');
        if (portStart == std::string::npos) portStart = host.size();
        if (portStart == 0) return false;
        for (std::size_t i = 0; i < portStart; ++i)
            if (!isHostCharacter(host[i])) return false;
    }
    if (portStart == host.size()) return true;
    if (host[portStart] != ':' || portStart + 1 == host.size() || host.size() - portStart - 1 > 5) return false;
    long port = 0;
    for (std::size_t i = portStart + 1; i < host.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(host[i]))) return false;
        port = port * 10 + (host[i] - '0');
    }
    return port >= 1 && port <= 65535;
}

bool QWServiceSettings::isValidHTTPURL(const std::string& url) {
    std::size_t hostStart;
    if (url.rfind("http://", 0) == 0)
        hostStart = 7;
    else if (url.rfind("https://", 0) == 0)
        hostStart = 8;
    else
        return false;
    std::size_t hostEnd = url.find_first_of("/?#", hostStart);
    std::string host = url.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    if (!isValidHost(host)) return false;
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
    return true;
}
