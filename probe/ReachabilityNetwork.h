#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "ZQLiveKit/QWPushReachability.h"

namespace zqprobe {

// What a QWPushReachability observes: the internet at large, or one address.
struct ReachabilityTarget {
    enum class Kind { Internet, Address };
    Kind kind = Kind::Internet;
    std::vector<std::uint8_t> address; // sockaddr_in or sockaddr_in6 bytes, for Kind::Address
};

// The system's network state as reachability reads it. The Linux back end is the default; tests
// install fakes. Any thread, except the change watch (main run loop).
class ReachabilityNetwork {
public:
    virtual ~ReachabilityNetwork() = default;

    // The reachability flags for `target`, or none when the network state cannot be read.
    virtual std::optional<QWPushReachabilityFlags> flagsFor(const ReachabilityTarget& target) = 0;
    // The cellular radio technology (a CTRadioAccessTechnology… name), or none when unknown.
    virtual std::optional<std::string> currentRadioAccessTechnology() = 0;
    // A descriptor that turns readable when the network configuration may have changed; -1 when
    // changes cannot be watched.
    virtual int openChangeWatch() = 0;
    // Consumes what made the descriptor readable.
    virtual void drainChangeWatch(int fd) = 0;
    virtual void closeChangeWatch(int fd) = 0;

    static std::shared_ptr<ReachabilityNetwork> shared();
    // nullptr restores the Linux back end.
    static void setShared(std::shared_ptr<ReachabilityNetwork> network);
};

} // namespace zqprobe
