// ZQEchoPing over the fake network: resolution and address choice, sending, receiving, failures.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include "ZQLiveKit/ZQEchoPing.h"
#include "probe/IcmpPacket.h"
#include "tests/probe/FakePingNetwork.h"
#include "tests/support/VirtualTime.h"

using zqprobe::IcmpPacket;
using zqtest::Bytes;

namespace {

struct Event {
    std::string kind;
    Bytes bytes;
    std::uint16_t sequence = 0;
    platform::Error error;
};

class RecordingDelegate : public ZQEchoPingDelegate {
public:
    std::vector<Event> events;
    std::function<void(const Event&)> onEvent;

    std::vector<std::string> kinds() const {
        std::vector<std::string> out;
        for (auto& e : events) out.push_back(e.kind);
        return out;
    }
    void echoPingDidStartWithAddress(ZQEchoPing&, const Bytes& address) override { add({"start", address}); }
    void echoPingDidFailWithError(ZQEchoPing&, const platform::Error& error) override { add({"fail", {}, 0, error}); }
    void echoPingDidSendPacket(ZQEchoPing&, const Bytes& packet, std::uint16_t sequence) override {
        add({"sent", packet, sequence});
    }
    void echoPingDidFailToSendPacket(ZQEchoPing&, const Bytes& packet, std::uint16_t sequence,
                                     const platform::Error& error) override {
        add({"sendFailed", packet, sequence, error});
    }
    void echoPingDidReceivePingResponsePacket(ZQEchoPing&, const Bytes& packet, std::uint16_t sequence) override {
        add({"reply", packet, sequence});
    }
    void echoPingDidReceiveUnexpectedPacket(ZQEchoPing&, const Bytes& packet) override { add({"unexpected", packet}); }

private:
    void add(Event event) {
        events.push_back(event);
        if (onEvent) onEvent(events.back());
    }
};

class EchoPingTest : public ::testing::Test {
protected:
    void TearDown() override { zqprobe::PingNetwork::setShared(nullptr); }

    // A started pinger for `host`, its socket open (unless the test expects otherwise).
    std::shared_ptr<ZQEchoPing> startPinger(const std::string& host, long addressStyle = 0) {
        auto pinger = ZQEchoPing::create(host, "label");
        pinger->setDelegate(delegate);
        pinger->setAddressStyle(addressStyle);
        pinger->start();
        time.runMain();
        return pinger;
    }

    zqtest::VirtualTime time;
    std::shared_ptr<zqtest::FakePingNetwork> network = zqtest::FakePingNetwork::install();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(EchoPingTest, CreationDrawsAnIdentifierAndStartsAtSequenceZero) {
    auto pinger = ZQEchoPing::create("node.example", "华东");
    EXPECT_EQ(pinger->hostName(), "node.example");
    EXPECT_EQ(pinger->desc(), "华东");
    EXPECT_EQ(pinger->nextSequenceNumber(), 0);
    EXPECT_FALSE(pinger->nextSequenceNumberHasWrapped());
    EXPECT_EQ(pinger->hostAddressFamily(), AF_UNSPEC);
    // Sixteen random identifiers are not all the same.
    bool differs = false;
    for (int i = 0; i < 16 && !differs; ++i) differs = ZQEchoPing::create("h", "")->identifier() != pinger->identifier();
    EXPECT_TRUE(differs);
}

TEST_F(EchoPingTest, ResolutionTakesTheFirstAddressOfAnAcceptedFamily) {
    network->setResolution("dual", {Bytes(8, 0), zqtest::socketAddress("::1"), zqtest::socketAddress("127.0.0.2")});
    auto any = startPinger("dual", 0);
    EXPECT_EQ(any->hostAddressFamily(), AF_INET6);
    EXPECT_EQ(any->hostAddress(), zqtest::socketAddress("::1"));

    auto v4 = startPinger("dual", 1);
    EXPECT_EQ(v4->hostAddress(), zqtest::socketAddress("127.0.0.2"));
    EXPECT_EQ(network->lastSocket()->family, AF_INET);
    ASSERT_EQ(delegate->kinds(), (std::vector<std::string>{"start", "start"}));
    EXPECT_EQ(delegate->events[1].bytes, zqtest::socketAddress("127.0.0.2"));
    EXPECT_TRUE(v4->hasSocket());
    EXPECT_FALSE(v4->isResolving());
}

TEST_F(EchoPingTest, NoAddressOfAnAcceptedFamilyIsHostNotFound) {
    network->setResolution("v4only", {zqtest::socketAddress("10.0.0.1")});
    auto pinger = startPinger("v4only", 2);
    ASSERT_EQ(delegate->kinds(), std::vector<std::string>{"fail"});
    EXPECT_EQ(delegate->events[0].error.domain, ZQEchoPing::kCFErrorDomainCFNetwork);
    EXPECT_EQ(delegate->events[0].error.code, 1);
    EXPECT_FALSE(pinger->isResolving());
    EXPECT_EQ(network->opensAsked(), 0);
}

TEST_F(EchoPingTest, ResolverFailureCarriesTheGetaddrinfoError) {
    network->setResolutionError("nowhere.invalid", EAI_NONAME);
    auto pinger = startPinger("nowhere.invalid");
    ASSERT_EQ(delegate->kinds(), std::vector<std::string>{"fail"});
    const auto& error = delegate->events[0].error;
    EXPECT_EQ(error.domain, ZQEchoPing::kCFErrorDomainCFNetwork);
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.userInfo.value(ZQEchoPing::kCFGetAddrInfoFailureKey, 0), EAI_NONAME);
    EXPECT_TRUE(pinger->hostAddress().empty());
}

TEST_F(EchoPingTest, StopDuringResolutionSilencesTheAnswer) {
    network->holdResolutions(true);
    auto pinger = startPinger("127.0.0.1");
    EXPECT_TRUE(pinger->isResolving());
    pinger->start(); // a second start is ignored
    EXPECT_EQ(network->resolutionsAsked(), 1);
    pinger->stop();
    pinger->stop();
    network->releaseResolutions();
    time.runMain();
    EXPECT_TRUE(delegate->events.empty());
    EXPECT_FALSE(pinger->hasSocket());
}

TEST_F(EchoPingTest, RefusedSocketIsAPosixFailure) {
    network->failOpens(EACCES);
    auto pinger = startPinger("127.0.0.1");
    ASSERT_EQ(delegate->kinds(), std::vector<std::string>{"fail"});
    EXPECT_EQ(delegate->events[0].error.domain, ZQEchoPing::kPOSIXErrorDomain);
    EXPECT_EQ(delegate->events[0].error.code, EACCES);
    EXPECT_TRUE(pinger->hostAddress().empty());
}

TEST_F(EchoPingTest, IdentifierHeldByAnotherOpenPingerIsDrawnAgain) {
    network->identifiers = {7, 7, 7, 9};
    auto first = startPinger("127.0.0.1");
    EXPECT_EQ(first->identifier(), 7);
    auto second = startPinger("::1");
    EXPECT_EQ(second->identifier(), 9);
    EXPECT_EQ(network->lastSocket()->identifier, 9);
    // Once the first socket is closed its identifier is free again.
    first->stop();
    network->identifiers = {7};
    auto third = startPinger("127.0.0.1");
    EXPECT_EQ(third->identifier(), 7);
    EXPECT_EQ(network->opensAsked(), 3);
}

TEST_F(EchoPingTest, IdentifierIsNeverZero) {
    // Bound to port 0, a ping socket would carry an identifier of the kernel's choosing.
    network->identifiers = {0, 0, 5};
    auto pinger = startPinger("127.0.0.1");
    EXPECT_EQ(pinger->identifier(), 5);
    EXPECT_EQ(network->lastSocket()->identifier, 5);
}

TEST_F(EchoPingTest, IdentifierInUseElsewhereIsDrawnAgainUntilTheSocketOpens) {
    network->identifiers = {7, 8, 9};
    network->failOpens(EADDRINUSE, 2); // another process's ping sockets hold 7 and 8
    auto pinger = startPinger("127.0.0.1");
    EXPECT_EQ(network->opensAsked(), 3);
    ASSERT_EQ(delegate->kinds(), std::vector<std::string>{"start"});
    EXPECT_EQ(pinger->identifier(), 9);
    EXPECT_EQ(network->lastSocket()->identifier, 9);
}

TEST_F(EchoPingTest, IdentifierInUseEverywhereGivesUpWithTheError) {
    network->failOpens(EADDRINUSE);
    auto pinger = startPinger("127.0.0.1");
    ASSERT_EQ(delegate->kinds(), std::vector<std::string>{"fail"});
    EXPECT_EQ(delegate->events[0].error.code, EADDRINUSE);
    EXPECT_LE(network->opensAsked(), 16);
}

TEST_F(EchoPingTest, RequestsCarryIdentifierSequenceAndTheRightTypePerFamily) {
    auto v4 = startPinger("127.0.0.1");
    for (int i = 0; i < 6; ++i) v4->sendPing();
    auto socket = network->lastSocket();
    ASSERT_EQ(socket->sent.size(), 6u);
    const Bytes& fifth = socket->sent[5];
    ASSERT_EQ(fifth.size(), 64u);
    EXPECT_EQ(fifth[0], 8);
    EXPECT_EQ(IcmpPacket::readBigEndian16(&fifth[4]), v4->identifier());
    EXPECT_EQ(IcmpPacket::readBigEndian16(&fifth[6]), 5);
    EXPECT_EQ(std::string(fifth.begin() + 8, fifth.end()), std::string(26, ' ') + "94 bottles of beer on the wall");
    EXPECT_EQ(IcmpPacket::internetChecksum(fifth.data(), fifth.size()), 0);
    EXPECT_EQ(delegate->events.back().kind, "sent");
    EXPECT_EQ(delegate->events.back().sequence, 5);
    EXPECT_EQ(v4->nextSequenceNumber(), 6);

    auto v6 = startPinger("::1");
    v6->sendPing(Bytes{'h', 'i'});
    const Bytes& request = network->lastSocket()->sent.back();
    EXPECT_EQ(request, (Bytes{128, 0, 0, 0, request[4], request[5], 0, 0, 'h', 'i'}));
}

TEST_F(EchoPingTest, SendFailuresKeepThePingerOpenAndStillAdvanceTheSequence) {
    zqtest::FakePingNetwork::Host host;
    host.failSendAt = 0;
    host.sendError = ENETUNREACH;
    network->setHost("127.0.0.1", host);
    auto pinger = startPinger("127.0.0.1");
    pinger->sendPing();
    ASSERT_EQ(delegate->events.back().kind, "sendFailed");
    EXPECT_EQ(delegate->events.back().error.code, ENETUNREACH);
    EXPECT_EQ(delegate->events.back().sequence, 0);
    EXPECT_TRUE(pinger->hasSocket());

    zqtest::FakePingNetwork::Host shortSends;
    shortSends.shortSend = true;
    network->setHost("127.0.0.1", shortSends);
    pinger->sendPing();
    EXPECT_EQ(delegate->events.back().error.code, ENOBUFS);
    EXPECT_EQ(delegate->events.back().sequence, 1);

    pinger->stop();
    pinger->sendPing(); // no socket any more
    EXPECT_EQ(delegate->events.back().error.domain, ZQEchoPing::kPOSIXErrorDomain);
    EXPECT_EQ(delegate->events.back().error.code, EBADF);
    EXPECT_EQ(pinger->nextSequenceNumber(), 3);
}

TEST_F(EchoPingTest, ValidIPv4ReplyReachesTheDelegateWithoutItsIPHeader) {
    auto pinger = startPinger("127.0.0.1");
    pinger->sendPing();
    Bytes message = zqtest::echoReplyTo(network->lastSocket()->sent[0], false);
    network->lastSocket()->deliver(zqtest::withIPv4Header(message));
    time.runMain();
    ASSERT_EQ(delegate->events.back().kind, "reply");
    EXPECT_EQ(delegate->events.back().bytes, message);
    EXPECT_EQ(delegate->events.back().bytes.size(), 64u);
    EXPECT_EQ(delegate->events.back().sequence, 0);
}

TEST_F(EchoPingTest, PingSocketRepliesArriveBareAndAreAcceptedAsTheyAre) {
    network->setDeliversIPv4Header(false);
    auto pinger = startPinger("127.0.0.1");
    pinger->sendPing();
    Bytes message = zqtest::echoReplyTo(network->lastSocket()->sent[0], false);
    network->lastSocket()->deliver(message);
    network->lastSocket()->deliver(zqtest::withIPv4Header(message)); // not what a ping socket gives
    time.runMain();
    ASSERT_EQ(delegate->kinds(), (std::vector<std::string>{"start", "sent", "reply", "unexpected"}));
    EXPECT_EQ(delegate->events[2].bytes, message);
}

TEST_F(EchoPingTest, UnexpectedDatagramsReachTheDelegateUnchanged) {
    auto pinger = startPinger("127.0.0.1");
    pinger->sendPing();
    Bytes good = zqtest::withIPv4Header(zqtest::echoReplyTo(network->lastSocket()->sent[0], false));
    Bytes tcp = good;
    tcp[9] = 6;
    Bytes checksum = good;
    checksum[22] ^= 0x40;
    Bytes request = zqtest::withIPv4Header(network->lastSocket()->sent[0]);
    auto foreignRequest = IcmpPacket::echoRequest(8, pinger->identifier() ^ 1, 0, IcmpPacket::defaultPayload(0), true);
    Bytes stranger = zqtest::withIPv4Header(zqtest::echoReplyTo(foreignRequest, false));
    std::vector<Bytes> bad{Bytes(good.begin(), good.begin() + 27), tcp, checksum, request, stranger};
    for (auto& datagram : bad) network->lastSocket()->deliver(datagram);
    time.runMain();
    ASSERT_EQ(delegate->events.size(), 2 + bad.size());
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(delegate->events[2 + i].kind, "unexpected") << i;
        EXPECT_EQ(delegate->events[2 + i].bytes, bad[i]) << i;
    }
}

TEST_F(EchoPingTest, SequenceCheckFollowsTheCounterAcrossItsWrap) {
    auto pinger = startPinger("127.0.0.1");
    auto socket = network->lastSocket();
    auto replyFor = [&](std::uint16_t sequence) {
        auto request = IcmpPacket::echoRequest(8, pinger->identifier(), sequence, IcmpPacket::defaultPayload(sequence), true);
        socket->deliver(zqtest::withIPv4Header(zqtest::echoReplyTo(request, false)));
        time.runMain();
        return delegate->events.back().kind;
    };
    pinger->sendPing();
    EXPECT_EQ(replyFor(1), "unexpected"); // equal to the next sequence number: never sent
    EXPECT_EQ(replyFor(0), "reply");

    for (int i = 1; i < 65536; ++i) pinger->sendPing();
    EXPECT_EQ(pinger->nextSequenceNumber(), 0);
    EXPECT_TRUE(pinger->nextSequenceNumberHasWrapped());
    EXPECT_EQ(replyFor(65500), "reply");
    EXPECT_EQ(replyFor(65416), "unexpected");
    pinger->sendPing();
    EXPECT_TRUE(pinger->nextSequenceNumberHasWrapped()); // never cleared
}

TEST_F(EchoPingTest, ReadFailuresStopThePingerBeforeTellingTheDelegate) {
    auto pinger = startPinger("127.0.0.1");
    bool stoppedFirst = false;
    delegate->onEvent = [&](const Event& e) {
        if (e.kind == "fail") stoppedFirst = !pinger->hasSocket() && pinger->hostAddress().empty();
    };
    network->lastSocket()->deliverReadError(ECONNREFUSED);
    time.runMain();
    ASSERT_EQ(delegate->kinds().back(), "fail");
    EXPECT_EQ(delegate->events.back().error.code, ECONNREFUSED);
    EXPECT_TRUE(stoppedFirst);

    auto second = startPinger("127.0.0.1");
    network->lastSocket()->deliverReadError(0); // end of stream
    time.runMain();
    EXPECT_EQ(delegate->events.back().error.code, EPIPE);
}

TEST_F(EchoPingTest, SpuriousReadinessIsNotAFailure) {
    auto pinger = startPinger("127.0.0.1");
    network->lastSocket()->deliverReadError(EAGAIN);
    time.runMain();
    EXPECT_EQ(delegate->kinds(), std::vector<std::string>{"start"});
    EXPECT_TRUE(pinger->hasSocket());
}

TEST_F(EchoPingTest, DelegateMayDropThePingerWhileBeingToldOfAFailure) {
    auto pinger = startPinger("127.0.0.1");
    std::weak_ptr<ZQEchoPing> weak = pinger;
    delegate->onEvent = [&](const Event& e) {
        if (e.kind == "fail") pinger.reset();
    };
    network->lastSocket()->deliverReadError(EIO);
    time.runMain();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(delegate->kinds().back(), "fail");
}

} // namespace
