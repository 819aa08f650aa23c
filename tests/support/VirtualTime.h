#pragma once
#include <memory>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/RunLoop.h"

namespace zqtest {

// Installs a ManualClock for the life of the object and claims the calling thread as the main
// run loop's thread. Everything timed then moves only through advance().
class VirtualTime {
public:
    VirtualTime();
    ~VirtualTime();
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    // Moves time forward, firing due timers and delayed calls in order.
    void advance(double seconds) { mClock->advance(seconds); }
    // Runs whatever the main queue holds now.
    void runMain() { platform::RunLoop::main().runUntilIdle(); }
    double now() const { return mClock->mediaTime(); }
    platform::ManualClock& clock() { return *mClock; }

private:
    std::shared_ptr<platform::ManualClock> mClock;
};

} // namespace zqtest
