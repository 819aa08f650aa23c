// Echo request bytes, the checksum, and every way a datagram can fail to be our echo reply.
#include <gtest/gtest.h>
#include <string>
#include "probe/IcmpPacket.h"
#include "tests/probe/FakePingNetwork.h"

using zqprobe::IcmpPacket;
using zqtest::Bytes;
using Shape = IcmpPacket::Shape;

namespace {

constexpr std::uint16_t kId = 0xBEEF;

std::string text(const Bytes& bytes, std::size_t from = 0) { return std::string(bytes.begin() + from, bytes.end()); }

Bytes request(std::uint16_t sequence, std::uint8_t type = IcmpPacket::kEchoRequest, bool checksum = true) {
    return IcmpPacket::echoRequest(type, kId, sequence, IcmpPacket::defaultPayload(sequence), checksum);
}

std::optional<IcmpPacket::Reply> validate(const Bytes& datagram, Shape shape, std::uint16_t next = 10,
                                          bool wrapped = false) {
    return IcmpPacket::validateEchoReply(datagram.data(), datagram.size(), shape, kId, next, wrapped);
}

TEST(IcmpPacket, ChecksumFollowsRfc1071IncludingAnOddTrailingByte) {
    const Bytes rfcExample{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(IcmpPacket::internetChecksum(rfcExample.data(), rfcExample.size()), 0x220d);
    const Bytes odd{0x01};
    EXPECT_EQ(IcmpPacket::internetChecksum(odd.data(), odd.size()), 0xFEFF);
    // A message carrying its own checksum sums to zero.
    auto packet = request(3);
    EXPECT_EQ(IcmpPacket::internetChecksum(packet.data(), packet.size()), 0);
}

TEST(IcmpPacket, DefaultRequestForSequenceFiveIsSixtyFourBytesCountingDownFrom94) {
    auto packet = request(5);
    ASSERT_EQ(packet.size(), 64u);
    EXPECT_EQ(packet[0], 8);
    EXPECT_EQ(packet[1], 0);
    EXPECT_EQ(packet[4], 0xBE);
    EXPECT_EQ(packet[5], 0xEF);
    EXPECT_EQ(packet[6], 0x00);
    EXPECT_EQ(packet[7], 0x05);
    EXPECT_EQ(text(packet, 8), std::string(26, ' ') + "94 bottles of beer on the wall");
    Bytes zeroed = packet;
    zeroed[2] = zeroed[3] = 0;
    EXPECT_EQ(IcmpPacket::readBigEndian16(&packet[2]), IcmpPacket::internetChecksum(zeroed.data(), zeroed.size()));
}

TEST(IcmpPacket, DefaultPayloadNumberRepeatsEveryHundredSequenceNumbers) {
    auto tail = std::string(" bottles of beer on the wall");
    EXPECT_EQ(text(IcmpPacket::defaultPayload(0)), std::string(26, ' ') + "99" + tail);
    EXPECT_EQ(text(IcmpPacket::defaultPayload(1)), std::string(26, ' ') + "98" + tail);
    EXPECT_EQ(text(IcmpPacket::defaultPayload(99)), std::string(27, ' ') + "0" + tail);
    EXPECT_EQ(text(IcmpPacket::defaultPayload(100)), std::string(26, ' ') + "99" + tail);
    EXPECT_EQ(text(IcmpPacket::defaultPayload(65535)), std::string(26, ' ') + "64" + tail);
    for (std::uint16_t s : {0, 7, 99, 12345, 65535}) EXPECT_EQ(IcmpPacket::defaultPayload(s).size(), 56u);
}

TEST(IcmpPacket, Icmpv6RequestLeavesTheChecksumToTheKernel) {
    auto packet = request(1, IcmpPacket::kEchoRequestV6, false);
    EXPECT_EQ(packet[0], 128);
    EXPECT_EQ(packet[2], 0);
    EXPECT_EQ(packet[3], 0);
}

TEST(IcmpPacket, HeaderOffsetNeedsAnIPv4IcmpDatagramLongEnoughForTheIcmpHeader) {
    auto valid = zqtest::withIPv4Header(zqtest::echoReplyTo(request(1), false));
    auto offset = IcmpPacket::icmpHeaderOffsetInIPv4Packet(valid.data(), valid.size());
    ASSERT_TRUE(offset);
    EXPECT_EQ(*offset, 20u);

    Bytes options = valid;
    options[0] = 0x46; // 24-byte header: the ICMP message starts 4 bytes later
    EXPECT_EQ(IcmpPacket::icmpHeaderOffsetInIPv4Packet(options.data(), options.size()), 24u);

    Bytes shortDatagram(valid.begin(), valid.begin() + 27);
    EXPECT_FALSE(IcmpPacket::icmpHeaderOffsetInIPv4Packet(shortDatagram.data(), shortDatagram.size()));
    Bytes version6 = valid;
    version6[0] = 0x65;
    EXPECT_FALSE(IcmpPacket::icmpHeaderOffsetInIPv4Packet(version6.data(), version6.size()));
    Bytes tinyHeader = valid;
    tinyHeader[0] = 0x44; // 16 bytes cannot hold an IPv4 header
    EXPECT_FALSE(IcmpPacket::icmpHeaderOffsetInIPv4Packet(tinyHeader.data(), tinyHeader.size()));
    EXPECT_FALSE(IcmpPacket::icmpHeaderOffsetInIPv4Packet(nullptr, 0));
}

TEST(IcmpPacket, ValidIPv4ReplyIsFoundBehindTheIPHeader) {
    auto datagram = zqtest::withIPv4Header(zqtest::echoReplyTo(request(4), false));
    auto reply = validate(datagram, Shape::IPv4WithHeader);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->icmpOffset, 20u);
    EXPECT_EQ(reply->sequenceNumber, 4);
}

TEST(IcmpPacket, EveryMalformedOrForeignIPv4DatagramIsRejected) {
    auto good = zqtest::withIPv4Header(zqtest::echoReplyTo(request(4), false));
    ASSERT_TRUE(validate(good, Shape::IPv4WithHeader));

    Bytes tooShort(good.begin(), good.begin() + 27);
    auto tcp = zqtest::withIPv4Header(zqtest::echoReplyTo(request(4), false), 6);
    // A 24-byte header leaves no room for the 8-byte ICMP header in a 28-byte datagram.
    Bytes pastTheEnd(good.begin(), good.begin() + 28);
    pastTheEnd[0] = 0x46;
    Bytes badChecksum = good;
    badChecksum[20 + 2] ^= 0x01;
    Bytes corruptPayload = good;
    corruptPayload.back() ^= 0x20;
    auto echoRequest = zqtest::withIPv4Header(request(4));
    auto otherIdentifier = zqtest::withIPv4Header(zqtest::echoReplyTo(
        IcmpPacket::echoRequest(8, kId ^ 1, 4, IcmpPacket::defaultPayload(4), true), false));
    Bytes otherCode = zqtest::echoReplyTo(request(4), false);
    otherCode[1] = 1;
    otherCode[2] = otherCode[3] = 0;
    zqprobe::IcmpPacket::writeBigEndian16(&otherCode[2], IcmpPacket::internetChecksum(otherCode.data(), otherCode.size()));
    auto unsent = zqtest::withIPv4Header(zqtest::echoReplyTo(request(10), false));

    for (auto* bad : {&tooShort, &tcp, &pastTheEnd, &badChecksum, &corruptPayload, &echoRequest, &otherIdentifier,
                      &unsent}) {
        EXPECT_FALSE(validate(*bad, Shape::IPv4WithHeader)) << "datagram of " << bad->size() << " bytes";
    }
    EXPECT_FALSE(validate(zqtest::withIPv4Header(otherCode), Shape::IPv4WithHeader));
}

TEST(IcmpPacket, PingSocketShapeHasNoIPHeaderButKeepsEveryOtherRule) {
    auto message = zqtest::echoReplyTo(request(2), false);
    auto reply = validate(message, Shape::IPv4Bare);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->icmpOffset, 0u);
    EXPECT_EQ(reply->sequenceNumber, 2);

    // A raw-shaped datagram is not a bare message, and the other way round.
    EXPECT_FALSE(validate(zqtest::withIPv4Header(message), Shape::IPv4Bare));
    EXPECT_FALSE(validate(message, Shape::IPv4WithHeader));

    Bytes badChecksum = message;
    badChecksum[3] ^= 0x10;
    EXPECT_FALSE(validate(badChecksum, Shape::IPv4Bare));
    EXPECT_FALSE(validate(Bytes(message.begin(), message.begin() + 7), Shape::IPv4Bare));
    EXPECT_FALSE(validate(request(2), Shape::IPv4Bare));
}

TEST(IcmpPacket, Icmpv6ReplyIsCheckedWithoutItsChecksum) {
    auto message = zqtest::echoReplyTo(request(3, IcmpPacket::kEchoRequestV6, false), true);
    message[2] = 0x12; // the kernel verified it; whatever is there is accepted
    auto reply = validate(message, Shape::IPv6);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sequenceNumber, 3);

    Bytes v4Type = message;
    v4Type[0] = 0;
    Bytes otherCode = message;
    otherCode[1] = 3;
    Bytes otherIdentifier = message;
    otherIdentifier[5] ^= 0xFF;
    EXPECT_FALSE(validate(v4Type, Shape::IPv6));
    EXPECT_FALSE(validate(otherCode, Shape::IPv6));
    EXPECT_FALSE(validate(otherIdentifier, Shape::IPv6));
    EXPECT_FALSE(validate(Bytes(message.begin(), message.begin() + 7), Shape::IPv6));
    EXPECT_FALSE(validate(message, Shape::IPv6, /*next=*/3));
}

TEST(IcmpPacket, SequenceCheckBeforeAndAfterTheCounterWrapped) {
    EXPECT_TRUE(IcmpPacket::sequenceNumberIsValid(0, 1, false));
    EXPECT_TRUE(IcmpPacket::sequenceNumberIsValid(9, 10, false));
    EXPECT_FALSE(IcmpPacket::sequenceNumberIsValid(10, 10, false));
    EXPECT_FALSE(IcmpPacket::sequenceNumberIsValid(0, 0, false));
    // Wrapped, next = 0: a reply is valid up to 119 requests back.
    EXPECT_TRUE(IcmpPacket::sequenceNumberIsValid(65500, 0, true));
    EXPECT_TRUE(IcmpPacket::sequenceNumberIsValid(65417, 0, true));
    EXPECT_FALSE(IcmpPacket::sequenceNumberIsValid(65416, 0, true));
    EXPECT_TRUE(IcmpPacket::sequenceNumberIsValid(65535, 5, true));
    EXPECT_FALSE(IcmpPacket::sequenceNumberIsValid(6, 5, true));
}

} // namespace
