#pragma once
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Task.h"
#include "platform/foundation/TimerService.h"

namespace platform::detail {

// The core of an installed SimulatedRuntime: the pending tasks of every simulated queue, the timed
// tasks, and the thread that runs them. Queues and the run loop reach it through activeSimulation().
class Simulation : public std::enable_shared_from_this<Simulation> {
public:
    // The tasks one simulated queue holds, shared with the ready list so that tasks queued on a
    // queue that is already gone still run in order.
    struct Lane {
        std::deque<Task> tasks;
        DispatchQueue* queue = nullptr; // what DispatchQueue::current() reports while a task runs
        bool running = false;           // a task of this lane is running (perhaps pumping others)
    };

    explicit Simulation(std::thread::id owner);
    // Makes the simulation's global queue (after construction: it needs shared_from_this()).
    void makeGlobalQueue() { mGlobal = makeSerial("com.zqlivekit.global.simulated", true); }

    std::shared_ptr<DispatchQueue> makeSerial(std::string label, bool concurrent);
    const std::shared_ptr<DispatchQueue>& globalQueue() const { return mGlobal; }
    const std::shared_ptr<Lane>& mainLane() const { return mMain; }

    void post(const std::shared_ptr<Lane>& lane, Task task);
    // sync() on a simulated queue from outside it: on the simulation's thread, runs what the lane
    // holds and then the task; from another thread, queues the task and waits for it.
    void runSync(const std::shared_ptr<Lane>& lane, const Task& task);
    DelayedTask schedule(double deadline, std::weak_ptr<DispatchQueue> queue, Task task);

    bool isOwnerThread() const { return std::this_thread::get_id() == mOwner; }
    bool isMainCurrent() const;

    std::size_t runUntilIdle(std::size_t limit);
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
    void advance(ManualClock& clock, double seconds);
    bool idle() const;
    std::uint64_t tasksRun() const;

    // Stops accepting work and drops what is queued or timed.
    void shutDown();
    // A queue object is going: it no longer names the lane's tasks.
    void retire(const std::shared_ptr<Lane>& lane);

private:
    bool runOne();
    void runTask(const std::shared_ptr<Lane>& lane, Task task);

    const std::thread::id mOwner;
    mutable std::mutex mMutex;
    std::condition_variable mCond;
    bool mActive = true;
    std::deque<std::shared_ptr<Lane>> mReady; // one entry per queued task, in queueing order
    std::priority_queue<TimerService::Entry, std::vector<TimerService::Entry>, TimerService::Later> mTimed;
    std::uint64_t mSeq = 0;
    std::uint64_t mTasksRun = 0;
    std::shared_ptr<Lane> mMain;
    std::shared_ptr<DispatchQueue> mGlobal;
};

// The installed simulation, or nullptr. Any thread.
std::shared_ptr<Simulation> activeSimulation();

} // namespace platform::detail
