// ZQSinglePinger in virtual time: the probe schedule, records in order, lost probes and run endings.
#include <gtest/gtest.h>
#include <cerrno>
#include <netdb.h>
#include <string>
#include "ZQPlatform/Clock.h"
#include "probe/ZQSinglePinger.h"
#include "tests/probe/FakePingNetwork.h"
#include "tests/support/VirtualTime.h"

using zqtest::Bytes;
using Host = zqtest::FakePingNetwork::Host;

namespace {

struct Recorded {
    ZQPingStatus status;
    double delay;
    double at; // seconds since the run was created
};

class SinglePingerTest : public ::testing::Test {
protected:
    void TearDown() override { zqprobe::PingNetwork::setShared(nullptr); }

    std::shared_ptr<ZQSinglePinger> start(const std::string& host, long count = 3) {
        mStart = time.now();
        run = ZQSinglePinger::startWithHostName(
            host, count,
            [this](const ZQPingItem& item) {
                EXPECT_EQ(item.desc(), "标签");
                records.push_back({item.status(), item.millSecondsDelay(), time.now() - mStart});
                if (onRecord) onRecord(item);
            },
            "标签");
        time.runMain();
        return run;
    }

    std::vector<unsigned> statuses() const {
        std::vector<unsigned> out;
        for (auto& r : records) out.push_back(r.status);
        return out;
    }

    zqtest::VirtualTime time;
    std::shared_ptr<zqtest::FakePingNetwork> network = zqtest::FakePingNetwork::install();
    std::shared_ptr<ZQSinglePinger> run;
    std::vector<Recorded> records;
    std::function<void(const ZQPingItem&)> onRecord;

private:
    double mStart = 0;
};

TEST_F(SinglePingerTest, FullRunGivesStartedThreeRepliesAndFinishedInOrder) {
    network->setHost("127.0.0.1", Host{{0.020, 0.030, 0.040}});
    start("127.0.0.1");
    ASSERT_EQ(statuses(), std::vector<unsigned>{ZQPingStatusStarted});
    EXPECT_EQ(run->startDateArray().size(), 1u);
    EXPECT_TRUE(run->hasSendTimer());

    time.advance(2.0);
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 2, 2, 2, 6}));
    EXPECT_NEAR(records[1].delay, 20.0, 1e-6);
    EXPECT_NEAR(records[2].delay, 30.0, 1e-6);
    EXPECT_NEAR(records[3].delay, 40.0, 1e-6);
    // Probes went out 0.4 s apart; the run ended with the last reply.
    EXPECT_NEAR(records[1].at, 0.020, 1e-9);
    EXPECT_NEAR(records[2].at, 0.430, 1e-9);
    EXPECT_NEAR(records[3].at, 0.840, 1e-9);
    EXPECT_NEAR(records[4].at, 0.840, 1e-9);
    EXPECT_EQ(records[4].delay, 0.0);
    EXPECT_EQ(network->lastSocket()->sent.size(), 3u);
    EXPECT_TRUE(run->hasEnded());
    EXPECT_FALSE(run->hasSendTimer());
    EXPECT_EQ(run->pinger(), nullptr);
    EXPECT_TRUE(run->startDateArray().empty());
    EXPECT_TRUE(network->lastSocket()->closed);

    time.advance(10.0);
    EXPECT_EQ(records.size(), 5u);
}

TEST_F(SinglePingerTest, RepliesAreMatchedToSendTimesInArrivalOrder) {
    // The second probe's reply overtakes the first's: each still takes the oldest open send time.
    network->setHost("127.0.0.1", Host{{0.9, 0.1, 0.05}});
    start("127.0.0.1");
    time.advance(2.0);
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 2, 2, 2, 6}));
    EXPECT_NEAR(records[1].at, 0.5, 1e-9);
    EXPECT_NEAR(records[1].delay, 500.0, 1e-6); // probe 2's reply, timed from probe 1
    EXPECT_NEAR(records[2].delay, 450.0, 1e-6); // probe 3's reply at 0.85, timed from probe 2
    EXPECT_NEAR(records[3].delay, 100.0, 1e-6); // probe 1's reply at 0.9, timed from probe 3
}

TEST_F(SinglePingerTest, ReplyWithoutAnOpenSendTimeCountsOneMillisecond) {
    start("127.0.0.1");
    auto socket = network->lastSocket();
    Bytes reply = zqtest::withIPv4Header(zqtest::echoReplyTo(socket->sent[0], false));
    time.advance(0.01);
    socket->deliver(reply);
    socket->deliver(reply); // a duplicate: the only send time is taken already
    time.runMain();
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 2, 2}));
    EXPECT_NEAR(records[1].delay, 10.0, 1e-6);
    EXPECT_EQ(records[2].delay, 1.0);
    EXPECT_EQ(run->dateSendIndex(), 2);
}

TEST_F(SinglePingerTest, UnresolvableHostEndsWithASingleFailedRecord) {
    network->setResolutionError("no-such-host.invalid", EAI_NONAME);
    start("no-such-host.invalid");
    EXPECT_EQ(statuses(), std::vector<unsigned>{ZQPingStatusFailed});
    time.advance(5.0);
    EXPECT_EQ(records.size(), 1u);
    EXPECT_EQ(network->opensAsked(), 0);
}

TEST_F(SinglePingerTest, NameWithOnlyIPv4AddressesProbesTheFirstOfThem) {
    network->setResolution("node", {zqtest::socketAddress("10.0.0.7"), zqtest::socketAddress("10.0.0.8")});
    start("node");
    ASSERT_NE(run->pinger(), nullptr);
    EXPECT_EQ(run->pinger()->hostAddress(), zqtest::socketAddress("10.0.0.7"));
    EXPECT_EQ(network->lastSocket()->family, AF_INET);
}

TEST_F(SinglePingerTest, FailedSendEndsTheRunAndTheLaterTimeOutFindsNothing) {
    Host host{{0.02}};
    host.failSendAt = 1;
    network->setHost("127.0.0.1", host);
    start("127.0.0.1");
    time.advance(0.4);
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 2, 1}));
    // Only the failed probe's send time is dropped.
    EXPECT_EQ(run->startDateArray().size(), 1u);
    EXPECT_FALSE(run->hasSendTimer());
    run->timeOut();
    time.advance(5.0);
    EXPECT_EQ(records.size(), 3u);
}

TEST_F(SinglePingerTest, FailedFirstSendGivesNoStartedRecord) {
    Host host;
    host.failSendAt = 0;
    network->setHost("127.0.0.1", host);
    start("127.0.0.1");
    EXPECT_EQ(statuses(), std::vector<unsigned>{ZQPingStatusSendFailed});
    time.advance(5.0);
    EXPECT_EQ(records.size(), 1u);
    EXPECT_FALSE(run->hasSendTimer());
}

TEST_F(SinglePingerTest, EveryUnansweredProbeIsCountedOnceAndTheRunEnds) {
    start("127.0.0.1"); // the fake host never answers
    time.advance(1.79);
    EXPECT_EQ(statuses(), std::vector<unsigned>{0});
    time.advance(0.01); // 1.0 s after the last probe, sent at 0.8 s
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 4, 4, 4, 6}));
    for (std::size_t i = 1; i < records.size(); ++i) EXPECT_NEAR(records[i].at, 1.8, 1e-9);
    EXPECT_EQ(run->receivedOrDelayCount(), 3);
}

TEST_F(SinglePingerTest, LostProbesAreCountedEvenWhenAStrayPacketCancelledTheTimeOut) {
    network->setHost("127.0.0.1", Host{{0.02, 0.02}});
    start("127.0.0.1");
    time.advance(1.0); // two replies; the third probe (0.8 s) is still open
    auto socket = network->lastSocket();
    socket->deliver(zqtest::withIPv4Header(socket->sent[2])); // its own request looping back
    time.runMain();
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 2, 2}));
    time.advance(1.0);
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 2, 2, 4, 6}));
    EXPECT_NEAR(records[3].at, 1.8, 1e-9);
}

TEST_F(SinglePingerTest, TimeOutWithRepliesStillOutstandingCountsEachLostProbeOnce) {
    network->setHost("127.0.0.1", Host{{0.02, std::nullopt, std::nullopt}});
    start("127.0.0.1");
    time.advance(3.0);
    ASSERT_EQ(statuses(), (std::vector<unsigned>{0, 2, 4, 4, 6}));
    EXPECT_EQ(run->receivedOrDelayCount(), 3);
}

TEST_F(SinglePingerTest, StopAndFailEndTheRunOnceWithTheirStatus) {
    network->holdResolutions(true);
    start("127.0.0.1");
    run->stop();
    run->stop();
    run->fail();
    network->releaseResolutions();
    time.advance(3.0);
    EXPECT_EQ(statuses(), std::vector<unsigned>{ZQPingStatusFinished});

    records.clear();
    network->holdResolutions(false);
    network->setHost("127.0.0.1", Host{{0.02, 0.02, 0.02}});
    start("127.0.0.1");
    time.advance(0.1);
    run->fail();
    time.advance(3.0);
    EXPECT_EQ(statuses(), (std::vector<unsigned>{0, 2, 5}));
    EXPECT_TRUE(run->startDateArray().empty());
}

TEST_F(SinglePingerTest, ReceiveErrorEndsTheRunAsFailed) {
    start("127.0.0.1");
    network->lastSocket()->deliverReadError(EHOSTUNREACH);
    time.runMain();
    EXPECT_EQ(statuses(), (std::vector<unsigned>{0, 5}));
    time.advance(3.0);
    EXPECT_EQ(records.size(), 2u);
}

TEST_F(SinglePingerTest, ZeroProbesStartAndFinishAtOnce) {
    start("127.0.0.1", 0);
    EXPECT_EQ(statuses(), (std::vector<unsigned>{0, 6}));
    EXPECT_TRUE(network->lastSocket()->sent.empty());
}

TEST_F(SinglePingerTest, CallbackMayDropTheRunAtItsEnd) {
    network->setHost("127.0.0.1", Host{{0.02, 0.02, 0.02}});
    std::weak_ptr<ZQSinglePinger> weak;
    onRecord = [&](const ZQPingItem& item) {
        if (item.status() == ZQPingStatusFinished) run.reset();
    };
    start("127.0.0.1");
    weak = run;
    time.advance(2.0);
    EXPECT_EQ(statuses(), (std::vector<unsigned>{0, 2, 2, 2, 6}));
    EXPECT_TRUE(weak.expired());
}

TEST_F(SinglePingerTest, DroppingARunEndsItSilently) {
    start("127.0.0.1");
    auto socket = network->lastSocket();
    run.reset();
    time.advance(3.0);
    EXPECT_EQ(statuses(), std::vector<unsigned>{0});
    EXPECT_TRUE(socket->closed);
}

} // namespace
