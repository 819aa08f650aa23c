// The native script host against a real socket.io 4 server on loopback: what the server receives from
// the script calls, what the host posts back, and how the bridge rides out real faults (dropped
// links, a hung server, a restart, a refused URL, TLS with a test CA).
#include <gtest/gtest.h>
#include <regex>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/TrustSettings.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "service/messaging/ScriptCall.h"
#include "service/messaging/ScriptHost.h"
#include "tests/support/SocketIOServer.h"
#include "tests/support/TestUtil.h"

using namespace zqmessaging;
using nlohmann::json;
using State = ScriptHost::ConnectionState;

namespace {

bool isEvent(const json& e, const std::string& name) { return e.value("event", "") == name; }

class ScriptHostBridge : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        ASSERT_TRUE(zqtest::SocketIOServer::available(&missing)) << missing;
        platform::resetRuntime();
        platform::RunLoop::main().runUntilIdle(); // this thread is the main thread
        platform::Console::setSink([this](const std::string& line) { console.push_back(line); });
        server = std::make_unique<zqtest::SocketIOServer>(serverOptions());
        ASSERT_TRUE(server->start()) << server->lastError();
        host = makeHost();
    }

    void TearDown() override {
        host.reset();
        platform::RunLoop::main().runUntilIdle();
        platform::resetRuntime();
        platform::Console::setSink(nullptr);
        platform::TrustSettings::setCaFile(std::nullopt);
    }

    virtual zqtest::SocketIOServer::Options serverOptions() { return {}; }

    std::unique_ptr<ScriptHost> makeHost() {
        // Short back-off, so reconnection tests take a fraction of a second.
        NativeScriptHostOptions options;
        options.reconnectDelay = 0.1;
        options.reconnectDelayMax = 0.4;
        options.connectTimeout = 5;
        auto made = makeNativeScriptHost(options);
        made->setMessageHandler([this](const std::string& handler, const json& body) {
            EXPECT_EQ(handler, "socket_message");
            messages.push_back(body);
        });
        made->setStateHandler([this](State state, const std::string& url) { states.emplace_back(state, url); });
        return made;
    }

    static bool pumpUntil(const std::function<bool()>& done, double seconds = 10) {
        return platform::RunLoop::main().runUntil(done, seconds);
    }

    void connect(const std::string& url, const std::string& spare = "", const std::string& session = "sess-1") {
        host->evaluateJavaScript(socketIOConnectScript(url, spare, session, "3", "1"));
    }
    void emit(const std::string& event, const std::string& message) {
        host->evaluateJavaScript(socketIOEmitScript(event, message));
    }

    // Waits until the host has posted a message of that type (at or after index `since`).
    bool waitForMessage(const std::string& type, std::size_t since = 0, double seconds = 10) {
        return pumpUntil([&] { return findMessage(type, since).has_value(); }, seconds);
    }
    std::optional<json> findMessage(const std::string& type, std::size_t since = 0) const {
        for (std::size_t i = since; i < messages.size(); ++i) {
            if (messages[i]["type"] == type) return messages[i];
        }
        return std::nullopt;
    }
    std::size_t countMessages(const std::string& type) const {
        return std::count_if(messages.begin(), messages.end(), [&](const json& m) { return m["type"] == type; });
    }
    bool waitForState(State state, std::size_t since = 0, double seconds = 10) {
        return pumpUntil(
            [&] {
                for (std::size_t i = since; i < states.size(); ++i) {
                    if (states[i].first == state) return true;
                }
                return false;
            },
            seconds);
    }
    bool waitForServer(const std::function<bool(const json&)>& match, std::size_t since = 0, double seconds = 10) {
        return pumpUntil([&] { return server->find(match, since).has_value(); }, seconds);
    }
    bool waitForServerMessages(const std::string& name, std::size_t count, std::size_t since = 0) {
        return pumpUntil([&] { return server->messageArgs(name, since).size() >= count; });
    }
    // Connects and waits until both sides have seen the connection.
    void connectAndJoin(const std::string& path = "/room42") {
        std::size_t mark = server->eventCount();
        std::size_t posted = messages.size();
        connect(server->url(path));
        ASSERT_TRUE(waitForMessage("connect", posted)) << "never connected";
        ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "connection"); }, mark));
    }

    std::unique_ptr<zqtest::SocketIOServer> server;
    std::unique_ptr<ScriptHost> host;
    std::vector<json> messages;
    std::vector<std::pair<State, std::string>> states;
    std::vector<std::string> console;
};

TEST_F(ScriptHostBridge, LoadReportsNavigationFinishedFromTheMainQueue) {
    bool finished = false;
    host->load([&] { finished = true; });
    EXPECT_FALSE(finished) << "never from inside load()";
    EXPECT_TRUE(pumpUntil([&] { return finished; }, 5));
}

TEST_F(ScriptHostBridge, ConnectsWithTheQueryValuesAndJoinsTheNamespace) {
    host->load(nullptr);
    connect(server->url("/room42"), "", "sess 1&x=y");
    ASSERT_TRUE(waitForMessage("connect"));
    ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "connection"); }));
    auto connection = server->find([](const json& e) { return isEvent(e, "connection"); });
    ASSERT_TRUE(connection);
    EXPECT_EQ((*connection)["nsp"], "/room42");
    const auto& query = (*connection)["query"];
    EXPECT_EQ(query["sessionid"], "sess 1&x=y");
    EXPECT_EQ(query["platform"], "3");
    EXPECT_EQ(query["terminal"], "1");
    EXPECT_EQ(query["EIO"], "4");
    EXPECT_EQ(query["transport"], "websocket");
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[0], std::make_pair(State::Connecting, server->url("/room42")));
    EXPECT_EQ(states[1], std::make_pair(State::Connected, server->url("/room42")));
    EXPECT_EQ(*findMessage("connect"), (json{{"type", "connect"}, {"param", ""}}));
}

TEST_F(ScriptHostBridge, TextsArriveByteForByteAndEchoBack) {
    connectAndJoin();
    const std::vector<std::string> texts = {
        "hello", "it's", "say \"hi\"", "back\\slash\\", "two\nlines\r\n", "emoji 😀👍🏽",
        "</script><script>alert(1)</script>", "\xE2\x80\xA8\xE2\x80\xA9", "中文聊天",
    };
    for (const auto& text : texts) emit("chat_message", text);
    ASSERT_TRUE(waitForServerMessages("chat_message", texts.size()));
    auto received = server->messageArgs("chat_message");
    ASSERT_EQ(received.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(received[i], texts[i]) << i;

    // The server echoes each back; the host posts the payload string as it came.
    ASSERT_TRUE(pumpUntil([&] { return countMessages("chat_message") == texts.size(); }));
    std::vector<std::string> echoed;
    for (const auto& m : messages) {
        if (m["type"] == "chat_message") echoed.push_back(m["param"]);
    }
    EXPECT_EQ(echoed, texts);
}

TEST_F(ScriptHostBridge, RoomContextAndCustomMessagesArriveAsJSONText) {
    json context = {{"whiteList", json::array()},
                    {"blackList", json::array()},
                    {"onlineUsers", json::array({{{"name", "主播"}, {"id", "7"}, {"role", "publisher"}},
                                                 {{"name", "学生"}, {"id", 8}, {"role", "student"}}})}};
    ASSERT_TRUE(server->command({{"cmd", "reply"}, {"on", "room_context"}, {"name", "room_context"}, {"args", {context}}}));
    connectAndJoin();
    emit("room_context", "");
    ASSERT_TRUE(waitForServerMessages("room_context", 1));
    EXPECT_EQ(server->messageArgs("room_context"), std::vector<json>{""});
    ASSERT_TRUE(waitForMessage("room_context"));
    auto param = json::parse(findMessage("room_context")->at("param").get<std::string>());
    EXPECT_EQ(param, context);
    EXPECT_EQ(param["onlineUsers"][0]["role"], "publisher");
    EXPECT_EQ(param["onlineUsers"][0]["id"], "7");

    json custom = {{"message", {{"text", "点赞"}, {"count", 3}}}};
    ASSERT_TRUE(server->command({{"cmd", "emit"}, {"name", "custom_message"}, {"args", {custom}}}));
    ASSERT_TRUE(waitForMessage("custom_message"));
    EXPECT_EQ(json::parse(findMessage("custom_message")->at("param").get<std::string>()), custom);
}

TEST_F(ScriptHostBridge, PrivateChatReachesTheServerAsCompactJSON) {
    connectAndJoin();
    // What the facade sends: compact JSON with the local time as "HH:mm:ss".
    std::time_t now = std::time(nullptr);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", std::localtime(&now));
    std::string text = json{{"fromuserid", "7"},   {"fromusername", "主播"}, {"fromuserrole", "publisher"},
                            {"touserid", "8"},     {"tousername", "学生"},   {"msg", "it's \"private\""},
                            {"time", clock}}
                           .dump();
    emit("private_chat", text);
    ASSERT_TRUE(waitForServerMessages("private_chat", 1));
    auto received = server->messageArgs("private_chat")[0];
    ASSERT_TRUE(received.is_string());
    EXPECT_EQ(received, text);
    auto parsed = json::parse(received.get<std::string>());
    EXPECT_EQ(parsed["msg"], "it's \"private\"");
    EXPECT_TRUE(std::regex_match(parsed["time"].get<std::string>(), std::regex(R"(\d\d:\d\d:\d\d)")));
}

TEST_F(ScriptHostBridge, HeartbeatReachesTheServerButIsNeverBuffered) {
    // Before the first connect: the chat waits, the heartbeat is dropped.
    host->evaluateJavaScript(socketIOEmitWithOutBufferScript("pi", ""));
    emit("chat_message", "queued before connect");
    connectAndJoin();
    ASSERT_TRUE(waitForServerMessages("chat_message", 1));
    EXPECT_EQ(server->messageArgs("chat_message"), std::vector<json>{"queued before connect"});
    EXPECT_TRUE(server->messageArgs("pi").empty());

    host->evaluateJavaScript(socketIOEmitWithOutBufferScript("pi", ""));
    ASSERT_TRUE(waitForServerMessages("pi", 1));
    EXPECT_EQ(server->messageArgs("pi"), std::vector<json>{""});
}

TEST_F(ScriptHostBridge, AcksEventsThatAskForOne) {
    connectAndJoin();
    ASSERT_TRUE(server->command({{"cmd", "emit"}, {"name", "kick_out"}, {"args", {"x"}}, {"ack", true}}));
    ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "ack") || isEvent(e, "ack-timeout"); }));
    auto ack = server->find([](const json& e) { return isEvent(e, "ack"); });
    ASSERT_TRUE(ack) << "the ack did not come";
    EXPECT_EQ((*ack)["args"], json::array());
    ASSERT_TRUE(waitForMessage("kick_out"));
    EXPECT_EQ(findMessage("kick_out")->at("param"), "x");
}

TEST_F(ScriptHostBridge, AnswersTheServersPings) {
    connectAndJoin();
    // Several ping periods (0.3 s + 0.3 s allowed) pass; the server keeps the socket.
    pumpUntil([] { return false; }, 2.0);
    EXPECT_FALSE(server->find([](const json& e) { return isEvent(e, "disconnect"); }));
    EXPECT_EQ(countMessages("disconnect"), 0u);
    emit("chat_message", "still here");
    ASSERT_TRUE(waitForServerMessages("chat_message", 1));
}

TEST_F(ScriptHostBridge, ServerSideDisconnectIsPostedAndNotRetried) {
    connectAndJoin();
    ASSERT_TRUE(server->command({{"cmd", "disconnect"}}));
    ASSERT_TRUE(waitForMessage("disconnect"));
    EXPECT_EQ(findMessage("disconnect")->at("param"), "io server disconnect");
    ASSERT_TRUE(waitForState(State::Closed));
}

TEST_F(ScriptHostBridge, DroppedConnectionReconnectsAndDeliversTheBufferInOrder) {
    connectAndJoin();
    std::size_t mark = server->eventCount();
    std::size_t posted = messages.size();
    ASSERT_TRUE(server->command({{"cmd", "drop"}}));
    ASSERT_TRUE(waitForMessage("disconnect", posted));
    EXPECT_EQ(findMessage("disconnect", posted)->at("param"), "transport close");
    for (const char* text : {"one", "two", "three"}) emit("chat_message", text);
    host->evaluateJavaScript(socketIOEmitWithOutBufferScript("pi", ""));

    ASSERT_TRUE(waitForMessage("connect", posted));
    ASSERT_TRUE(waitForServerMessages("chat_message", 3, mark));
    EXPECT_EQ(server->messageArgs("chat_message", mark), (std::vector<json>{"one", "two", "three"}));
    EXPECT_TRUE(server->messageArgs("pi", mark).empty());
    EXPECT_EQ(states.back().first, State::Connected);
}

TEST_F(ScriptHostBridge, AHungServerIsNoticedByItsMissingPings) {
    connectAndJoin();
    std::size_t posted = messages.size();
    server->pause();
    ASSERT_TRUE(waitForMessage("disconnect", posted, 5));
    EXPECT_EQ(findMessage("disconnect", posted)->at("param"), "ping timeout");
    server->resume();
    ASSERT_TRUE(waitForMessage("connect", posted)) << "no reconnection after the server recovered";
}

TEST_F(ScriptHostBridge, ReconnectsAfterTheServerRestarts) {
    connectAndJoin();
    std::size_t posted = messages.size();
    server->kill();
    ASSERT_TRUE(waitForMessage("disconnect", posted));
    // Let a few attempts fail against the closed port first.
    pumpUntil([] { return false; }, 0.5);
    ASSERT_TRUE(server->start()) << server->lastError();
    ASSERT_TRUE(waitForMessage("connect", posted));
    emit("chat_message", "after restart");
    ASSERT_TRUE(pumpUntil([&] { return countMessages("chat_message") == 1; }));
}

TEST_F(ScriptHostBridge, SpareURLIsUsedWhenTheMainOneRefuses) {
    std::string refusing = "http://127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()) + "/room42";
    connect(refusing, server->url("/room42"));
    ASSERT_TRUE(waitForMessage("connect"));
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states[0], std::make_pair(State::Connecting, refusing));
    EXPECT_EQ(states[1], std::make_pair(State::Disconnected, refusing));
    EXPECT_EQ(states.back(), std::make_pair(State::Connected, server->url("/room42")));
}

TEST_F(ScriptHostBridge, AConnectCallWhileConnectedReplacesTheConnection) {
    connectAndJoin();
    std::size_t mark = server->eventCount();
    std::size_t posted = messages.size();
    connect(server->url("/room42"));
    ASSERT_TRUE(waitForMessage("connect", posted));
    ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "disconnect"); }, mark));
    ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "connection"); }, mark));
    auto events = server->events();
    auto count = [&](const char* name) {
        return std::count_if(events.begin(), events.end(), [&](const json& e) { return isEvent(e, name); });
    };
    EXPECT_EQ(count("connection") - count("disconnect"), 1) << "one socket at a time";
    EXPECT_EQ(server->find([](const json& e) { return isEvent(e, "disconnect"); }, mark)->at("reason"),
              "client namespace disconnect");
    emit("chat_message", "once");
    ASSERT_TRUE(pumpUntil([&] { return countMessages("chat_message") == 1; }));
    pumpUntil([] { return false; }, 0.3);
    EXPECT_EQ(server->messageArgs("chat_message"), std::vector<json>{"once"});
}

TEST_F(ScriptHostBridge, SocketCloseClosesForGoodUntilTheNextConnect) {
    connectAndJoin();
    std::size_t mark = server->eventCount();
    host->evaluateJavaScript(socketCloseScript());
    ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "disconnect"); }, mark));
    EXPECT_EQ(server->find([](const json& e) { return isEvent(e, "disconnect"); }, mark)->at("reason"),
              "client namespace disconnect");
    ASSERT_TRUE(waitForState(State::Closed));
    pumpUntil([] { return false; }, 1.0);
    EXPECT_FALSE(server->find([](const json& e) { return isEvent(e, "connection"); }, mark)) << "reconnected";
    // The page stays: a reload connects again.
    std::size_t posted = messages.size();
    connect(server->url("/room42"));
    ASSERT_TRUE(waitForMessage("connect", posted));
}

TEST_F(ScriptHostBridge, ARefusedNamespaceIsPostedAsConnectError) {
    ASSERT_TRUE(server->command({{"cmd", "reject"}, {"session", "banned"}, {"message", "房间已关闭"}}));
    connect(server->url("/room42"), "", "banned");
    ASSERT_TRUE(waitForMessage("connect_error"));
    EXPECT_EQ(findMessage("connect_error")->at("param"), "房间已关闭");
    ASSERT_TRUE(waitForState(State::Closed));
    EXPECT_EQ(countMessages("connect"), 0u);
}

TEST_F(ScriptHostBridge, MalformedScriptsAndScriptsAfterUnloadAreRejected) {
    host->load(nullptr);
    host->evaluateJavaScript("socketIOEmit('chat_message','it's')");
    ASSERT_FALSE(console.empty());
    EXPECT_NE(console.back().find("script rejected"), std::string::npos);

    connectAndJoin();
    std::size_t mark = server->eventCount();
    host->unload();
    ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "disconnect"); }, mark));
    ASSERT_TRUE(waitForState(State::Closed));
    connect(server->url("/room42"));
    EXPECT_NE(console.back().find("unloaded"), std::string::npos);
    pumpUntil([] { return false; }, 0.5);
    EXPECT_FALSE(server->find([](const json& e) { return isEvent(e, "connection"); }, mark));
}

TEST_F(ScriptHostBridge, DestroyingTheHostClosesTheSocketAndSilencesIt) {
    connectAndJoin();
    std::size_t mark = server->eventCount();
    ASSERT_TRUE(server->command({{"cmd", "emit"}, {"name", "chat_message"}, {"args", {"in flight"}}}));
    host.reset();
    std::size_t posted = messages.size();
    std::size_t reported = states.size();
    ASSERT_TRUE(waitForServer([](const json& e) { return isEvent(e, "disconnect"); }, mark));
    pumpUntil([] { return false; }, 0.3);
    EXPECT_EQ(messages.size(), posted);
    EXPECT_EQ(states.size(), reported);
}

// A CA and a server certificate for "localhost" only, made with the openssl tool.
class ScriptHostBridgeTLS : public ScriptHostBridge {
protected:
    void SetUp() override {
        std::string dir = certs.path();
        std::string script =
            "cd " + dir + " && "
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
            "-days 2 -subj '/CN=ZQLiveKit Test CA' -addext basicConstraints=critical,CA:TRUE "
            "-addext keyUsage=critical,keyCertSign && "
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr "
            "-subj /CN=localhost && "
            "printf 'subjectAltName=DNS:localhost\\n' > ext.cnf && "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
            "-extfile ext.cnf";
        ASSERT_EQ(zqtest::runCommand("(" + script + ") >/dev/null 2>&1"), 0) << "openssl failed";
        ScriptHostBridge::SetUp();
    }
    zqtest::SocketIOServer::Options serverOptions() override {
        zqtest::SocketIOServer::Options options;
        options.certFile = certs.file("server.pem");
        options.keyFile = certs.file("server.key");
        return options;
    }
    std::string localhostURL() const { return "https://localhost:" + std::to_string(server->port()) + "/room42"; }

    zqtest::TempDir certs;
};

TEST_F(ScriptHostBridgeTLS, ConnectsWhenTheKitTrustsTheServersCA) {
    platform::TrustSettings::setCaFile(certs.file("ca.pem"));
    connect(localhostURL());
    ASSERT_TRUE(waitForMessage("connect"));
    emit("chat_message", "over TLS");
    ASSERT_TRUE(waitForServerMessages("chat_message", 1));
    EXPECT_EQ(server->messageArgs("chat_message"), std::vector<json>{"over TLS"});
}

TEST_F(ScriptHostBridgeTLS, RefusesAnUntrustedCertificateOrAWrongHostName) {
    // Without the test CA the system store does not know the issuer.
    connect(localhostURL());
    ASSERT_TRUE(waitForState(State::Disconnected));
    // With it, the certificate still names "localhost", not 127.0.0.1.
    platform::TrustSettings::setCaFile(certs.file("ca.pem"));
    std::size_t since = states.size();
    connect("https://127.0.0.1:" + std::to_string(server->port()) + "/room42");
    ASSERT_TRUE(waitForState(State::Disconnected, since));
    EXPECT_EQ(countMessages("connect"), 0u);
    EXPECT_FALSE(server->find([](const json& e) { return isEvent(e, "connection"); }));
    bool verifyFailed = std::any_of(console.begin(), console.end(), [](const std::string& line) {
        return line.find("certificate verify failed") != std::string::npos;
    });
    EXPECT_TRUE(verifyFailed);
}

} // namespace
