#include "platform/foundation/TimerService.h"

#include <chrono>

namespace platform {

TimerService& TimerService::instance() {
    // Never destroyed: queues and timers may still post while static objects are torn down.
    static auto* service = new TimerService();
    return *service;
}

TimerService::TimerService() : mThread([this] { threadMain(); }) { mThread.detach(); }

DelayedTask TimerService::schedule(double deadline, std::weak_ptr<DispatchQueue> queue, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(mMutex);
        mHeap.push(Entry{deadline, mSeq++, std::move(queue), std::move(task), cancelled});
    }
    mCond.notify_all();
    return DelayedTask(cancelled);
}

void TimerService::clockChanged() { mCond.notify_all(); }

void TimerService::dispatch(Entry entry) {
    if (entry.cancelled->load()) return;
    auto queue = entry.queue.lock();
    if (!queue) return;
    queue->async([task = std::move(entry.task), cancelled = entry.cancelled] {
        // A cancel that arrives after posting but before running still wins.
        if (!cancelled->exchange(true)) task();
    });
}

void TimerService::dropCancelled(std::vector<Entry>& dropped) {
    while (!mHeap.empty() && mHeap.top().cancelled->load()) {
        dropped.push_back(mHeap.top());
        mHeap.pop();
    }
}

void TimerService::threadMain() {
    std::unique_lock lock(mMutex);
    for (;;) {
        std::vector<Entry> dropped;
        dropCancelled(dropped);
        if (!dropped.empty()) {
            // A dropped task may hold the last reference to an object whose destructor schedules
            // or cancels work here: let it go outside the lock.
            lock.unlock();
            dropped.clear();
            lock.lock();
            continue;
        }
        auto clock = Clock::shared();
        if (mHeap.empty() || clock->isManual()) {
            // Virtual time belongs to a simulated runtime; re-check now and then for a clock swap.
            mCond.wait_for(lock, std::chrono::milliseconds(mHeap.empty() ? 1000 : 50));
            continue;
        }
        double remaining = mHeap.top().deadline - clock->mediaTime();
        if (remaining > 0) {
            mCond.wait_for(lock, std::chrono::duration<double>(remaining));
            continue;
        }
        Entry entry = mHeap.top();
        mHeap.pop();
        lock.unlock();
        dispatch(std::move(entry));
        lock.lock();
    }
}

void TimerService::reset() {
    std::vector<Entry> dropped;
    {
        std::lock_guard lock(mMutex);
        while (!mHeap.empty()) {
            mHeap.top().cancelled->store(true);
            dropped.push_back(mHeap.top());
            mHeap.pop();
        }
    }
}

} // namespace platform
