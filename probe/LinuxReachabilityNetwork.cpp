#include "probe/LinuxReachabilityNetwork.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zqprobe {

namespace {

constexpr QWPushReachabilityFlags kNotReachable = 0;

struct NextHop {
    int interfaceIndex;
    unsigned flags; // RTNH_F_*
};

struct Route {
    unsigned type = RTN_UNSPEC;
    unsigned destinationLength = 0;
    std::uint32_t table = RT_TABLE_UNSPEC;
    std::uint32_t priority = 0;
    std::vector<NextHop> nextHops;
};

template <class T>
T readStruct(const std::uint8_t* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

// Calls visit(type, payload, payloadSize) for each well-formed attribute; stops at a malformed one.
template <class Visit>
void forEachAttribute(const std::uint8_t* data, std::size_t size, Visit visit) {
    std::size_t offset = 0;
    while (offset < size && size - offset >= sizeof(rtattr)) {
        auto attribute = readStruct<rtattr>(data + offset);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > size - offset) return;
        visit(attribute.rta_type, data + offset + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0));
        offset += RTA_ALIGN(attribute.rta_len);
    }
}

std::optional<Route> parseRoute(const std::uint8_t* payload, std::size_t size) {
    if (size < sizeof(rtmsg)) return std::nullopt;
    auto header = readStruct<rtmsg>(payload);
    Route route;
    route.type = header.rtm_type;
    route.destinationLength = header.rtm_dst_len;
    route.table = header.rtm_table;
    std::size_t attributesOffset = NLMSG_ALIGN(sizeof(rtmsg));
    if (attributesOffset > size) return route;
    forEachAttribute(payload + attributesOffset, size - attributesOffset,
                     [&](unsigned type, const std::uint8_t* data, std::size_t length) {
                         if ((type == RTA_TABLE || type == RTA_PRIORITY || type == RTA_OIF) && length >= 4) {
                             auto value = readStruct<std::uint32_t>(data);
                             if (type == RTA_TABLE) route.table = value;
                             if (type == RTA_PRIORITY) route.priority = value;
                             if (type == RTA_OIF) route.nextHops.push_back({static_cast<int>(value), header.rtm_flags});
                         } else if (type == RTA_MULTIPATH) {
                             std::size_t offset = 0;
                             while (offset < length && length - offset >= sizeof(rtnexthop)) {
                                 auto hop = readStruct<rtnexthop>(data + offset);
                                 if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > length - offset) break;
                                 route.nextHops.push_back({hop.rtnh_ifindex, hop.rtnh_flags});
                                 offset += RTNH_ALIGN(hop.rtnh_len);
                             }
                         }
                     });
    return route;
}

// One request/answer exchange with the kernel's routing socket.
class RouteSocket {
public:
    RouteSocket() : mFd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        if (mFd < 0) return;
        timeval timeout{1, 0}; // the kernel answers at once; never hang a status read
        ::setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RouteSocket() {
        if (mFd >= 0) ::close(mFd);
    }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;
    bool ok() const { return mFd >= 0; }

    // Every route of `family` (a dump). False when the kernel cannot be asked.
    bool dump(int family, std::vector<Route>& routes) {
        int kernelError = 0;
        return exchange(family, NLM_F_REQUEST | NLM_F_DUMP, {}, routes, kernelError) && kernelError == 0;
    }

    // The kernel's route to `destination` (raw address bytes). `kernelError` holds the kernel's
    // refusal (ENETUNREACH and the like) when there is none.
    bool lookup(int family, const std::vector<std::uint8_t>& destination, std::vector<Route>& routes,
                int& kernelError) {
        return exchange(family, NLM_F_REQUEST, destination, routes, kernelError);
    }

private:
    bool exchange(int family, unsigned flags, const std::vector<std::uint8_t>& destination, std::vector<Route>& routes,
                  int& kernelError) {
        std::uint32_t sequence = ++mSequence;
        std::size_t attributeLength = destination.empty() ? 0 : RTA_SPACE(destination.size());
        std::vector<std::uint8_t> request(NLMSG_SPACE(sizeof(rtmsg)) + attributeLength, 0);
        nlmsghdr header{};
        header.nlmsg_len = static_cast<std::uint32_t>(request.size());
        header.nlmsg_type = RTM_GETROUTE;
        header.nlmsg_flags = static_cast<std::uint16_t>(flags);
        header.nlmsg_seq = sequence;
        rtmsg message{};
        message.rtm_family = static_cast<unsigned char>(family);
        message.rtm_dst_len = static_cast<unsigned char>(destination.size() * 8);
        std::memcpy(request.data(), &header, sizeof header);
        std::memcpy(request.data() + NLMSG_HDRLEN, &message, sizeof message);
        if (!destination.empty()) {
            rtattr attribute{};
            attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(destination.size()));
            attribute.rta_type = RTA_DST;
            std::uint8_t* at = request.data() + NLMSG_SPACE(sizeof(rtmsg));
            std::memcpy(at, &attribute, sizeof attribute);
            std::memcpy(at + RTA_LENGTH(0), destination.data(), destination.size());
        }
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(mFd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
            return false;

        std::vector<std::uint8_t> buffer(64 * 1024);
        for (;;) {
            ssize_t received = ::recv(mFd, buffer.data(), buffer.size(), 0);
            if (received < 0 && errno == EINTR) continue;
            if (received <= 0) return false;
            auto size = static_cast<std::size_t>(received);
            std::size_t offset = 0;
            while (offset < size && size - offset >= sizeof(nlmsghdr)) {
                auto reply = readStruct<nlmsghdr>(buffer.data() + offset);
                if (reply.nlmsg_len < sizeof(nlmsghdr) || reply.nlmsg_len > size - offset) break;
                const std::uint8_t* payload = buffer.data() + offset + NLMSG_HDRLEN;
                std::size_t payloadSize = reply.nlmsg_len - NLMSG_HDRLEN;
                offset += NLMSG_ALIGN(reply.nlmsg_len);
                if (reply.nlmsg_seq != sequence) continue;
                if (reply.nlmsg_type == NLMSG_DONE) return true;
                if (reply.nlmsg_type == NLMSG_ERROR) {
                    if (payloadSize >= sizeof(nlmsgerr)) kernelError = -readStruct<nlmsgerr>(payload).error;
                    return true;
                }
                if (reply.nlmsg_type == RTM_NEWROUTE) {
                    if (auto route = parseRoute(payload, payloadSize)) routes.push_back(std::move(*route));
                    if (!(reply.nlmsg_flags & NLM_F_MULTI)) return true;
                }
            }
        }
    }

    int mFd;
    std::uint32_t mSequence = 0;
};

std::optional<unsigned> interfaceFlags(int interfaceIndex, std::string& name) {
    char buffer[IF_NAMESIZE] = {};
    if (!::if_indextoname(static_cast<unsigned>(interfaceIndex), buffer)) return std::nullopt;
    name = buffer;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::optional<unsigned> flags;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next)
        if (entry->ifa_name && name == entry->ifa_name) {
            flags = entry->ifa_flags;
            break;
        }
    ::freeifaddrs(list);
    return flags;
}

bool isZeroAddress(const std::vector<std::uint8_t>& raw) {
    return std::all_of(raw.begin(), raw.end(), [](std::uint8_t b) { return b == 0; });
}

// The family and raw address bytes of a sockaddr_in / sockaddr_in6.
bool splitAddress(const std::vector<std::uint8_t>& address, int& family, std::vector<std::uint8_t>& raw) {
    if (address.size() < sizeof(sockaddr_in)) return false;
    auto generic = readStruct<sockaddr>(address.data());
    if (generic.sa_family == AF_INET) {
        auto v4 = readStruct<sockaddr_in>(address.data());
        auto* bytes = reinterpret_cast<const std::uint8_t*>(&v4.sin_addr);
        raw.assign(bytes, bytes + sizeof v4.sin_addr);
        family = AF_INET;
        return true;
    }
    if (generic.sa_family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        auto v6 = readStruct<sockaddr_in6>(address.data());
        auto* bytes = reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr);
        raw.assign(bytes, bytes + sizeof v6.sin6_addr);
        family = AF_INET6;
        return true;
    }
    return false;
}

} // namespace

LinuxReachabilityNetwork::LinuxReachabilityNetwork(std::string sysfsNetDirectory)
    : mSysfsNetDirectory(std::move(sysfsNetDirectory)) {}

LinuxReachabilityNetwork::LinkClass LinuxReachabilityNetwork::classifyInterface(const std::string& directory,
                                                                                 const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return LinkClass::Wired;
    std::string base = directory + "/" + name;
    if (::access((base + "/wireless").c_str(), F_OK) == 0 || ::access((base + "/phy80211").c_str(), F_OK) == 0)
        return LinkClass::Wireless;
    std::ifstream uevent(base + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line == "DEVTYPE=wlan") return LinkClass::Wireless;
        if (line == "DEVTYPE=wwan") return LinkClass::Wwan;
    }
    return name.rfind("wwan", 0) == 0 ? LinkClass::Wwan : LinkClass::Wired;
}

std::optional<QWPushReachabilityFlags> LinuxReachabilityNetwork::flagsFor(const ReachabilityTarget& target) {
    RouteSocket socket;
    if (!socket.ok()) return std::nullopt;

    std::vector<NextHop> hops; // in order of preference
    int family = AF_UNSPEC;
    std::vector<std::uint8_t> raw;
    bool internet = target.kind == ReachabilityTarget::Kind::Internet ||
                    !splitAddress(target.address, family, raw) || isZeroAddress(raw);
    if (internet) {
        for (int routeFamily : {AF_INET, AF_INET6}) {
            std::vector<Route> routes;
            if (!socket.dump(routeFamily, routes)) {
                if (routeFamily == AF_INET) return std::nullopt;
                continue; // a kernel without IPv6
            }
            std::erase_if(routes, [](const Route& r) {
                return r.destinationLength != 0 || r.type != RTN_UNICAST || r.table != RT_TABLE_MAIN;
            });
            std::stable_sort(routes.begin(), routes.end(),
                             [](const Route& a, const Route& b) { return a.priority < b.priority; });
            for (auto& route : routes) hops.insert(hops.end(), route.nextHops.begin(), route.nextHops.end());
        }
    } else {
        std::vector<Route> routes;
        int kernelError = 0;
        if (!socket.lookup(family, raw, routes, kernelError)) return std::nullopt;
        if (kernelError != 0 || routes.empty()) return kNotReachable; // no route: known, and not reachable
        if (routes.front().type != RTN_UNICAST && routes.front().type != RTN_LOCAL) return kNotReachable;
        hops = routes.front().nextHops;
    }

    if (hops.empty()) return kNotReachable;
    for (auto& hop : hops) {
        std::string name;
        auto flags = interfaceFlags(hop.interfaceIndex, name);
        if (!flags) continue;
        bool running = (*flags & IFF_UP) && (*flags & IFF_RUNNING) && !(hop.flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN));
        if (!running) continue;
        QWPushReachabilityFlags result = kQWPushReachabilityFlagsReachable;
        if (*flags & IFF_POINTOPOINT) result |= kQWPushReachabilityFlagsTransientConnection;
        if (classifyInterface(mSysfsNetDirectory, name) == LinkClass::Wwan) result |= kQWPushReachabilityFlagsIsWWAN;
        return result;
    }
    return kQWPushReachabilityFlagsConnectionRequired; // a route, but no link with a carrier yet
}

int LinuxReachabilityNetwork::openChangeWatch() {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void LinuxReachabilityNetwork::drainChangeWatch(int fd) {
    std::vector<std::uint8_t> buffer(16 * 1024);
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        // ENOBUFS: the kernel dropped messages; the state is read afresh anyway.
        if (n < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
        if (n <= 0) return;
    }
}

void LinuxReachabilityNetwork::closeChangeWatch(int fd) {
    if (fd >= 0) ::close(fd);
}

} // namespace zqprobe
