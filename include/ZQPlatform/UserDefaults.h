#pragma once
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include "ZQPlatform/Export.h"

namespace platform {

// The shared defaults of an application group (NSUserDefaults initWithSuiteName:): a JSON object in
// "<config>/zqlivekit/<group>.json", where <config> is $XDG_CONFIG_HOME when it is an absolute path,
// else "<home>/.config". Every change rewrites the file whole and atomically (a temporary file beside
// it, then a rename), readable by its owner only (0600; folders made here are 0700), so another
// process of the group reads either the old or the new content. Any thread.
class ZQ_PLATFORM_EXPORT UserDefaults {
public:
    // The store of `suiteName`, or nullptr for a name that could leave the folder: only letters,
    // digits, ".", "-" and "_" are allowed, and it may not start with ".". A missing or unreadable
    // file reads as empty.
    static std::shared_ptr<UserDefaults> create(const std::string& suiteName);
    static bool isValidSuiteName(const std::string& suiteName);
    // The folder the stores live in.
    static std::string directory();

    // objectForKey: (none when absent).
    std::optional<nlohmann::json> objectForKey(const std::string& key) const;
    // setObject:forKey: and removeObjectForKey:; false when the file could not be written (the value
    // is kept in memory).
    bool setObject(const nlohmann::json& value, const std::string& key);
    bool removeObjectForKey(const std::string& key);

    const std::string& suiteName() const { return mSuiteName; }
    const std::string& path() const { return mPath; }

private:
    UserDefaults(std::string suiteName, std::string path);
    bool writeLocked();

    const std::string mSuiteName;
    const std::string mPath;
    mutable std::mutex mMutex;
    nlohmann::json mValues = nlohmann::json::object(); // guarded by mMutex
};

} // namespace platform
