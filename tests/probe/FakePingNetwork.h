#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "probe/PingNetwork.h"

namespace zqtest {

using Bytes = std::vector<std::uint8_t>;

// sockaddr bytes for a literal address.
Bytes socketAddress(const std::string& literal);
// An IPv4 header (20 bytes, protocol ICMP unless told) followed by `icmp`.
Bytes withIPv4Header(const Bytes& icmp, std::uint8_t protocol = 1);
// The echo reply a host gives to `request`: type 0 (IPv4, checksum set) or 129 (IPv6, checksum 0).
Bytes echoReplyTo(const Bytes& request, bool ipv6);

// One socket handed out by the fake network. Outlives the socket object so tests can still look.
struct FakeSocketState {
    int family = 0;
    std::uint16_t identifier = 0;
    bool deliversIPv4Header = false;
    int eventFd = -1;            // readable while datagrams or errors wait
    bool closed = false;
    std::vector<Bytes> sent;     // every packet handed to sendTo, in order
    struct Pending {
        Bytes datagram;
        int error = 0;           // with an empty datagram: 0 reads as end of stream, else -1/errno
        bool isError = false;
    };
    std::deque<Pending> inbox;

    // Queues a datagram for the pinger to read.
    void deliver(const Bytes& datagram);
    // Queues a failed read (errno), or the end of the stream with 0.
    void deliverReadError(int error);
};

// A scriptable PingNetwork: names resolve from a table, sockets are fakes, and hosts answer echo
// requests after the delays the test sets, on the virtual clock.
class FakePingNetwork : public zqprobe::PingNetwork {
public:
    // How a probed address behaves, probe by probe (index = how many requests it got before).
    struct Host {
        std::vector<std::optional<double>> replyDelays; // seconds; none = the probe is lost
        int failSendAt = -1;                            // this probe's sendTo fails
        int sendError = 101;                            // ENETUNREACH
        bool shortSend = false;                         // sends fall one byte short
    };

    // Installs a fresh fake as the shared back end (PingNetwork::setShared(nullptr) restores Linux).
    static std::shared_ptr<FakePingNetwork> install();
    ~FakePingNetwork() override;

    void setResolution(const std::string& host, std::vector<Bytes> addresses);
    void setResolutionError(const std::string& host, int gaiError);
    // Answers are held until releaseResolutions() (they go to the main queue otherwise).
    void holdResolutions(bool hold) { mHold = hold; }
    void releaseResolutions();
    void setHost(const std::string& literal, Host host) { mHosts[literal] = std::move(host); }
    // Raw-socket shape (IPv4 header included) for sockets opened from now on.
    void setDeliversIPv4Header(bool header) { mIPv4Header = header; }
    // The next `count` opens fail with `error`.
    void failOpens(int error, int count = 1000) {
        mOpenError = error;
        mOpenFailures = count;
    }

    const std::vector<std::shared_ptr<FakeSocketState>>& sockets() const { return mSockets; }
    std::shared_ptr<FakeSocketState> lastSocket() const { return mSockets.empty() ? nullptr : mSockets.back(); }
    int resolutionsAsked() const { return mResolutionsAsked; }
    int opensAsked() const { return mOpensAsked; }

    // Identifiers handed out before random ones.
    std::deque<std::uint16_t> identifiers;

    Cancel resolve(const std::string& host, ResolveCallback done) override;
    OpenResult openSocket(int family, std::uint16_t identifier) override;
    std::uint16_t randomIdentifier() override;

    // Called by the fake sockets.
    long handleSend(FakeSocketState& state, const Bytes& packet, const Bytes& address, int& error);

private:
    FakePingNetwork() = default;
    std::map<std::string, zqprobe::PingResolution> mResolutions;
    std::map<std::string, Host> mHosts;
    std::map<std::string, int> mSendCounts;
    std::vector<std::shared_ptr<FakeSocketState>> mSockets;
    std::vector<std::pair<zqprobe::PingResolution, ResolveCallback>> mHeld;
    bool mHold = false;
    bool mIPv4Header = true;
    int mOpenError = 0;
    int mOpenFailures = 0;
    int mResolutionsAsked = 0;
    int mOpensAsked = 0;
};

} // namespace zqtest
