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

// Every delayed task of the process goes through here, keyed on the shared clock's media time.
// With the system clock a timer thread posts due tasks to their queues; with a ManualClock nothing
// fires until ManualClock::advance() steps through the deadlines.
class TimerService {
public:
    static TimerService& instance();

    DelayedTask schedule(double deadline, std::weak_ptr<DispatchQueue> queue, Task task);
    // Wakes the timer thread to re-read the clock (after the shared clock changed).
    void clockChanged();
    void advanceManual(ManualClock& clock, double target);
    void reset();

private:
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

    TimerService();
    void threadMain();
    // Moves cancelled entries off the top of the heap into `dropped` (under mMutex).
    void dropCancelled(std::vector<Entry>& dropped);
    static void dispatch(Entry entry);

    std::mutex mMutex;
    std::condition_variable mCond;
    std::priority_queue<Entry, std::vector<Entry>, Later> mHeap;
    std::uint64_t mSeq = 0;
    std::thread mThread;
};

} // namespace platform
