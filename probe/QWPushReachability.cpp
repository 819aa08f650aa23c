#include "ZQLiveKit/QWPushReachability.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include "ZQPlatform/NotificationCenter.h"
#include "platform/foundation/DispatchCheck.h"
#include "probe/ReachabilityNetwork.h"

using zqprobe::ReachabilityNetwork;
using zqprobe::ReachabilityTarget;

namespace {

template <class SocketAddress>
std::vector<std::uint8_t> bytesOf(const SocketAddress& address) {
    auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof address);
}

} // namespace

QWPushReachability::QWPushReachability(std::unique_ptr<ReachabilityTarget> target)
    : mTarget(std::move(target)), mNetwork(ReachabilityNetwork::shared()) {}

// Only a notifying object has main-loop state to end; one that only answers queries may go anywhere.
QWPushReachability::~QWPushReachability() {
    if (mWatchFd >= 0) stopNotifier();
}

std::shared_ptr<QWPushReachability> QWPushReachability::reachabilityWithHostName(const std::string& hostName) {
    if (hostName.empty()) return nullptr;
    sockaddr_in v4{};
    if (::inet_pton(AF_INET, hostName.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return reachabilityWithAddress(bytesOf(v4));
    }
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, hostName.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return reachabilityWithAddress(bytesOf(v6));
    }
    // The route to a named host is the route to the internet, whatever the name resolves to.
    return std::shared_ptr<QWPushReachability>(new QWPushReachability(std::make_unique<ReachabilityTarget>()));
}

std::shared_ptr<QWPushReachability> QWPushReachability::reachabilityWithAddress(const std::vector<std::uint8_t>& address) {
    sa_family_t family = AF_UNSPEC;
    if (address.size() >= sizeof(sockaddr_in))
        std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
    bool usable = (family == AF_INET && address.size() >= sizeof(sockaddr_in)) ||
                  (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6));
    if (!usable) return nullptr;
    auto target = std::make_unique<ReachabilityTarget>();
    target->kind = ReachabilityTarget::Kind::Address;
    target->address = address;
    return std::shared_ptr<QWPushReachability>(new QWPushReachability(std::move(target)));
}

std::shared_ptr<QWPushReachability> QWPushReachability::reachabilityForInternetConnection() {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return reachabilityWithAddress(bytesOf(zero));
}

std::optional<QWPushReachabilityFlags> QWPushReachability::reachabilityFlags() const {
    return mNetwork->flagsFor(*mTarget);
}

QWPushNetworkStatus QWPushReachability::networkStatusForFlags(QWPushReachabilityFlags flags) const {
    if (!(flags & kQWPushReachabilityFlagsReachable)) return 0;
    if (flags & kQWPushReachabilityFlagsIsWWAN) {
        if (auto technology = mNetwork->currentRadioAccessTechnology()) {
            if (*technology == CTRadioAccessTechnologyLTE) return 5;
            if (*technology == CTRadioAccessTechnologyEdge || *technology == CTRadioAccessTechnologyGPRS) return 3;
            return 4;
        }
    }
    if (!(flags & kQWPushReachabilityFlagsTransientConnection)) return 2;
    return (flags & kQWPushReachabilityFlagsConnectionRequired) ? 3 : 4;
}

QWPushNetworkStatus QWPushReachability::currentReachabilityStatus() const {
    auto flags = reachabilityFlags();
    return flags ? networkStatusForFlags(*flags) : 0;
}

bool QWPushReachability::connectionRequired() const {
    auto flags = reachabilityFlags();
    return flags && (*flags & kQWPushReachabilityFlagsConnectionRequired);
}

bool QWPushReachability::startNotifier() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mWatchFd >= 0) return true;
    mWatchFd = mNetwork->openChangeWatch();
    if (mWatchFd < 0) return false;
    mLastFlags = reachabilityFlags();
    std::weak_ptr<QWPushReachability> weak = weak_from_this();
    mWatchSource = platform::RunLoop::main().addReadSource(mWatchFd, [weak] {
        if (auto self = weak.lock()) self->linkChanged();
    });
    return true;
}

void QWPushReachability::stopNotifier() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mWatchFd < 0) return;
    platform::RunLoop::main().removeSource(mWatchSource);
    mWatchSource = 0;
    mNetwork->closeChangeWatch(mWatchFd);
    mWatchFd = -1;
}

void QWPushReachability::linkChanged() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mWatchFd < 0) return;
    mNetwork->drainChangeWatch(mWatchFd);
    // Links, addresses and routes change often without changing the answer; only a new answer counts.
    auto flags = reachabilityFlags();
    if (flags == mLastFlags) return;
    mLastFlags = flags;
    platform::NotificationCenter::defaultCenter().post(kQWPushReachabilityChangedNotification, this);
}
