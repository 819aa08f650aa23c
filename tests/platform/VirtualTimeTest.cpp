// Timed behaviour under the manual clock: order, cancellation, pausing and resuming timers.
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/Task.h"
#include "tests/support/VirtualTime.h"

using namespace platform;

namespace {

TEST(VirtualTime, DelayedTasksFireInDeadlineOrderWithTheClockAtTheirDeadline) {
    zqtest::VirtualTime time;
    double start = time.now();
    std::vector<std::pair<std::string, double>> fired;
    auto main = DispatchQueue::main();
    main->after(3, [&] { fired.push_back({"c", time.now() - start}); });
    main->after(1, [&] { fired.push_back({"a", time.now() - start}); });
    main->after(2, [&] {
        fired.push_back({"b", time.now() - start});
        // Scheduled while firing, still inside the advanced span: fires in the same advance.
        main->after(0.5, [&] { fired.push_back({"b2", time.now() - start}); });
    });
    time.advance(2.9);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], (std::pair<std::string, double>{"a", 1}));
    EXPECT_EQ(fired[1], (std::pair<std::string, double>{"b", 2}));
    EXPECT_EQ(fired[2], (std::pair<std::string, double>{"b2", 2.5}));
    time.advance(0.1);
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[3].first, "c");
}

TEST(VirtualTime, NothingFiresBeforeItsDeadline) {
    zqtest::VirtualTime time;
    int fired = 0;
    DispatchQueue::main()->after(5, [&] { ++fired; });
    time.advance(4.999);
    EXPECT_EQ(fired, 0);
    time.advance(0.001);
    EXPECT_EQ(fired, 1);
}

TEST(VirtualTime, CancelledTaskNeverRuns) {
    zqtest::VirtualTime time;
    int fired = 0;
    auto handle = DispatchQueue::main()->after(1, [&] { ++fired; });
    handle.cancel();
    time.advance(10);
    EXPECT_EQ(fired, 0);
}

TEST(VirtualTime, DelayedTaskOnASerialQueueRunsThereAndAdvanceWaitsForIt) {
    zqtest::VirtualTime time;
    auto queue = DispatchQueue::createSerial("virtual");
    bool ranOnQueue = false;
    queue->after(2, [&] { ranOnQueue = queue->isCurrent(); });
    time.advance(2);
    EXPECT_TRUE(ranOnQueue);
}

TEST(VirtualTime, PerformRequestsAreCancelledByTarget) {
    zqtest::VirtualTime time;
    int keep = 0, dropped = 0;
    int targetA = 0, targetB = 0;
    RunLoop::main().performAfter(&targetA, 1, [&] { ++dropped; });
    RunLoop::main().performAfter(&targetA, 2, [&] { ++dropped; });
    RunLoop::main().performAfter(&targetB, 1, [&] { ++keep; });
    RunLoop::main().cancelPreviousPerformRequests(&targetA);
    time.advance(3);
    EXPECT_EQ(dropped, 0);
    EXPECT_EQ(keep, 1);
}

TEST(VirtualTime, RepeatingTimerPausesInTheDistantFutureAndResumes) {
    zqtest::VirtualTime time;
    double start = time.now();
    std::vector<double> fires;
    auto timer = Timer::scheduled(1.0, true, [&](Timer&) { fires.push_back(time.now() - start); });
    time.advance(3);
    EXPECT_EQ(fires, (std::vector<double>{1, 2, 3}));
    timer->setFireDate(Timer::distantFuture());
    time.advance(10);
    EXPECT_EQ(fires.size(), 3u);
    // Resuming "now" fires on the next pass of the loop, then every interval again.
    timer->setFireDate(Timer::distantPast());
    time.runMain();
    ASSERT_EQ(fires.size(), 4u);
    EXPECT_EQ(fires[3], 13);
    time.advance(1);
    EXPECT_EQ(fires.size(), 5u);
    timer->invalidate();
    time.advance(5);
    EXPECT_EQ(fires.size(), 5u);
    EXPECT_FALSE(timer->isValid());
}

TEST(VirtualTime, OneShotTimerFiresOnceAndCanBeInvalidatedFromItsCallback) {
    zqtest::VirtualTime time;
    int once = 0, repeating = 0;
    auto oneShot = Timer::scheduled(0.5, false, [&](Timer&) { ++once; });
    auto selfStopping = Timer::scheduled(1, true, [&](Timer& t) {
        if (++repeating == 2) t.invalidate();
    });
    time.advance(5);
    EXPECT_EQ(once, 1);
    EXPECT_FALSE(oneShot->isValid());
    EXPECT_EQ(repeating, 2);
}

TEST(VirtualTime, SafetyFlagDropsCallbacksOfADeadOwner) {
    zqtest::VirtualTime time;
    int fired = 0;
    {
        TaskSafety safety;
        DispatchQueue::main()->after(1, safety.safe([&] { ++fired; }));
    }
    time.advance(2);
    EXPECT_EQ(fired, 0);
}

TEST(VirtualTime, SameScheduleGivesTheSameOrderEveryRun) {
    auto run = [] {
        zqtest::VirtualTime time;
        std::vector<int> order;
        auto queue = DispatchQueue::createSerial("determinism");
        for (int i = 0; i < 20; ++i) {
            double at = 0.25 + (i * 7) % 5 * 0.25;
            auto target = (i % 2) ? DispatchQueue::main() : queue;
            target->after(at, [&order, i] { order.push_back(i); });
        }
        time.advance(2);
        queue->sync([] {});
        return order;
    };
    auto first = run();
    EXPECT_EQ(first.size(), 20u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(run(), first);
}

TEST(VirtualTime, WallTimeMovesWithMediaTime) {
    zqtest::VirtualTime time;
    double wall = time.clock().wallTime();
    time.advance(300);
    EXPECT_DOUBLE_EQ(time.clock().wallTime(), wall + 300);
}

} // namespace

namespace {

// The simulated runtime itself: which queues it owns and how it runs them.
TEST(SimulatedRuntime, SerialQueuesRunOnTheTestThreadOnlyWhenPumpedInQueueingOrder) {
    zqtest::VirtualTime time;
    auto a = DispatchQueue::createSerial("a");
    auto b = DispatchQueue::createSerial("b");
    std::vector<std::string> order;
    const auto testThread = std::this_thread::get_id();
    bool allOnTestThread = true;
    auto record = [&](std::string what) {
        return [&, what] {
            allOnTestThread = allOnTestThread && std::this_thread::get_id() == testThread;
            order.push_back(what);
        };
    };
    a->async(record("a1"));
    b->async(record("b1"));
    DispatchQueue::main()->async(record("m1"));
    a->async(record("a2"));
    DispatchQueue::global()->async(record("g1"));
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(time.runMain(), 5u);
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "b1", "m1", "a2", "g1"}));
    EXPECT_TRUE(allOnTestThread);
}

TEST(SimulatedRuntime, QueueIdentityHoldsInsideTasks) {
    zqtest::VirtualTime time;
    auto queue = DispatchQueue::createSerial("owned");
    bool onQueue = false, onMain = true, mainOnMain = false;
    queue->async([&] {
        onQueue = queue->isCurrent();
        onMain = DispatchQueue::main()->isCurrent();
    });
    DispatchQueue::main()->async([&] { mainOnMain = DispatchQueue::main()->isCurrent() && !queue->isCurrent(); });
    time.runMain();
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(onMain);
    EXPECT_TRUE(mainOnMain);
    // The test body itself counts as the main thread.
    EXPECT_TRUE(DispatchQueue::main()->isCurrent());
}

TEST(SimulatedRuntime, SyncRunsWhatTheQueueHoldsFirst) {
    zqtest::VirtualTime time;
    auto queue = DispatchQueue::createSerial("sync");
    std::vector<int> order;
    queue->async([&] { order.push_back(1); });
    queue->async([&] { order.push_back(2); });
    queue->sync([&] { order.push_back(3); });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(time.runMain(), 0u) << "the tasks a sync ran early must not run again";
}

TEST(SimulatedRuntime, ALoopThatKeepsQueueingItselfIsCaught) {
    zqtest::VirtualTime time;
    auto queue = DispatchQueue::createSerial("spin");
    std::function<void()> again = [&] { queue->async(again); };
    queue->async(again);
    EXPECT_FALSE(time.settles(1000));
    again = [] {};
    EXPECT_TRUE(time.settles());
}

TEST(SimulatedRuntime, ANestedPumpNeverStartsASecondTaskOfTheRunningQueue) {
    zqtest::VirtualTime time;
    auto queue = DispatchQueue::createSerial("nested");
    std::vector<std::string> order;
    queue->async([&] {
        order.push_back("outer begins");
        queue->async([&] { order.push_back("next on the same queue"); });
        DispatchQueue::main()->after(1, [&] { order.push_back("main, due meanwhile"); });
        time.advance(1); // as if the task took a second
        order.push_back("outer ends");
    });
    time.runMain();
    EXPECT_EQ(order, (std::vector<std::string>{"outer begins", "main, due meanwhile", "outer ends",
                                               "next on the same queue"}));
}

TEST(SimulatedRuntime, BlockingBackEndQueuesKeepTheirThreadsAndPostBackForThePump) {
    zqtest::VirtualTime time;
    auto worker = DispatchQueue::createSerialThread("worker");
    std::thread::id workerThread;
    bool delivered = false;
    worker->async([&] {
        workerThread = std::this_thread::get_id();
        DispatchQueue::main()->async([&] { delivered = true; });
    });
    EXPECT_TRUE(time.runUntil([&] { return delivered; }, 5.0));
    EXPECT_NE(workerThread, std::this_thread::get_id());
    // Its delayed calls wait for virtual time all the same.
    std::atomic<bool> late{false};
    worker->after(10, [&] { late = true; });
    worker->sync([] {});
    EXPECT_FALSE(late.load());
    time.advance(10);
    worker->sync([] {});
    EXPECT_TRUE(late.load());
}

TEST(SimulatedRuntime, AQueueThatOutlivesItsRuntimeDropsWhatItIsGiven) {
    std::shared_ptr<DispatchQueue> survivor;
    auto counter = std::make_shared<int>(0);
    {
        zqtest::VirtualTime time;
        survivor = DispatchQueue::createSerial("survivor");
        survivor->async([counter] { ++*counter; }); // dropped with the runtime, never run
    }
    std::weak_ptr<int> watch = counter;
    survivor->async([counter] { ++*counter; });
    counter.reset();
    EXPECT_TRUE(watch.expired()) << "dropped tasks release what they hold";
    // Real queues are back once the runtime is gone.
    auto real = DispatchQueue::createSerial("real");
    std::thread::id ranOn;
    real->sync([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_NE(ranOn, std::this_thread::get_id());
}

} // namespace
