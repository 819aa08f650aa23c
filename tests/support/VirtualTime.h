#pragma once
#include <cstddef>
#include <functional>
#include "ZQPlatform/Clock.h"
#include "platform/foundation/SimulatedRuntime.h"

namespace zqtest {

// Installs a simulated runtime for the life of the object: the main queue, the serial queues made
// from now on and the global queues run on the test's thread, and everything timed moves only
// through advance(). The test's thread is the main thread.
class VirtualTime {
public:
    VirtualTime() = default;
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    // Moves time forward, running what falls due in deadline order and what that queues.
    void advance(double seconds) { mRuntime.advance(seconds); }
    // Runs every task that is ready now, on any simulated queue; returns how many ran.
    std::size_t runMain() { return mRuntime.runUntilIdle(); }
    // The same, giving up after `limit` tasks; true when the runtime went idle (nothing keeps
    // queueing itself).
    bool settles(std::size_t limit = 100000) { return mRuntime.runUntilIdle(limit) < limit && mRuntime.idle(); }
    // Pumps in real time until done() or the time-out, for work real threads post.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds) {
        return mRuntime.runUntil(done, timeoutSeconds);
    }
    double now() const { return mRuntime.now(); }
    platform::ManualClock& clock() { return mRuntime.clock(); }
    platform::SimulatedRuntime& runtime() { return mRuntime; }

private:
    platform::SimulatedRuntime mRuntime;
};

} // namespace zqtest
