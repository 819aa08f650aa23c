// zqlive chat against a real socket.io server: what it prints, what the server receives, how it fails.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include "tests/support/SocketIOServer.h"
#include "tests/support/TestUtil.h"

using nlohmann::json;

namespace {

std::vector<json> runChat(const std::string& arguments, int* status) {
    std::string output;
    *status = zqtest::runCommand(zqtest::buildDir() + "/bin/zqlive chat " + arguments + " 2>/dev/null", &output);
    std::vector<json> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
}

class ZqliveChat : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        ASSERT_TRUE(zqtest::SocketIOServer::available(&missing)) << missing;
        ASSERT_TRUE(server.start()) << server.lastError();
    }
    zqtest::SocketIOServer server;
};

TEST_F(ZqliveChat, SendsAndPrintsWhatArrives) {
    int status = -1;
    auto lines = runChat("--url " + server.url("/room42") + " --session s1 --send 'it'\\''s' --send two --listen 1",
                         &status);
    ASSERT_EQ(status, 0);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], (json{{"event", "socket"}, {"state", "connecting"}, {"url", server.url("/room42")}}));
    EXPECT_EQ(lines[1], (json{{"event", "socket"}, {"state", "connected"}, {"url", server.url("/room42")}}));
    EXPECT_EQ(server.messageArgs("chat_message"), (std::vector<json>{"it's", "two"}));
    // The server echoes both back within the listening second.
    std::vector<std::string> echoed;
    for (auto& line : lines) {
        if (line["event"] == "socket_message" && line["type"] == "chat_message") echoed.push_back(line["param"]);
    }
    EXPECT_EQ(echoed, (std::vector<std::string>{"it's", "two"}));
}

TEST_F(ZqliveChat, FailsWhenItCannotConnect) {
    int status = -1;
    std::string refusing = "http://127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()) + "/room42";
    auto lines = runChat("--url " + refusing + " --session s1 --connect-timeout 1", &status);
    EXPECT_EQ(status, 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["state"], "disconnected");

    ASSERT_TRUE(server.command({{"cmd", "reject"}, {"session", "banned"}, {"message", "closed room"}}));
    lines = runChat("--url " + server.url("/room42") + " --session banned", &status);
    EXPECT_EQ(status, 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["state"], "closed");

    runChat("--session s1", &status);
    EXPECT_EQ(status, 2);
}

} // namespace
