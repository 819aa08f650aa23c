#include "platform/foundation/SimulatedRuntime.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/Sync.h"
#include "platform/foundation/CurrentQueue.h"
#include "platform/foundation/RunLoopAccess.h"
#include "platform/foundation/Simulation.h"

namespace platform {
namespace detail {
namespace {

std::mutex gActiveMutex;
std::shared_ptr<Simulation> gActive;
SimulatedRuntime* gRuntime = nullptr;

// A serial (or, for the global queues, concurrent) queue whose tasks the simulation runs.
class SimulatedQueue final : public DispatchQueue {
public:
    SimulatedQueue(std::string label, std::shared_ptr<Simulation> simulation, bool concurrent)
        : DispatchQueue(std::move(label)), mSimulation(std::move(simulation)), mLane(std::make_shared<Simulation::Lane>()),
          mConcurrent(concurrent) {
        mLane->queue = concurrent ? nullptr : this;
    }

    // As a real serial queue's destructor runs what is queued before its thread ends, this one runs
    // its lane now, unless one of its own tasks let it go (then the lane finishes in turn).
    ~SimulatedQueue() override {
        if (!isCurrent() && mSimulation->isOwnerThread()) mSimulation->runSync(mLane, [] {});
        mSimulation->retire(mLane);
    }

    void async(Task task) override { mSimulation->post(mLane, std::move(task)); }

    void sync(const Task& task) override {
        if (mConcurrent || isCurrent()) {
            task(); // concurrent queues run synchronous work on the caller
            return;
        }
        mSimulation->runSync(mLane, task);
    }

    bool isCurrent() const override { return !mConcurrent && tCurrentQueue == this; }

private:
    std::shared_ptr<Simulation> mSimulation;
    std::shared_ptr<Simulation::Lane> mLane;
    bool mConcurrent;
};

} // namespace

std::shared_ptr<Simulation> activeSimulation() {
    std::lock_guard lock(gActiveMutex);
    return gActive;
}

Simulation::Simulation(std::thread::id owner) : mOwner(owner), mMain(std::make_shared<Lane>()) {
    mMain->queue = DispatchQueue::main().get();
}

std::shared_ptr<DispatchQueue> Simulation::makeSerial(std::string label, bool concurrent) {
    return std::make_shared<SimulatedQueue>(std::move(label), shared_from_this(), concurrent);
}

void Simulation::post(const std::shared_ptr<Lane>& lane, Task task) {
    {
        std::lock_guard lock(mMutex);
        if (mActive) {
            lane->tasks.push_back(std::move(task));
            mReady.push_back(lane);
            mCond.notify_all();
            return;
        }
    }
    // The runtime is gone: the task is dropped here, outside the lock (its captures may post).
    task = nullptr;
}

void Simulation::runSync(const std::shared_ptr<Lane>& lane, const Task& task) {
    if (!isOwnerThread()) {
        bool active;
        {
            std::lock_guard lock(mMutex);
            active = mActive;
        }
        if (!active) {
            task();
            return;
        }
        DispatchSemaphore done(0);
        post(lane, [&] {
            task();
            done.signal();
        });
        done.wait();
        return;
    }
    for (;;) {
        Task next;
        {
            std::lock_guard lock(mMutex);
            if (lane->tasks.empty()) break;
            next = std::move(lane->tasks.front());
            lane->tasks.pop_front();
        }
        runTask(lane, std::move(next));
    }
    runTask(lane, task);
}

DelayedTask Simulation::schedule(double deadline, std::weak_ptr<DispatchQueue> queue, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(mMutex);
        if (!mActive) {
            cancelled->store(true);
            return DelayedTask(cancelled);
        }
        mTimed.push(TimerService::Entry{deadline, mSeq++, std::move(queue), std::move(task), cancelled});
    }
    return DelayedTask(cancelled);
}

bool Simulation::isMainCurrent() const {
    if (tCurrentQueue) return tCurrentQueue == mMain->queue;
    // The test's own code, outside any task, is the main thread's.
    return isOwnerThread();
}

void Simulation::runTask(const std::shared_ptr<Lane>& lane, Task task) {
    bool concurrent = lane->queue == nullptr;
    bool wasRunning = lane->running;
    lane->running = !concurrent;
    {
        CurrentQueueScope scope(lane->queue);
        task();
        task = nullptr; // captures go while the task's queue is still current
    }
    lane->running = wasRunning;
    std::lock_guard lock(mMutex);
    ++mTasksRun;
}

bool Simulation::runOne() {
    std::shared_ptr<Lane> lane;
    Task task;
    {
        std::lock_guard lock(mMutex);
        // A task that pumps the runtime (a nested advance) must not start another task of its own
        // serial queue: such lanes wait for their turn.
        for (auto it = mReady.begin(); it != mReady.end();) {
            if ((*it)->tasks.empty()) {
                it = mReady.erase(it); // it outlasted its task when a sync() ran the lane early
                continue;
            }
            if ((*it)->running) {
                ++it;
                continue;
            }
            lane = std::move(*it);
            mReady.erase(it);
            task = std::move(lane->tasks.front());
            lane->tasks.pop_front();
            break;
        }
    }
    if (!task) return false;
    runTask(lane, std::move(task));
    return true;
}

std::size_t Simulation::runUntilIdle(std::size_t limit) {
    std::size_t ran = 0;
    while (ran < limit) {
        if (runOne()) {
            ++ran;
            continue;
        }
        std::size_t io = RunLoopAccess::pollSources(RunLoop::main());
        if (io == 0) break;
        ran += io;
    }
    return ran;
}

bool Simulation::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        runUntilIdle(SimulatedRuntime::kNoLimit);
        if (done()) return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        // Wait for real threads to post, briefly, so that I/O sources are polled again soon.
        std::unique_lock lock(mMutex);
        std::chrono::steady_clock::duration slice = std::chrono::milliseconds(5);
        mCond.wait_for(lock, std::min(deadline - now, slice),
                       [&] { return !mReady.empty(); });
    }
}

void Simulation::advance(ManualClock& clock, double seconds) {
    const double target = clock.mediaTime() + std::max(0.0, seconds);
    runUntilIdle(SimulatedRuntime::kNoLimit);
    for (;;) {
        TimerService::Entry entry;
        std::vector<TimerService::Entry> dropped;
        {
            std::lock_guard lock(mMutex);
            while (!mTimed.empty() && mTimed.top().cancelled->load()) {
                dropped.push_back(mTimed.top());
                mTimed.pop();
            }
            if (mTimed.empty() || mTimed.top().deadline > target) break;
            entry = mTimed.top();
            mTimed.pop();
        }
        dropped.clear();
        if (entry.deadline > clock.mediaTime()) clock.setMediaTime(entry.deadline);
        TimerService::dispatch(std::move(entry));
        runUntilIdle(SimulatedRuntime::kNoLimit);
    }
    if (target > clock.mediaTime()) clock.setMediaTime(target);
    runUntilIdle(SimulatedRuntime::kNoLimit);
}

bool Simulation::idle() const {
    std::lock_guard lock(mMutex);
    return std::none_of(mReady.begin(), mReady.end(), [](const auto& lane) { return !lane->tasks.empty(); });
}

std::uint64_t Simulation::tasksRun() const {
    std::lock_guard lock(mMutex);
    return mTasksRun;
}

void Simulation::retire(const std::shared_ptr<Lane>& lane) {
    std::lock_guard lock(mMutex);
    lane->queue = nullptr;
}

void Simulation::shutDown() {
    std::deque<std::shared_ptr<Lane>> ready;
    std::vector<TimerService::Entry> timed;
    std::vector<Task> tasks;
    {
        std::lock_guard lock(mMutex);
        mActive = false;
        ready.swap(mReady);
        while (!mTimed.empty()) {
            mTimed.top().cancelled->store(true);
            timed.push_back(mTimed.top());
            mTimed.pop();
        }
        for (auto& lane : ready) {
            for (auto& task : lane->tasks) tasks.push_back(std::move(task));
            lane->tasks.clear();
        }
    }
    // Released outside the lock: what they hold may post here (and is dropped) on its way out.
    tasks.clear();
    timed.clear();
    mGlobal.reset();
}

} // namespace detail

// --- SimulatedRuntime ---

SimulatedRuntime::SimulatedRuntime(double mediaStart, double wallStart)
    : mClock(std::make_shared<ManualClock>(mediaStart, wallStart)) {
    auto simulation = std::make_shared<detail::Simulation>(std::this_thread::get_id());
    simulation->makeGlobalQueue();
    resetRuntime();
    {
        std::lock_guard lock(detail::gActiveMutex);
        if (detail::gActive) {
            std::fprintf(stderr, "SimulatedRuntime: one is installed already\n");
            std::abort();
        }
        detail::gActive = simulation;
        detail::gRuntime = this;
    }
    mSimulation = std::move(simulation);
    Clock::setShared(mClock);
}

SimulatedRuntime::~SimulatedRuntime() {
    {
        std::lock_guard lock(detail::gActiveMutex);
        detail::gActive.reset();
        detail::gRuntime = nullptr;
    }
    mSimulation->shutDown();
    resetRuntime();
    Clock::setShared(nullptr);
}

SimulatedRuntime* SimulatedRuntime::current() {
    std::lock_guard lock(detail::gActiveMutex);
    return detail::gRuntime;
}

void SimulatedRuntime::advance(double seconds) { mSimulation->advance(*mClock, seconds); }
std::size_t SimulatedRuntime::runUntilIdle(std::size_t limit) { return mSimulation->runUntilIdle(limit); }
bool SimulatedRuntime::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    return mSimulation->runUntil(done, timeoutSeconds);
}
bool SimulatedRuntime::idle() const { return mSimulation->idle(); }
std::uint64_t SimulatedRuntime::tasksRun() const { return mSimulation->tasksRun(); }

void resetRuntime() {
    TimerService::instance().reset();
    detail::RunLoopAccess::reset(RunLoop::main());
}

} // namespace platform
