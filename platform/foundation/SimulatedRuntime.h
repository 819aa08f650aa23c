#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/Export.h"

namespace platform {

namespace detail {
class Simulation;
}

// A deterministic runtime for tests, in the manner of a simulated-time controller. Internal: tests
// and the kit's own tools use it; it is not part of the installed API.
//
// While one is installed (one at a time, by the thread that becomes the main thread):
// - the main queue, every serial queue made afterwards with DispatchQueue::createSerial() and the
//   global queues run their tasks on the installing thread only, inside advance(), runUntilIdle()
//   or runUntil(): one task at a time, each queue in FIFO order, queues interleaved in the order
//   their tasks were queued. The main run loop's I/O sources are polled between tasks;
// - the shared clock is a ManualClock; delayed calls, perform requests and timers wait for virtual
//   time and fire in deadline order (equal deadlines in scheduling order) as advance() moves it;
// - queues that wrap blocking back ends keep their real threads: those made with
//   DispatchQueue::createSerialThread() (codec sessions, the GL context's queue, capture threads,
//   the URL session's worker and shared delegate queue). Their delayed calls still wait for virtual
//   time; what they post to simulated queues runs when the test pumps (runUntil() waits for it);
// - queues made before installation keep their threads.
// Installing and uninstalling reset the process-wide runtime (main-loop tasks, I/O sources, perform
// requests, pending timers); uninstalling drops whatever is still queued or timed, and a simulated
// queue that outlives its runtime drops what it is given.
class ZQ_PLATFORM_EXPORT SimulatedRuntime {
public:
    static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

    explicit SimulatedRuntime(double mediaStart = 1000.0, double wallStart = 1700000000.0);
    ~SimulatedRuntime();
    SimulatedRuntime(const SimulatedRuntime&) = delete;
    SimulatedRuntime& operator=(const SimulatedRuntime&) = delete;

    // The installed runtime, or nullptr. Any thread.
    static SimulatedRuntime* current();

    // Moves virtual time forward by `seconds`, running everything that falls due on the way, each
    // timed task with the clock at its deadline, and what it queues, before the next.
    void advance(double seconds);
    // Runs ready tasks (and ready I/O) until none is left or `limit` have run; returns how many ran.
    // Reaching the limit means something keeps queueing work (a spinning loop).
    std::size_t runUntilIdle(std::size_t limit = kNoLimit);
    // Pumps in real time until done() holds or `timeoutSeconds` of real time passed, for work that
    // real threads post here. True if done. Virtual time does not move.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
    // True when no task is ready.
    bool idle() const;

    // Tasks run so far.
    std::uint64_t tasksRun() const;
    double now() const { return mClock->mediaTime(); }
    ManualClock& clock() { return *mClock; }

private:
    std::shared_ptr<ManualClock> mClock;
    std::shared_ptr<detail::Simulation> mSimulation;
};

// Resets the process-wide runtime between tests that run on real threads: drops main-loop tasks,
// I/O sources, perform requests and every pending timer.
ZQ_PLATFORM_EXPORT void resetRuntime();

} // namespace platform
