// The native script host: the socket page's four functions, run by the kit's own socket.io client.
#include <memory>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"
#include "ZQPlatform/Task.h"
#include "service/messaging/BeastSocketTransport.h"
#include "service/messaging/ScriptCall.h"
#include "service/messaging/ScriptHost.h"
#include "service/messaging/SocketIOClient.h"

namespace zqmessaging {
namespace {

constexpr const char* kHandlerName = "socket_message";
// Longest part of a rejected script quoted in the console line.
constexpr std::size_t kQuotedScript = 120;

class NativeScriptHost final : public ScriptHost {
public:
    explicit NativeScriptHost(NativeScriptHostOptions options) : mOptions(options) {}

    ~NativeScriptHost() override {
        // Nothing posted by this host may run from now on; then end the connection and the thread.
        mSafety.invalidate();
        stop();
    }

    void load(std::function<void()> finished) override {
        ZQ_DCHECK_ON(platform::DispatchQueue::main());
        start();
        mUnloaded = false;
        if (finished) platform::DispatchQueue::main()->async(mSafety.safe(std::move(finished)));
    }

    void evaluateJavaScript(const std::string& script) override {
        ZQ_DCHECK_ON(platform::DispatchQueue::main());
        if (mUnloaded) {
            platform::Console::log("socket.io: script ignored, the page is unloaded: " + quoted(script));
            return;
        }
        std::string error;
        auto call = parseScriptCall(script, &error);
        if (!call) {
            platform::Console::log("socket.io: script rejected (" + error + "): " + quoted(script));
            return;
        }
        start();
        auto& arguments = call->arguments;
        switch (call->function) {
        case ScriptCall::Function::SocketIOConnect:
            mClient->connect(arguments[0], arguments[1], arguments[2], arguments[3], arguments[4]);
            break;
        case ScriptCall::Function::SocketIOEmit:
            mClient->emit(arguments[0], arguments[1], true);
            break;
        case ScriptCall::Function::SocketIOEmitWithOutBuffer:
            mClient->emit(arguments[0], arguments[1], false);
            break;
        case ScriptCall::Function::SocketClose:
            mClient->close();
            break;
        }
    }

    void setMessageHandler(MessageHandler handler) override {
        ZQ_DCHECK_ON(platform::DispatchQueue::main());
        mMessageHandler = std::move(handler);
    }

    void setStateHandler(StateHandler handler) override {
        ZQ_DCHECK_ON(platform::DispatchQueue::main());
        mStateHandler = std::move(handler);
    }

    void unload() override {
        ZQ_DCHECK_ON(platform::DispatchQueue::main());
        if (mClient) mClient->close();
        mUnloaded = true;
        stop();
    }

private:
    // The client and its transport exist from the first load or script call until unload.
    void start() {
        if (mClient) return;
        mClient = std::make_unique<SocketIOClient>(mSocket, mOptions);
        mClient->setMessageHandler([this](const std::string& type, const std::string& param) {
            nlohmann::json body = {{"type", type}, {"param", param}};
            deliver([this, body = std::move(body)] {
                // A copy: the handler may replace itself or destroy the host.
                if (auto handler = mMessageHandler) handler(kHandlerName, body);
            });
        });
        mClient->setStateHandler([this](ConnectionState state, const std::string& url) {
            deliver([this, state, url] {
                if (auto handler = mStateHandler) handler(state, url);
            });
        });
        // Transport events still queued when this client goes are dropped with it.
        std::uint64_t generation = ++mGeneration;
        mSocket.transport = std::make_unique<BeastSocketTransport>(*mClient, [this, generation](platform::Task task) {
            platform::DispatchQueue::main()->async(mSafety.safe([this, generation, task = std::move(task)] {
                if (generation == mGeneration && mClient) task();
            }));
        });
    }

    void stop() {
        ++mGeneration;
        // The client first: it says goodbye through the transport, which then closes and joins.
        mClient.reset();
        mSocket.transport.reset();
    }

    // Handlers run from the main queue, never inside the client's own work, so one of them may
    // unload or destroy the host.
    void deliver(platform::Task task) { platform::DispatchQueue::main()->async(mSafety.safe(std::move(task))); }

    static std::string quoted(const std::string& script) {
        if (script.size() <= kQuotedScript) return script;
        std::size_t cut = kQuotedScript;
        while (cut > 0 && (static_cast<unsigned char>(script[cut]) & 0xC0) == 0x80) --cut; // whole characters
        return script.substr(0, cut) + "…";
    }

    // The client holds a reference to the transport, which is made after the client (it reports to
    // it); this forwarder lets the client be built first.
    struct LateTransport final : SocketTransport {
        void open(ConnectionId id, const SocketURL& url, const std::string& target) override {
            if (transport) transport->open(id, url, target);
        }
        void send(ConnectionId id, std::string text) override {
            if (transport) transport->send(id, std::move(text));
        }
        void close(ConnectionId id) override {
            if (transport) transport->close(id);
        }
        std::unique_ptr<BeastSocketTransport> transport;
    };

    NativeScriptHostOptions mOptions;
    MessageHandler mMessageHandler;
    StateHandler mStateHandler;
    bool mUnloaded = false;
    std::uint64_t mGeneration = 0;
    LateTransport mSocket;
    std::unique_ptr<SocketIOClient> mClient;
    platform::TaskSafety mSafety;
};

} // namespace

const char* connectionStateName(ScriptHost::ConnectionState state) {
    switch (state) {
    case ScriptHost::ConnectionState::Connecting: return "connecting";
    case ScriptHost::ConnectionState::Connected: return "connected";
    case ScriptHost::ConnectionState::Disconnected: return "disconnected";
    case ScriptHost::ConnectionState::Closed: return "closed";
    }
    return "closed";
}

std::unique_ptr<ScriptHost> makeNativeScriptHost(NativeScriptHostOptions options) {
    return std::make_unique<NativeScriptHost>(options);
}

} // namespace zqmessaging
