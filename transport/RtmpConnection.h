#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include "transport/RtmpMessage.h"

class LinkInterrupt;

// One RTMP publishing connection: what the publisher needs of its RTMP library, small enough that
// tests put a fake in its place. Every object is one library handle, used for one connect only:
// after a failure it is closed and dropped, and the next connect gets a fresh object (a reused
// handle carries state from the dead link and is a known cause of failed reconnects).
//
// Not thread-safe: the publisher calls it from its send queue only. Other threads reach a link in
// progress only through its LinkInterrupt.
class RtmpConnection {
public:
    // What a connect or a send came to.
    enum class Status {
        Ok,
        NotConnected, // nothing was sent: the link is not open
        Failed,       // the link failed (refused, reset, closed by the peer); it is now closed
        Stalled,      // the peer took no byte for the stall time-out; the link is now closed
        Interrupted,  // the link's LinkInterrupt ended it; it is now closed or was never opened
    };
    struct Result {
        Status status = Status::Ok;
        std::string reason; // for logs; empty when Ok
        bool ok() const { return status == Status::Ok; }
        // A failure of the network rather than of the caller: the publisher reconnects after it.
        bool linkLost() const { return status == Status::Failed || status == Status::Stalled; }
    };

    // How a link is set up.
    struct Settings {
        // Receive time-out of the handshake and the publish exchange, and the time-out of the TCP
        // connect (resolving included).
        double linkTimeoutSeconds = 30;
        // A link that takes no byte at all for this long is dead (see docs/transport.md).
        double stallSeconds = 10;
        // The kernel's send buffer (SO_SNDBUF); 0 keeps the system's autotuning.
        int sendBufferBytes = 0;
    };

    virtual ~RtmpConnection();

    // Parses the URL, connects, and creates and publishes the stream (blocks up to the link
    // time-out, or until `interrupt` fires). On failure the caller closes and drops the connection.
    // `interrupt` must outlive the connection.
    virtual Result connect(const std::string& url, const Settings& settings, LinkInterrupt& interrupt) = 0;
    // True while the link is open.
    virtual bool isConnected() const = 0;
    // The message stream id the server gave the published stream (0 before connect()).
    virtual std::int32_t streamId() const = 0;
    // Sends one message with its header fields as given (the body may be altered on the way).
    // NotConnected when the link is not open; a failure leaves the link closed.
    virtual Result send(RtmpMessage& message) = 0;
    // Tells the server the chunk size of what follows (a Set Chunk Size message, built by
    // RtmpMessageBuilder::setChunkSize) and chunks every later message at that size.
    virtual Result setChunkSize(std::uint32_t size) = 0;
    // Closes the link, telling the server when the link is healthy and can take it at once.
    virtual void close() = 0;
    // The TLS version of the link ("TLS1.3"); empty for plain RTMP.
    virtual std::string tlsVersion() const { return {}; }
};

// Makes a fresh connection.
using RtmpConnectionFactory = std::function<std::unique_ptr<RtmpConnection>()>;

// The librtmp-backed connection used in production.
std::unique_ptr<RtmpConnection> makeLibRtmpConnection();
