#pragma once
#include <string>
#include "probe/ReachabilityNetwork.h"

namespace zqprobe {

// Reachability from the kernel's own state: routes and the change stream from rtnetlink, interface
// flags from getifaddrs, the kind of link from /sys/class/net.
//
// - Reachable: the route to the target leaves through an interface that is up and running (has a
//   carrier). For the internet that route is a default route of the main table (IPv4 first, then
//   IPv6, lowest metric first); for an address it is the kernel's own route lookup.
// - Connection required: such a route exists but no interface of it has a carrier yet.
// - Transient: the interface is point-to-point (PPP, tunnels), as dial-up links are.
// - WWAN: the interface is a mobile-broadband one; the radio technology is not known on Linux.
class LinuxReachabilityNetwork final : public ReachabilityNetwork {
public:
    enum class LinkClass { Wired, Wireless, Wwan };

    explicit LinuxReachabilityNetwork(std::string sysfsNetDirectory = "/sys/class/net");

    std::optional<QWPushReachabilityFlags> flagsFor(const ReachabilityTarget& target) override;
    std::optional<std::string> currentRadioAccessTechnology() override { return std::nullopt; }
    int openChangeWatch() override;
    void drainChangeWatch(int fd) override;
    void closeChangeWatch(int fd) override;

    // The kind of link of interface `name` as /sys/class/net (or a copy of it) describes it:
    // wireless for a "wireless" or "phy80211" entry or DEVTYPE=wlan; WWAN for DEVTYPE=wwan or a
    // "wwan" name; wired otherwise, also when nothing can be read.
    static LinkClass classifyInterface(const std::string& sysfsNetDirectory, const std::string& name);

private:
    std::string mSysfsNetDirectory;
};

} // namespace zqprobe
