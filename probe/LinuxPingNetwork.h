#pragma once
#include "probe/PingNetwork.h"

namespace zqprobe {

// getaddrinfo on a global queue, and Linux ICMP sockets: an ICMP datagram ("ping") socket bound to
// the identifier where net.ipv4.ping_group_range allows it, else a raw socket (CAP_NET_RAW) whose
// kernel filter passes only echo replies.
class LinuxPingNetwork final : public PingNetwork {
public:
    enum class SocketKind { Ping, Raw };

    Cancel resolve(const std::string& host, ResolveCallback done) override;
    OpenResult openSocket(int family, std::uint16_t identifier) override;

    // Which kind a socket opened by openSocket() is (for diagnostics and tests).
    static SocketKind kindOf(const PingSocket& socket);
    // The blocking resolution itself, on the calling thread.
    static PingResolution resolveNow(const std::string& host);
};

} // namespace zqprobe
