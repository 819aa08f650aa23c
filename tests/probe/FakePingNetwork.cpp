#include "tests/probe/FakePingNetwork.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include "ZQPlatform/DispatchQueue.h"
#include "probe/IcmpPacket.h"

using zqprobe::IcmpPacket;

namespace zqtest {

Bytes socketAddress(const std::string& literal) {
    sockaddr_in v4{};
    if (inet_pton(AF_INET, literal.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        auto* p = reinterpret_cast<const std::uint8_t*>(&v4);
        return Bytes(p, p + sizeof v4);
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, literal.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        auto* p = reinterpret_cast<const std::uint8_t*>(&v6);
        return Bytes(p, p + sizeof v6);
    }
    return {};
}

namespace {
std::string literalOf(const Bytes& address) {
    char text[INET6_ADDRSTRLEN] = {};
    sockaddr_storage storage{};
    std::memcpy(&storage, address.data(), std::min(address.size(), sizeof storage));
    if (storage.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr, text, sizeof text);
    else if (storage.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr, text, sizeof text);
    return text;
}

class FakePingSocket final : public zqprobe::PingSocket {
public:
    FakePingSocket(std::shared_ptr<FakeSocketState> state, FakePingNetwork& network)
        : mState(std::move(state)), mNetwork(network) {}
    ~FakePingSocket() override {
        mState->closed = true;
        ::close(mState->eventFd);
        mState->eventFd = -1;
    }
    int fd() const override { return mState->eventFd; }
    bool deliversIPv4Header() const override { return mState->deliversIPv4Header; }
    long sendTo(const Bytes& packet, const Bytes& address, int& error) override {
        mState->sent.push_back(packet);
        return mNetwork.handleSend(*mState, packet, address, error);
    }
    long receive(std::uint8_t* buffer, std::size_t capacity, int& error) override {
        if (mState->inbox.empty()) {
            error = EAGAIN;
            return -1;
        }
        auto pending = std::move(mState->inbox.front());
        mState->inbox.pop_front();
        std::uint64_t one;
        [[maybe_unused]] auto n = ::read(mState->eventFd, &one, sizeof one);
        if (pending.isError) {
            error = pending.error;
            return pending.error == 0 ? 0 : -1;
        }
        std::size_t size = std::min(capacity, pending.datagram.size());
        std::memcpy(buffer, pending.datagram.data(), size);
        error = 0;
        return static_cast<long>(size);
    }

private:
    std::shared_ptr<FakeSocketState> mState;
    FakePingNetwork& mNetwork;
};
} // namespace

Bytes withIPv4Header(const Bytes& icmp, std::uint8_t protocol) {
    Bytes datagram(20, 0);
    datagram[0] = 0x45;
    IcmpPacket::writeBigEndian16(&datagram[2], static_cast<std::uint16_t>(20 + icmp.size()));
    datagram[8] = 64;
    datagram[9] = protocol;
    datagram[12] = 127;
    datagram[15] = 1;
    datagram[16] = 127;
    datagram[19] = 1;
    IcmpPacket::writeBigEndian16(&datagram[10], IcmpPacket::internetChecksum(datagram.data(), 20));
    datagram.insert(datagram.end(), icmp.begin(), icmp.end());
    return datagram;
}

Bytes echoReplyTo(const Bytes& request, bool ipv6) {
    Bytes reply = request;
    reply[0] = ipv6 ? IcmpPacket::kEchoReplyV6 : IcmpPacket::kEchoReply;
    reply[2] = reply[3] = 0;
    if (!ipv6) IcmpPacket::writeBigEndian16(&reply[2], IcmpPacket::internetChecksum(reply.data(), reply.size()));
    return reply;
}

void FakeSocketState::deliver(const Bytes& datagram) {
    if (closed) return;
    inbox.push_back({datagram, 0, false});
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(eventFd, &one, sizeof one);
}

void FakeSocketState::deliverReadError(int error) {
    if (closed) return;
    inbox.push_back({{}, error, true});
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(eventFd, &one, sizeof one);
}

std::shared_ptr<FakePingNetwork> FakePingNetwork::install() {
    std::shared_ptr<FakePingNetwork> network(new FakePingNetwork());
    zqprobe::PingNetwork::setShared(network);
    return network;
}

FakePingNetwork::~FakePingNetwork() = default;

void FakePingNetwork::setResolution(const std::string& host, std::vector<Bytes> addresses) {
    zqprobe::PingResolution resolution;
    resolution.addresses = std::move(addresses);
    mResolutions[host] = std::move(resolution);
}

void FakePingNetwork::setResolutionError(const std::string& host, int gaiError) {
    zqprobe::PingResolution resolution;
    resolution.error = gaiError;
    resolution.errorText = gai_strerror(gaiError);
    mResolutions[host] = std::move(resolution);
}

zqprobe::PingNetwork::Cancel FakePingNetwork::resolve(const std::string& host, ResolveCallback done) {
    ++mResolutionsAsked;
    zqprobe::PingResolution resolution;
    if (auto it = mResolutions.find(host); it != mResolutions.end())
        resolution = it->second;
    else if (auto literal = socketAddress(host); !literal.empty())
        resolution.addresses.push_back(literal);
    else {
        resolution.error = EAI_NONAME;
        resolution.errorText = gai_strerror(EAI_NONAME);
    }
    auto cancelled = std::make_shared<bool>(false);
    ResolveCallback guarded = [cancelled, done = std::move(done)](const zqprobe::PingResolution& r) {
        if (!*cancelled) done(r);
    };
    if (mHold)
        mHeld.emplace_back(std::move(resolution), std::move(guarded));
    else
        platform::DispatchQueue::main()->async([resolution, guarded] { guarded(resolution); });
    return [cancelled] { *cancelled = true; };
}

std::uint16_t FakePingNetwork::randomIdentifier() {
    if (identifiers.empty()) return PingNetwork::randomIdentifier();
    auto next = identifiers.front();
    identifiers.pop_front();
    return next;
}

void FakePingNetwork::releaseResolutions() {
    auto held = std::move(mHeld);
    mHeld.clear();
    for (auto& [resolution, done] : held) done(resolution);
}

zqprobe::PingNetwork::OpenResult FakePingNetwork::openSocket(int family, std::uint16_t identifier) {
    ++mOpensAsked;
    OpenResult result;
    if (mOpenFailures > 0) {
        --mOpenFailures;
        result.error = mOpenError;
        result.reason = "refused by the test";
        return result;
    }
    auto state = std::make_shared<FakeSocketState>();
    state->family = family;
    state->identifier = identifier;
    state->deliversIPv4Header = mIPv4Header && family == AF_INET;
    state->eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC | EFD_SEMAPHORE);
    mSockets.push_back(state);
    result.socket = std::make_unique<FakePingSocket>(state, *this);
    return result;
}

long FakePingNetwork::handleSend(FakeSocketState& state, const Bytes& packet, const Bytes& address, int& error) {
    std::string literal = literalOf(address);
    int index = mSendCounts[literal]++;
    auto it = mHosts.find(literal);
    if (it == mHosts.end()) return static_cast<long>(packet.size()); // a host that never answers
    const Host& host = it->second;
    if (index == host.failSendAt) {
        error = host.sendError;
        return -1;
    }
    if (host.shortSend) return static_cast<long>(packet.size()) - 1;
    if (static_cast<std::size_t>(index) < host.replyDelays.size() && host.replyDelays[index]) {
        bool ipv6 = state.family == AF_INET6;
        Bytes reply = echoReplyTo(packet, ipv6);
        if (state.deliversIPv4Header) reply = withIPv4Header(reply);
        std::weak_ptr<FakeSocketState> weak;
        for (auto& s : mSockets)
            if (s.get() == &state) weak = s;
        platform::DispatchQueue::main()->after(*host.replyDelays[index], [weak, reply] {
            if (auto live = weak.lock()) live->deliver(reply);
        });
    }
    return static_cast<long>(packet.size());
}

} // namespace zqtest
