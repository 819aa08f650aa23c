// zqlive room end to end: a fake room service started by the test, a real nginx ingest, and the real
// facade, session, encoders and publisher in the zqlive process; ffprobe checks what arrived.
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include "tests/support/FakeRoomService.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/SocketIOServer.h"
#include "tests/support/TestUtil.h"

using nlohmann::json;
using zqtest::FakeRoomService;

namespace {

std::string zqlive() { return zqtest::buildDir() + "/bin/zqlive"; }

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(json::parse(line));
    return lines;
}

std::vector<json> events(const std::vector<json>& lines, const std::string& name) {
    std::vector<json> out;
    for (auto& l : lines)
        if (l["event"] == name) out.push_back(l);
    return out;
}

std::vector<std::string> delegateOps(const std::vector<json>& lines) {
    std::vector<std::string> ops;
    for (auto& l : events(lines, "delegate")) ops.push_back(l["op"]);
    return ops;
}

class RoomCommandTest : public ::testing::Test {
protected:
    // A config file for the fake room, with `patch` merged in (a null value removes a key).
    std::string config(const json& patch = json::object()) {
        json file = {{"viewHost", room.hostPort()},
                     {"liveHost", room.hostPort()},
                     {"interactionHost", room.hostPort()},
                     {"httpDnsUrl", room.httpDnsURL()},
                     {"userId", "user-1"},
                     {"roomId", "room-1"},
                     {"viewerName", "Presenter"},
                     {"token", "a&b=c"},
                     {"security", false},
                     {"appGroup", "group.zqlive.test"}};
        file.merge_patch(patch);
        std::string path = dir.file("room-" + std::to_string(++configs) + ".json");
        std::ofstream(path) << file.dump();
        return path;
    }

    // Runs zqlive room with the environment pointing its files into the test's folder.
    int room_(const std::string& arguments, std::string* out, std::string* err = nullptr) {
        std::string errFile = dir.file("stderr.txt");
        int status = zqtest::runCommand("HOME='" + dir.path() + "' XDG_CONFIG_HOME='" + dir.path() + "/config' " + zqlive() +
                                            " room " + arguments + " 2>'" + errFile + "'",
                                        out);
        if (err) *err = zqtest::readFile(errFile);
        return status;
    }

    // zqlive room in the background; its lines appear in output() as they are printed.
    struct Background {
        std::string out, err, rc;
        std::unique_ptr<zqtest::ChildProcess> process;
        std::string output() const { return zqtest::readFile(out); }
        bool finished() const { return !zqtest::readFile(rc).empty(); }
        int exitCode() const { return std::stoi(zqtest::readFile(rc)); }
    };
    // `direct`: the child is zqlive itself (for signals), and no exit code is written.
    Background start(const std::string& arguments, bool direct = false) {
        Background b{dir.file("bg.out"), dir.file("bg.err"), dir.file("bg.rc"), nullptr};
        std::string command = (direct ? "exec " : "") + std::string("env HOME='") + dir.path() + "' XDG_CONFIG_HOME='" +
                              dir.path() + "/config' " + zqlive() + " room " + arguments + " >'" + b.out + "' 2>'" +
                              b.err + "'" + (direct ? "" : "; echo $? >'" + b.rc + "'");
        b.process = std::make_unique<zqtest::ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", command});
        return b;
    }
    // Waits in real time (at most `seconds`) for `done`.
    static bool waitFor(const std::function<bool()>& done, double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    static bool printed(const Background& b, const std::string& text) { return b.output().find(text) != std::string::npos; }
    // The room's one node, publishing to `publishUrl`.
    void oneNode(const std::string& desc, const std::string& publishUrl) {
        FakeRoomService::Node a;
        a.desc = desc;
        a.publishUrl = publishUrl;
        room.setNodes({a});
    }
    // The ingest node of the room: `nginx`'s stream "room".
    void ingestNode(const zqtest::NginxRtmp& nginx) { oneNode("ingest", nginx.publishUrl("room")); }

    // A socket.io server as the room's chat host.
    void startChatServer(zqtest::SocketIOServer& server) {
        std::string missing;
        ASSERT_TRUE(zqtest::SocketIOServer::available(&missing)) << missing;
        ASSERT_TRUE(server.start()) << server.lastError();
        room.patchLogin({{"chatHost", "127.0.0.1:" + std::to_string(server.port())}});
    }
    static std::vector<json> delegateArgs(const std::vector<json>& lines, const std::string& op) {
        std::vector<json> out;
        for (auto& l : events(lines, "delegate"))
            if (l["op"] == op) out.push_back(l["args"]);
        return out;
    }

    zqtest::TempDir dir;
    FakeRoomService room;
    int configs = 0;
};

} // namespace

TEST_F(RoomCommandTest, BadConfigurationsStopBeforeAnyRequest) {
    struct Case {
        json patch;
        std::string reason;
    };
    for (auto& c : std::vector<Case>{
             {{{"colour", "red"}}, "unknown config key \"colour\""},
             {{{"security", "yes"}}, "config key \"security\" must be true or false"},
             {{{"userId", 7}}, "config key \"userId\" must be a string"},
             {{{"viewHost", "https://view.example"}}, "config key \"viewHost\" is host[:port] without a scheme"},
             {{{"token", nullptr}}, "config key \"token\" is missing"},
             {{{"appGroup", "../etc"}}, "config key \"appGroup\" may hold only"},
             {{{"httpDnsUrl", "dns.example"}}, "config key \"httpDnsUrl\" must be an http:// or https:// URL"},
         }) {
        std::string out, err;
        EXPECT_EQ(room_("--config '" + config(c.patch) + "'", &out, &err), 2) << c.patch;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
        EXPECT_TRUE(out.empty()) << out;
    }
    std::string out, err;
    EXPECT_EQ(room_("--config '" + config() + "' --record start,rewind", &out, &err), 2);
    EXPECT_EQ(room_("--config '" + dir.file("missing.json") + "'", &out, &err), 2);
    EXPECT_TRUE(room.requests().empty());
}

TEST_F(RoomCommandTest, LoginOnlyPrintsTheMeasuredNodesAndLogsOut) {
    oneNode("loopback", "rtmp://127.0.0.1:1/live/x");
    std::string out, err;
    ASSERT_EQ(room_("--config '" + config() + "' --login-only", &out, &err), 0) << err << out;
    auto lines = jsonLines(out);
    EXPECT_EQ(delegateOps(lines), (std::vector<std::string>{"roomInfo:", "roomName:", "nodeListDic:bestNodeIndex:",
                                                            "requestLoginSucceedWithViewerId:"}));
    auto nodes = events(lines, "nodes");
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0]["nodes"][0]["desc"], "loopback");
    EXPECT_EQ(nodes[0]["nodes"][0]["index"], 1);
    EXPECT_EQ(lines.back(), (json{{"event", "done"}, {"ok", true}, {"reason", nullptr}}));
    ASSERT_EQ(room.paths(), std::vector<std::string>{"/api/view/login/publisher"});
    EXPECT_EQ(FakeRoomService::queryValue(room.requests()[0].target, "passwd"), "a&b=c");
}

TEST_F(RoomCommandTest, RefusedLoginEndsWithDoneFalseAndTheReason) {
    room.patchLogin({{"result", "FAIL"}, {"errorMsg", "密码错误"}});
    std::string out, err;
    EXPECT_EQ(room_("--config '" + config() + "'", &out, &err), 1);
    auto lines = jsonLines(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], (json{{"event", "delegate"},
                              {"op", "requestLoginFailed:reason:"},
                              {"args", {{{"domain", "com.MyCompany.MyApplication.ErrorDomain"}, {"code", 1001}, {"description", "密码错误"}}, nullptr}}}));
    EXPECT_EQ(lines.back()["ok"], false);
    EXPECT_EQ(err, "zqlive room: login failed: error 1001 (密码错误)\n");
}

TEST_F(RoomCommandTest, NodeOutOfRangeIsABadArgumentNamingTheCount) {
    oneNode("only", "rtmp://127.0.0.1:1/live/x");
    std::string out, err;
    EXPECT_EQ(room_("--config '" + config() + "' --node 3", &out, &err), 2);
    EXPECT_NE(err.find("--node 3 is out of range: the room has 1 node"), std::string::npos) << err;
    EXPECT_TRUE(room.requestsTo("/api/live/create").empty());
}

TEST_F(RoomCommandTest, BroadcastRunsRecordsAndStopsCleanly) {
    ASSERT_TRUE(zqtest::NginxRtmp::available()) << "nginx with the RTMP module is missing: run scripts/setup";
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    FakeRoomService::Node a;
    a.desc = "ingest";
    a.publishUrl = nginx.publishUrl("room");
    a.nodeId = 21;
    room.setNodes({a});
    room.patchLogin({{"manuallyRecordMode", 1}});
    room.setLiveCommerce(1);
    room.setInteractionToken("tok-abcdef");

    std::string out, err;
    int code = room_("--config '" + config() + "' --duration 4 --record start,pause,resume,stop --token --save-log", &out, &err);
    ASSERT_EQ(code, 0) << err << out;
    auto lines = jsonLines(out);
    ASSERT_EQ(events(lines, "started").size(), 1u) << out;
    auto records = events(lines, "record");
    ASSERT_EQ(records.size(), 4u);
    std::vector<std::string> steps;
    for (auto& r : records) {
        EXPECT_EQ(r["success"], true) << r;
        steps.push_back(r["op"]);
        EXPECT_EQ(r["result"]["liveid"], "live-42");
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"start", "pause", "resume", "stop"}));
    auto token = events(lines, "token");
    ASSERT_EQ(token.size(), 1u);
    EXPECT_EQ(token[0], (json{{"event", "token"}, {"success", true}, {"message", "Succed"}, {"token", "tok-…"}}));
    auto log = events(lines, "log");
    ASSERT_EQ(log.size(), 1u);
    std::string logText = zqtest::readFile(log[0]["path"]);
    EXPECT_NE(logText.find("请求登录URL"), std::string::npos);
    EXPECT_EQ(logText.find("a%26b%3Dc"), std::string::npos) << "the password reached the log";
    EXPECT_EQ(lines.back(), (json{{"event", "done"}, {"ok", true}, {"reason", nullptr}}));

    // The room service saw the call sequence of a normal-mode broadcast.
    std::vector<std::string> sequence;
    for (auto& path : room.paths())
        if (path != "/live/data" && path != "/live/interactive/token") sequence.push_back(path);
    EXPECT_EQ(sequence, (std::vector<std::string>{"/api/view/login/publisher", "/api/live/create", "/api/live/start",
                                                  "/api/record/start", "/api/record/pause", "/api/record/resume",
                                                  "/api/record/stop", "/api/live/stop"}));
    EXPECT_EQ(FakeRoomService::queryValue(room.requestsTo("/api/live/create")[0].target, "nodeid"), "21");
    EXPECT_EQ(room.requestsTo("/live/data").size(), 1u);

    // What reached the ingest decodes as the asked size.
    nginx.stop();
    std::string probe;
    ASSERT_EQ(zqtest::runCommand("ffprobe -v error -print_format json -show_streams '" + nginx.recordingPath("room") + "'",
                                 &probe),
              0);
    json video, audio;
    json info = json::parse(probe);
    for (auto& stream : info["streams"]) (stream["codec_type"] == "video" ? video : audio) = stream;
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 360);
    EXPECT_EQ(video["height"], 640);
    EXPECT_EQ(audio["codec_name"], "aac");
    // Every picture and audio frame decodes (ffprobe decodes to count them and reports any error).
    for (const char* stream : {"v:0", "a:0"}) {
        std::string counted;
        ASSERT_EQ(zqtest::runCommand(std::string("ffprobe -v error -select_streams ") + stream +
                                         " -count_frames -show_entries stream=nb_read_frames -of json '" +
                                         nginx.recordingPath("room") + "' 2>&1",
                                     &counted),
                  0);
        json frames = json::parse(counted);
        double read = std::stod(frames["streams"][0]["nb_read_frames"].get<std::string>());
        EXPECT_GT(read, std::string(stream) == "v:0" ? 60 : 100) << stream << " " << counted;
    }
}

TEST_F(RoomCommandTest, IngestKilledAndBackWithinTheReconnectBudgetKeepsTheBroadcast) {
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    ingestNode(nginx);
    auto run = start("--config '" + config() + "' --duration 14");
    ASSERT_TRUE(waitFor([&] { return printed(run, "\"event\":\"started\""); }, 30)) << run.output();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    nginx.kill(); // every link dropped at once, as a crashed ingest
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    ASSERT_TRUE(waitFor([&] { return run.finished(); }, 40)) << run.output();
    auto lines = jsonLines(run.output());
    int connected = 0;
    for (auto& l : events(lines, "delegate")) connected += l["op"] == "setConnectionStatus:" && l["args"][0] == 3;
    EXPECT_EQ(connected, 2) << "connected, lost, connected again: " << run.output();
    EXPECT_EQ(lines.back(), (json{{"event", "done"}, {"ok", true}, {"reason", nullptr}})) << zqtest::readFile(run.err);
    EXPECT_EQ(run.exitCode(), 0);
}

TEST_F(RoomCommandTest, IngestGoneForGoodEndsTheRunAsAFailureInBoundedTime) {
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    ingestNode(nginx);
    auto run = start("--config '" + config() + "' --duration 6");
    ASSERT_TRUE(waitFor([&] { return printed(run, "\"event\":\"started\""); }, 30)) << run.output();
    nginx.kill();
    ASSERT_TRUE(waitFor([&] { return run.finished(); }, 25)) << run.output();
    auto lines = jsonLines(run.output());
    EXPECT_EQ(lines.back(), (json{{"event", "done"}, {"ok", false}, {"reason", "the connection to the ingest was lost"}}));
    EXPECT_EQ(run.exitCode(), 1);
    EXPECT_EQ(room.requestsTo("/api/live/stop").size(), 1u) << "the live is stopped at the room service";
}

TEST_F(RoomCommandTest, TerminationSignalStopsCleanly) {
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    ingestNode(nginx);
    auto run = start("--config '" + config() + "'", true);
    ASSERT_TRUE(waitFor([&] { return printed(run, "\"event\":\"started\""); }, 30)) << run.output();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int status = run.process->stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal instead of stopping: " << run.output();
    EXPECT_EQ(WEXITSTATUS(status), 0) << zqtest::readFile(run.err);
    auto lines = jsonLines(run.output());
    EXPECT_EQ(lines.back(), (json{{"event", "done"}, {"ok", true}, {"reason", nullptr}})) << zqtest::readFile(run.err);
    auto ops = delegateOps(lines);
    EXPECT_NE(std::find(ops.begin(), ops.end(), "stopPushSuccessful"), ops.end());
    EXPECT_EQ(room.requestsTo("/api/live/stop").size(), 1u);
}

TEST_F(RoomCommandTest, RoomServiceThatNeverAnswersFailsTheLoginAfterItsTimeOut) {
    zqtest::SilentServer silent;
    std::string out, err;
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(room_("--config '" + config({{"viewHost", "127.0.0.1:" + std::to_string(silent.port())}}) + "'", &out, &err), 1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_LT(seconds, 20) << "2 s delay and the 10 s request time-out";
    auto lines = jsonLines(out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0]["op"], "requestLoginFailed:reason:");
    EXPECT_EQ(lines[0]["args"][0]["code"], 1009);
    EXPECT_EQ(lines.back()["ok"], false);
}

// HTTP-DNS resolution measures nothing: the login completes with its one node list, and the run
// publishes to node 1 with a note saying so.
TEST_F(RoomCommandTest, HttpDnsNodeListChoosesNodeOneWithANote) {
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    FakeRoomService::Node a;
    a.desc = "dns";
    a.publishUrl = "rtmp://dns.invalid/live/room";
    a.httpDNSType = "ws";
    room.setNodes({a});
    room.setHttpDnsAnswer(a.publishUrl, nginx.publishUrl("room"));
    std::string out, err;
    ASSERT_EQ(room_("--config '" + config() + "' --duration 1", &out, &err), 0) << err << out;
    auto lines = jsonLines(out);
    auto lists = events(lines, "delegate");
    std::erase_if(lists, [](const json& l) { return l["op"] != "nodeListDic:bestNodeIndex:"; });
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0]["args"], json::array({{{"dns1", {{"time", "不测速"}, {"index", 1}}}}, 0}));
    ASSERT_EQ(events(lines, "note").size(), 1u);
    EXPECT_EQ(events(lines, "started").at(0)["node"], 1);
    EXPECT_EQ(room.requestsTo("/httpdns").at(0).header("WS_URL"), a.publishUrl);
    EXPECT_EQ(lines.back()["ok"], true);
}

// The chat options go out once the room socket connects; what the room sends back reaches the
// delegate and is printed.
TEST_F(RoomCommandTest, ChatOptionsReachTheRoomSocketAndItsEventsArePrinted) {
    zqtest::SocketIOServer server;
    startChatServer(server);
    if (HasFatalFailure()) return;
    json context = {{"onlineUsers", {{{"id", "viewer-7"}, {"name", "Presenter"}, {"role", "publisher"}},
                                     {{"id", "u-2"}, {"name", "Ann"}, {"role", "student"}}}}};
    ASSERT_TRUE(server.command({{"cmd", "reply"}, {"on", "room_context"}, {"name", "room_context"}, {"args", {context.dump()}}}));
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    ingestNode(nginx);
    auto run = start("--config '" + config() + "' --chat hello --chat 'and again' --private-chat u-2:hi --user-count", true);
    ASSERT_TRUE(waitFor([&] { return printed(run, "on_private_chat:") && printed(run, "and again") && printed(run, "\"started\""); },
                        30))
        << run.output() << json(server.events()).dump();
    EXPECT_EQ(run.process->stop(SIGTERM), 0) << zqtest::readFile(run.err);

    EXPECT_EQ(server.messageArgs("chat_message"), (std::vector<json>{"hello", "and again"}));
    EXPECT_EQ(server.messageArgs("room_user_count").size(), 1u);
    auto privateChats = server.messageArgs("private_chat");
    ASSERT_EQ(privateChats.size(), 1u);
    json chat = json::parse(privateChats[0].get<std::string>());
    EXPECT_EQ(chat["touserid"], "u-2");
    EXPECT_EQ(chat["tousername"], "Ann");
    EXPECT_EQ(chat["msg"], "hi");

    auto lines = jsonLines(run.output());
    EXPECT_EQ(delegateArgs(lines, "on_chat_message:"),
              (std::vector<json>{json::array({"hello"}), json::array({"and again"})}));
    EXPECT_EQ(delegateArgs(lines, "receivePublisherId:onlineUsers:"),
              std::vector<json>{json::array({"viewer-7", {{"u-2", "Ann"}, {"viewer-7", "Presenter"}}})});
    EXPECT_EQ(delegateArgs(lines, "on_private_chat:"), std::vector<json>{json::array({privateChats[0]})});
    EXPECT_EQ(delegateArgs(lines, "room_user_count:").size(), 1u);
    EXPECT_TRUE(events(lines, "note").empty()) << run.output();
    EXPECT_EQ(lines.back(), (json{{"event", "done"}, {"ok", true}, {"reason", nullptr}}));
}

// A kick-out ends the broadcast with the teardown of a failure; a private chat to oneself is dropped
// with a note.
TEST_F(RoomCommandTest, KickOutEndsTheRunAsAFailure) {
    zqtest::SocketIOServer server;
    startChatServer(server);
    if (HasFatalFailure()) return;
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    ingestNode(nginx);
    auto run = start("--config '" + config() + "' --private-chat viewer-7:me");
    ASSERT_TRUE(waitFor([&] { return printed(run, "\"event\":\"started\"") && printed(run, "\"event\":\"note\""); }, 30))
        << run.output();
    ASSERT_TRUE(server.command({{"cmd", "emit"}, {"name", "kick_out"}, {"args", json::array()}}));
    ASSERT_TRUE(waitFor([&] { return run.finished(); }, 20)) << run.output();
    EXPECT_EQ(run.exitCode(), 1);
    auto lines = jsonLines(run.output());
    auto notes = events(lines, "note");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0]["text"], "private chat to viewer-7 not sent: that is this presenter");
    EXPECT_TRUE(server.messageArgs("private_chat").empty());
    auto ops = delegateOps(lines);
    auto kicked = std::find(ops.begin(), ops.end(), "kick_out");
    ASSERT_NE(kicked, ops.end()) << run.output();
    EXPECT_NE(std::find(kicked, ops.end(), "stopPushSuccessful"), ops.end()) << run.output();
    EXPECT_EQ(lines.back(), (json{{"event", "done"}, {"ok", false}, {"reason", "kicked out"}}));
    EXPECT_EQ(room.requestsTo("/api/live/stop").size(), 1u);
}
