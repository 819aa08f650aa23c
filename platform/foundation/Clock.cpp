#include "ZQPlatform/Clock.h"

#include <mutex>
#include <time.h>
#include "platform/foundation/SimulatedRuntime.h"
#include "platform/foundation/TimerService.h"

namespace platform {
namespace {
std::mutex gClockMutex;
std::shared_ptr<Clock>& clockSlot() {
    static auto* slot = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
    return *slot;
}
double readClock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
} // namespace

Clock::~Clock() = default;

std::shared_ptr<Clock> Clock::shared() {
    std::lock_guard lock(gClockMutex);
    return clockSlot();
}

void Clock::setShared(std::shared_ptr<Clock> clock) {
    {
        std::lock_guard lock(gClockMutex);
        clockSlot() = clock ? std::move(clock) : std::make_shared<SystemClock>();
    }
    TimerService::instance().clockChanged();
}

double mediaTime() { return Clock::shared()->mediaTime(); }
double wallTime() { return Clock::shared()->wallTime(); }

double SystemClock::mediaTime() const { return readClock(CLOCK_MONOTONIC); }
double SystemClock::wallTime() const { return readClock(CLOCK_REALTIME); }

ManualClock::ManualClock(double mediaStart, double wallStart) : mMedia(mediaStart), mWall(wallStart) {}
double ManualClock::mediaTime() const { return mMedia.load(); }
double ManualClock::wallTime() const { return mWall.load(); }

void ManualClock::setMediaTime(double t) {
    double delta = t - mMedia.load();
    mMedia.store(t);
    mWall.store(mWall.load() + delta);
}

void ManualClock::setWallTime(double t) { mWall.store(t); }

void ManualClock::advance(double seconds) {
    if (seconds <= 0) return;
    // The simulated runtime that owns this clock fires what falls due; a bare clock only moves.
    if (auto* runtime = SimulatedRuntime::current(); runtime && &runtime->clock() == this) {
        runtime->advance(seconds);
        return;
    }
    setMediaTime(mMedia.load() + seconds);
}

} // namespace platform
