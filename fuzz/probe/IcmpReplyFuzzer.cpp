// Fuzzes echo-reply validation: every datagram a socket could deliver, in every shape, against any
// pinger state. Validation must never read outside the datagram, and what it accepts must be ours.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>
#include "probe/IcmpPacket.h"

using zqprobe::IcmpPacket;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    // The first bytes pick the pinger's state; the rest is the datagram, copied so that a read past its
    // end lands outside the allocation.
    auto shape = static_cast<IcmpPacket::Shape>(data[0] % 3);
    std::uint16_t identifier = static_cast<std::uint16_t>((data[1] << 8) | data[2]);
    std::uint16_t next = static_cast<std::uint16_t>((data[3] << 8) | data[4]);
    bool wrapped = data[5] & 1;
    std::vector<std::uint8_t> datagram(data + 6, data + size);

    auto offset = IcmpPacket::icmpHeaderOffsetInIPv4Packet(datagram.data(), datagram.size());
    if (offset && *offset + IcmpPacket::kHeaderSize > datagram.size()) std::abort();

    auto reply = IcmpPacket::validateEchoReply(datagram.data(), datagram.size(), shape, identifier, next, wrapped);
    if (!reply) return 0;
    const std::uint8_t* icmp = datagram.data() + reply->icmpOffset;
    std::size_t icmpSize = datagram.size() - reply->icmpOffset;
    if (reply->icmpOffset + IcmpPacket::kHeaderSize > datagram.size()) std::abort();
    if (IcmpPacket::readBigEndian16(icmp + IcmpPacket::kIdentifierOffset) != identifier) std::abort();
    if (!IcmpPacket::sequenceNumberIsValid(reply->sequenceNumber, next, wrapped)) std::abort();
    if (shape != IcmpPacket::Shape::IPv6 && IcmpPacket::internetChecksum(icmp, icmpSize) != 0) std::abort();
    return 0;
}
