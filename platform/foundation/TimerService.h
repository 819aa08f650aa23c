#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"

namespace platform {

// Every delayed task of the process goes through here, keyed on the shared clock's media time: a
// timer thread posts due tasks to their queues. Under a SimulatedRuntime the simulation keeps the
// delayed tasks instead and fires them as virtual time moves.
class TimerService {
public:
    struct Entry {
        double deadline;
        std::uint64_t seq;
        std::weak_ptr<DispatchQueue> queue;
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.deadline > b.deadline || (a.deadline == b.deadline && a.seq > b.seq);
        }
    };

    static TimerService& instance();

    DelayedTask schedule(double deadline, std::weak_ptr<DispatchQueue> queue, Task task);
    // Wakes the timer thread to re-read the clock (after the shared clock changed).
    void clockChanged();
    // Drops every pending task.
    void reset();

    // Posts a due entry's task to its queue unless it was cancelled or the queue is gone; a cancel
    // that lands between posting and running still wins.
    static void dispatch(Entry entry);

private:
    TimerService();
    void threadMain();
    // Moves cancelled entries off the top of the heap into `dropped` (under mMutex).
    void dropCancelled(std::vector<Entry>& dropped);

    std::mutex mMutex;
    std::condition_variable mCond;
    std::priority_queue<Entry, std::vector<Entry>, Later> mHeap;
    std::uint64_t mSeq = 0;
    std::thread mThread;
};

} // namespace platform
