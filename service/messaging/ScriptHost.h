#pragma once
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include "ZQLiveKit/Export.h"

namespace zqmessaging {

// What runs the room's socket page: evaluates the page's script calls and posts its messages.
//
// The page offers four functions (see ScriptCall.h for the call texts): socketIOConnect(url, spare
// url, session id, platform, terminal), socketIOEmit(event, message), socketIOEmitWithOutBuffer(event,
// message) and socketClose(). It posts every socket event to the handler "socket_message" as
// {"type": <event name>, "param": <payload string>}. The facade drives a host exactly as it would
// drive the hidden web page; the behaviour behind the functions is written down in
// docs/messaging.md.
//
// Every method is called on the main queue, and every handler is called there, never from inside
// one of the host's own methods. A host is destroyed on the main queue; after that none of its
// handlers runs again.
class ZQLIVEKIT_EXPORT ScriptHost {
public:
    // One message the page posts: the handler's name ("socket_message") and the body, a JSON object
    // {"type": <event name>, "param": <payload string>}.
    using MessageHandler = std::function<void(const std::string& handlerName, const nlohmann::json& body)>;
    // Connecting: an attempt to reach `url` started. Connected: the room's namespace was joined.
    // Disconnected: the connection was lost or an attempt failed; another attempt follows.
    // Closed: not connected and no attempt will follow (socketClose(), unload, the server ended the
    // session or refused the namespace, or no usable URL) until the next connect call.
    enum class ConnectionState { Connecting, Connected, Disconnected, Closed };
    using StateHandler = std::function<void(ConnectionState state, const std::string& url)>;

    virtual ~ScriptHost() = default;
    // "Loads the page": starts the host; `finished` runs on the main queue once it is ready
    // (navigation finished). Loading again reports finished again and keeps the connection until the
    // next connect call replaces it. Main queue.
    virtual void load(std::function<void()> finished) = 0;
    // Evaluates one script text, e.g. "socketIOEmit('chat_message','hi')". A text that is not one of
    // the four calls, well formed, is rejected whole with a console line. Main queue.
    virtual void evaluateJavaScript(const std::string& script) = 0;
    // Where posted messages go; called on the main queue. Main queue.
    virtual void setMessageHandler(MessageHandler handler) = 0;
    // Connection state changes (for applications and the CLI); called on the main queue. Main queue.
    virtual void setStateHandler(StateHandler handler) = 0;
    // What removing the web view does: closes the socket for good. Script calls are ignored until
    // the next load(). Main queue.
    virtual void unload() = 0;
};

// "connecting", "connected", "disconnected" or "closed".
ZQLIVEKIT_EXPORT const char* connectionStateName(ScriptHost::ConnectionState state);

// Reconnection and buffering settings of the native host; the defaults are the production values.
struct NativeScriptHostOptions {
    double connectTimeout = 20;     // seconds from an attempt's start until the namespace is joined
    double reconnectDelay = 1;      // first back-off delay, seconds
    double reconnectDelayMax = 30;  // cap of the back-off delay, seconds
    double randomizationFactor = 0.5; // jitter: each delay is scaled by a random factor in [1-f, 1+f]
    std::size_t bufferLimit = 100;  // emits kept while disconnected
};

// The kit's own host: parses the script calls and runs a socket.io v4 client over WebSocket
// (Boost.Beast, TLS through OpenSSL) on one I/O thread of its own. Main queue.
ZQLIVEKIT_EXPORT std::unique_ptr<ScriptHost> makeNativeScriptHost(NativeScriptHostOptions options = {});

} // namespace zqmessaging
