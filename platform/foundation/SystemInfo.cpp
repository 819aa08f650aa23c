#include "ZQPlatform/SystemInfo.h"

#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
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

namespace {

// An absolute path from the environment, or "".
std::string absoluteEnvironmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? value : "";
}

// The user's runtime directory: $XDG_RUNTIME_DIR, else /run/user/<uid> when it is the user's own.
std::string runtimeDirectory() {
    if (auto directory = absoluteEnvironmentPath("XDG_RUNTIME_DIR"); !directory.empty()) return directory;
    std::string candidate = "/run/user/" + std::to_string(::geteuid());
    struct stat info {};
    if (::lstat(candidate.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()) return candidate;
    return "";
}

} // namespace

std::string SystemInfo::homeDirectory() {
    std::lock_guard lock(gMutex);
    if (!gHomeOverride.empty()) return gHomeOverride;
    if (auto home = absoluteEnvironmentPath("HOME"); !home.empty()) return home;
    // No home (a service, a cleared environment): a folder of the kit in the user's state or runtime
    // directory, never a shared place such as /tmp where another user could prepare the path.
    if (auto state = absoluteEnvironmentPath("XDG_STATE_HOME"); !state.empty()) return state + "/zqlivekit";
    if (auto runtime = runtimeDirectory(); !runtime.empty()) return runtime + "/zqlivekit";
    return "";
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
