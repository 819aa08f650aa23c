#pragma once
#include <functional>
#include <memory>
#include "ZQPlatform/Task.h"
#include "service/messaging/SocketTransport.h"

namespace zqmessaging {

// WebSocket connections on Boost.Beast over Asio, on one I/O thread of their own. TLS (https, wss)
// through OpenSSL: the system's CA store plus the kit's CA file (platform::TrustSettings), peer
// verification, SNI and host-name checking, none of which can be switched off.
//
// Events go through `deliver`, which must run them on the main queue in the order given and drop
// them once the listener is gone (the host wraps them in its TaskSafety).
class BeastSocketTransport final : public SocketTransport {
public:
    using Deliver = std::function<void(platform::Task)>;

    BeastSocketTransport(SocketTransportListener& listener, Deliver deliver);
    // Closes every connection (close handshake, at most kShutdownGraceSeconds), then joins the thread.
    ~BeastSocketTransport() override;
    BeastSocketTransport(const BeastSocketTransport&) = delete;
    BeastSocketTransport& operator=(const BeastSocketTransport&) = delete;

    static constexpr double kShutdownGraceSeconds = 0.5;

    void open(ConnectionId id, const SocketURL& url, const std::string& target) override;
    void send(ConnectionId id, std::string text) override;
    void close(ConnectionId id) override;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace zqmessaging
