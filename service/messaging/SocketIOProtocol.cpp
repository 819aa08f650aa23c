#include "service/messaging/SocketIOProtocol.h"

#include <array>
#include <cmath>

namespace zqmessaging {
namespace {

// Names socket.io keeps for itself; a server cannot emit them.
constexpr std::array<std::string_view, 6> kReservedEvents{"connect",    "connect_error",  "disconnect",
                                                          "disconnecting", "newListener", "removeListener"};

// Longest ack id accepted: ids are JavaScript numbers, which stay exact below 2^53 (16 digits).
constexpr std::size_t kMaxIdDigits = 16;

template <typename T>
std::nullopt_t fail(std::string* error, T&& reason) {
    if (error) *error = std::forward<T>(reason);
    return std::nullopt;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Bracket depth of JSON text, strings skipped; stops early once past `limit`.
bool depthWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

bool isPositiveMilliseconds(const nlohmann::json& value) {
    // Up to a day: enough for any server, small enough for any timer.
    return value.is_number() && value.get<double>() > 0 && value.get<double>() <= 86400000.0;
}

bool payloadValid(SocketIOPacketType type, const std::optional<nlohmann::json>& data) {
    switch (type) {
    case SocketIOPacketType::Connect:
        return !data || data->is_object();
    case SocketIOPacketType::Disconnect:
        return !data;
    case SocketIOPacketType::ConnectError:
        return data && (data->is_string() || data->is_object());
    case SocketIOPacketType::Event:
    case SocketIOPacketType::BinaryEvent: {
        if (!data || !data->is_array() || data->empty()) return false;
        const auto& name = data->front();
        if (name.is_number()) return true;
        if (!name.is_string()) return false;
        for (auto reserved : kReservedEvents) {
            if (name.get_ref<const std::string&>() == reserved) return false;
        }
        return true;
    }
    case SocketIOPacketType::Ack:
    case SocketIOPacketType::BinaryAck:
        return data && data->is_array();
    }
    return false;
}

} // namespace

std::optional<EngineIOPacket> decodeEngineIOPacket(std::string_view frame) {
    if (frame.empty() || frame[0] < '0' || frame[0] > '6') return std::nullopt;
    return EngineIOPacket{static_cast<EngineIOPacketType>(frame[0]), std::string(frame.substr(1))};
}

std::string encodeEngineIOPacket(EngineIOPacketType type, std::string_view data) {
    std::string frame(1, static_cast<char>(type));
    frame += data;
    return frame;
}

std::optional<EngineIOHandshake> parseEngineIOHandshake(std::string_view data, std::string* error) {
    if (!depthWithin(data, kMaxJSONDepth)) return fail(error, "open packet nested too deeply");
    auto json = nlohmann::json::parse(data, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return fail(error, "open packet is not a JSON object");
    EngineIOHandshake handshake;
    if (auto sid = json.find("sid"); sid != json.end() && sid->is_string()) handshake.sid = sid->get<std::string>();
    if (handshake.sid.empty()) return fail(error, "open packet has no sid");
    auto interval = json.find("pingInterval");
    auto timeout = json.find("pingTimeout");
    if (interval == json.end() || !isPositiveMilliseconds(*interval) || timeout == json.end() ||
        !isPositiveMilliseconds(*timeout)) {
        return fail(error, "open packet has no usable pingInterval and pingTimeout");
    }
    handshake.pingInterval = interval->get<double>() / 1000.0;
    handshake.pingTimeout = timeout->get<double>() / 1000.0;
    if (auto max = json.find("maxPayload"); max != json.end() && max->is_number() && max->get<double>() >= 1) {
        handshake.maxPayload = static_cast<std::size_t>(std::min(max->get<double>(), 1e12));
    }
    return handshake;
}

std::optional<SocketIOPacket> decodeSocketIOPacket(std::string_view text, std::string* error) {
    if (text.empty() || text[0] < '0' || text[0] > '6') return fail(error, "unknown packet type");
    SocketIOPacket packet;
    packet.type = static_cast<SocketIOPacketType>(text[0] - '0');
    std::size_t i = 1;

    if (packet.type == SocketIOPacketType::BinaryEvent || packet.type == SocketIOPacketType::BinaryAck) {
        std::size_t start = i;
        while (i < text.size() && isDigit(text[i])) ++i;
        if (i == start || i >= text.size() || text[i] != '-' || i - start > 6) {
            return fail(error, "bad attachment count");
        }
        packet.attachments = std::stoul(std::string(text.substr(start, i - start)));
        ++i;
    }
    if (i < text.size() && text[i] == '/') {
        auto comma = text.find(',', i);
        packet.nsp = std::string(text.substr(i, comma == std::string_view::npos ? std::string_view::npos : comma - i));
        i = comma == std::string_view::npos ? text.size() : comma + 1;
    }
    if (i < text.size() && isDigit(text[i])) {
        std::size_t start = i;
        while (i < text.size() && isDigit(text[i])) ++i;
        if (i - start > kMaxIdDigits) return fail(error, "ack id too long");
        packet.id = std::stoull(std::string(text.substr(start, i - start)));
    }
    if (i < text.size()) {
        std::string_view payload = text.substr(i);
        if (!depthWithin(payload, kMaxJSONDepth)) return fail(error, "payload nested too deeply");
        auto json = nlohmann::json::parse(payload, nullptr, false);
        if (json.is_discarded()) return fail(error, "payload is not JSON");
        packet.data = std::move(json);
    }
    if (!payloadValid(packet.type, packet.data)) return fail(error, "invalid payload for the packet type");
    return packet;
}

std::string encodeSocketIOPacket(const SocketIOPacket& packet) {
    std::string text = std::to_string(static_cast<int>(packet.type));
    if (packet.type == SocketIOPacketType::BinaryEvent || packet.type == SocketIOPacketType::BinaryAck) {
        text += std::to_string(packet.attachments) + "-";
    }
    if (packet.nsp != "/") text += packet.nsp + ",";
    if (packet.id) text += std::to_string(*packet.id);
    if (packet.data) text += compactJSON(*packet.data);
    return text;
}

std::string compactJSON(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string eventName(const nlohmann::json& arguments) {
    if (!arguments.is_array() || arguments.empty()) return {};
    const auto& name = arguments.front();
    return name.is_string() ? name.get<std::string>() : compactJSON(name);
}

std::string eventParam(const nlohmann::json& arguments) {
    if (!arguments.is_array() || arguments.size() < 2) return {};
    const auto& first = arguments[1];
    return first.is_string() ? first.get<std::string>() : compactJSON(first);
}

std::string connectErrorText(const std::optional<nlohmann::json>& data) {
    if (!data) return {};
    if (data->is_string()) return data->get<std::string>();
    if (data->is_object()) {
        if (auto message = data->find("message"); message != data->end()) {
            return message->is_string() ? message->get<std::string>() : compactJSON(*message);
        }
    }
    return compactJSON(*data);
}

} // namespace zqmessaging
