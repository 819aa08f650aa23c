#include "ZQPlatform/DispatchQueue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/Sync.h"
#include "platform/foundation/CurrentQueue.h"
#include "platform/foundation/Simulation.h"
#include "platform/foundation/TimerService.h"

namespace platform {
namespace detail {
thread_local DispatchQueue* tCurrentQueue = nullptr;
}

namespace {

// Runs a task on another queue and waits for it.
void runAndWait(DispatchQueue& queue, const Task& task) {
    DispatchSemaphore done(0);
    queue.async([&] {
        task();
        done.signal();
    });
    done.wait();
}

class SerialQueue final : public DispatchQueue {
public:
    explicit SerialQueue(std::string label) : DispatchQueue(std::move(label)) {}

    ~SerialQueue() override {
        {
            std::lock_guard lock(mState->mutex);
            mState->stopping = true;
        }
        mState->cond.notify_all();
        if (!mThread.joinable()) return;
        if (mThread.get_id() == std::this_thread::get_id())
            mThread.detach(); // released by its own last task: the worker drains and exits alone
        else
            mThread.join();
    }

    void async(Task task) override {
        {
            std::lock_guard lock(mState->mutex);
            mState->tasks.push_back(std::move(task));
            if (!mThread.joinable()) mThread = std::thread(&SerialQueue::work, mState, this);
        }
        mState->cond.notify_one();
    }

    void sync(const Task& task) override {
        if (isCurrent())
            task();
        else
            runAndWait(*this, task);
    }

    bool isCurrent() const override { return detail::tCurrentQueue == this; }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cond;
        std::deque<Task> tasks;
        bool stopping = false;
    };

    static void work(std::shared_ptr<State> state, DispatchQueue* self) {
        detail::CurrentQueueScope scope(self);
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->cond.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
            if (state->tasks.empty()) return; // stopping, and everything queued has run
            Task task = std::move(state->tasks.front());
            state->tasks.pop_front();
            lock.unlock();
            task();
            task = nullptr; // release captures before taking the lock again
            lock.lock();
        }
    }

    std::shared_ptr<State> mState = std::make_shared<State>();
    std::thread mThread;
};

class MainQueue final : public DispatchQueue {
public:
    MainQueue() : DispatchQueue("com.zqlivekit.main") {}
    void async(Task task) override { RunLoop::main().post(std::move(task)); }
    void sync(const Task& task) override {
        if (isCurrent()) {
            task();
        } else if (auto simulation = detail::activeSimulation()) {
            simulation->runSync(simulation->mainLane(), task);
        } else {
            runAndWait(*this, task);
        }
    }
    bool isCurrent() const override { return RunLoop::main().isCurrent(); }
};

class GlobalQueue final : public DispatchQueue {
public:
    explicit GlobalQueue(std::string label) : DispatchQueue(std::move(label)) {
        unsigned n = std::max(2u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < n; ++i) std::thread([this] { work(); }).detach();
    }
    void async(Task task) override {
        {
            std::lock_guard lock(mMutex);
            mTasks.push_back(std::move(task));
        }
        mCond.notify_one();
    }
    // Concurrent queues run synchronous work on the caller, as a concurrent dispatch queue does.
    void sync(const Task& task) override { task(); }
    bool isCurrent() const override { return false; }

private:
    void work() {
        std::unique_lock lock(mMutex);
        for (;;) {
            mCond.wait(lock, [&] { return !mTasks.empty(); });
            Task task = std::move(mTasks.front());
            mTasks.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
    }
    std::mutex mMutex;
    std::condition_variable mCond;
    std::deque<Task> mTasks;
};

} // namespace

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<MainQueue>());
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(Priority priority) {
    // One pool serves every priority: the kit only uses priorities as hints.
    (void)priority;
    if (auto simulation = detail::activeSimulation()) return simulation->globalQueue();
    static auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<GlobalQueue>("com.zqlivekit.global"));
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label) {
    if (auto simulation = detail::activeSimulation()) return simulation->makeSerial(std::move(label), false);
    return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::createSerialThread(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

DispatchQueue* DispatchQueue::current() { return detail::tCurrentQueue; }

DelayedTask DispatchQueue::after(double seconds, Task task) {
    if (seconds <= 0) {
        // Due now: queue it directly, still cancellable until it starts.
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        async([cancelled, task = std::move(task)] {
            if (!cancelled->exchange(true)) task();
        });
        return DelayedTask(cancelled);
    }
    double deadline = mediaTime() + seconds;
    if (auto simulation = detail::activeSimulation()) return simulation->schedule(deadline, weak_from_this(), std::move(task));
    return TimerService::instance().schedule(deadline, weak_from_this(), std::move(task));
}

} // namespace platform
