#include "platform/media/RealTimePacer.h"

#include <chrono>
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
                             double maxLag)
    : mName(std::move(name)), mPeriod(period), mTick(std::move(tick)), mClock(std::move(clock)), mMaxLag(maxLag) {}

RealTimePacer::~RealTimePacer() {
    stop();
    if (mThread.joinable()) mThread.detach(); // only when destroyed from its own tick
}

bool RealTimePacer::start() {
    if (!(mPeriod > 0) || mRunning.load()) return false;
    if (mThread.joinable()) {
        if (mThread.get_id() == std::this_thread::get_id()) return false;
        mThread.join(); // the previous run, asked to stop from inside a tick
    }
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
    if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) mThread.join();
}

double RealTimePacer::nextDeadline(double deadline, double period, double now, double maxLag) {
    double next = deadline + period;
    return now - next > maxLag ? now : next;
}

void RealTimePacer::run() {
    pthread_setname_np(pthread_self(), mName.substr(0, 15).c_str());
    std::unique_lock lock(mMutex);
    double deadline = mClock->now();
    for (std::uint64_t index = 0;;) {
        while (!mStopping && mClock->now() < deadline) mClock->waitUntil(deadline, lock, mWake);
        if (mStopping) break;
        lock.unlock();
        mTick(index++);
        lock.lock();
        deadline = nextDeadline(deadline, mPeriod, mClock->now(), mMaxLag);
    }
    mRunning = false;
}

} // namespace platform
