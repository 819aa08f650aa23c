#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Export.h"

namespace platform {

struct Notification {
    std::string name;
    const void* object = nullptr;
    nlohmann::json userInfo;
};

// Process-wide notifications (application lifecycle, audio interruptions, reachability).
// Observers are removed when the registration handle is released.
class ZQ_PLATFORM_EXPORT NotificationCenter {
public:
    using Callback = std::function<void(const Notification&)>;
    using Registration = std::shared_ptr<void>;

    static NotificationCenter& defaultCenter();

    // Observes `name` (from `object` only, when not null). With a queue, delivery is async on it;
    // without, it is synchronous on the posting thread. Any thread.
    [[nodiscard]] Registration addObserver(std::string name, const void* object,
                                           std::shared_ptr<DispatchQueue> queue, Callback callback);
    // Delivers to the observers registered at the time of the call. Any thread.
    void post(const std::string& name, const void* object = nullptr, nlohmann::json userInfo = {});

private:
    struct Entry;
    std::mutex mMutex;
    std::vector<std::weak_ptr<Entry>> mEntries;
};

// Names of the lifecycle notifications a host application posts.
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification = "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";

} // namespace platform
