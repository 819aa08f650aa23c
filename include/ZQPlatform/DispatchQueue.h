#pragma once
#include <memory>
#include <string>
#include "ZQPlatform/Export.h"
#include "ZQPlatform/Task.h"

namespace platform {

// A queue of tasks. Serial queues run tasks in FIFO order on one thread, never overlapping; the
// main queue is drained by the main RunLoop; global queues run tasks concurrently on a pool.
class ZQ_PLATFORM_EXPORT DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    enum class Priority { Default, High, Low, Background };

    virtual ~DispatchQueue();

    // The queue drained by RunLoop::main().
    static std::shared_ptr<DispatchQueue> main();
    // A shared concurrent queue.
    static std::shared_ptr<DispatchQueue> global(Priority priority = Priority::Default);
    // A new serial queue with its own thread (started on first use). Destroying it runs the tasks
    // already queued, then joins its thread, so nothing it queued outlives it. Under a test's
    // simulated runtime the queue runs on the test's thread instead.
    static std::shared_ptr<DispatchQueue> createSerial(std::string label);
    // The same, but always with a real thread, even under a simulated runtime: for queues that wrap
    // blocking back ends (a codec session waiting for its own queue, the GL context, capture, a
    // network worker), which would deadlock a test's single thread.
    static std::shared_ptr<DispatchQueue> createSerialThread(std::string label);
    // The serial or main queue running the caller, or nullptr. Any thread.
    static DispatchQueue* current();

    // Queues a task. Any thread.
    virtual void async(Task task) = 0;
    // Runs a task and waits for it. Runs it inline when called from this queue (or, for a
    // concurrent queue, always), so code that calls itself cannot deadlock. Any thread.
    virtual void sync(const Task& task) = 0;
    // Queues a task after `seconds` of the shared clock. Any thread.
    DelayedTask after(double seconds, Task task);
    // True when the caller runs on this queue. Any thread.
    virtual bool isCurrent() const = 0;

    const std::string& label() const { return mLabel; }

protected:
    explicit DispatchQueue(std::string label) : mLabel(std::move(label)) {}

private:
    std::string mLabel;
};

} // namespace platform

