#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include "ZQPlatform/Export.h"

namespace platform {

using Task = std::function<void()>;

// Cancellation token for posted work: the owner keeps a TaskSafety member, wraps posted callbacks
// with safe(), and every wrapped callback that runs after the owner is gone does nothing.
class ZQ_PLATFORM_EXPORT TaskSafety {
public:
    TaskSafety();
    ~TaskSafety();
    TaskSafety(const TaskSafety&) = delete;
    TaskSafety& operator=(const TaskSafety&) = delete;

    // Marks all wrapped callbacks dead. Called by the destructor; may be called earlier.
    void invalidate();
    bool alive() const;
    Task safe(Task task) const;

private:
    std::shared_ptr<std::atomic<bool>> mAlive;
};

// A handle to a delayed task; cancel() stops it from running if it has not started. Copyable,
// any thread. A default-constructed handle refers to nothing.
class ZQ_PLATFORM_EXPORT DelayedTask {
public:
    DelayedTask() = default;
    explicit DelayedTask(std::shared_ptr<std::atomic<bool>> cancelled) : mCancelled(std::move(cancelled)) {}
    void cancel() const {
        if (mCancelled) mCancelled->store(true);
    }
    bool valid() const { return mCancelled != nullptr; }

private:
    std::shared_ptr<std::atomic<bool>> mCancelled;
};

} // namespace platform
