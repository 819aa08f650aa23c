#include "ZQPlatform/SystemInfo.h"

#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace platform {
namespace {
std::mutex gMutex;
std::string gVersionOverride;
std::string gHomeOverride;
} // namespace

std::string SystemInfo::systemVersion() {
    std::lock_guard lock(gMutex);
    if (!gVersionOverride.empty()) return gVersionOverride;
    if (const char* env = std::getenv("ZQLIVEKIT_OS_VERSION"); env && *env) return env;
    return "15.0";
}

double SystemInfo::systemVersionNumber() { return std::strtod(systemVersion().c_str(), nullptr); }

int SystemInfo::majorSystemVersion() { return static_cast<int>(systemVersionNumber()); }

void SystemInfo::setSystemVersion(const std::string& version) {
    std::lock_guard lock(gMutex);
    gVersionOverride = version;
}

std::string SystemInfo::homeDirectory() {
    std::lock_guard lock(gMutex);
    if (!gHomeOverride.empty()) return gHomeOverride;
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    return "/tmp";
}

void SystemInfo::setHomeDirectory(const std::string& path) {
    std::lock_guard lock(gMutex);
    gHomeOverride = path;
}

std::string SystemInfo::deviceName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

} // namespace platform
