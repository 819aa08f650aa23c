#pragma once
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Export.h"

namespace platform {

// Counting semaphore (dispatch_semaphore). Any thread.
class ZQ_PLATFORM_EXPORT DispatchSemaphore {
public:
    explicit DispatchSemaphore(long initial = 0);
    void signal();
    // Waits without limit.
    void wait();
    // Waits at most `seconds` of real time; false on time-out.
    bool waitFor(double seconds);

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    long mCount;
};

// Tracks a set of pending jobs and runs notify blocks when the last one leaves. Any thread.
class ZQ_PLATFORM_EXPORT DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
public:
    static std::shared_ptr<DispatchGroup> create();
    void enter();
    void leave();
    // Runs `task` on `queue` once the group is empty (at once if it is empty now).
    void notify(std::shared_ptr<DispatchQueue> queue, Task task);
    // Waits in real time; false on time-out.
    bool waitFor(double seconds);
    // Runs `task` on `queue` as a member of the group.
    void async(const std::shared_ptr<DispatchQueue>& queue, Task task);

private:
    DispatchGroup() = default;
    std::mutex mMutex;
    std::condition_variable mCond;
    long mCount = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, Task>> mNotify;
};

} // namespace platform
