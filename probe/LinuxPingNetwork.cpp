#include "probe/LinuxPingNetwork.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "ZQPlatform/DispatchQueue.h"

namespace zqprobe {

namespace {

class LinuxPingSocket final : public PingSocket {
public:
    LinuxPingSocket(int fd, LinuxPingNetwork::SocketKind kind, int family) : mFd(fd), mKind(kind), mFamily(family) {}
    ~LinuxPingSocket() override { ::close(mFd); }

    int fd() const override { return mFd; }
    bool deliversIPv4Header() const override { return mKind == LinuxPingNetwork::SocketKind::Raw && mFamily == AF_INET; }
    LinuxPingNetwork::SocketKind kind() const { return mKind; }

    long sendTo(const std::vector<std::uint8_t>& packet, const std::vector<std::uint8_t>& address,
                int& error) override {
        sockaddr_storage storage{};
        if (address.empty() || address.size() > sizeof storage) {
            error = EINVAL;
            return -1;
        }
        std::memcpy(&storage, address.data(), address.size());
        ssize_t sent;
        do {
            sent = ::sendto(mFd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&storage),
                            static_cast<socklen_t>(address.size()));
        } while (sent < 0 && errno == EINTR);
        error = sent < 0 ? errno : 0;
        return static_cast<long>(sent);
    }

    long receive(std::uint8_t* buffer, std::size_t capacity, int& error) override {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(mFd, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
        error = n < 0 ? errno : 0;
        return static_cast<long>(n);
    }

private:
    int mFd;
    LinuxPingNetwork::SocketKind mKind;
    int mFamily;
};

// The kernel's "you may not open that kind of socket" answers, after which a raw socket is tried.
bool refused(int error) {
    return error == EACCES || error == EPERM || error == EPROTONOSUPPORT || error == ESOCKTNOSUPPORT;
}

// Ping sockets put their bound port in the identifier field of every request they send; binding
// to the identifier keeps requests and replies carrying the pinger's own identifier.
int bindIdentifier(int fd, int family, std::uint16_t identifier) {
    if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(identifier);
        address.sin6_addr = in6addr_any;
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(identifier);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

// A raw socket sees every ICMP message the host receives; let the kernel pass only echo replies, as
// a ping socket does.
void passOnlyEchoReplies(int fd, int family) {
    if (family == AF_INET6) {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    } else {
        icmp_filter filter{};
        filter.data = ~(1u << ICMP_ECHOREPLY);
        ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
}

} // namespace

PingResolution LinuxPingNetwork::resolveNow(const std::string& host) {
    PingResolution result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM; // one entry per address
    addrinfo* list = nullptr;
    int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (status != 0) {
        result.error = status;
        result.errorText = status == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(status);
        return result;
    }
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (!ai->ai_addr || ai->ai_addrlen == 0) continue;
        auto* bytes = reinterpret_cast<const std::uint8_t*>(ai->ai_addr);
        result.addresses.emplace_back(bytes, bytes + ai->ai_addrlen);
    }
    ::freeaddrinfo(list);
    return result;
}

PingNetwork::Cancel LinuxPingNetwork::resolve(const std::string& host, ResolveCallback done) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    // getaddrinfo blocks (a DNS query can take seconds); the answer comes back to the run loop.
    platform::DispatchQueue::global()->async([host, done = std::move(done), cancelled]() mutable {
        if (cancelled->load()) return;
        auto result = resolveNow(host);
        platform::DispatchQueue::main()->async([result = std::move(result), done = std::move(done), cancelled] {
            if (!cancelled->load()) done(result);
        });
    });
    return [cancelled] { cancelled->store(true); };
}

PingNetwork::OpenResult LinuxPingNetwork::openSocket(int family, std::uint16_t identifier) {
    OpenResult result;
    if (family != AF_INET && family != AF_INET6) {
        result.error = EPROTONOSUPPORT;
        result.reason = "address family " + std::to_string(family);
        return result;
    }
    if (identifier == 0) { // a ping socket bound to port 0 would pick an identifier of its own
        result.error = EINVAL;
        result.reason = "echo identifier 0";
        return result;
    }
    int protocol = family == AF_INET6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
    int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd >= 0) {
        if (bindIdentifier(fd, family, identifier) != 0) {
            result.error = errno;
            result.reason = std::string("ping socket bind: ") + std::strerror(result.error);
            ::close(fd);
            return result;
        }
        result.socket = std::make_unique<LinuxPingSocket>(fd, SocketKind::Ping, family);
        return result;
    }
    int pingError = errno;
    if (!refused(pingError)) {
        result.error = pingError;
        result.reason = std::string("ping socket: ") + std::strerror(pingError);
        return result;
    }
    fd = ::socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        int rawError = errno;
        result.error = pingError;
        result.reason = std::string("ping socket refused (") + std::strerror(pingError) +
                        "; see net.ipv4.ping_group_range) and raw socket refused (" + std::strerror(rawError) +
                        "; needs CAP_NET_RAW)";
        return result;
    }
    passOnlyEchoReplies(fd, family);
    result.socket = std::make_unique<LinuxPingSocket>(fd, SocketKind::Raw, family);
    return result;
}

LinuxPingNetwork::SocketKind LinuxPingNetwork::kindOf(const PingSocket& socket) {
    auto* linuxSocket = dynamic_cast<const LinuxPingSocket*>(&socket);
    return linuxSocket ? linuxSocket->kind() : SocketKind::Ping;
}

} // namespace zqprobe
