#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

// Where a pacer reads the time and waits. The default is the monotonic clock; tests pass a clock
// whose waits return at once with the time moved to the deadline.
class PacerClock {
public:
    virtual ~PacerClock() = default;
    // Seconds on this clock.
    virtual double now() = 0;
    // Waits until `deadline` or until `wake` is notified (the pacer then checks why). `lock` holds
    // the mutex `wake` goes with.
    virtual void waitUntil(double deadline, std::unique_lock<std::mutex>& lock, std::condition_variable& wake) = 0;

    static std::shared_ptr<PacerClock> monotonic();
};

// Calls `tick` on its own thread once every `period` seconds, on a fixed grid from the start (so
// slow ticks do not make the rate drift). What happens to late ticks is the policy's:
// - CatchUp (a sample clock, like a microphone): a late tick is caught up at once; a lag of more
//   than `maxLag` (a stalled machine) drops the missed ticks and restarts the grid from now.
// - Drop (a camera): a tick that cannot start at least half a period after the last one ended is
//   dropped, so ticks never come in bursts (receivers stamp each picture with its arrival time).
class RealTimePacer {
public:
    using Tick = std::function<void(std::uint64_t index)>;
    enum class LatePolicy { CatchUp, Drop };

    RealTimePacer(std::string name, double period, Tick tick,
                  std::shared_ptr<PacerClock> clock = PacerClock::monotonic(), double maxLag = 1.0,
                  LatePolicy policy = LatePolicy::CatchUp);
    ~RealTimePacer();
    RealTimePacer(const RealTimePacer&) = delete;
    RealTimePacer& operator=(const RealTimePacer&) = delete;

    // Starts the thread; false when it runs already or the period is not positive. Any thread.
    bool start();
    // Stops the ticks and waits for a tick in progress to end. From inside a tick it only asks the
    // thread to end after that tick. Any thread.
    void stop();
    bool running() const { return mRunning.load(); }
    // Changes the period (ignored unless positive); the deadline after the next tick uses it. Any
    // thread.
    void setPeriod(double period) {
        if (period > 0) mPeriod = period;
    }
    double period() const { return mPeriod.load(); }

    // The deadline after `deadline`, given the time now (the catch-up and drop rule above).
    static double nextDeadline(double deadline, double period, double now, double maxLag,
                               LatePolicy policy = LatePolicy::CatchUp);

private:
    void run();

    const std::string mName;
    std::atomic<double> mPeriod;
    const Tick mTick;
    const std::shared_ptr<PacerClock> mClock;
    const double mMaxLag;
    const LatePolicy mPolicy;
    std::mutex mMutex;
    std::condition_variable mWake;
    bool mStopping = false; // guarded by mMutex
    std::atomic<bool> mRunning{false};
    std::atomic<std::thread::id> mTickThread; // the running thread, for stop() from a tick
    std::thread mThread;                      // touched by the owner only
};

} // namespace platform
