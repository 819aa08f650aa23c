// The queue-ownership check: silent on the owning queue, fatal (with where and which queue) off it,
// whatever NDEBUG says.
#ifndef NDEBUG
#define NDEBUG // the check is the build's choice, not the assert() switch
#endif
#include <gtest/gtest.h>
#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"

using platform::DispatchQueue;

namespace {

class DispatchCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ZQ_DCHECK_IS_ON) GTEST_SKIP() << "built with ZQ_DCHECK=OFF";
        // The queues' threads exist in this process: fork-and-continue would not be sound.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(DispatchCheckTest, PassesOnTheOwningQueue) {
    auto owner = DispatchQueue::createSerial("com.zqlivekit.test.owner");
    bool ran = false;
    owner->sync([&] {
        ZQ_DCHECK_ON(owner);
        ZQ_DCHECK_ON(owner.get());
        ran = true;
    });
    EXPECT_TRUE(ran);
}

TEST_F(DispatchCheckTest, OffTheQueueAbortsNamingFileLineAndQueue) {
    auto owner = DispatchQueue::createSerial("com.zqlivekit.test.owner");
    EXPECT_DEATH(ZQ_DCHECK_ON(owner),
                 "DispatchCheckTest\\.cpp:[0-9]+: ZQ_DCHECK_ON\\(owner\\) failed: expected queue "
                 "\"com\\.zqlivekit\\.test\\.owner\", running on no queue");
}

TEST_F(DispatchCheckTest, OnAnotherQueueNamesTheQueueItRunsOn) {
    auto owner = DispatchQueue::createSerial("com.zqlivekit.test.owner");
    auto other = DispatchQueue::createSerial("com.zqlivekit.test.other");
    EXPECT_DEATH(other->sync([&] { ZQ_DCHECK_ON(owner); }),
                 "expected queue \"com\\.zqlivekit\\.test\\.owner\", running on queue \"com\\.zqlivekit\\.test\\.other\"");
}

TEST_F(DispatchCheckTest, MissingQueueAborts) {
    std::shared_ptr<DispatchQueue> none;
    EXPECT_DEATH(ZQ_DCHECK_ON(none), "expected queue \"\\(null\\)\"");
}

} // namespace
