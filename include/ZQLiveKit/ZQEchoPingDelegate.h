#pragma once
#include <cstdint>
#include <vector>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Error.h"

class ZQEchoPing;

// Receives the events of one ZQEchoPing, on the main run loop in event order. Every operation is
// optional: the defaults do nothing.
class ZQLIVEKIT_EXPORT ZQEchoPingDelegate {
public:
    using Bytes = std::vector<std::uint8_t>;
    virtual ~ZQEchoPingDelegate() = default;

    // The socket is open and watched by the run loop; the bytes are the chosen socket address.
    virtual void echoPingDidStartWithAddress(ZQEchoPing& /*pinger*/, const Bytes& /*address*/) {}
    // Resolution, socket or receive failure. The pinger is already stopped and may be dropped here.
    virtual void echoPingDidFailWithError(ZQEchoPing& /*pinger*/, const platform::Error& /*error*/) {}
    // The whole request was handed to the socket.
    virtual void echoPingDidSendPacket(ZQEchoPing& /*pinger*/, const Bytes& /*packet*/,
                                       std::uint16_t /*sequenceNumber*/) {}
    // The send failed or was short; the pinger stays open.
    virtual void echoPingDidFailToSendPacket(ZQEchoPing& /*pinger*/, const Bytes& /*packet*/,
                                             std::uint16_t /*sequenceNumber*/, const platform::Error& /*error*/) {}
    // A valid echo reply: the ICMP message (any IPv4 header removed) and its sequence number.
    virtual void echoPingDidReceivePingResponsePacket(ZQEchoPing& /*pinger*/, const Bytes& /*packet*/,
                                                      std::uint16_t /*sequenceNumber*/) {}
    // Anything else read from the socket, as received.
    virtual void echoPingDidReceiveUnexpectedPacket(ZQEchoPing& /*pinger*/, const Bytes& /*packet*/) {}
};
