#pragma once
#include <cstdint>
#include <string>
#include "service/messaging/SocketURL.h"

namespace zqmessaging {

// The WebSocket pipe under the socket.io client. Each open() starts one connection under the id the
// client picks; the client keeps at most one open and ignores events of ids it has let go.
class SocketTransport {
public:
    using ConnectionId = std::uint64_t;
    virtual ~SocketTransport() = default;
    // Connects to the URL's host (TLS for https and wss) and performs the WebSocket handshake for
    // `target`. Any thread; the work happens on the transport's own thread.
    virtual void open(ConnectionId id, const SocketURL& url, const std::string& target) = 0;
    // Queues one text frame; frames go out in order. Ignored for an id that is not open. Any thread.
    virtual void send(ConnectionId id, std::string text) = 0;
    // Closes the connection after the frames queued before, with a WebSocket close handshake when
    // it is open. Reports nothing more for that id. Any thread.
    virtual void close(ConnectionId id) = 0;
};

// What a transport reports. The host delivers these on the main queue, in order per connection.
class SocketTransportListener {
public:
    virtual ~SocketTransportListener() = default;
    // The WebSocket handshake completed.
    virtual void transportDidOpen(SocketTransport::ConnectionId id) = 0;
    // One text frame arrived (binary frames are not passed on).
    virtual void transportDidReceive(SocketTransport::ConnectionId id, std::string text) = 0;
    // The connection failed or ended, before or after opening; nothing more follows for that id.
    virtual void transportDidClose(SocketTransport::ConnectionId id, std::string reason) = 0;
};

} // namespace zqmessaging
