// QWPushReachability: the status mapping, targets, the change notifier, and link classification.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include "ZQLiveKit/QWPushReachability.h"
#include "ZQPlatform/NotificationCenter.h"
#include "probe/LinuxReachabilityNetwork.h"
#include "tests/probe/FakePingNetwork.h"
#include "tests/probe/FakeReachabilityNetwork.h"
#include "tests/support/TestUtil.h"
#include "tests/support/VirtualTime.h"

using zqprobe::LinuxReachabilityNetwork;
using zqprobe::ReachabilityTarget;

namespace {

constexpr auto kReachable = kQWPushReachabilityFlagsReachable;
constexpr auto kWWAN = kQWPushReachabilityFlagsIsWWAN;
constexpr auto kTransient = kQWPushReachabilityFlagsTransientConnection;
constexpr auto kConnectionRequired = kQWPushReachabilityFlagsConnectionRequired;

class ReachabilityTest : public ::testing::Test {
protected:
    void TearDown() override { zqprobe::ReachabilityNetwork::setShared(nullptr); }
    std::shared_ptr<zqtest::FakeReachabilityNetwork> network = zqtest::FakeReachabilityNetwork::install();
    std::shared_ptr<QWPushReachability> internet = QWPushReachability::reachabilityForInternetConnection();
};

TEST_F(ReachabilityTest, StatusFromFlagsWithoutCellular) {
    EXPECT_EQ(internet->networkStatusForFlags(0), 0);
    EXPECT_EQ(internet->networkStatusForFlags(kTransient | kConnectionRequired), 0);
    EXPECT_EQ(internet->networkStatusForFlags(kReachable), 2);
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kConnectionRequired), 2);
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kTransient), 4);
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kTransient | kConnectionRequired), 3);
}

TEST_F(ReachabilityTest, CellularStatusFollowsTheRadioTechnology) {
    network->radioTechnology = CTRadioAccessTechnologyLTE;
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kWWAN), 5);
    network->radioTechnology = CTRadioAccessTechnologyEdge;
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kWWAN), 3);
    network->radioTechnology = CTRadioAccessTechnologyGPRS;
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kWWAN | kTransient), 3);
    network->radioTechnology = CTRadioAccessTechnologyWCDMA;
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kWWAN), 4);
    // Without a known technology the transient and connection-required bits decide.
    network->radioTechnology.reset();
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kWWAN), 2);
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kWWAN | kTransient | kConnectionRequired), 3);
    EXPECT_EQ(internet->networkStatusForFlags(kReachable | kWWAN | kTransient), 4);
    // The radio is only asked about on a cellular link.
    network->radioTechnology = CTRadioAccessTechnologyLTE;
    EXPECT_EQ(internet->networkStatusForFlags(kReachable), 2);
}

TEST_F(ReachabilityTest, UnreadableFlagsMeanNotReachable) {
    network->flags.reset();
    EXPECT_EQ(internet->currentReachabilityStatus(), 0);
    EXPECT_FALSE(internet->connectionRequired());
    network->flags = kConnectionRequired;
    EXPECT_EQ(internet->currentReachabilityStatus(), 0);
    EXPECT_TRUE(internet->connectionRequired());
    network->flags = kReachable | kTransient;
    EXPECT_EQ(internet->currentReachabilityStatus(), 4);
    EXPECT_FALSE(internet->connectionRequired());
}

TEST_F(ReachabilityTest, TargetsForAddressesNamesAndTheInternet) {
    internet->currentReachabilityStatus();
    ASSERT_EQ(network->asked.size(), 1u);
    EXPECT_EQ(network->asked[0].kind, ReachabilityTarget::Kind::Address);
    EXPECT_EQ(network->asked[0].address, zqtest::socketAddress("0.0.0.0"));

    QWPushReachability::reachabilityWithHostName("::1")->currentReachabilityStatus();
    EXPECT_EQ(network->asked.back().address, zqtest::socketAddress("::1"));
    QWPushReachability::reachabilityWithHostName("live.example.com")->currentReachabilityStatus();
    EXPECT_EQ(network->asked.back().kind, ReachabilityTarget::Kind::Internet);

    EXPECT_EQ(QWPushReachability::reachabilityWithHostName(""), nullptr);
    EXPECT_EQ(QWPushReachability::reachabilityWithAddress({}), nullptr);
    auto v6 = zqtest::socketAddress("::1");
    EXPECT_EQ(QWPushReachability::reachabilityWithAddress(std::vector<std::uint8_t>(v6.begin(), v6.begin() + 20)), nullptr);
    std::vector<std::uint8_t> local(sizeof(sockaddr_in), 0);
    local[0] = AF_UNIX;
    EXPECT_EQ(QWPushReachability::reachabilityWithAddress(local), nullptr);
}

TEST_F(ReachabilityTest, NotifierPostsOnlyWhenTheFlagsChange) {
    zqtest::VirtualTime time;
    std::vector<const void*> posted;
    auto registration = platform::NotificationCenter::defaultCenter().addObserver(
        kQWPushReachabilityChangedNotification, nullptr, nullptr,
        [&](const platform::Notification& n) { posted.push_back(n.object); });
    EXPECT_STREQ(kQWPushReachabilityChangedNotification, "kQWPushNetworkReachabilityChangedNotification");

    network->flags = kReachable;
    ASSERT_TRUE(internet->startNotifier());
    EXPECT_TRUE(internet->startNotifier()); // already watching
    EXPECT_EQ(network->watchesOpen, 1);

    network->signalChange(); // a route changed, the answer did not
    time.runMain();
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(network->drains, 1);

    network->flags = 0;
    network->signalChange();
    time.runMain();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], internet.get());
    EXPECT_EQ(internet->currentReachabilityStatus(), 0);

    internet->stopNotifier();
    EXPECT_EQ(network->watchesOpen, 0);
    network->flags = kReachable;
    time.runMain();
    EXPECT_EQ(posted.size(), 1u);
}

TEST_F(ReachabilityTest, NotifierThatCannotWatchSaysSoAndDestructionStopsIt) {
    zqtest::VirtualTime time; // the notifier belongs to the main loop: the test's thread plays it
    network->watchFails = true;
    EXPECT_FALSE(internet->startNotifier());
    network->watchFails = false;
    ASSERT_TRUE(internet->startNotifier());
    internet.reset();
    EXPECT_EQ(network->watchesOpen, 0);
}

class LinkClassTest : public ::testing::Test {
protected:
    void makeInterface(const std::string& name, const std::string& uevent, const std::string& subdirectory = "") {
        std::filesystem::create_directories(dir.file(name));
        std::ofstream(dir.file(name + "/uevent")) << uevent;
        if (!subdirectory.empty()) std::filesystem::create_directories(dir.file(name + "/" + subdirectory));
    }
    LinuxReachabilityNetwork::LinkClass classify(const std::string& name) {
        return LinuxReachabilityNetwork::classifyInterface(dir.path(), name);
    }
    zqtest::TempDir dir;
};

TEST_F(LinkClassTest, WirelessWwanAndWiredInterfacesFromSysfs) {
    using LinkClass = LinuxReachabilityNetwork::LinkClass;
    makeInterface("wlp2s0", "DEVTYPE=wlan\nINTERFACE=wlp2s0\nIFINDEX=3\n");
    makeInterface("wlan1", "INTERFACE=wlan1\n", "wireless");
    makeInterface("wl0", "INTERFACE=wl0\n", "phy80211");
    makeInterface("mbim0", "INTERFACE=mbim0\nDEVTYPE=wwan\n");
    makeInterface("eth0", "INTERFACE=eth0\nIFINDEX=2\n");
    EXPECT_EQ(classify("wlp2s0"), LinkClass::Wireless);
    EXPECT_EQ(classify("wlan1"), LinkClass::Wireless);
    EXPECT_EQ(classify("wl0"), LinkClass::Wireless);
    EXPECT_EQ(classify("mbim0"), LinkClass::Wwan);
    EXPECT_EQ(classify("wwan0"), LinkClass::Wwan); // named by the WWAN subsystem, nothing to read
    EXPECT_EQ(classify("eth0"), LinkClass::Wired);
    EXPECT_EQ(classify("missing"), LinkClass::Wired);
    makeInterface("outside", "DEVTYPE=wwan\n");
    EXPECT_EQ(classify("../" + std::filesystem::path(dir.path()).filename().string() + "/outside"), LinkClass::Wired);
    EXPECT_EQ(classify(""), LinkClass::Wired);
}

} // namespace
