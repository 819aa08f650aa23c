#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Packet codecs of Engine.IO protocol 4 and socket.io protocol 5, as they travel in WebSocket text
// frames (one Engine.IO packet per frame). Pure functions; any thread.
namespace zqmessaging {

enum class EngineIOPacketType : char {
    Open = '0',
    Close = '1',
    Ping = '2',
    Pong = '3',
    Message = '4',
    Upgrade = '5',
    Noop = '6',
};

struct EngineIOPacket {
    EngineIOPacketType type;
    std::string data;
};

// A text frame: the type digit, then the data. Nullopt for an empty frame or an unknown type.
std::optional<EngineIOPacket> decodeEngineIOPacket(std::string_view frame);
std::string encodeEngineIOPacket(EngineIOPacketType type, std::string_view data = {});

// The open packet's data: {"sid","upgrades","pingInterval","pingTimeout","maxPayload"}. The ping
// values are milliseconds on the wire and seconds here.
struct EngineIOHandshake {
    std::string sid;
    double pingInterval = 0;
    double pingTimeout = 0;
    std::size_t maxPayload = 1000000;
};
std::optional<EngineIOHandshake> parseEngineIOHandshake(std::string_view data, std::string* error = nullptr);

enum class SocketIOPacketType : int {
    Connect = 0,
    Disconnect = 1,
    Event = 2,
    Ack = 3,
    ConnectError = 4,
    BinaryEvent = 5,
    BinaryAck = 6,
};

// "<type>[<attachments>-][<nsp>,][<id>][<JSON data>]"
struct SocketIOPacket {
    SocketIOPacketType type = SocketIOPacketType::Event;
    std::string nsp = "/";
    std::optional<std::uint64_t> id;
    std::optional<nlohmann::json> data;
    std::size_t attachments = 0;
};

// Nesting deeper than this is refused before parsing, so hostile input cannot exhaust the stack of
// the recursive JSON writer.
constexpr int kMaxJSONDepth = 64;

// Decodes the data of an Engine.IO message packet. Checks the data's shape per type as socket.io's
// own parser does (an event is an array whose first entry is a name that is not reserved).
std::optional<SocketIOPacket> decodeSocketIOPacket(std::string_view text, std::string* error = nullptr);
std::string encodeSocketIOPacket(const SocketIOPacket& packet);

// The event's payload as the page posts it: the first argument, a string as it is and any other
// JSON value as compact JSON text; "" without arguments. Further arguments are ignored.
std::string eventParam(const nlohmann::json& arguments);
// The event's name: the first entry of the array, a string as it is or a number as its text.
std::string eventName(const nlohmann::json& arguments);
// The text of a namespace refusal: the "message" of {"message": …}, a string data as it is, else the
// compact JSON of the data.
std::string connectErrorText(const std::optional<nlohmann::json>& data);

// Compact JSON text that never throws (ill-formed UTF-8 becomes U+FFFD).
std::string compactJSON(const nlohmann::json& value);

} // namespace zqmessaging
