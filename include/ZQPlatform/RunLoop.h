#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include "ZQPlatform/Export.h"
#include "ZQPlatform/Task.h"

namespace platform {

namespace detail {
struct RunLoopAccess;
}

// The main run loop: drains the main queue, fires timers and delayed calls, and watches file
// descriptors for readiness. A host either calls run() on its own main thread, or startOnThread()
// to have the kit run it on a dedicated thread. Tests pump it with runUntilIdle().
class ZQ_PLATFORM_EXPORT RunLoop {
public:
    using SourceId = std::uint64_t;

    static RunLoop& main();

    // Queues a task for the loop. Any thread.
    void post(Task task);

    // Runs the loop on the calling thread until stop(). The calling thread becomes the main thread.
    void run();
    // Makes run() (or the dedicated thread) return after the current task. Any thread.
    void stop();
    // Runs the loop on a dedicated thread until stopOnThread(). Idempotent.
    void startOnThread();
    // Stops and joins the dedicated thread. Not from the loop's own thread.
    void stopOnThread();

    // Runs every ready task and I/O callback without waiting; returns how many ran. Claims the
    // calling thread as the main thread. Meant for tests and hosts that pump the loop themselves.
    std::size_t runUntilIdle();
    // Pumps the loop in real time until done() holds or `timeoutSeconds` passed; true if done.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

    // True when called on the loop's thread. Any thread.
    bool isCurrent() const;

    // Calls onReadable on the loop each time fd is readable (or has an error or hang-up), until
    // the source is removed. Any thread; removal from inside the callback is allowed.
    SourceId addReadSource(int fd, std::function<void()> onReadable);
    void removeSource(SourceId id);

    // Delayed calls keyed by a target, cancellable as a group (performSelector:afterDelay: and
    // cancelPreviousPerformRequestsWithTarget:). Any thread; the task runs on the loop.
    void performAfter(const void* target, double delaySeconds, Task task);
    void cancelPreviousPerformRequests(const void* target);

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;
    ~RunLoop();

private:
    friend struct detail::RunLoopAccess;
    RunLoop();
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// A repeating or one-shot timer on the main run loop. Its fire date can be moved to the distant
// future (paused) or the distant past (fires on the next pass of the loop).
class ZQ_PLATFORM_EXPORT Timer : public std::enable_shared_from_this<Timer> {
public:
    using Callback = std::function<void(Timer&)>;

    // Schedules a timer that first fires `interval` seconds from now. Any thread.
    static std::shared_ptr<Timer> scheduled(double interval, bool repeats, Callback callback);

    static double distantFuture();
    static double distantPast();

    // Moves the next fire date (media-clock seconds). Any thread.
    void setFireDate(double mediaTime);
    double fireDate() const;
    double interval() const { return mInterval; }
    // Stops the timer for good; a firing in progress completes. Any thread.
    void invalidate();
    bool isValid() const;

    ~Timer();

private:
    Timer(double interval, bool repeats, Callback callback);
    void arm(double when);
    void fire(std::uint64_t generation);

    struct State;
    std::shared_ptr<State> mState;
    double mInterval;
    bool mRepeats;
};

} // namespace platform
