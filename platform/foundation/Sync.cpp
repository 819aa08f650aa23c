#include "ZQPlatform/Sync.h"

#include <chrono>

namespace platform {

DispatchSemaphore::DispatchSemaphore(long initial) : mCount(initial) {}

void DispatchSemaphore::signal() {
    // Notify under the lock: a waiter that wakes may destroy the semaphore as soon as it returns.
    std::lock_guard lock(mMutex);
    ++mCount;
    mCond.notify_one();
}

void DispatchSemaphore::wait() {
    std::unique_lock lock(mMutex);
    mCond.wait(lock, [&] { return mCount > 0; });
    --mCount;
}

bool DispatchSemaphore::waitFor(double seconds) {
    std::unique_lock lock(mMutex);
    if (!mCond.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return mCount > 0; })) return false;
    --mCount;
    return true;
}

std::shared_ptr<DispatchGroup> DispatchGroup::create() { return std::shared_ptr<DispatchGroup>(new DispatchGroup()); }

void DispatchGroup::enter() {
    std::lock_guard lock(mMutex);
    ++mCount;
}

void DispatchGroup::leave() {
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, Task>> ready;
    {
        std::lock_guard lock(mMutex);
        if (mCount == 0) return; // unbalanced leave: ignored rather than going negative
        if (--mCount > 0) return;
        ready.swap(mNotify);
    }
    mCond.notify_all();
    for (auto& [queue, task] : ready) queue->async(std::move(task));
}

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, Task task) {
    {
        std::lock_guard lock(mMutex);
        if (mCount > 0) {
            mNotify.emplace_back(std::move(queue), std::move(task));
            return;
        }
    }
    queue->async(std::move(task));
}

bool DispatchGroup::waitFor(double seconds) {
    std::unique_lock lock(mMutex);
    return mCond.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return mCount == 0; });
}

void DispatchGroup::async(const std::shared_ptr<DispatchQueue>& queue, Task task) {
    enter();
    queue->async([self = shared_from_this(), task = std::move(task)] {
        task();
        self->leave();
    });
}

} // namespace platform
