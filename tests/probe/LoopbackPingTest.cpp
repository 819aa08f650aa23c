// Real ICMP probes of the loopback addresses, real route state, and the zqlive commands built on them.
// Where the kernel allows new network namespaces, both socket kinds and link changes are exercised
// in a private namespace of the test thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include "ZQLiveKit/QWPushReachability.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "ZQPlatform/NotificationCenter.h"
#include "ZQPlatform/RunLoop.h"
#include "probe/LinuxPingNetwork.h"
#include "probe/ZQSinglePinger.h"
#include "tests/support/TestUtil.h"

using zqprobe::LinuxPingNetwork;

namespace {

// Moves the calling thread into a fresh network namespace (only loopback, down) and back when it goes.
class PrivateNetwork {
public:
    PrivateNetwork() : mHome(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
        if (mHome >= 0 && ::unshare(CLONE_NEWNET) == 0) mEntered = true;
    }
    ~PrivateNetwork() {
        if (mEntered) ::setns(mHome, CLONE_NEWNET);
        if (mHome >= 0) ::close(mHome);
    }
    bool entered() const { return mEntered; }
    // Runs a shell command inside the namespace (a child inherits the thread's namespace).
    static void sh(const std::string& command) {
        ASSERT_EQ(zqtest::runCommand(command + " 2>&1"), 0) << command;
    }

private:
    int mHome;
    bool mEntered = false;
};

// Probes `host` three times for real and returns the statuses of the records.
std::vector<unsigned> probe(const std::string& host, std::vector<double>* delays = nullptr) {
    std::vector<unsigned> statuses;
    auto run = ZQSinglePinger::startWithHostName(
        host, 3,
        [&](const ZQPingItem& item) {
            statuses.push_back(item.status());
            if (delays && item.status() == ZQPingStatusReplied) delays->push_back(item.millSecondsDelay());
        },
        host);
    bool ended = platform::RunLoop::main().runUntil([&] { return run->hasEnded(); }, 15.0);
    EXPECT_TRUE(ended) << host << " never ended";
    return statuses;
}

// Fails with the reason when neither socket kind can be opened here.
void requireIcmpSocket(int family) {
    auto opened = LinuxPingNetwork().openSocket(family, 4242);
    ASSERT_NE(opened.socket, nullptr) << "cannot probe: neither an ICMP datagram socket (net.ipv4.ping_group_range) "
                                         "nor a raw socket (CAP_NET_RAW) opens here: "
                                      << opened.reason;
}

class LoopbackPingTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::resetRuntime();
        // The test's thread is the host's main thread: it owns the main loop before it makes a pinger.
        platform::RunLoop::main().runUntilIdle();
    }
    void TearDown() override { platform::resetRuntime(); }
};

TEST_F(LoopbackPingTest, LoopbackAddressesAnswerEveryProbe) {
    for (auto [host, family] : {std::pair{"127.0.0.1", AF_INET}, std::pair{"::1", AF_INET6}}) {
        requireIcmpSocket(family);
        std::vector<double> delays;
        EXPECT_EQ(probe(host, &delays), (std::vector<unsigned>{0, 2, 2, 2, 6})) << host;
        for (double d : delays) {
            EXPECT_GT(d, 0.0) << host;
            EXPECT_LT(d, 1000.0) << host;
        }
    }
}

TEST_F(LoopbackPingTest, PingSocketsAreUsedWhereTheGroupRangeAllowsThem) {
    PrivateNetwork net;
    if (!net.entered()) GTEST_SKIP() << "no private network namespace here";
    PrivateNetwork::sh("ip link set lo up && echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range");
    for (int family : {AF_INET, AF_INET6}) {
        auto opened = LinuxPingNetwork().openSocket(family, 777);
        ASSERT_NE(opened.socket, nullptr) << opened.reason;
        EXPECT_EQ(LinuxPingNetwork::kindOf(*opened.socket), LinuxPingNetwork::SocketKind::Ping);
        EXPECT_FALSE(opened.socket->deliversIPv4Header());
        // The kernel writes the bound port into every request as its identifier.
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ASSERT_EQ(::getsockname(opened.socket->fd(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
        EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port), 777); // same offset in sockaddr_in6
    }
    EXPECT_EQ(probe("127.0.0.1"), (std::vector<unsigned>{0, 2, 2, 2, 6}));
    EXPECT_EQ(probe("::1"), (std::vector<unsigned>{0, 2, 2, 2, 6}));
}

TEST_F(LoopbackPingTest, IdentifierZeroIsRefusedRatherThanLeftToTheKernel) {
    PrivateNetwork net;
    if (!net.entered()) GTEST_SKIP() << "no private network namespace here";
    PrivateNetwork::sh("ip link set lo up && echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range");
    // Bound to port 0 the kernel would pick the identifier, and no reply would match ours.
    auto opened = LinuxPingNetwork().openSocket(AF_INET, 0);
    EXPECT_EQ(opened.socket, nullptr);
    EXPECT_EQ(opened.error, EINVAL);
}

TEST_F(LoopbackPingTest, RawSocketsStandInWhereTheGroupRangeForbidsPingSockets) {
    PrivateNetwork net;
    if (!net.entered()) GTEST_SKIP() << "no private network namespace here";
    PrivateNetwork::sh("ip link set lo up && echo '1 0' > /proc/sys/net/ipv4/ping_group_range");
    auto opened = LinuxPingNetwork().openSocket(AF_INET, 778);
    ASSERT_NE(opened.socket, nullptr) << "raw sockets need CAP_NET_RAW: " << opened.reason;
    EXPECT_EQ(LinuxPingNetwork::kindOf(*opened.socket), LinuxPingNetwork::SocketKind::Raw);
    EXPECT_TRUE(opened.socket->deliversIPv4Header());
    EXPECT_EQ(probe("127.0.0.1"), (std::vector<unsigned>{0, 2, 2, 2, 6}));
    EXPECT_EQ(probe("::1"), (std::vector<unsigned>{0, 2, 2, 2, 6}));
}

TEST_F(LoopbackPingTest, UnreachableNetworkFailsTheSend) {
    PrivateNetwork net;
    if (!net.entered()) GTEST_SKIP() << "no private network namespace here";
    // Loopback is down: the kernel has no route even to 127.0.0.1.
    auto statuses = probe("127.0.0.1");
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_TRUE(statuses[0] == ZQPingStatusSendFailed || statuses[0] == ZQPingStatusFailed) << statuses[0];
}

TEST_F(LoopbackPingTest, LoopbackIsReachableOverAWiredLink) {
    auto loopback = QWPushReachability::reachabilityWithHostName("127.0.0.1");
    EXPECT_EQ(loopback->currentReachabilityStatus(), 2);
    EXPECT_EQ(QWPushReachability::reachabilityWithHostName("::1")->currentReachabilityStatus(), 2);
    EXPECT_FALSE(loopback->connectionRequired());
}

TEST_F(LoopbackPingTest, ReachabilityFollowsRoutesAndCarrierAndNotifiesChanges) {
    PrivateNetwork net;
    if (!net.entered()) GTEST_SKIP() << "no private network namespace here";
    auto internet = QWPushReachability::reachabilityForInternetConnection();
    EXPECT_EQ(internet->currentReachabilityStatus(), 0);
    EXPECT_FALSE(internet->connectionRequired());

    int posted = 0;
    auto registration = platform::NotificationCenter::defaultCenter().addObserver(
        kQWPushReachabilityChangedNotification, internet.get(), nullptr, [&](const platform::Notification&) { ++posted; });
    ASSERT_TRUE(internet->startNotifier());

    // A default route over a link without carrier: a connection is required first.
    PrivateNetwork::sh("ip link add zqv0 type veth peer name zqv1 && ip link set zqv0 up && "
                       "ip addr add 192.0.2.10/24 dev zqv0 && ip route add default via 192.0.2.1 dev zqv0 onlink");
    EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return posted >= 1; }, 5.0));
    EXPECT_EQ(internet->currentReachabilityStatus(), 0);
    EXPECT_TRUE(internet->connectionRequired());

    // The peer comes up, the link gets its carrier: reachable, and said so.
    PrivateNetwork::sh("ip link set zqv1 up");
    EXPECT_TRUE(platform::RunLoop::main().runUntil(
        [&] { return posted >= 2 && internet->currentReachabilityStatus() == 2; }, 5.0));
    EXPECT_FALSE(internet->connectionRequired());
    internet->stopNotifier();
}

// The CLI: probes, ranking, failures and the reachability line.
std::vector<nlohmann::json> runZqlive(const std::string& arguments, int& status) {
    std::string output;
    status = zqtest::runCommand(zqtest::buildDir() + "/bin/zqlive " + arguments + " 2>/dev/null", &output);
    std::vector<nlohmann::json> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(PingCommand, RanksTheLoopbackAddressesAndLeavesTheUnknownHostOut) {
    requireIcmpSocket(AF_INET);
    int status = -1;
    auto lines = runZqlive("ping 127.0.0.1 ::1 no-such-host.invalid", status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    auto result = lines[0];
    EXPECT_EQ(result["event"], "result");
    ASSERT_EQ(result["rows"].size(), 2u);
    std::set<std::string> hosts{result["rows"][0]["host"], result["rows"][1]["host"]};
    EXPECT_EQ(hosts, (std::set<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(result["fastest"], result["rows"][0]["host"]);
    EXPECT_EQ(result["rows"][0]["index"], 1);
    EXPECT_EQ(result["rows"][1]["index"], 2);
    EXPECT_TRUE(std::string(result["rows"][0]["time"]).ends_with(" ms"));
}

TEST(PingCommand, PrintsEveryRecordWithTheLabel) {
    requireIcmpSocket(AF_INET);
    int status = -1;
    auto lines = runZqlive("ping 127.0.0.1=本机 --count 2 --records", status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 5u);
    std::vector<int> statuses;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["event"], "record");
        EXPECT_EQ(lines[i]["host"], "127.0.0.1");
        EXPECT_EQ(lines[i]["desc"], "本机");
        statuses.push_back(lines[i]["status"]);
    }
    EXPECT_EQ(statuses, (std::vector<int>{0, 2, 2, 6}));
    EXPECT_GT(lines[1]["delay"].get<double>(), 0.0);
    EXPECT_EQ(lines[4]["rows"][0]["host"], "本机");
}

TEST(PingCommand, NoAnswerExitsOneWithANullHost) {
    int status = -1;
    auto lines = runZqlive("ping no-such-host.invalid", status);
    EXPECT_EQ(status, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0]["fastest"].is_null());
    EXPECT_EQ(lines[0]["rows"], nlohmann::json::array());
    runZqlive("ping", status);
    EXPECT_EQ(status, 2);
    runZqlive("ping 127.0.0.1 --count 0", status);
    EXPECT_EQ(status, 2);
}

TEST(PingCommand, EveryProbeLostExitsOneWithoutAFastestHost) {
    PrivateNetwork net;
    if (!net.entered()) GTEST_SKIP() << "no private network namespace here";
    // Loopback up, but the kernel of this namespace answers no echo request.
    PrivateNetwork::sh("ip link set lo up && echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all");
    int status = -1;
    std::string output;
    status = zqtest::runCommand(zqtest::buildDir() + "/bin/zqlive ping 127.0.0.1 --count 2 2>&1 >/dev/null", &output);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(output, "zqlive ping: no host answered\n");
    auto lines = runZqlive("ping 127.0.0.1 --count 2", status);
    EXPECT_EQ(status, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0]["fastest"].is_null());
    // The rows still say what happened: every probe lost.
    ASSERT_EQ(lines[0]["rows"].size(), 1u);
    EXPECT_EQ(lines[0]["rows"][0]["time"], "1000.00 ms");
}

TEST(ReachabilityCommand, ReportsStatusAndConnectionRequired) {
    int status = -1;
    auto lines = runZqlive("reachability 127.0.0.1", status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], (nlohmann::json{{"event", "reachability"}, {"status", 2}, {"connectionRequired", false}}));
    lines = runZqlive("reachability", status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0]["status"].is_number_integer());
}

} // namespace
