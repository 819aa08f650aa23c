#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/RunLoop.h"

namespace zqprobe {
class ReachabilityNetwork;
struct ReachabilityTarget;
} // namespace zqprobe

// Reachability flags, bit for bit as the status mapping reads them.
using QWPushReachabilityFlags = std::uint32_t;
inline constexpr QWPushReachabilityFlags kQWPushReachabilityFlagsTransientConnection = 1u << 0;
inline constexpr QWPushReachabilityFlags kQWPushReachabilityFlagsReachable = 1u << 1;
inline constexpr QWPushReachabilityFlags kQWPushReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr QWPushReachabilityFlags kQWPushReachabilityFlagsIsWWAN = 1u << 18;

// Status values: 0 not reachable, 2 reachable and not cellular, 3 cellular 2G, 4 cellular 3G,
// 5 cellular LTE. 1 is never produced.
using QWPushNetworkStatus = long;

// Radio technologies, as the telephony information names them.
inline constexpr const char* CTRadioAccessTechnologyGPRS = "CTRadioAccessTechnologyGPRS";
inline constexpr const char* CTRadioAccessTechnologyEdge = "CTRadioAccessTechnologyEdge";
inline constexpr const char* CTRadioAccessTechnologyWCDMA = "CTRadioAccessTechnologyWCDMA";
inline constexpr const char* CTRadioAccessTechnologyLTE = "CTRadioAccessTechnologyLTE";

// Posted on the default notification center, with the observing object, when its status changes.
inline constexpr const char* kQWPushReachabilityChangedNotification = "kQWPushNetworkReachabilityChangedNotification";

// Whether the device can reach a host, an address or the internet, and over which kind of link.
// Linux: reachable when the kernel has a usable route (for the internet, a default route on an
// interface that is up and has a carrier); wireless interfaces count as not cellular, WWAN
// interfaces as cellular with no known radio technology.
class ZQLIVEKIT_EXPORT QWPushReachability : public std::enable_shared_from_this<QWPushReachability> {
public:
    // For a host name (a literal address is looked up as that address; any other name as the
    // internet, since the route does not depend on the name). None when the name is empty.
    static std::shared_ptr<QWPushReachability> reachabilityWithHostName(const std::string& hostName);
    // For a socket address (sockaddr_in or sockaddr_in6 bytes). None for another family or size.
    static std::shared_ptr<QWPushReachability> reachabilityWithAddress(const std::vector<std::uint8_t>& address);
    // For the zero IPv4 address, which stands for the internet at large.
    static std::shared_ptr<QWPushReachability> reachabilityForInternetConnection();

    // Stops the notifier. Main thread while it notifies; any thread otherwise.
    ~QWPushReachability();
    QWPushReachability(const QWPushReachability&) = delete;
    QWPushReachability& operator=(const QWPushReachability&) = delete;

    // Watches the kernel's link, address and route changes on the main run loop and posts
    // kQWPushReachabilityChangedNotification whenever the status flags change. True when watching.
    // Main thread.
    bool startNotifier();
    // Stops watching. Main thread.
    void stopNotifier();

    // The current status; 0 when the flags cannot be read. Any thread.
    QWPushNetworkStatus currentReachabilityStatus() const;
    // True when the flags can be read and say a connection must first be established. Any thread.
    bool connectionRequired() const;
    // The current flags, or none when they cannot be read. Any thread.
    std::optional<QWPushReachabilityFlags> reachabilityFlags() const;
    // Maps flags to a status, asking for the radio technology when the link is cellular. Any thread.
    QWPushNetworkStatus networkStatusForFlags(QWPushReachabilityFlags flags) const;

private:
    explicit QWPushReachability(std::unique_ptr<zqprobe::ReachabilityTarget> target);
    // The change watch saw activity. Main thread.
    void linkChanged();

    std::unique_ptr<zqprobe::ReachabilityTarget> mTarget;
    std::shared_ptr<zqprobe::ReachabilityNetwork> mNetwork;
    // Owned by the main thread (the notifier).
    int mWatchFd = -1;
    platform::RunLoop::SourceId mWatchSource = 0;
    std::optional<QWPushReachabilityFlags> mLastFlags;
};
