#include "probe/IcmpPacket.h"

#include <cstdio>
#include <sys/types.h>

namespace zqprobe {

namespace {
constexpr std::size_t kMinIPv4HeaderSize = 20;
constexpr std::uint8_t kIPProtocolICMP = 1;
} // namespace

namespace {
// RFC 1071 over `data`, reading the 16-bit word at `zeroedOffset` (if any) as zero.
std::uint16_t checksum(const std::uint8_t* data, std::size_t size, std::size_t zeroedOffset) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < size; i += 2)
        if (i != zeroedOffset) sum += IcmpPacket::readBigEndian16(data + i);
    if (i < size) sum += static_cast<std::uint32_t>(data[i]) << 8; // odd byte, padded with zero
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}
constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);
} // namespace

std::uint16_t IcmpPacket::internetChecksum(const std::uint8_t* data, std::size_t size) {
    return checksum(data, size, kNoOffset);
}

std::vector<std::uint8_t> IcmpPacket::defaultPayload(std::uint16_t sequenceNumber) {
    char text[kDefaultPayloadSize + 1];
    auto number = static_cast<ssize_t>(99 - sequenceNumber % 100);
    std::snprintf(text, sizeof text, "%28zd bottles of beer on the wall", number);
    return std::vector<std::uint8_t>(text, text + kDefaultPayloadSize);
}

std::vector<std::uint8_t> IcmpPacket::echoRequest(std::uint8_t type, std::uint16_t identifier,
                                                  std::uint16_t sequenceNumber,
                                                  const std::vector<std::uint8_t>& payload, bool requiresChecksum) {
    std::vector<std::uint8_t> packet(kHeaderSize + payload.size());
    packet[0] = type;
    packet[1] = 0;
    writeBigEndian16(&packet[kIdentifierOffset], identifier);
    writeBigEndian16(&packet[kSequenceOffset], sequenceNumber);
    std::copy(payload.begin(), payload.end(), packet.begin() + kHeaderSize);
    if (requiresChecksum)
        writeBigEndian16(&packet[kChecksumOffset], internetChecksum(packet.data(), packet.size()));
    return packet;
}

std::optional<std::size_t> IcmpPacket::icmpHeaderOffsetInIPv4Packet(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kMinIPv4HeaderSize + kHeaderSize) return std::nullopt;
    if ((data[0] & 0xF0) != 0x40 || data[9] != kIPProtocolICMP) return std::nullopt;
    std::size_t headerLength = static_cast<std::size_t>(data[0] & 0x0F) * 4;
    if (headerLength < kMinIPv4HeaderSize || size < headerLength + kHeaderSize) return std::nullopt;
    return headerLength;
}

bool IcmpPacket::sequenceNumberIsValid(std::uint16_t sequenceNumber, std::uint16_t next, bool wrapped) {
    if (!wrapped) return sequenceNumber < next;
    return static_cast<std::uint16_t>(next - sequenceNumber) < kWrappedSequenceWindow;
}

std::optional<IcmpPacket::Reply> IcmpPacket::validateEchoReply(const std::uint8_t* data, std::size_t size,
                                                               Shape shape, std::uint16_t identifier,
                                                               std::uint16_t nextSequenceNumber, bool wrapped) {
    if (data == nullptr) return std::nullopt;
    std::size_t offset = 0;
    if (shape == Shape::IPv4WithHeader) {
        auto found = icmpHeaderOffsetInIPv4Packet(data, size);
        if (!found) return std::nullopt;
        offset = *found;
    }
    if (size < offset + kHeaderSize) return std::nullopt;
    const std::uint8_t* icmp = data + offset;
    std::size_t icmpSize = size - offset;

    if (shape != Shape::IPv6) {
        // The checksum of the message computed with its checksum field as zero must match the field.
        if (checksum(icmp, icmpSize, kChecksumOffset) != readBigEndian16(icmp + kChecksumOffset)) return std::nullopt;
    }

    std::uint8_t expectedType = shape == Shape::IPv6 ? kEchoReplyV6 : kEchoReply;
    if (icmp[0] != expectedType || icmp[1] != 0) return std::nullopt;
    if (readBigEndian16(icmp + kIdentifierOffset) != identifier) return std::nullopt;
    std::uint16_t sequenceNumber = readBigEndian16(icmp + kSequenceOffset);
    if (!sequenceNumberIsValid(sequenceNumber, nextSequenceNumber, wrapped)) return std::nullopt;
    return Reply{offset, sequenceNumber};
}

} // namespace zqprobe
