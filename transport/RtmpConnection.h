#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include "transport/RtmpMessage.h"

// One RTMP publishing connection: what the publisher needs of its RTMP library, small enough that
// tests put a fake in its place. Every object is one library handle, used for one connect only:
// after a failure it is closed and dropped, and the next connect gets a fresh object (a reused
// handle carries state from the dead link and is a known cause of failed reconnects).
//
// Not thread-safe: the publisher calls it from its send queue only.
class RtmpConnection {
public:
    // A failure detected on an open connection (a failed send, or the link found closed after a
    // send): code below zero, and a text. Raised at most once per connection, on the thread that
    // made the call which found the failure; never raised by connect() or close().
    struct ErrorReport {
        int code = 0;
        std::string message;
    };
    using ErrorHandler = std::function<void(const ErrorReport&)>;

    static constexpr int kErrorSendFailed = -1;
    static constexpr int kErrorLinkClosed = -2;

    virtual ~RtmpConnection();

    // Parses the URL, connects, and creates and publishes the stream (blocks up to the link
    // time-out). False on any failure; the caller then closes and drops the connection.
    virtual bool connect(const std::string& url) = 0;
    // True while the link is open.
    virtual bool isConnected() const = 0;
    // The message stream id the server gave the published stream (0 before connect()).
    virtual std::int32_t streamId() const = 0;
    // Sends one message with its header fields as given (the body may be altered on the way).
    // Sends nothing and returns false when the link is not open. A send that fails, or that leaves
    // the link closed, returns false and raises the error report once.
    virtual bool send(RtmpMessage& message) = 0;
    // Closes the link (telling the server when it is still open). Raises no error report.
    virtual void close() = 0;
};

// Makes a fresh connection whose error reports go to `onError`.
using RtmpConnectionFactory = std::function<std::unique_ptr<RtmpConnection>(RtmpConnection::ErrorHandler onError)>;

// The librtmp-backed connection used in production.
std::unique_ptr<RtmpConnection> makeLibRtmpConnection(RtmpConnection::ErrorHandler onError);
