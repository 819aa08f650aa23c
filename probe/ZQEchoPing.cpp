#include "ZQLiveKit/ZQEchoPing.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <netinet/in.h>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include "probe/IcmpPacket.h"
#include "platform/foundation/DispatchCheck.h"
#include "probe/PingNetwork.h"

using zqprobe::IcmpPacket;
using zqprobe::PingNetwork;
using zqprobe::PingResolution;

namespace {

constexpr std::size_t kReceiveBufferSize = 65535;
constexpr std::size_t kMinAddressSize = 16;
constexpr int kIdentifierDraws = 1024;
// Times a socket is tried with a fresh identifier after the kernel said another process holds it.
constexpr int kBindAttempts = 16;

// A random identifier other than 0: a ping socket bound to port 0 gets an identifier of the
// kernel's choosing, and every reply would then fail validation against ours.
std::uint16_t drawIdentifier(PingNetwork& network) {
    std::uint16_t identifier = 0;
    for (int i = 0; i < kIdentifierDraws && identifier == 0; ++i) identifier = network.randomIdentifier();
    return identifier != 0 ? identifier : 1;
}

// Identifiers of the pingers of this process whose sockets are open. Two sockets with one identifier
// would take each other's replies (the kernel even lets two ping sockets bind the same one), so a
// pinger whose identifier is taken draws another before it opens its socket.
class OpenIdentifiers {
public:
    static OpenIdentifiers& instance() {
        static auto* identifiers = new OpenIdentifiers();
        return *identifiers;
    }
    // Claims `identifier`, redrawing it while it is taken (or when `redraw` says so).
    void claim(std::uint16_t& identifier, const std::function<std::uint16_t()>& draw, bool redraw = false) {
        std::lock_guard lock(mMutex);
        if (redraw) identifier = draw();
        for (int i = 0; i < kIdentifierDraws && mTaken.count(identifier); ++i) identifier = draw();
        mTaken.insert(identifier);
    }
    void release(std::uint16_t identifier) {
        std::lock_guard lock(mMutex);
        if (auto it = mTaken.find(identifier); it != mTaken.end()) mTaken.erase(it);
    }

private:
    std::mutex mMutex;
    std::multiset<std::uint16_t> mTaken;
};

int familyOf(const std::vector<std::uint8_t>& address) {
    sa_family_t family = AF_UNSPEC;
    if (address.size() >= offsetof(sockaddr, sa_family) + sizeof family)
        std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
    return family;
}

platform::Error posixError(int code, const std::string& detail = {}) {
    platform::Error error;
    error.domain = ZQEchoPing::kPOSIXErrorDomain;
    error.code = code;
    error.localizedDescription = std::strerror(code);
    if (!detail.empty()) error.localizedDescription += " (" + detail + ")";
    return error;
}

platform::Error cfNetworkError(long code, const std::string& text) {
    platform::Error error;
    error.domain = ZQEchoPing::kCFErrorDomainCFNetwork;
    error.code = code;
    error.localizedDescription = text;
    return error;
}

} // namespace

std::shared_ptr<ZQEchoPing> ZQEchoPing::create(std::string hostName, std::string desc) {
    return std::shared_ptr<ZQEchoPing>(new ZQEchoPing(std::move(hostName), std::move(desc)));
}

ZQEchoPing::ZQEchoPing(std::string hostName, std::string desc)
    : mHostName(std::move(hostName)), mDesc(std::move(desc)), mNetwork(PingNetwork::shared()) {
    mIdentifier = drawIdentifier(*mNetwork);
}

ZQEchoPing::~ZQEchoPing() { stop(); }

int ZQEchoPing::hostAddressFamily() const {
    return mHostAddress.size() >= kMinAddressSize ? familyOf(mHostAddress) : AF_UNSPEC;
}

std::vector<std::uint8_t> ZQEchoPing::pingPacket(std::uint8_t type, const std::vector<std::uint8_t>& payload,
                                                 bool requiresChecksum) const {
    return IcmpPacket::echoRequest(type, mIdentifier, mNextSequenceNumber, payload, requiresChecksum);
}

std::optional<std::size_t> ZQEchoPing::icmpHeaderOffsetInIPv4Packet(const std::vector<std::uint8_t>& packet) {
    return IcmpPacket::icmpHeaderOffsetInIPv4Packet(packet.data(), packet.size());
}

void ZQEchoPing::start() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mCancelResolution || mSocket || !mHostAddress.empty()) return; // once only
    std::weak_ptr<ZQEchoPing> weak = weak_from_this();
    mCancelResolution = [] {}; // resolving from here on, even if the answer came at once
    auto cancel = mNetwork->resolve(mHostName, [weak](const PingResolution& resolution) {
        if (auto self = weak.lock()) self->hostResolutionDone(resolution);
    });
    if (mCancelResolution) mCancelResolution = std::move(cancel);
}

void ZQEchoPing::hostResolutionDone(const PingResolution& resolution) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (!mCancelResolution) return; // stopped while the resolver was busy
    if (resolution.error != 0) {
        auto error = cfNetworkError(kHostResolutionErrorCode, resolution.errorText.empty()
                                                                  ? "host resolution failed"
                                                                  : resolution.errorText);
        error.userInfo[kCFGetAddrInfoFailureKey] = resolution.error;
        failWithError(error);
        return;
    }
    const std::vector<std::uint8_t>* chosen = nullptr;
    for (auto& address : resolution.addresses) {
        if (address.size() < kMinAddressSize) continue;
        int family = familyOf(address);
        bool acceptV6 = family == AF_INET6 && mAddressStyle != 1 && address.size() >= sizeof(sockaddr_in6);
        bool acceptV4 = family == AF_INET && mAddressStyle != 2;
        if (acceptV6 || acceptV4) {
            chosen = &address;
            break;
        }
    }
    if (chosen) mHostAddress = *chosen;
    stopHostResolution();
    if (mHostAddress.empty()) {
        failWithError(cfNetworkError(kHostNotFoundErrorCode, "no address of an accepted family for " + mHostName));
        return;
    }
    openSocket();
}

void ZQEchoPing::stopHostResolution() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (!mCancelResolution) return;
    auto cancel = std::move(mCancelResolution);
    mCancelResolution = nullptr;
    cancel();
}

void ZQEchoPing::openSocket() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    int family = hostAddressFamily();
    if (family != AF_INET && family != AF_INET6) {
        failWithError(posixError(EPROTONOSUPPORT));
        return;
    }
    auto network = mNetwork;
    auto draw = [network] { return drawIdentifier(*network); };
    OpenIdentifiers::instance().claim(mIdentifier, draw);
    auto opened = mNetwork->openSocket(family, mIdentifier);
    // Another process's ping socket holds the identifier: take another one.
    for (int attempt = 1; !opened.socket && opened.error == EADDRINUSE && attempt < kBindAttempts; ++attempt) {
        OpenIdentifiers::instance().release(mIdentifier);
        OpenIdentifiers::instance().claim(mIdentifier, draw, true);
        opened = mNetwork->openSocket(family, mIdentifier);
    }
    if (!opened.socket) {
        OpenIdentifiers::instance().release(mIdentifier);
        failWithError(posixError(opened.error ? opened.error : EPROTONOSUPPORT, opened.reason));
        return;
    }
    mSocket = std::move(opened.socket);
    std::weak_ptr<ZQEchoPing> weak = weak_from_this();
    mReadSource = platform::RunLoop::main().addReadSource(mSocket->fd(), [weak] {
        if (auto self = weak.lock()) self->readData();
    });
    auto address = mHostAddress; // the delegate may stop the pinger during the call
    if (auto delegate = mDelegate.lock()) delegate->echoPingDidStartWithAddress(*this, address);
}

void ZQEchoPing::sendPing(const std::optional<std::vector<std::uint8_t>>& data) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto self = shared_from_this(); // the delegate may drop the pinger during the calls below
    auto payload = data ? *data : IcmpPacket::defaultPayload(mNextSequenceNumber);
    auto packet = hostAddressFamily() == AF_INET6 ? pingPacket(IcmpPacket::kEchoRequestV6, payload, false)
                                                  : pingPacket(IcmpPacket::kEchoRequest, payload, true);
    std::uint16_t sequenceNumber = mNextSequenceNumber;
    int error = 0;
    long sent = -1;
    if (!mSocket)
        error = EBADF;
    else
        sent = mSocket->sendTo(packet, mHostAddress, error);

    if (sent > 0 && static_cast<std::size_t>(sent) == packet.size()) {
        if (auto delegate = mDelegate.lock()) delegate->echoPingDidSendPacket(*this, packet, sequenceNumber);
    } else {
        auto failure = posixError(error != 0 ? error : ENOBUFS);
        if (auto delegate = mDelegate.lock())
            delegate->echoPingDidFailToSendPacket(*this, packet, sequenceNumber, failure);
    }
    mNextSequenceNumber = static_cast<std::uint16_t>(mNextSequenceNumber + 1);
    if (mNextSequenceNumber == 0) mNextSequenceNumberHasWrapped = true;
}

void ZQEchoPing::readData() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (!mSocket) return;
    auto self = shared_from_this();
    std::vector<std::uint8_t> datagram(kReceiveBufferSize);
    int error = 0;
    long received = mSocket->receive(datagram.data(), datagram.size(), error);
    if (received < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) return; // nothing after all
    if (received <= 0) {
        failWithError(posixError(received < 0 && error != 0 ? error : EPIPE));
        return;
    }
    datagram.resize(static_cast<std::size_t>(received));

    auto shape = hostAddressFamily() == AF_INET6 ? IcmpPacket::Shape::IPv6
                 : mSocket->deliversIPv4Header() ? IcmpPacket::Shape::IPv4WithHeader
                                                 : IcmpPacket::Shape::IPv4Bare;
    auto reply = IcmpPacket::validateEchoReply(datagram.data(), datagram.size(), shape, mIdentifier,
                                               mNextSequenceNumber, mNextSequenceNumberHasWrapped);
    auto delegate = mDelegate.lock();
    if (!delegate) return;
    if (reply) {
        datagram.erase(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(reply->icmpOffset));
        delegate->echoPingDidReceivePingResponsePacket(*this, datagram, reply->sequenceNumber);
    } else {
        delegate->echoPingDidReceiveUnexpectedPacket(*this, datagram);
    }
}

void ZQEchoPing::stop() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    stopHostResolution();
    if (mSocket) {
        platform::RunLoop::main().removeSource(mReadSource);
        mReadSource = 0;
        mSocket.reset();
        OpenIdentifiers::instance().release(mIdentifier);
    }
    mHostAddress.clear();
}

void ZQEchoPing::failWithError(const platform::Error& error) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto self = shared_from_this(); // the delegate may drop the pinger during the call
    stop();
    if (auto delegate = mDelegate.lock()) delegate->echoPingDidFailWithError(*this, error);
}
