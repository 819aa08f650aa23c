#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/ZQEchoPingDelegate.h"
#include "ZQPlatform/Error.h"
#include "ZQPlatform/RunLoop.h"

namespace zqprobe {
class PingNetwork;
class PingSocket;
struct PingResolution;
} // namespace zqprobe

// Probes one host with ICMP echo requests: resolves the name (off the run loop), picks one address,
// opens an ICMP socket watched by the main run loop, sends requests, validates replies and reports
// every event to its delegate. Linux: an ICMP datagram ("ping") socket where the kernel allows it,
// else a raw socket. Everything runs on the main run loop: create, call and destroy it there.
class ZQLIVEKIT_EXPORT ZQEchoPing : public std::enable_shared_from_this<ZQEchoPing> {
public:
    // Error domains and keys of the reported failures.
    static constexpr const char* kCFErrorDomainCFNetwork = "kCFErrorDomainCFNetwork";
    static constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
    static constexpr const char* kCFGetAddrInfoFailureKey = "kCFGetAddrInfoFailureKey";
    static constexpr long kHostNotFoundErrorCode = 1;    // no address of an accepted family
    static constexpr long kHostResolutionErrorCode = 2;  // the resolver failed

    // A pinger for `hostName` (a name or a literal address) with a fresh random identifier (never 0)
    // and sequence number 0; `desc` is the caller's label, only stored. Should another pinger of the
    // process hold that identifier when the socket opens, or the system refuse it as in use by
    // another process, a new one is drawn.
    static std::shared_ptr<ZQEchoPing> create(std::string hostName, std::string desc);
    ~ZQEchoPing();
    ZQEchoPing(const ZQEchoPing&) = delete;
    ZQEchoPing& operator=(const ZQEchoPing&) = delete;

    // Starts name resolution. Once only; ignored when already started.
    void start();
    // Sends one echo request; without a payload, the default 56-byte text for the sequence number.
    void sendPing(const std::optional<std::vector<std::uint8_t>>& data = std::nullopt);
    // Ends resolution, closes the socket, clears the address. Safe to call repeatedly.
    void stop();

    // The echo request for the current sequence number: type, code 0, the checksum when required
    // (IPv4; the kernel fills it in for ICMPv6), identifier, sequence number, payload.
    std::vector<std::uint8_t> pingPacket(std::uint8_t type, const std::vector<std::uint8_t>& payload,
                                         bool requiresChecksum) const;
    // Offset of the ICMP header inside an IPv4 datagram, or none when it is not an ICMP datagram.
    static std::optional<std::size_t> icmpHeaderOffsetInIPv4Packet(const std::vector<std::uint8_t>& packet);

    const std::string& hostName() const { return mHostName; }
    const std::string& desc() const { return mDesc; }
    std::uint16_t identifier() const { return mIdentifier; }
    std::uint16_t nextSequenceNumber() const { return mNextSequenceNumber; }
    bool nextSequenceNumberHasWrapped() const { return mNextSequenceNumberHasWrapped; }

    std::shared_ptr<ZQEchoPingDelegate> delegate() const { return mDelegate.lock(); }
    void setDelegate(std::weak_ptr<ZQEchoPingDelegate> delegate) { mDelegate = std::move(delegate); }

    // Families accepted: 0 = IPv4 or IPv6, 1 = IPv4 only, 2 = IPv6 only.
    long addressStyle() const { return mAddressStyle; }
    void setAddressStyle(long style) { mAddressStyle = style; }

    // The chosen socket address as bytes (a sockaddr_in or sockaddr_in6); empty until resolved.
    const std::vector<std::uint8_t>& hostAddress() const { return mHostAddress; }
    // The family of hostAddress (AF_INET or AF_INET6), or AF_UNSPEC while there is none.
    int hostAddressFamily() const;
    // A resolution is in progress.
    bool isResolving() const { return static_cast<bool>(mCancelResolution); }
    // The socket is open.
    bool hasSocket() const { return mSocket != nullptr; }

private:
    ZQEchoPing(std::string hostName, std::string desc);
    void hostResolutionDone(const zqprobe::PingResolution& resolution);
    void stopHostResolution();
    void openSocket();
    void readData();
    void failWithError(const platform::Error& error);

    // Owned by the main run loop, like everything the pinger does.
    bool mNextSequenceNumberHasWrapped = false;
    std::uint16_t mIdentifier = 0;
    std::uint16_t mNextSequenceNumber = 0;
    std::string mHostName;
    std::string mDesc;
    std::weak_ptr<ZQEchoPingDelegate> mDelegate;
    long mAddressStyle = 0;
    std::vector<std::uint8_t> mHostAddress;

    std::shared_ptr<zqprobe::PingNetwork> mNetwork;
    std::function<void()> mCancelResolution;           // set while resolving
    std::unique_ptr<zqprobe::PingSocket> mSocket;
    platform::RunLoop::SourceId mReadSource = 0;
};
