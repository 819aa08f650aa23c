// The socket.io client's logic against a scripted transport, in virtual time: handshake and
// namespace join, pings, events and acks, losses and reconnection with back-off, the emit buffer,
// replacing and closing connections.
#include <gtest/gtest.h>
#include <map>
#include "ZQPlatform/Console.h"
#include "service/messaging/SocketIOClient.h"
#include "tests/support/VirtualTime.h"

using namespace zqmessaging;
using State = ScriptHost::ConnectionState;

namespace {

constexpr const char* kMain = "http://main.example:8480/room42";
constexpr const char* kSpare = "http://spare.example:8480/room42";
constexpr const char* kOpen = R"(0{"sid":"s1","upgrades":[],"pingInterval":25000,"pingTimeout":20000,"maxPayload":1000})";

// Records what the client asks of the transport.
class ScriptedTransport final : public SocketTransport {
public:
    struct Opened {
        ConnectionId id;
        std::string url;
        std::string target;
    };
    void open(ConnectionId id, const SocketURL& url, const std::string& target) override {
        opened.push_back({id, url.text, target});
        live[id] = true;
    }
    void send(ConnectionId id, std::string text) override { sent[id].push_back(std::move(text)); }
    void close(ConnectionId id) override {
        closed.push_back(id);
        live.erase(id);
    }
    std::size_t liveCount() const { return live.size(); }

    std::vector<Opened> opened;
    std::map<ConnectionId, std::vector<std::string>> sent;
    std::vector<ConnectionId> closed;
    std::map<ConnectionId, bool> live;
};

class SocketIOClientTest : public ::testing::Test {
protected:
    SocketIOClientTest() {
        platform::Console::setSink([this](const std::string& line) { console.push_back(line); });
        client = std::make_unique<SocketIOClient>(transport, NativeScriptHostOptions{}, [this] { return random; });
        client->setMessageHandler([this](const std::string& type, const std::string& param) {
            messages.emplace_back(type, param);
        });
        client->setStateHandler([this](State state, const std::string& url) { states.emplace_back(state, url); });
    }
    ~SocketIOClientTest() override {
        client.reset();
        platform::Console::setSink(nullptr);
    }

    void connect(const std::string& spare = kSpare) { client->connect(kMain, spare, "key 1", "3", "1"); }
    SocketTransport::ConnectionId current() const { return transport.opened.back().id; }
    void receive(const std::string& frame) { client->transportDidReceive(current(), frame); }
    // Open packet and namespace acceptance on the newest connection.
    void join() {
        client->transportDidOpen(current());
        receive(kOpen);
        receive(R"(40/room42,{"sid":"n1"})");
    }
    const std::vector<std::string>& sentOn(SocketTransport::ConnectionId id) { return transport.sent[id]; }
    bool posted(const std::string& type, const std::string& param) const {
        return std::find(messages.begin(), messages.end(), std::make_pair(type, param)) != messages.end();
    }

    zqtest::VirtualTime time;
    ScriptedTransport transport;
    double random = 0.5; // a jitter factor of exactly 1
    std::unique_ptr<SocketIOClient> client;
    std::vector<std::pair<std::string, std::string>> messages;
    std::vector<std::pair<State, std::string>> states;
    std::vector<std::string> console;
};

TEST_F(SocketIOClientTest, JoinsTheNamespaceFromTheURLPath) {
    connect();
    ASSERT_EQ(transport.opened.size(), 1u);
    EXPECT_EQ(transport.opened[0].url, kMain);
    EXPECT_EQ(transport.opened[0].target,
              "/socket.io/?EIO=4&transport=websocket&sessionid=key%201&platform=3&terminal=1");
    EXPECT_EQ(states.back(), std::make_pair(State::Connecting, std::string(kMain)));

    client->transportDidOpen(current());
    EXPECT_TRUE(sentOn(current()).empty()) << "the server speaks first";
    receive(kOpen);
    EXPECT_EQ(sentOn(current()), std::vector<std::string>{"40/room42,"});
    EXPECT_EQ(client->state(), State::Connecting);

    receive(R"(40/room42,{"sid":"n1"})");
    EXPECT_EQ(states.back(), std::make_pair(State::Connected, std::string(kMain)));
    EXPECT_EQ(messages, (std::vector<std::pair<std::string, std::string>>{{"connect", ""}}));
}

TEST_F(SocketIOClientTest, PostsEventsAndAcksThoseThatAsk) {
    connect();
    join();
    messages.clear();
    receive(R"(42/room42,["chat_message","hi"])");
    receive(R"(42/room42,9["custom_message",{"message":{"a":1}}])");
    receive(R"(42/other,["chat_message","not ours"])");
    receive(R"(42["chat_message","root namespace"])");
    receive("42/room42,garbage");
    EXPECT_EQ(messages, (std::vector<std::pair<std::string, std::string>>{
                            {"chat_message", "hi"}, {"custom_message", R"({"message":{"a":1}})"}}));
    EXPECT_EQ(sentOn(current()).back(), "43/room42,9[]");
}

TEST_F(SocketIOClientTest, SendsEachMessageAsOneStringArgument) {
    connect();
    join();
    client->emit("chat_message", "it's {\"x\"}", true);
    client->emit("pi", "", false);
    auto& sent = sentOn(current());
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], R"(42/room42,["chat_message","it's {\"x\"}"])");
    EXPECT_EQ(sent.back(), R"(42/room42,["pi",""])");
}

TEST_F(SocketIOClientTest, AnswersPingsAndTreatsAMissedPingAsALostConnection) {
    connect();
    join();
    // Pings keep the connection as long as they come within interval + timeout (45 s).
    for (int i = 0; i < 3; ++i) {
        time.advance(25);
        receive("2");
        EXPECT_EQ(sentOn(current()).back(), "3");
    }
    EXPECT_EQ(client->state(), State::Connected);
    time.advance(44.9);
    EXPECT_EQ(client->state(), State::Connected);
    auto lost = current();
    time.advance(0.2);
    EXPECT_TRUE(posted("disconnect", "ping timeout"));
    EXPECT_EQ(states.back(), std::make_pair(State::Disconnected, std::string(kMain)));
    EXPECT_EQ(transport.closed.back(), lost);
    EXPECT_EQ(transport.liveCount(), 0u);
}

TEST_F(SocketIOClientTest, ReconnectsWithBackoffAlternatingBetweenURLs) {
    connect();
    // Every attempt fails at once; the delays double from 1 s to the 30 s cap.
    const std::vector<double> delays = {1, 2, 4, 8, 16, 30, 30};
    for (std::size_t i = 0; i < delays.size(); ++i) {
        SCOPED_TRACE(i);
        std::size_t attempts = transport.opened.size();
        client->transportDidClose(current(), "connection refused");
        EXPECT_EQ(client->state(), State::Disconnected);
        time.advance(delays[i] - 0.01);
        EXPECT_EQ(transport.opened.size(), attempts);
        time.advance(0.02);
        ASSERT_EQ(transport.opened.size(), attempts + 1);
        EXPECT_EQ(transport.opened.back().url, i % 2 == 0 ? kSpare : kMain);
    }
    // A join resets the back-off; a loss retries the URL that had worked.
    join();
    std::string working = transport.opened.back().url;
    client->transportDidClose(current(), "reset by peer");
    EXPECT_TRUE(posted("disconnect", "transport close"));
    time.advance(1.01);
    EXPECT_EQ(transport.opened.back().url, working);
}

TEST_F(SocketIOClientTest, JitterStaysWithinHalfTheDelayAndUnderTheCap) {
    random = 0.0;
    EXPECT_DOUBLE_EQ(client->backoffDelay(0), 0.5);
    random = 0.999999;
    EXPECT_NEAR(client->backoffDelay(0), 1.5, 1e-5);
    EXPECT_NEAR(client->backoffDelay(2), 6.0, 1e-4);
    EXPECT_DOUBLE_EQ(client->backoffDelay(5), 30.0);
    EXPECT_DOUBLE_EQ(client->backoffDelay(1000), 30.0);
    random = 0.0;
    EXPECT_DOUBLE_EQ(client->backoffDelay(1000), 15.0);
}

TEST_F(SocketIOClientTest, AnAttemptWithoutAnswerTimesOut) {
    connect();
    client->transportDidOpen(current());
    time.advance(19.9);
    EXPECT_EQ(client->state(), State::Connecting);
    time.advance(0.2);
    EXPECT_EQ(client->state(), State::Disconnected);
    EXPECT_EQ(transport.liveCount(), 0u);
    EXPECT_TRUE(messages.empty()) << "nothing was connected, so nothing is posted";
    time.advance(1.0);
    EXPECT_EQ(transport.opened.back().url, kSpare);
}

TEST_F(SocketIOClientTest, BuffersEmitsWhileDisconnectedAndDropsTheOldestPastTheLimit) {
    client->emit("chat_message", "before any connect", true);
    for (int i = 0; i < 100; ++i) client->emit("chat_message", std::to_string(i), true);
    client->emit("pi", "", false);
    EXPECT_EQ(client->bufferedCount(), 100u);
    ASSERT_FALSE(console.empty());
    EXPECT_NE(console.back().find("dropped the oldest emit 'chat_message'"), std::string::npos);

    connect();
    join();
    auto& sent = sentOn(current());
    // "40/room42," then the buffer in order; the heartbeat was never kept.
    ASSERT_EQ(sent.size(), 101u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(sent[1 + i], "42/room42,[\"chat_message\",\"" + std::to_string(i) + "\"]");
    }
    EXPECT_EQ(client->bufferedCount(), 0u);

    // After a loss, emits wait for the next connection.
    client->transportDidClose(current(), "reset");
    client->emit("chat_message", "while away", true);
    client->emit("pi", "", false);
    time.advance(1.01);
    join();
    EXPECT_EQ(sentOn(current()).back(), R"(42/room42,["chat_message","while away"])");
    EXPECT_EQ(sentOn(current()).size(), 2u);
}

TEST_F(SocketIOClientTest, AConnectCallReplacesTheConnection) {
    connect();
    join();
    auto first = current();
    messages.clear();
    client->connect("http://other.example/room7", "", "key", "3", "1");
    EXPECT_EQ(sentOn(first).back(), "41/room42,");
    EXPECT_EQ(transport.closed.back(), first);
    EXPECT_EQ(messages, (std::vector<std::pair<std::string, std::string>>{{"disconnect", "io client disconnect"}}));
    ASSERT_EQ(transport.opened.size(), 2u);
    EXPECT_EQ(transport.liveCount(), 1u);
    EXPECT_EQ(transport.opened.back().url, "http://other.example/room7");

    // A late frame of the replaced connection changes nothing.
    client->transportDidReceive(first, R"(42/room42,["chat_message","late"])");
    client->transportDidClose(first, "closed");
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(client->state(), State::Connecting);

    // Also while waiting to retry: the pending retry is dropped.
    client->transportDidClose(current(), "refused");
    client->connect(kMain, "", "key", "3", "1");
    EXPECT_EQ(transport.opened.size(), 3u);
    time.advance(1.5); // past the dropped retry, well before the new attempt's deadline
    EXPECT_EQ(transport.opened.size(), 3u);
}

TEST_F(SocketIOClientTest, SocketCloseLeavesAndStopsReconnecting) {
    connect();
    join();
    auto id = current();
    client->close();
    EXPECT_EQ(sentOn(id).back(), "41/room42,");
    EXPECT_EQ(transport.liveCount(), 0u);
    EXPECT_TRUE(posted("disconnect", "io client disconnect"));
    EXPECT_EQ(states.back(), std::make_pair(State::Closed, std::string(kMain)));
    time.advance(120);
    EXPECT_EQ(transport.opened.size(), 1u);
    // Emits after the close wait for the next connect call.
    client->emit("chat_message", "later", true);
    EXPECT_EQ(client->bufferedCount(), 1u);
}

TEST_F(SocketIOClientTest, TheServerEndingTheSessionIsNotRetried) {
    connect();
    join();
    receive("41/room42,");
    EXPECT_TRUE(posted("disconnect", "io server disconnect"));
    EXPECT_EQ(client->state(), State::Closed);
    EXPECT_EQ(transport.liveCount(), 0u);
    time.advance(120);
    EXPECT_EQ(transport.opened.size(), 1u);
}

TEST_F(SocketIOClientTest, ARefusedNamespaceIsPostedAsConnectError) {
    connect();
    client->transportDidOpen(current());
    receive(kOpen);
    receive(R"(44/room42,{"message":"房间不存在"})");
    EXPECT_EQ(messages, (std::vector<std::pair<std::string, std::string>>{{"connect_error", "房间不存在"}}));
    EXPECT_EQ(client->state(), State::Closed);
    time.advance(120);
    EXPECT_EQ(transport.opened.size(), 1u);
}

TEST_F(SocketIOClientTest, ABrokenOpenPacketFailsTheAttempt) {
    connect();
    receive(R"(0{"sid":"x"})");
    EXPECT_EQ(client->state(), State::Disconnected);
    EXPECT_EQ(transport.liveCount(), 0u);
}

TEST_F(SocketIOClientTest, AnEngineClosePacketIsALostConnection) {
    connect();
    join();
    receive("1");
    EXPECT_TRUE(posted("disconnect", "transport close"));
    EXPECT_EQ(client->state(), State::Disconnected);
}

TEST_F(SocketIOClientTest, AnEmitLargerThanTheServerAcceptsIsDroppedAlone) {
    connect();
    join();
    std::size_t before = sentOn(current()).size();
    client->emit("chat_message", std::string(2000, 'x'), true); // the open packet allows 1000 bytes
    EXPECT_EQ(sentOn(current()).size(), before);
    EXPECT_NE(console.back().find("exceeds the server's limit"), std::string::npos);
    client->emit("chat_message", "small", true);
    EXPECT_EQ(sentOn(current()).size(), before + 1);
    EXPECT_EQ(client->state(), State::Connected);
}

TEST_F(SocketIOClientTest, WithoutAUsableURLItClosesAtOnce) {
    client->connect("not a url", "ftp://x/r", "key", "3", "1");
    EXPECT_TRUE(transport.opened.empty());
    EXPECT_EQ(client->state(), State::Closed);
    EXPECT_EQ(console.size(), 2u);
    // Only the spare usable: it is the one tried.
    client->connect("", kSpare, "key", "3", "1");
    ASSERT_EQ(transport.opened.size(), 1u);
    EXPECT_EQ(transport.opened[0].url, kSpare);
}

TEST_F(SocketIOClientTest, DestroyingTheClientClosesAndCancelsItsTimers) {
    connect();
    join();
    auto id = current();
    client.reset();
    EXPECT_EQ(sentOn(id).back(), "41/room42,");
    EXPECT_EQ(transport.liveCount(), 0u);
    time.advance(120); // the ping deadline and any retry are gone with it
    EXPECT_EQ(transport.opened.size(), 1u);
}

} // namespace
