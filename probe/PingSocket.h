#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zqprobe {

// One open ICMP socket, as ZQEchoPing uses it. Closed when destroyed.
class PingSocket {
public:
    virtual ~PingSocket() = default;
    // The descriptor the run loop watches for readability.
    virtual int fd() const = 0;
    // True when IPv4 datagrams arrive with their IP header (raw sockets); ping sockets strip it.
    virtual bool deliversIPv4Header() const = 0;
    // Sends one datagram to the socket address `address` (sockaddr bytes). Returns the bytes sent,
    // or -1 with the errno in `error`.
    virtual long sendTo(const std::vector<std::uint8_t>& packet, const std::vector<std::uint8_t>& address,
                        int& error) = 0;
    // Reads one datagram into `buffer`. Returns its size (0 when the socket has shut down), or -1
    // with the errno in `error`.
    virtual long receive(std::uint8_t* buffer, std::size_t capacity, int& error) = 0;
};

} // namespace zqprobe
