// Fuzzes what a socket.io server sends: the input is a series of WebSocket text frames separated by
// 0x1E, fed to a connected client through its whole receive path (Engine.IO packet, open packet,
// socket.io packet, events, acks, refusals). The packet decoders are also checked on their own: what
// they accept must encode and decode to the same packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/RunLoop.h"
#include "service/messaging/SocketIOClient.h"

using namespace zqmessaging;

namespace {

class NullTransport final : public SocketTransport {
public:
    void open(ConnectionId, const SocketURL&, const std::string&) override {}
    void send(ConnectionId, std::string text) override {
        if (text.empty()) std::abort();
    }
    void close(ConnectionId) override {}
};

void checkDecoders(std::string_view frame) {
    auto engine = decodeEngineIOPacket(frame);
    if (!engine) return;
    if (encodeEngineIOPacket(engine->type, engine->data) != frame) std::abort();
    if (engine->type == EngineIOPacketType::Open) parseEngineIOHandshake(engine->data);
    if (engine->type != EngineIOPacketType::Message) return;
    auto packet = decodeSocketIOPacket(engine->data);
    if (!packet) return;
    auto again = decodeSocketIOPacket(encodeSocketIOPacket(*packet));
    if (!again || again->type != packet->type || again->nsp != packet->nsp || again->id != packet->id ||
        again->data != packet->data || again->attachments != packet->attachments) {
        std::abort();
    }
    if (packet->data) {
        eventName(*packet->data);
        eventParam(*packet->data);
    }
    connectErrorText(packet->data);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::Console::setEnabled(false);
    platform::RunLoop::main().runUntilIdle(); // the fuzzing thread is the main thread
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    NullTransport transport;
    SocketIOClient client(transport, NativeScriptHostOptions{}, [] { return 0.5; });
    client.connect("http://127.0.0.1:1/room42", "", "key", "3", "1");
    std::string_view input(reinterpret_cast<const char*>(data), size);
    for (;;) {
        auto end = input.find('\x1e');
        std::string_view frame = input.substr(0, end);
        checkDecoders(frame);
        // Every frame goes to the current connection (a reconnect would pick a new id).
        for (SocketTransport::ConnectionId id = 1; id <= 3; ++id) client.transportDidReceive(id, std::string(frame));
        if (end == std::string_view::npos) break;
        input.remove_prefix(end + 1);
    }
    platform::RunLoop::main().runUntilIdle();
    return 0;
}
