#pragma once
#include <atomic>
#include <memory>
#include "ZQPlatform/Export.h"

namespace platform {

// The one source of time for the whole kit. Production uses the system clocks; tests install a
// ManualClock and move virtual time forward, which fires due timers and delayed calls in order.
class ZQ_PLATFORM_EXPORT Clock {
public:
    virtual ~Clock();
    // Monotonic seconds (the media clock). Any thread.
    virtual double mediaTime() const = 0;
    // Seconds since 1970. Any thread.
    virtual double wallTime() const = 0;
    virtual bool isManual() const { return false; }

    // The clock every component reads. Any thread.
    static std::shared_ptr<Clock> shared();
    // Installs a clock (nullptr restores the system clock). Pending timers keep their fire dates.
    static void setShared(std::shared_ptr<Clock> clock);
};

// Shorthands for Clock::shared()->mediaTime() / wallTime().
ZQ_PLATFORM_EXPORT double mediaTime();
ZQ_PLATFORM_EXPORT double wallTime();

class ZQ_PLATFORM_EXPORT SystemClock final : public Clock {
public:
    double mediaTime() const override;
    double wallTime() const override;
};

// Virtual time. Installed by a test's simulated runtime, whose advance() moves it to each due deadline
// in turn and runs what falls due there; advance() here does the same for the runtime that owns
// this clock, and only moves the time otherwise.
class ZQ_PLATFORM_EXPORT ManualClock final : public Clock {
public:
    explicit ManualClock(double mediaStart = 1000.0, double wallStart = 1700000000.0);
    double mediaTime() const override;
    double wallTime() const override;
    bool isManual() const override { return true; }

    // Moves both clocks forward by `seconds` (firing due work in deadline order when a simulated
    // runtime owns the clock). Main thread only.
    void advance(double seconds);
    // Sets the time without firing anything (for setting up a scene).
    void setMediaTime(double t);
    void setWallTime(double t);

private:
    std::atomic<double> mMedia;
    std::atomic<double> mWall;
};

} // namespace platform
