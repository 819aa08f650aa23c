#include "platform/media/RealTimePacer.h"

#include <chrono>
#include <cmath>
#include <pthread.h>

namespace platform {

namespace {

class MonotonicPacerClock final : public PacerClock {
public:
    double now() override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    void waitUntil(double deadline, std::unique_lock<std::mutex>& lock, std::condition_variable& wake) override {
        auto when = std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(deadline)));
        wake.wait_until(lock, when);
    }
};

} // namespace

std::shared_ptr<PacerClock> PacerClock::monotonic() {
    static auto clock = std::make_shared<MonotonicPacerClock>();
    return clock;
}

RealTimePacer::RealTimePacer(std::string name, double period, Tick tick, std::shared_ptr<PacerClock> clock,
                             double maxLag, LatePolicy policy)
    : mName(std::move(name)), mPeriod(period), mTick(std::move(tick)), mClock(std::move(clock)), mMaxLag(maxLag),
      mPolicy(policy) {}

RealTimePacer::~RealTimePacer() {
    stop();
    if (mThread.joinable()) mThread.detach(); // only when destroyed from its own tick
}

bool RealTimePacer::start() {
    if (!(mPeriod.load() > 0) || mRunning.load() || mTickThread.load() == std::this_thread::get_id()) return false;
    if (mThread.joinable()) mThread.join(); // the previous run, asked to stop from inside a tick
    {
        std::lock_guard lock(mMutex);
        mStopping = false;
    }
    mRunning = true;
    mThread = std::thread(&RealTimePacer::run, this);
    return true;
}

void RealTimePacer::stop() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mWake.notify_all();
    // From a tick the thread cannot join itself; it ends after the tick.
    if (mTickThread.load() == std::this_thread::get_id()) return;
    if (mThread.joinable()) mThread.join();
}

double RealTimePacer::nextDeadline(double deadline, double period, double now, double maxLag, LatePolicy policy) {
    double next = deadline + period;
    if (policy == LatePolicy::CatchUp) return now - next > maxLag ? now : next;
    // The first grid point at least half a period from now (with a little slack for rounding).
    constexpr double kSlack = 1e-9;
    double earliest = now + period / 2;
    if (next < earliest - kSlack) next = deadline + std::ceil((earliest - deadline) / period - kSlack) * period;
    return next;
}

void RealTimePacer::run() {
    pthread_setname_np(pthread_self(), mName.substr(0, 15).c_str());
    mTickThread = std::this_thread::get_id();
    std::unique_lock lock(mMutex);
    double deadline = mClock->now();
    for (std::uint64_t index = 0;;) {
        while (!mStopping && mClock->now() < deadline) mClock->waitUntil(deadline, lock, mWake);
        if (mStopping) break;
        lock.unlock();
        mTick(index++);
        lock.lock();
        deadline = nextDeadline(deadline, mPeriod.load(), mClock->now(), mMaxLag, mPolicy);
    }
    mTickThread = std::thread::id();
    mRunning = false;
}

} // namespace platform
