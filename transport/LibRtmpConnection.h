#pragma once
#include <librtmp/rtmp.h>
#include <memory>
#include <string>
#include "transport/RtmpConnection.h"

// RtmpConnection over librtmp: one RTMP handle, allocated with the object and freed with it.
//
// It adds what the library lacks or gets wrong for a publisher:
// - the TCP connection is made by TcpConnector (IPv6 and IPv4, abortable), and librtmp runs its
//   handshake and the publish exchange over it; the link's LinkInterrupt ends any of that at once;
// - a failure comes back as the call's result, with a stall (no byte taken for the stall time-out,
//   SO_SNDTIMEO) told apart from other failures;
// - the kernel's send buffer is capped as the settings ask, so that media waits in the publisher's
//   buffer rather than in the kernel;
// - SIGPIPE never reaches the application: the library writes with plain send(), so a send on a
//   link the peer has dropped (also the FCUnpublish/deleteStream that closing sends) would raise
//   it. Every library call runs with SIGPIPE blocked on the calling thread, and a SIGPIPE it left
//   pending is consumed;
// - rtmps:// URLs run over TLS made by the kit (GnuTLS, the certificate and host name verified, TLS
//   1.2 and 1.3), and librtmp sees a plain byte stream through a socket pair and a TlsRelay;
//   tunnelled URLs (rtmpt://, rtmpte://, rtmpts://) are refused;
// - wire timestamps stay right when the library would compress a header to format 3 (see
//   headerTypeFor).
class LibRtmpConnection final : public RtmpConnection {
public:
    LibRtmpConnection();
    ~LibRtmpConnection() override;
    LibRtmpConnection(const LibRtmpConnection&) = delete;
    LibRtmpConnection& operator=(const LibRtmpConnection&) = delete;

    Result connect(const std::string& url, const Settings& settings, LinkInterrupt& interrupt) override;
    bool isConnected() const override;
    std::int32_t streamId() const override;
    Result send(RtmpMessage& message) override;
    Result setChunkSize(std::uint32_t size) override;
    void close() override;
    std::string tlsVersion() const override { return mTlsVersion; }

    // Replaces the settings' stall time-out for the links this object makes (tests use a short one).
    void setStallSeconds(double seconds) { mStallOverride = seconds; }

    // How long closing may spend telling the server goodbye.
    static constexpr double kGoodbyeSeconds = 0.25;

    // The chunk-header format to ask librtmp for. librtmp turns a non-large header into format 3
    // when size, type and timestamp equal the previous message on the chunk stream, and means
    // "delta 0" by it, while receivers repeat the previous delta for a format-3 message; such a
    // message is sent with a large header instead. `previous` is librtmp's record of the last
    // message on the chunk stream (nullptr when none).
    static std::uint8_t headerTypeFor(const RTMPPacket* previous, const RTMPPacket& packet);

private:
    // Sends one packet; the result tells a stall, an interrupt and other failures apart.
    Result sendPacket(RTMPPacket& packet);
    Result failure(const char* what, int error);
    // The TLS handshake on the connected socket, then the pair and its relay (mSocket is the
    // library's end).
    Result startTls(int tcpFd, const std::string& host, const Settings& settings, LinkInterrupt& interrupt);

    RTMP* mRtmp = nullptr;
    std::string mUrl; // librtmp keeps pointers into the URL it parsed
    LinkInterrupt* mInterrupt = nullptr;
    // The connected socket. librtmp works on a duplicate, which it may close on its own when a call
    // fails; this one stays open until close(), so the interrupt never shuts down a reused number.
    int mSocket = -1;
    double mStallSeconds = 0;
    double mStallOverride = 0;
    // The published stream's id. librtmp's own copy is kept at 0 while media flows, so that when a
    // send fails the library closes the socket at once instead of first trying to say goodbye on the
    // dead link (which, on a stalled one, waits out the stall time-out again).
    std::int32_t mStreamId = 0;
    bool mFailed = false;
    std::shared_ptr<class TlsRelay> mRelay;
    std::string mTlsVersion;
};
