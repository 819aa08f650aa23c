// Engine.IO 4 and socket.io 5 packets as they travel in WebSocket text frames, and the socket URL.
#include <gtest/gtest.h>
#include "service/messaging/SocketIOProtocol.h"
#include "service/messaging/SocketURL.h"

using namespace zqmessaging;
using nlohmann::json;

namespace {

TEST(EngineIOPacket, DecodesTypeAndData) {
    auto ping = decodeEngineIOPacket("2");
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->type, EngineIOPacketType::Ping);
    EXPECT_EQ(ping->data, "");
    auto message = decodeEngineIOPacket("42[\"a\"]");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->type, EngineIOPacketType::Message);
    EXPECT_EQ(message->data, "2[\"a\"]");
    EXPECT_FALSE(decodeEngineIOPacket(""));
    EXPECT_FALSE(decodeEngineIOPacket("7"));
    EXPECT_FALSE(decodeEngineIOPacket("x"));
    EXPECT_EQ(encodeEngineIOPacket(EngineIOPacketType::Pong), "3");
    EXPECT_EQ(encodeEngineIOPacket(EngineIOPacketType::Message, "0/r,"), "40/r,");
}

TEST(EngineIOPacket, ReadsTheOpenPacket) {
    auto handshake = parseEngineIOHandshake(
        R"({"sid":"abc","upgrades":[],"pingInterval":25000,"pingTimeout":20000,"maxPayload":1000000})");
    ASSERT_TRUE(handshake);
    EXPECT_EQ(handshake->sid, "abc");
    EXPECT_DOUBLE_EQ(handshake->pingInterval, 25.0);
    EXPECT_DOUBLE_EQ(handshake->pingTimeout, 20.0);
    EXPECT_EQ(handshake->maxPayload, 1000000u);

    auto withoutLimit = parseEngineIOHandshake(R"({"sid":"a","pingInterval":300,"pingTimeout":200})");
    ASSERT_TRUE(withoutLimit);
    EXPECT_EQ(withoutLimit->maxPayload, 1000000u);

    std::string error;
    EXPECT_FALSE(parseEngineIOHandshake(R"({"sid":"a","pingTimeout":200})", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(parseEngineIOHandshake(R"({"sid":"a","pingInterval":-1,"pingTimeout":200})"));
    EXPECT_FALSE(parseEngineIOHandshake(R"({"sid":"a","pingInterval":"300","pingTimeout":200})"));
    EXPECT_FALSE(parseEngineIOHandshake(R"({"pingInterval":300,"pingTimeout":200})"));
    EXPECT_FALSE(parseEngineIOHandshake("[]"));
    EXPECT_FALSE(parseEngineIOHandshake("{"));
}

TEST(SocketIOPacket, DecodesEveryPartOfThePacket) {
    auto connect = decodeSocketIOPacket(R"(0/room42,{"sid":"x"})");
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->type, SocketIOPacketType::Connect);
    EXPECT_EQ(connect->nsp, "/room42");
    EXPECT_EQ(connect->data, json({{"sid", "x"}}));

    auto event = decodeSocketIOPacket(R"(2["chat_message","hi"])");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, SocketIOPacketType::Event);
    EXPECT_EQ(event->nsp, "/");
    EXPECT_FALSE(event->id);
    EXPECT_EQ(event->data, json::array({"chat_message", "hi"}));

    auto withAck = decodeSocketIOPacket(R"(2/room42,17["a",{"b":1}])");
    ASSERT_TRUE(withAck);
    EXPECT_EQ(withAck->nsp, "/room42");
    EXPECT_EQ(withAck->id, 17u);

    auto refused = decodeSocketIOPacket(R"(4/room42,{"message":"not allowed"})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->type, SocketIOPacketType::ConnectError);

    auto disconnect = decodeSocketIOPacket("1/room42,");
    ASSERT_TRUE(disconnect);
    EXPECT_EQ(disconnect->type, SocketIOPacketType::Disconnect);
    EXPECT_FALSE(disconnect->data);

    auto binary = decodeSocketIOPacket(R"(51-/r,["file",{"_placeholder":true,"num":0}])");
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->type, SocketIOPacketType::BinaryEvent);
    EXPECT_EQ(binary->attachments, 1u);
    EXPECT_EQ(binary->nsp, "/r");

    // A namespace without the comma ends the packet.
    auto bare = decodeSocketIOPacket("0/room42");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->nsp, "/room42");
}

TEST(SocketIOPacket, RefusesWhatSocketIOsOwnParserRefuses) {
    const std::vector<std::string> bad = {
        "",
        "7",
        "2",                                // an event without arguments
        R"(2"text")",                       // not an array
        R"(2[])",
        R"(2[{"a":1}])",                    // the name is not a string or number
        R"(2["connect"])",                  // reserved names
        R"(2["disconnect","x"])",
        R"(1/r,{"a":1})",                   // a disconnect carries nothing
        R"(4/r,)",                          // a refusal without a reason
        R"(3/r,1{"a":1})",                  // an ack carries an array
        R"(2["a",)",                        // not JSON
        "5-[\"a\"]",                        // no attachment count
        "51[\"a\"]",
        "212345678901234567[\"a\"]",        // ack id beyond exact JavaScript numbers
        "2[" + std::string(200, '[') + std::string(200, ']') + "]",
    };
    for (const auto& text : bad) {
        std::string error;
        EXPECT_FALSE(decodeSocketIOPacket(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    // Deep nesting inside strings is only text.
    EXPECT_TRUE(decodeSocketIOPacket("2[\"a\",\"" + std::string(500, '[') + "\"]"));
}

TEST(SocketIOPacket, EncodesWhatTheClientSends) {
    EXPECT_EQ(encodeSocketIOPacket({SocketIOPacketType::Connect, "/", std::nullopt, std::nullopt}), "0");
    EXPECT_EQ(encodeSocketIOPacket({SocketIOPacketType::Connect, "/room42", std::nullopt, std::nullopt}),
              "0/room42,");
    EXPECT_EQ(encodeSocketIOPacket({SocketIOPacketType::Disconnect, "/room42", std::nullopt, std::nullopt}),
              "1/room42,");
    EXPECT_EQ(encodeSocketIOPacket({SocketIOPacketType::Event, "/", std::nullopt, json::array({"chat", "it's \"x\""})}),
              R"(2["chat","it's \"x\""])");
    EXPECT_EQ(encodeSocketIOPacket({SocketIOPacketType::Ack, "/room42", 5, json::array()}), "3/room42,5[]");
    // UTF-8 travels as it is, not as \u escapes.
    EXPECT_EQ(encodeSocketIOPacket({SocketIOPacketType::Event, "/", std::nullopt, json::array({"m", "中😀"})}),
              "2[\"m\",\"中😀\"]");
}

TEST(SocketIOPacket, EventParamIsTheFirstArgumentAsText) {
    EXPECT_EQ(eventParam(json::array({"chat_message", "hello"})), "hello");
    EXPECT_EQ(eventParam(json::array({"room_context", {{"onlineUsers", json::array()}}})), R"({"onlineUsers":[]})");
    EXPECT_EQ(eventParam(json::array({"room_user_count", 12})), "12");
    EXPECT_EQ(eventParam(json::array({"x", nullptr})), "null");
    EXPECT_EQ(eventParam(json::array({"end_stream"})), "");
    EXPECT_EQ(eventParam(json::array({"x", "first", "second"})), "first");
    EXPECT_EQ(eventName(json::array({"chat_message"})), "chat_message");
    EXPECT_EQ(eventName(json::array({7, "x"})), "7");
}

TEST(SocketIOPacket, ConnectErrorTextIsTheServersMessage) {
    EXPECT_EQ(connectErrorText(json({{"message", "房间不存在"}})), "房间不存在");
    EXPECT_EQ(connectErrorText(json("plain")), "plain");
    EXPECT_EQ(connectErrorText(json({{"code", 4}})), R"({"code":4})");
}

TEST(SocketURL, PathIsTheNamespace) {
    auto url = parseSocketURL("http://chat.example.com:8480/room42");
    ASSERT_TRUE(url);
    EXPECT_FALSE(url->secure);
    EXPECT_EQ(url->host, "chat.example.com");
    EXPECT_EQ(url->port, 8480);
    EXPECT_EQ(url->nsp, "/room42");
    EXPECT_EQ(url->hostHeader(), "chat.example.com:8480");

    auto secure = parseSocketURL("HTTPS://chat.example.com/room42?token=a%20b#frag");
    ASSERT_TRUE(secure);
    EXPECT_TRUE(secure->secure);
    EXPECT_EQ(secure->port, 443);
    EXPECT_EQ(secure->nsp, "/room42");
    EXPECT_EQ(secure->query, "token=a%20b");
    EXPECT_EQ(secure->hostHeader(), "chat.example.com");

    auto root = parseSocketURL("ws://127.0.0.1:3000");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->nsp, "/");
    auto ipv6 = parseSocketURL("wss://[::1]:8443/r");
    ASSERT_TRUE(ipv6);
    EXPECT_EQ(ipv6->host, "::1");
    EXPECT_EQ(ipv6->hostHeader(), "[::1]:8443");
}

TEST(SocketURL, HandshakeCarriesTheConnectValues) {
    auto url = parseSocketURL("http://h:1/r?extra=1");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->handshakeTarget("a b&c=d", "3", "1"),
              "/socket.io/?EIO=4&transport=websocket&sessionid=a%20b%26c%3Dd&platform=3&terminal=1&extra=1");
}

TEST(SocketURL, RefusesWhatItCannotConnectTo) {
    for (const char* text : {"", "chat.example.com:8480/r", "ftp://h/r", "http://", "http://:80/r",
                             "http://user@h/r", "http://h:0/r", "http://h:65536/r", "http://h:8x/r",
                             "http://[::1/r", "http://h/r?a b", "http://h/a,b", "http://h h/r"}) {
        std::string error;
        EXPECT_FALSE(parseSocketURL(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

} // namespace
