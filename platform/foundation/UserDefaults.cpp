#include "ZQPlatform/UserDefaults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/JSONSerialization.h"
#include "ZQPlatform/SystemInfo.h"

namespace platform {
namespace {

// Creates each missing folder of `path` (owner only).
void makeDirectories(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string prefix = path.substr(0, at);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    }
}

std::string readWhole(const std::string& path) {
    std::string content;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return content;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

} // namespace

bool UserDefaults::isValidSuiteName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.') return false;
    for (char c : name) {
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_';
        if (!allowed) return false;
    }
    return true;
}

std::string UserDefaults::directory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string config = xdg && xdg[0] == '/' ? std::string(xdg) : SystemInfo::homeDirectory() + "/.config";
    return config + "/zqlivekit";
}

std::shared_ptr<UserDefaults> UserDefaults::create(const std::string& suiteName) {
    if (!isValidSuiteName(suiteName)) return nullptr;
    std::shared_ptr<UserDefaults> defaults(new UserDefaults(suiteName, directory() + "/" + suiteName + ".json"));
    std::string content = readWhole(defaults->mPath);
    if (!content.empty()) {
        auto parsed = JSONSerialization::parse(content);
        if (parsed && parsed->is_object()) defaults->mValues = std::move(*parsed);
    }
    return defaults;
}

UserDefaults::UserDefaults(std::string suiteName, std::string path)
    : mSuiteName(std::move(suiteName)), mPath(std::move(path)) {}

std::optional<nlohmann::json> UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mMutex);
    auto it = mValues.find(key);
    if (it == mValues.end()) return std::nullopt;
    return *it;
}

bool UserDefaults::setObject(const nlohmann::json& value, const std::string& key) {
    std::lock_guard lock(mMutex);
    mValues[key] = value;
    return writeLocked();
}

bool UserDefaults::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(mMutex);
    mValues.erase(key);
    return writeLocked();
}

bool UserDefaults::writeLocked() {
    auto slash = mPath.rfind('/');
    makeDirectories(mPath.substr(0, slash));
    std::string text = mValues.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::string temporary = mPath + ".tmp." + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        Console::logf("UserDefaults: cannot write %s: %s", temporary.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = true;
    for (std::size_t written = 0; ok && written < text.size();) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else written += static_cast<std::size_t>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), mPath.c_str()) != 0) ok = false;
    if (!ok) {
        Console::logf("UserDefaults: cannot replace %s: %s", mPath.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
    }
    return ok;
}

} // namespace platform
