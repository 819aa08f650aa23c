// ZQPingManager in virtual time: collecting delays, dropping failed hosts, ranking and the rows.
#include <gtest/gtest.h>
#include <netdb.h>
#include <string>
#include "ZQLiveKit/ZQAddressItem.h"
#include "ZQLiveKit/ZQPingManager.h"
#include "probe/ZQSinglePinger.h"
#include "tests/probe/FakePingNetwork.h"
#include "tests/support/VirtualTime.h"

using Host = zqtest::FakePingNetwork::Host;
using nlohmann::json;

namespace {

struct Completion {
    int calls = 0;
    std::optional<std::string> fastest;
    std::optional<json> rows;
};

class PingManagerTest : public ::testing::Test {
protected:
    void TearDown() override { zqprobe::PingNetwork::setShared(nullptr); }

    // A host name that resolves to `address` and answers after `delays` (seconds; none = lost).
    void node(const std::string& name, const std::string& address, std::vector<std::optional<double>> delays) {
        network->setResolution(name, {zqtest::socketAddress(address)});
        network->setHost(address, Host{std::move(delays)});
    }

    Completion& ask(json candidates) {
        results.push_back(std::make_unique<Completion>());
        Completion* slot = results.back().get();
        manager->getFatestAddress(std::move(candidates), [slot](const std::optional<std::string>& fastest,
                                                                const std::optional<json>& rows) {
            ++slot->calls;
            slot->fastest = fastest;
            slot->rows = rows;
        });
        return *slot;
    }

    Completion& rank(json candidates) {
        auto& result = ask(std::move(candidates));
        time.advance(5.0);
        return result;
    }

    zqtest::VirtualTime time;
    std::shared_ptr<zqtest::FakePingNetwork> network = zqtest::FakePingNetwork::install();
    std::unique_ptr<ZQPingManager> manager = std::make_unique<ZQPingManager>();
    std::vector<std::unique_ptr<Completion>> results;
};

json row(int index, const std::string& time, const std::string& host) {
    return {{"index", index}, {"time", time}, {"host", host}};
}

TEST_F(PingManagerTest, MeanOfThreeRepliesIsShownWithTwoDecimals) {
    node("a.node", "10.0.0.1", {0.020, 0.030, 0.040});
    auto& result = rank(json::array({{{"host", "a.node"}, {"desc", "华东"}, {"publishUrl", "rtmp://x"}}}));
    ASSERT_EQ(result.calls, 1);
    EXPECT_EQ(result.fastest, "a.node");
    EXPECT_EQ(result.rows, json::array({row(1, "30.00 ms", "华东")}));
}

TEST_F(PingManagerTest, LostProbeCountsAsOneSecond) {
    node("a.node", "10.0.0.1", {0.020, 0.040, std::nullopt});
    auto& result = rank(json::array({{{"host", "a.node"}, {"desc", "A"}}}));
    EXPECT_EQ(result.rows, json::array({row(1, "353.33 ms", "A")}));
}

TEST_F(PingManagerTest, FailedHostIsDroppedAndTheRestRankedByMean) {
    node("a.node", "10.0.0.1", {0.05, 0.05, 0.05});
    node("b.node", "10.0.0.2", {0.012, 0.012, 0.012});
    network->setResolutionError("c.node", EAI_NONAME);
    auto& result = rank(json::array({{{"host", "a.node"}, {"desc", "A"}},
                                     {{"host", "b.node"}, {"desc", "B"}},
                                     {{"host", "c.node"}, {"desc", "C"}}}));
    ASSERT_EQ(result.calls, 1);
    EXPECT_EQ(result.fastest, "b.node");
    EXPECT_EQ(result.rows, json::array({row(1, "12.00 ms", "B"), row(2, "50.00 ms", "A")}));
}

TEST_F(PingManagerTest, GlobalNodeShowsItsLabelAsTimeAndIsStillRankedByMean) {
    node("g.node", "10.0.0.1", {0.010, 0.010, 0.010});
    node("h.node", "10.0.0.2", {0.005, 0.005, 0.005});
    node("s.node", "10.0.0.3", {0.020, 0.020, 0.020});
    auto& result = rank(json::array({{{"host", "s.node"}, {"desc", "华南"}},
                                     {{"host", "g.node"}, {"desc", "全球节点"}},
                                     {{"host", "h.node"}, {"desc", "华北"}}}));
    EXPECT_EQ(result.fastest, "h.node");
    EXPECT_EQ(result.rows, json::array({row(1, "5.00 ms", "华北"), row(2, "全球节点", "全球节点"),
                                        row(3, "20.00 ms", "华南")}));
}

TEST_F(PingManagerTest, HostListedTwiceIsProbedTwiceIntoOneItem) {
    // Both runs send to the same address; its answers alternate between them.
    node("a.node", "10.0.0.1", {0.010, 0.010, 0.020, 0.020, 0.030, 0.030});
    auto& result = ask(json::array({{{"host", "a.node"}, {"desc", "A"}}, {{"host", "a.node"}, {"desc", "A2"}}}));
    time.runMain();
    EXPECT_EQ(manager->singlePingerArray().size(), 2u);
    time.advance(5.0);
    ASSERT_EQ(result.calls, 1);
    EXPECT_EQ(result.rows, json::array({row(1, "20.00 ms", "A")}));
}

TEST_F(PingManagerTest, HostThatRepliedAndThenFailedToSendIsLeftOut) {
    node("a.node", "10.0.0.1", {0.010, 0.010});
    Host failing{{0.010, 0.010}};
    failing.failSendAt = 2;
    network->setHost("10.0.0.1", failing);
    node("b.node", "10.0.0.2", {0.030, 0.030, 0.030});
    auto& result = rank(json::array({{{"host", "a.node"}, {"desc", "A"}}, {{"host", "b.node"}, {"desc", "B"}}}));
    EXPECT_EQ(result.fastest, "b.node");
    EXPECT_EQ(result.rows, json::array({row(1, "30.00 ms", "B")}));
}

TEST_F(PingManagerTest, EveryHostFailedGivesNoHostAndNoRows) {
    network->setResolutionError("a.node", EAI_NONAME);
    network->failOpens(EACCES);
    auto& result = rank(json::array({{{"host", "a.node"}, {"desc", "A"}}, {{"host", "10.0.0.9"}, {"desc", "B"}}}));
    ASSERT_EQ(result.calls, 1);
    EXPECT_FALSE(result.fastest);
    EXPECT_FALSE(result.rows);
}

TEST_F(PingManagerTest, EmptyOrHostlessListCallsNothing) {
    auto& empty = rank(json::array());
    auto& hostless = rank(json::array({{{"desc", "no host"}}, {{"host", 42}}, "text"}));
    auto& notAList = rank(json::object());
    EXPECT_EQ(empty.calls + hostless.calls + notAList.calls, 0);
    EXPECT_EQ(network->resolutionsAsked(), 0);
}

TEST_F(PingManagerTest, EqualMeansKeepTheOrderOfFirstSamples) {
    node("a.node", "10.0.0.1", {0.02, 0.02, 0.02});
    node("b.node", "10.0.0.2", {0.02, 0.02, 0.02});
    auto& result = rank(json::array({{{"host", "b.node"}, {"desc", "B"}}, {{"host", "a.node"}, {"desc", "A"}}}));
    // B was probed, and answered, first; with equal means it stays ahead.
    EXPECT_EQ(result.fastest, "b.node");
    EXPECT_EQ(result.rows, json::array({row(1, "20.00 ms", "B"), row(2, "20.00 ms", "A")}));
}

TEST_F(PingManagerTest, CompletionComesLaterOnTheMainQueueOncePerRequest) {
    node("a.node", "10.0.0.1", {0.01, 0.01, 0.01});
    node("b.node", "10.0.0.2", {0.02, 0.02, 0.02});
    std::vector<ZQPingItem> seen;
    manager->setRecordHandler([&](const ZQPingItem& item) { seen.push_back(item); });
    auto& first = ask(json::array({{{"host", "a.node"}, {"desc", "A"}}}));
    auto& second = ask(json::array({{{"host", "b.node"}, {"desc", "B"}}}));
    EXPECT_EQ(first.calls, 0);
    time.runMain();
    ASSERT_EQ(manager->singlePingerArray().size(), 1u);
    EXPECT_EQ(manager->singlePingerArray()[0]->hostName(), "b.node");
    time.advance(5.0);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(first.fastest, "a.node");
    EXPECT_EQ(second.fastest, "b.node");
    EXPECT_EQ(seen.size(), 10u); // 0, 2, 2, 2, 6 for each run
}

TEST_F(PingManagerTest, DestroyingTheManagerDropsItsRequests) {
    node("a.node", "10.0.0.1", {0.5, 0.5, 0.5});
    auto& queued = ask(json::array({{{"host", "a.node"}, {"desc", "A"}}}));
    auto other = std::make_unique<ZQPingManager>();
    std::swap(manager, other);
    auto& running = ask(json::array({{{"host", "a.node"}, {"desc", "A"}}}));
    time.runMain();
    other.reset();   // never started its request
    manager.reset(); // mid-probe
    time.advance(5.0);
    EXPECT_EQ(queued.calls, 0);
    EXPECT_EQ(running.calls, 0);
    for (auto& socket : network->sockets()) EXPECT_TRUE(socket->closed);
}

TEST_F(PingManagerTest, CompletionMayDestroyTheManager) {
    node("a.node", "10.0.0.1", {0.01, 0.01, 0.01});
    int calls = 0;
    manager->getFatestAddress(json::array({{{"host", "a.node"}, {"desc", "A"}}}),
                              [&](const std::optional<std::string>&, const std::optional<json>&) {
                                  ++calls;
                                  manager.reset();
                              });
    time.advance(5.0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(manager, nullptr);
}

TEST(AddressItem, MeanOfTheDelaysOrOneSecondWithoutAny) {
    ZQAddressItem item("h", "d");
    EXPECT_EQ(item.delayMillSeconds(), 1000.0);
    item.delayTimes() = {20, 40, 1000};
    EXPECT_NEAR(item.delayMillSeconds(), 353.333333, 1e-5);
}

} // namespace
