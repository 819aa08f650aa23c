#include "ZQPlatform/NotificationCenter.h"

#include <algorithm>

namespace platform {

struct NotificationCenter::Entry {
    std::string name;
    const void* object;
    std::shared_ptr<DispatchQueue> queue;
    Callback callback;
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static auto* center = new NotificationCenter();
    return *center;
}

NotificationCenter::Registration NotificationCenter::addObserver(std::string name, const void* object,
                                                                 std::shared_ptr<DispatchQueue> queue,
                                                                 Callback callback) {
    auto entry = std::make_shared<Entry>(Entry{std::move(name), object, std::move(queue), std::move(callback)});
    std::lock_guard lock(mMutex);
    std::erase_if(mEntries, [](const std::weak_ptr<Entry>& e) { return e.expired(); });
    mEntries.push_back(entry);
    return entry;
}

void NotificationCenter::post(const std::string& name, const void* object, nlohmann::json userInfo) {
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(mMutex);
        for (auto& weak : mEntries) {
            auto entry = weak.lock();
            if (entry && entry->name == name && (!entry->object || entry->object == object))
                targets.push_back(std::move(entry));
        }
    }
    Notification notification{name, object, std::move(userInfo)};
    for (auto& entry : targets) {
        if (entry->queue) {
            // Delivered only while the observer is still registered.
            entry->queue->async([weak = std::weak_ptr<Entry>(entry), notification] {
                if (auto e = weak.lock()) e->callback(notification);
            });
        } else {
            entry->callback(notification);
        }
    }
}

} // namespace platform
