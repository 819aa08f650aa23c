#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zqprobe {

// ICMP echo messages: building requests and validating what an ICMP socket delivers. Pure functions
// over bytes, safe for any input (they never read past `size`).
class IcmpPacket {
public:
    static constexpr std::size_t kHeaderSize = 8; // type, code, checksum, identifier, sequence
    static constexpr std::size_t kChecksumOffset = 2;
    static constexpr std::size_t kIdentifierOffset = 4;
    static constexpr std::size_t kSequenceOffset = 6;
    static constexpr std::uint8_t kEchoReply = 0;
    static constexpr std::uint8_t kEchoRequest = 8;
    static constexpr std::uint8_t kEchoRequestV6 = 128;
    static constexpr std::uint8_t kEchoReplyV6 = 129;
    static constexpr std::size_t kDefaultPayloadSize = 56;
    // After the counter wrapped, a reply is accepted when it is at most this many requests old.
    static constexpr std::uint16_t kWrappedSequenceWindow = 120;

    // How a socket hands over an echo reply.
    enum class Shape {
        IPv4WithHeader, // raw IPv4 socket: the IP header comes first
        IPv4Bare,       // IPv4 ping socket: the kernel strips the IP header
        IPv6,           // ICMPv6 (raw or ping): never an IP header; the kernel checks the checksum
    };

    struct Reply {
        std::size_t icmpOffset;      // where the ICMP message starts in the datagram
        std::uint16_t sequenceNumber;
    };

    // The Internet checksum (RFC 1071) in host order; store it big-endian.
    static std::uint16_t internetChecksum(const std::uint8_t* data, std::size_t size);
    // "%28zd bottles of beer on the wall" with 99 - (sequence mod 100): always 56 bytes.
    static std::vector<std::uint8_t> defaultPayload(std::uint16_t sequenceNumber);
    static std::vector<std::uint8_t> echoRequest(std::uint8_t type, std::uint16_t identifier,
                                                 std::uint16_t sequenceNumber,
                                                 const std::vector<std::uint8_t>& payload, bool requiresChecksum);
    // Offset of the ICMP header in an IPv4 datagram: at least 28 bytes, version 4, protocol ICMP, a
    // header of at least 20 bytes and room for the ICMP header after it. None otherwise.
    static std::optional<std::size_t> icmpHeaderOffsetInIPv4Packet(const std::uint8_t* data, std::size_t size);
    // Before the counter wrapped a reply must be older than `next`; after, at most 119 requests old.
    static bool sequenceNumberIsValid(std::uint16_t sequenceNumber, std::uint16_t next, bool wrapped);
    // The reply to one of our requests, or none for anything else (short, foreign protocol, bad
    // checksum, another type or code, another identifier, an unsent sequence number).
    static std::optional<Reply> validateEchoReply(const std::uint8_t* data, std::size_t size, Shape shape,
                                                  std::uint16_t identifier, std::uint16_t nextSequenceNumber,
                                                  bool wrapped);

    static std::uint16_t readBigEndian16(const std::uint8_t* data) {
        return static_cast<std::uint16_t>((data[0] << 8) | data[1]);
    }
    static void writeBigEndian16(std::uint8_t* data, std::uint16_t value) {
        data[0] = static_cast<std::uint8_t>(value >> 8);
        data[1] = static_cast<std::uint8_t>(value & 0xFF);
    }
};

} // namespace zqprobe
