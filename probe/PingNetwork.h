#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "probe/PingSocket.h"

namespace zqprobe {

// The outcome of resolving a host name.
struct PingResolution {
    int error = 0;                                     // getaddrinfo's error number, 0 on success
    std::string errorText;                             // the resolver's text for `error`
    std::vector<std::vector<std::uint8_t>> addresses;  // socket addresses in the resolver's order
};

// What ZQEchoPing needs of the system: host resolution and ICMP sockets. The Linux back end is the
// default; tests install fakes.
class PingNetwork {
public:
    using ResolveCallback = std::function<void(const PingResolution&)>;
    using Cancel = std::function<void()>;

    struct OpenResult {
        std::unique_ptr<PingSocket> socket; // null on failure
        int error = 0;                      // errno of the failure
        std::string reason;                 // what was tried, for the error text
    };

    virtual ~PingNetwork() = default;

    // Resolves `host` without blocking the caller. `done` runs later on the main run loop, unless the
    // returned cancel function was called first. Main run loop.
    virtual Cancel resolve(const std::string& host, ResolveCallback done) = 0;
    // Opens an ICMP socket of `family` (AF_INET or AF_INET6) whose echo requests carry `identifier`
    // (not 0). Fails with EADDRINUSE when another socket of the system holds the identifier.
    // Main run loop.
    virtual OpenResult openSocket(int family, std::uint16_t identifier) = 0;
    // A fresh random echo identifier, never 0. Any thread.
    virtual std::uint16_t randomIdentifier();

    // The back end new pingers use. Any thread.
    static std::shared_ptr<PingNetwork> shared();
    // Installs a back end (nullptr restores the Linux one). Any thread.
    static void setShared(std::shared_ptr<PingNetwork> network);
};

} // namespace zqprobe
