#include "service/messaging/SocketIOClient.h"

#include <algorithm>
#include <cmath>
#include <random>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"

namespace zqmessaging {
namespace {

SocketIOClient::Random defaultRandom() {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

void log(const std::string& line) { platform::Console::log("socket.io: " + line); }

} // namespace

SocketIOClient::SocketIOClient(SocketTransport& transport, NativeScriptHostOptions options, Random random)
    : mTransport(transport), mOptions(options), mRandom(random ? std::move(random) : defaultRandom()) {}

SocketIOClient::~SocketIOClient() {
    dropConnection(mPhase == Phase::Connected);
    mRetryTimer.cancel();
}

void SocketIOClient::connect(const std::string& url, const std::string& spareUrl, const std::string& sessionId,
                             const std::string& platform, const std::string& terminal) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    // The foreground reload: whatever runs now gives way to the new call.
    finish("io client disconnect");
    mEndpoints.clear();
    for (const auto* text : {&url, &spareUrl}) {
        if (text->empty()) continue;
        std::string error;
        if (auto parsed = parseSocketURL(*text, &error)) {
            mEndpoints.push_back(std::move(*parsed));
        } else {
            log("unusable URL '" + *text + "': " + error);
        }
    }
    mSessionId = sessionId;
    mPlatform = platform;
    mTerminal = terminal;
    mEndpointIndex = 0;
    mRetries = 0;
    if (mEndpoints.empty()) {
        mPhase = Phase::Closed;
        setState(ConnectionState::Closed, url);
        return;
    }
    startAttempt();
}

void SocketIOClient::emit(const std::string& event, const std::string& message, bool buffered) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mPhase == Phase::Connected) {
        sendEvent({event, message});
        return;
    }
    // Unbuffered emits (the heartbeat) mean nothing once stale.
    if (!buffered) return;
    mBuffer.push_back({event, message});
    if (mBuffer.size() > mOptions.bufferLimit) {
        log("send buffer full (" + std::to_string(mOptions.bufferLimit) + "), dropped the oldest emit '" +
            mBuffer.front().event + "'");
        mBuffer.pop_front();
    }
}

void SocketIOClient::close() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    finish("io client disconnect");
    std::string url = mEndpoints.empty() ? mStateURL : endpoint().text;
    mPhase = Phase::Closed;
    setState(ConnectionState::Closed, url);
}

void SocketIOClient::finish(const std::string& disconnectReason) {
    bool wasConnected = mPhase == Phase::Connected;
    dropConnection(wasConnected);
    mRetryTimer.cancel();
    if (wasConnected) post("disconnect", disconnectReason);
}

void SocketIOClient::dropConnection(bool leaveNamespace) {
    mConnectDeadline.cancel();
    mPingDeadline.cancel();
    if (mConnection == 0) return;
    if (leaveNamespace) sendSocketIO({SocketIOPacketType::Disconnect, endpoint().nsp, std::nullopt, std::nullopt});
    mTransport.close(mConnection);
    mConnection = 0;
}

void SocketIOClient::startAttempt() {
    const SocketURL& url = endpoint();
    mConnection = ++mLastConnection;
    mPhase = Phase::Opening;
    setState(ConnectionState::Connecting, url.text);
    mTransport.open(mConnection, url, url.handshakeTarget(mSessionId, mPlatform, mTerminal));
    mConnectDeadline = platform::DispatchQueue::main()->after(
        mOptions.connectTimeout, mSafety.safe([this] { attemptFailed("no answer in time"); }));
}

void SocketIOClient::attemptFailed(const std::string& reason) {
    log("connecting to " + endpoint().text + " failed: " + reason);
    dropConnection(false);
    setState(ConnectionState::Disconnected, endpoint().text);
    mEndpointIndex = (mEndpointIndex + 1) % mEndpoints.size();
    scheduleRetry();
}

void SocketIOClient::connectionLost(const std::string& reason) {
    log("connection to " + endpoint().text + " lost: " + reason);
    dropConnection(false);
    post("disconnect", reason);
    setState(ConnectionState::Disconnected, endpoint().text);
    scheduleRetry();
}

double SocketIOClient::backoffDelay(unsigned retry) {
    double base = mOptions.reconnectDelay * std::pow(2.0, std::min(retry, 30u));
    base = std::min(base, mOptions.reconnectDelayMax);
    double factor = 1.0 + mOptions.randomizationFactor * (2.0 * mRandom() - 1.0);
    return std::clamp(base * factor, 0.0, mOptions.reconnectDelayMax);
}

void SocketIOClient::scheduleRetry() {
    mPhase = Phase::Waiting;
    double delay = backoffDelay(mRetries++);
    mRetryTimer = platform::DispatchQueue::main()->after(delay, mSafety.safe([this] {
        if (mPhase == Phase::Waiting) startAttempt();
    }));
}

void SocketIOClient::resetPingDeadline() {
    mPingDeadline.cancel();
    mPingDeadline = platform::DispatchQueue::main()->after(
        mHandshake.pingInterval + mHandshake.pingTimeout, mSafety.safe([this] {
            if (mPhase == Phase::Connected) {
                connectionLost("ping timeout");
            } else {
                attemptFailed("ping timeout");
            }
        }));
}

void SocketIOClient::transportDidOpen(SocketTransport::ConnectionId) {
    // Nothing to do: the server speaks first, with the Engine.IO open packet.
}

void SocketIOClient::transportDidReceive(SocketTransport::ConnectionId id, std::string text) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (id != mConnection || mConnection == 0) return;
    auto packet = decodeEngineIOPacket(text);
    if (!packet) {
        log("unreadable frame dropped");
        return;
    }
    handleEngineIO(*packet);
}

void SocketIOClient::transportDidClose(SocketTransport::ConnectionId id, std::string reason) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (id != mConnection || mConnection == 0) return;
    if (mPhase == Phase::Connected) {
        log("transport ended: " + reason);
        connectionLost("transport close");
    } else {
        attemptFailed(reason);
    }
}

void SocketIOClient::handleEngineIO(const EngineIOPacket& packet) {
    switch (packet.type) {
    case EngineIOPacketType::Open: {
        if (mPhase != Phase::Opening) return;
        std::string error;
        auto handshake = parseEngineIOHandshake(packet.data, &error);
        if (!handshake) {
            attemptFailed(error);
            return;
        }
        mHandshake = *handshake;
        mPhase = Phase::Joining;
        resetPingDeadline();
        sendSocketIO({SocketIOPacketType::Connect, endpoint().nsp, std::nullopt, std::nullopt});
        return;
    }
    case EngineIOPacketType::Ping:
        if (mPhase != Phase::Joining && mPhase != Phase::Connected) return;
        mTransport.send(mConnection, encodeEngineIOPacket(EngineIOPacketType::Pong));
        resetPingDeadline();
        return;
    case EngineIOPacketType::Close:
        if (mPhase == Phase::Connected) {
            connectionLost("transport close");
        } else {
            attemptFailed("closed by the server");
        }
        return;
    case EngineIOPacketType::Message:
        if (mPhase == Phase::Joining || mPhase == Phase::Connected) handleSocketIO(packet.data);
        return;
    case EngineIOPacketType::Pong:
    case EngineIOPacketType::Upgrade:
    case EngineIOPacketType::Noop:
        return;
    }
}

void SocketIOClient::handleSocketIO(const std::string& text) {
    std::string error;
    auto packet = decodeSocketIOPacket(text, &error);
    if (!packet) {
        log("packet dropped: " + error);
        return;
    }
    if (packet->nsp != endpoint().nsp) return;
    switch (packet->type) {
    case SocketIOPacketType::Connect:
        if (mPhase == Phase::Joining) joined();
        return;
    case SocketIOPacketType::ConnectError: {
        // As socket.io's own client: a refused namespace is not retried until the next connect call.
        std::string reason = connectErrorText(packet->data);
        log("namespace " + endpoint().nsp + " refused: " + reason);
        dropConnection(false);
        mPhase = Phase::Closed;
        post("connect_error", reason);
        setState(ConnectionState::Closed, endpoint().text);
        return;
    }
    case SocketIOPacketType::Disconnect: {
        // The server ended the session on purpose: no reconnection, as socket.io's own client.
        bool wasConnected = mPhase == Phase::Connected;
        log("the server disconnected namespace " + endpoint().nsp);
        dropConnection(false);
        mPhase = Phase::Closed;
        if (wasConnected) post("disconnect", "io server disconnect");
        setState(ConnectionState::Closed, endpoint().text);
        return;
    }
    case SocketIOPacketType::Event: {
        if (mPhase != Phase::Connected) return;
        if (packet->id) {
            sendSocketIO({SocketIOPacketType::Ack, endpoint().nsp, packet->id, nlohmann::json::array()});
        }
        post(eventName(*packet->data), eventParam(*packet->data));
        return;
    }
    case SocketIOPacketType::BinaryEvent:
    case SocketIOPacketType::BinaryAck:
        log("binary packet ignored");
        return;
    case SocketIOPacketType::Ack:
        return; // the client never asks for acks
    }
}

void SocketIOClient::joined() {
    mConnectDeadline.cancel();
    mPhase = Phase::Connected;
    mRetries = 0;
    setState(ConnectionState::Connected, endpoint().text);
    post("connect", "");
    while (!mBuffer.empty() && mPhase == Phase::Connected) {
        PendingEmit next = std::move(mBuffer.front());
        mBuffer.pop_front();
        sendEvent(next);
    }
}

void SocketIOClient::sendSocketIO(const SocketIOPacket& packet) {
    mTransport.send(mConnection, encodeEngineIOPacket(EngineIOPacketType::Message, encodeSocketIOPacket(packet)));
}

void SocketIOClient::sendEvent(const PendingEmit& emit) {
    SocketIOPacket packet{SocketIOPacketType::Event, endpoint().nsp, std::nullopt,
                          nlohmann::json::array({emit.event, emit.message})};
    std::string frame = encodeEngineIOPacket(EngineIOPacketType::Message, encodeSocketIOPacket(packet));
    // The server closes a connection that sends more than it accepts: drop the one emit instead.
    if (frame.size() > mHandshake.maxPayload) {
        log("emit '" + emit.event + "' of " + std::to_string(frame.size()) + " bytes exceeds the server's limit of " +
            std::to_string(mHandshake.maxPayload) + ", dropped");
        return;
    }
    mTransport.send(mConnection, std::move(frame));
}

void SocketIOClient::post(const std::string& type, const std::string& param) {
    if (mMessageHandler) mMessageHandler(type, param);
}

void SocketIOClient::setState(ConnectionState state, const std::string& url) {
    if (mStateReported && state == mState && url == mStateURL) return;
    mState = state;
    mStateURL = url;
    mStateReported = true;
    if (mStateHandler) mStateHandler(state, url);
}

} // namespace zqmessaging
