#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>
#include "ZQPlatform/Task.h"
#include "service/messaging/ScriptHost.h"
#include "service/messaging/SocketIOProtocol.h"
#include "service/messaging/SocketTransport.h"
#include "service/messaging/SocketURL.h"

namespace zqmessaging {

// The socket.io v4 client behind the socket page's functions, without I/O: it drives a
// SocketTransport and reads what the transport reports. Engine.IO handshake, ping answers and the
// missed-ping deadline (ping interval + ping timeout), joining the namespace, events and their acks,
// reconnection with back-off alternating between the socket URL and the spare URL, and the buffer of
// emits made while disconnected. Timers run on the main queue through the shared clock, so tests
// drive them with virtual time. The decisions are written down in docs/messaging.md.
//
// Main queue only: every method, the transport events, and the handlers, which it calls
// synchronously (the host posts them on).
class SocketIOClient final : public SocketTransportListener {
public:
    using ConnectionState = ScriptHost::ConnectionState;
    // One socket event as the page posts it: the event's name and its payload string.
    using MessageHandler = std::function<void(const std::string& type, const std::string& param)>;
    using StateHandler = ScriptHost::StateHandler;
    // Uniform in [0, 1): the jitter of the back-off.
    using Random = std::function<double()>;

    SocketIOClient(SocketTransport& transport, NativeScriptHostOptions options, Random random = {});
    // Closes like close(), without reporting anything.
    ~SocketIOClient() override;
    SocketIOClient(const SocketIOClient&) = delete;
    SocketIOClient& operator=(const SocketIOClient&) = delete;

    void setMessageHandler(MessageHandler handler) { mMessageHandler = std::move(handler); }
    void setStateHandler(StateHandler handler) { mStateHandler = std::move(handler); }

    // socketIOConnect: replaces any connection or pending attempt with attempts at `url`, then
    // `spareUrl` (either may be empty or unusable; with neither the state becomes Closed).
    void connect(const std::string& url, const std::string& spareUrl, const std::string& sessionId,
                 const std::string& platform, const std::string& terminal);
    // socketIOEmit (buffered) and socketIOEmitWithOutBuffer: sends the event with the message as its
    // one string argument when connected; otherwise keeps it (buffered, oldest dropped past the limit)
    // or drops it.
    void emit(const std::string& event, const std::string& message, bool buffered);
    // socketClose: leaves the namespace, closes the connection, stops reconnecting. Emits stay
    // buffered for the next connect call.
    void close();

    void transportDidOpen(SocketTransport::ConnectionId id) override;
    void transportDidReceive(SocketTransport::ConnectionId id, std::string text) override;
    void transportDidClose(SocketTransport::ConnectionId id, std::string reason) override;

    ConnectionState state() const { return mState; }
    std::size_t bufferedCount() const { return mBuffer.size(); }
    // The delay before retry number `retry` (0 for the first after a loss or failure), in seconds.
    double backoffDelay(unsigned retry);

private:
    enum class Phase { Idle, Opening, Joining, Connected, Waiting, Closed };
    struct PendingEmit {
        std::string event;
        std::string message;
    };

    const SocketURL& endpoint() const { return mEndpoints[mEndpointIndex]; }
    void startAttempt();
    void attemptFailed(const std::string& reason);
    void connectionLost(const std::string& reason);
    void finish(const std::string& disconnectReason);
    // Drops the transport connection and the timers; leaves the namespace first when connected.
    void dropConnection(bool leaveNamespace);
    void scheduleRetry();
    void resetPingDeadline();
    void handleEngineIO(const EngineIOPacket& packet);
    void handleSocketIO(const std::string& text);
    void joined();
    void sendSocketIO(const SocketIOPacket& packet);
    void sendEvent(const PendingEmit& emit);
    void post(const std::string& type, const std::string& param);
    void setState(ConnectionState state, const std::string& url);

    SocketTransport& mTransport;
    NativeScriptHostOptions mOptions;
    Random mRandom;
    MessageHandler mMessageHandler;
    StateHandler mStateHandler;

    std::vector<SocketURL> mEndpoints;
    std::size_t mEndpointIndex = 0;
    std::string mSessionId;
    std::string mPlatform;
    std::string mTerminal;

    Phase mPhase = Phase::Idle;
    SocketTransport::ConnectionId mConnection = 0; // 0: none
    SocketTransport::ConnectionId mLastConnection = 0;
    EngineIOHandshake mHandshake;
    unsigned mRetries = 0; // retries since the last join or connect call
    std::deque<PendingEmit> mBuffer;

    ConnectionState mState = ConnectionState::Closed;
    std::string mStateURL;
    bool mStateReported = false;

    platform::DelayedTask mConnectDeadline;
    platform::DelayedTask mPingDeadline;
    platform::DelayedTask mRetryTimer;
    // Last member: timer tasks that outlive the client do nothing.
    platform::TaskSafety mSafety;
};

} // namespace zqmessaging
