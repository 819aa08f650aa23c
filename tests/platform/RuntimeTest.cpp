// Real-thread behaviour of the runtime: ordering, inline sync, groups, semaphores, I/O sources.
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>
#include "platform/foundation/SimulatedRuntime.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/NotificationCenter.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/Sync.h"
#include "ZQPlatform/SystemInfo.h"

using namespace platform;

namespace {

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { resetRuntime(); }
    void TearDown() override { resetRuntime(); }
    bool pumpUntil(const std::function<bool()>& done) { return RunLoop::main().runUntil(done, 5.0); }
};

TEST_F(RuntimeTest, SerialQueueRunsTasksInOrderFromManyProducers) {
    auto queue = DispatchQueue::createSerial("order");
    std::vector<int> seen;
    std::vector<std::thread> producers;
    std::mutex perProducerOrder;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 500; ++i) queue->async([&seen, p, i] { seen.push_back(p * 1000 + i); });
        });
    }
    for (auto& t : producers) t.join();
    queue->sync([] {});
    ASSERT_EQ(seen.size(), 2000u);
    // Each producer's tasks keep their relative order.
    std::vector<int> last(4, -1);
    for (int v : seen) {
        int p = v / 1000, i = v % 1000;
        EXPECT_GT(i, last[p]);
        last[p] = i;
    }
}

TEST_F(RuntimeTest, SyncFromTheSameQueueRunsInlineInsteadOfDeadlocking) {
    auto queue = DispatchQueue::createSerial("reentrant");
    std::vector<std::string> steps;
    queue->sync([&] {
        EXPECT_TRUE(queue->isCurrent());
        steps.push_back("outer");
        queue->sync([&] { steps.push_back("inner"); });
        steps.push_back("after");
    });
    EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "after"}));
    EXPECT_FALSE(queue->isCurrent());
}

TEST_F(RuntimeTest, TasksNeverOverlapOnASerialQueue) {
    auto queue = DispatchQueue::createSerial("exclusive");
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    for (int i = 0; i < 200; ++i) {
        queue->async([&] {
            int now = ++inside;
            maxInside = std::max(maxInside.load(), now);
            std::this_thread::yield();
            --inside;
        });
    }
    queue->sync([] {});
    EXPECT_EQ(maxInside.load(), 1);
}

TEST_F(RuntimeTest, DestroyingAQueueRunsWhatItQueuedFirst) {
    std::atomic<int> ran{0};
    {
        auto queue = DispatchQueue::createSerial("drain");
        for (int i = 0; i < 50; ++i) queue->async([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST_F(RuntimeTest, MainQueueRunsOnTheLoopAndSyncFromMainIsInline) {
    std::thread::id loopThread;
    DispatchQueue::main()->async([&] { loopThread = std::this_thread::get_id(); });
    ASSERT_TRUE(pumpUntil([&] { return loopThread != std::thread::id{}; }));
    EXPECT_EQ(loopThread, std::this_thread::get_id());
    bool inlineRan = false;
    DispatchQueue::main()->sync([&] { inlineRan = true; });
    EXPECT_TRUE(inlineRan);
}

TEST_F(RuntimeTest, AStopRightAfterStartingTheLoopOnItsThreadIsNeverLost) {
    // The dedicated thread used to clear the stop flag as it began to run, so a stop that came first
    // was undone and the join waited forever (an integration test's tear-down hung that way).
    DispatchSemaphore finished(0);
    std::thread cycles([&] {
        for (int i = 0; i < 300; ++i) {
            RunLoop::main().startOnThread();
            RunLoop::main().stopOnThread();
        }
        finished.signal();
    });
    bool ended = finished.waitFor(30.0);
    EXPECT_TRUE(ended) << "stopOnThread() hung: the stop was lost";
    // Rescues a lost stop so that the test ends either way.
    while (!ended) {
        RunLoop::main().stop();
        ended = finished.waitFor(0.1);
    }
    cycles.join();
}

TEST_F(RuntimeTest, GroupNotifiesOnceAllMembersLeft) {
    auto group = DispatchGroup::create();
    std::atomic<int> done{0};
    bool notified = false;
    for (int i = 0; i < 8; ++i) group->async(DispatchQueue::global(), [&] { ++done; });
    group->notify(DispatchQueue::main(), [&] {
        EXPECT_EQ(done.load(), 8);
        notified = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return notified; }));
    EXPECT_TRUE(group->waitFor(0.1));
}

TEST_F(RuntimeTest, GroupNotifyOnAnEmptyGroupRunsAtOnceAndExtraLeaveIsIgnored) {
    auto group = DispatchGroup::create();
    group->leave();
    bool notified = false;
    group->notify(DispatchQueue::main(), [&] { notified = true; });
    ASSERT_TRUE(pumpUntil([&] { return notified; }));
}

TEST_F(RuntimeTest, SemaphoreWaitTimesOutAndCountsSignals) {
    DispatchSemaphore semaphore(0);
    EXPECT_FALSE(semaphore.waitFor(0.01));
    semaphore.signal();
    semaphore.signal();
    EXPECT_TRUE(semaphore.waitFor(0.01));
    EXPECT_TRUE(semaphore.waitFor(0.01));
    EXPECT_FALSE(semaphore.waitFor(0.01));
}

TEST_F(RuntimeTest, ReadSourceFiresWhileDataWaitsAndStopsWhenRemoved) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int reads = 0;
    RunLoop::SourceId id = 0;
    id = RunLoop::main().addReadSource(fds[0], [&] {
        char c;
        ASSERT_EQ(::read(fds[0], &c, 1), 1);
        if (++reads == 2) RunLoop::main().removeSource(id);
    });
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    ASSERT_TRUE(pumpUntil([&] { return reads == 2; }));
    ASSERT_EQ(::write(fds[1], "c", 1), 1);
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(reads, 2);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(RuntimeTest, NotificationsReachMatchingObserversUntilReleased) {
    int a = 0, b = 0;
    int sender = 0, other = 0;
    auto any = NotificationCenter::defaultCenter().addObserver("zq.test", nullptr, nullptr, [&](auto&) { ++a; });
    auto onlySender =
        NotificationCenter::defaultCenter().addObserver("zq.test", &sender, nullptr, [&](auto& n) {
            EXPECT_EQ(n.userInfo.value("k", 0), 7);
            ++b;
        });
    NotificationCenter::defaultCenter().post("zq.test", &sender, {{"k", 7}});
    NotificationCenter::defaultCenter().post("zq.test", &other, {{"k", 7}});
    NotificationCenter::defaultCenter().post("zq.other", &sender);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 1);
    any.reset();
    NotificationCenter::defaultCenter().post("zq.test", &sender, {{"k", 7}});
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 2);
}

TEST_F(RuntimeTest, NotificationOnAQueueIsNotDeliveredAfterRemoval) {
    int delivered = 0;
    auto registration = NotificationCenter::defaultCenter().addObserver("zq.queued", nullptr, DispatchQueue::main(),
                                                                        [&](auto&) { ++delivered; });
    NotificationCenter::defaultCenter().post("zq.queued");
    registration.reset();
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(delivered, 0);
}

TEST_F(RuntimeTest, SystemVersionDefaultsTo15AndCanBeOverridden) {
    SystemInfo::setSystemVersion("");
    unsetenv("ZQLIVEKIT_OS_VERSION");
    EXPECT_EQ(SystemInfo::majorSystemVersion(), 15);
    SystemInfo::setSystemVersion("14.7");
    EXPECT_EQ(SystemInfo::majorSystemVersion(), 14);
    EXPECT_DOUBLE_EQ(SystemInfo::systemVersionNumber(), 14.7);
    SystemInfo::setSystemVersion("");
    setenv("ZQLIVEKIT_OS_VERSION", "16.1", 1);
    EXPECT_EQ(SystemInfo::majorSystemVersion(), 16);
    unsetenv("ZQLIVEKIT_OS_VERSION");
}

TEST_F(RuntimeTest, RealTimeDelayedTaskFiresOnItsQueue) {
    auto queue = DispatchQueue::createSerial("delayed");
    std::atomic<bool> onQueue{false};
    DispatchSemaphore done(0);
    queue->after(0.01, [&] {
        onQueue = queue->isCurrent();
        done.signal();
    });
    ASSERT_TRUE(done.waitFor(5));
    EXPECT_TRUE(onQueue.load());
}

} // namespace
