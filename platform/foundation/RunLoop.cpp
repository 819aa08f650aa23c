#include "ZQPlatform/RunLoop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Sync.h"
#include "ZQPlatform/Console.h"
#include "platform/foundation/CurrentQueue.h"
#include "platform/foundation/RunLoopAccess.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "platform/foundation/Simulation.h"
#include "platform/foundation/TimerService.h"

namespace platform {

struct RunLoop::Impl {
    struct Source {
        int fd;
        std::shared_ptr<std::function<void()>> callback;
    };

    std::mutex mutex;
    std::deque<Task> tasks;
    std::map<SourceId, Source> sources;
    SourceId nextSource = 1;
    std::unordered_map<const void*, std::vector<DelayedTask>> delayed;
    std::atomic<std::thread::id> owner{};
    std::atomic<bool> stopRequested{false};
    std::thread dedicated;
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    void wake() const {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }

    // Runs until stop(); the request is used up on the way out.
    void runUntilStopped() {
        while (!stopRequested.load()) runOnce(-1);
        stopRequested = false;
    }

    void claim() {
        std::thread::id none{};
        owner.compare_exchange_strong(none, std::this_thread::get_id());
    }

    // One pass: run the tasks queued so far, then deliver I/O readiness. `timeoutMs` bounds the wait
    // for I/O or a wake-up when nothing is queued. Returns how many callbacks ran.
    std::size_t runOnce(int timeoutMs) {
        detail::CurrentQueueScope scope(DispatchQueue::main().get());
        std::size_t ran = 0;
        std::deque<Task> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(tasks);
        }
        for (auto& task : batch) {
            task();
            task = nullptr;
            ++ran;
            if (stopRequested.load()) {
                // Keep what was not run yet for the next run().
                std::lock_guard lock(mutex);
                for (auto it = batch.rbegin(); it != batch.rend() && *it; ++it) tasks.push_front(std::move(*it));
                return ran;
            }
        }
        {
            std::lock_guard lock(mutex);
            if (!tasks.empty()) timeoutMs = 0;
        }
        if (ran > 0) timeoutMs = 0;
        return ran + pollSources(timeoutMs);
    }

    // Waits up to `timeoutMs` for I/O readiness or a wake-up and runs the callbacks of ready sources.
    std::size_t pollSources(int timeoutMs) {
        detail::CurrentQueueScope scope(DispatchQueue::main().get());
        std::vector<pollfd> fds{{wakeFd, POLLIN, 0}};
        std::vector<SourceId> ids{0};
        {
            std::lock_guard lock(mutex);
            for (auto& [id, source] : sources) {
                fds.push_back({source.fd, POLLIN, 0});
                ids.push_back(id);
            }
        }
        int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready <= 0) return 0;
        if (fds[0].revents) {
            std::uint64_t count;
            while (::read(wakeFd, &count, sizeof count) > 0) {
            }
        }
        std::size_t ran = 0;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            std::shared_ptr<std::function<void()>> callback;
            {
                std::lock_guard lock(mutex);
                auto it = sources.find(ids[i]);
                if (it != sources.end()) callback = it->second.callback;
            }
            if (callback) {
                (*callback)();
                ++ran;
            }
        }
        return ran;
    }
};

RunLoop& RunLoop::main() {
    static auto* loop = new RunLoop();
    return *loop;
}

RunLoop::RunLoop() : mImpl(std::make_unique<Impl>()) {}

RunLoop::~RunLoop() {
    if (mImpl->wakeFd >= 0) ::close(mImpl->wakeFd);
}

void RunLoop::post(Task task) {
    if (auto simulation = detail::activeSimulation()) {
        simulation->post(simulation->mainLane(), std::move(task));
        return;
    }
    {
        std::lock_guard lock(mImpl->mutex);
        mImpl->tasks.push_back(std::move(task));
    }
    mImpl->wake();
}

void RunLoop::run() {
    if (detail::activeSimulation()) {
        Console::log("RunLoop::run() under a simulated runtime: the test pumps the loop instead");
        return;
    }
    mImpl->owner = std::this_thread::get_id();
    mImpl->stopRequested = false;
    mImpl->runUntilStopped();
}

void RunLoop::stop() {
    mImpl->stopRequested = true;
    mImpl->wake();
}

void RunLoop::startOnThread() {
    if (mImpl->dedicated.joinable() || detail::activeSimulation()) return;
    // Armed before the thread exists: a stopOnThread() right after this returns must not be undone
    // by the thread's own start.
    mImpl->stopRequested = false;
    DispatchSemaphore started(0);
    mImpl->dedicated = std::thread([this, &started] {
        mImpl->owner = std::this_thread::get_id();
        started.signal();
        mImpl->runUntilStopped();
    });
    started.wait();
}

void RunLoop::stopOnThread() {
    if (!mImpl->dedicated.joinable()) return;
    stop();
    mImpl->dedicated.join();
    mImpl->owner = std::thread::id{};
}

std::size_t RunLoop::runUntilIdle() {
    if (auto simulation = detail::activeSimulation()) return simulation->runUntilIdle(SimulatedRuntime::kNoLimit);
    mImpl->claim();
    std::size_t total = 0;
    for (;;) {
        std::size_t ran = mImpl->runOnce(0);
        if (ran == 0) return total;
        total += ran;
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    if (auto simulation = detail::activeSimulation()) return simulation->runUntil(done, timeoutSeconds);
    mImpl->claim();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        if (done()) return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        mImpl->runOnce(static_cast<int>(std::clamp<long long>(left, 1, 20)));
    }
}

bool RunLoop::isCurrent() const {
    if (auto simulation = detail::activeSimulation()) return simulation->isMainCurrent();
    return mImpl->owner.load() == std::this_thread::get_id();
}

RunLoop::SourceId RunLoop::addReadSource(int fd, std::function<void()> onReadable) {
    SourceId id;
    {
        std::lock_guard lock(mImpl->mutex);
        id = mImpl->nextSource++;
        mImpl->sources[id] = Impl::Source{fd, std::make_shared<std::function<void()>>(std::move(onReadable))};
    }
    mImpl->wake();
    return id;
}

void RunLoop::removeSource(SourceId id) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->sources.erase(id);
}

void RunLoop::performAfter(const void* target, double delaySeconds, Task task) {
    auto handle = DispatchQueue::main()->after(delaySeconds, std::move(task));
    std::lock_guard lock(mImpl->mutex);
    mImpl->delayed[target].push_back(handle);
}

void RunLoop::cancelPreviousPerformRequests(const void* target) {
    std::vector<DelayedTask> pending;
    {
        std::lock_guard lock(mImpl->mutex);
        auto it = mImpl->delayed.find(target);
        if (it == mImpl->delayed.end()) return;
        pending.swap(it->second);
        mImpl->delayed.erase(it);
    }
    for (auto& handle : pending) handle.cancel();
}

namespace detail {

void RunLoopAccess::reset(RunLoop& loop) {
    std::deque<Task> tasks;
    std::map<RunLoop::SourceId, RunLoop::Impl::Source> sources;
    std::unordered_map<const void*, std::vector<DelayedTask>> delayed;
    {
        std::lock_guard lock(loop.mImpl->mutex);
        tasks.swap(loop.mImpl->tasks);
        sources.swap(loop.mImpl->sources);
        delayed.swap(loop.mImpl->delayed);
    }
    for (auto& [target, handles] : delayed)
        for (auto& handle : handles) handle.cancel();
}

std::size_t RunLoopAccess::pollSources(RunLoop& loop) { return loop.mImpl->pollSources(0); }

} // namespace detail

// --- Timer ---

struct Timer::State {
    std::mutex mutex;
    bool valid = true;
    double fireDate = 0;
    std::uint64_t generation = 0;
    DelayedTask pending;
    Callback callback;
};

double Timer::distantFuture() { return 1e300; }
double Timer::distantPast() { return -1e300; }

Timer::Timer(double interval, bool repeats, Callback callback)
    : mState(std::make_shared<State>()), mInterval(std::max(interval, 0.0001)), mRepeats(repeats) {
    mState->callback = std::move(callback);
}

Timer::~Timer() { invalidate(); }

std::shared_ptr<Timer> Timer::scheduled(double interval, bool repeats, Callback callback) {
    std::shared_ptr<Timer> timer(new Timer(interval, repeats, std::move(callback)));
    timer->arm(mediaTime() + timer->mInterval);
    return timer;
}

void Timer::arm(double when) {
    std::uint64_t generation;
    DelayedTask previous;
    {
        std::lock_guard lock(mState->mutex);
        if (!mState->valid) return;
        previous = std::exchange(mState->pending, DelayedTask());
        mState->fireDate = when;
        generation = ++mState->generation;
    }
    previous.cancel();
    if (when >= distantFuture()) return;
    double delay = when <= distantPast() ? 0.0 : when - mediaTime();
    // Scheduled outside the timer's lock: the timer service takes its own lock, and may release a
    // timer (taking this one) while holding it. The run loop keeps a scheduled timer alive until
    // it is invalidated.
    DelayedTask pending =
        DispatchQueue::main()->after(delay, [self = shared_from_this(), generation] { self->fire(generation); });
    std::lock_guard lock(mState->mutex);
    if (mState->valid && mState->generation == generation)
        mState->pending = pending;
    else
        pending.cancel(); // re-armed or invalidated meanwhile
}

void Timer::fire(std::uint64_t generation) {
    Callback callback;
    {
        std::lock_guard lock(mState->mutex);
        if (!mState->valid || generation != mState->generation) return;
        callback = mState->callback;
    }
    if (mRepeats)
        arm(mediaTime() + mInterval);
    else
        invalidate();
    if (callback) callback(*this);
}

void Timer::setFireDate(double date) { arm(date); }

double Timer::fireDate() const {
    std::lock_guard lock(mState->mutex);
    return mState->fireDate;
}

void Timer::invalidate() {
    std::lock_guard lock(mState->mutex);
    mState->valid = false;
    mState->pending.cancel();
    mState->pending = DelayedTask();
    mState->callback = nullptr;
}

bool Timer::isValid() const {
    std::lock_guard lock(mState->mutex);
    return mState->valid;
}

} // namespace platform
