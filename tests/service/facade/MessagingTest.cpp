// The messaging bridge with a recording script host: the web view and its connect call, the script
// calls the facade evaluates, and the page's events turned into delegate calls.
#include "service/WeakWebViewScriptMessageDelegate.h"
#include "tests/service/facade/FacadeFixture.h"

using nlohmann::json;
using zqtest::FacadeTest;

namespace {

class MessagingTest : public FacadeTest {
protected:
    MessagingTest() {
        util->setSocketHost(std::string("https://chat:8480/room-1"));
        util->setBackupChatHost(std::string("https://spare/room-1"));
        util->setKey(std::string("key-1"));
        util->setViewerId(std::string("7"));
        view = util->wkwebView();
        time.runMain();
        host->scripts.clear();
    }

    void post(const std::string& type, const std::string& param) {
        host->post(type, param);
        time.runMain();
    }

    std::shared_ptr<platform::WebView> view;
};

} // namespace

TEST_F(MessagingTest, PageLoadConnectsWithTheRoomsHostsAndEveryReloadConnectsAgain) {
    EXPECT_EQ(host->loads, 1);
    EXPECT_EQ(view->url(), platform::WebView::kSocketPageURL);
    EXPECT_TRUE(view->configuration().javaScriptEnabled);
    EXPECT_TRUE(view->configuration().javaScriptCanOpenWindowsAutomatically);
    EXPECT_FALSE(view->allowsBackForwardNavigationGestures());
    EXPECT_EQ(util->wkwebView(), view) << "made once";
    view->reload();
    time.runMain();
    EXPECT_EQ(host->scripts, std::vector<std::string>{"socketIOConnect('https://chat:8480/room-1','https://spare/room-1','key-1','3','1')"});
    // The page process ending reloads it, which connects again.
    view->webContentProcessDidTerminate();
    time.runMain();
    EXPECT_EQ(host->loads, 3);
    EXPECT_EQ(host->scripts.size(), 2u);
}

TEST_F(MessagingTest, TheSessionKeyStaysOutOfTheLog) {
    SaveLogUtil::sharedInstance().isNeedToSaveLog(true);
    std::string path = SaveLogUtil::sharedInstance().saveLogPath();
    view->reload();
    time.runMain();
    std::string log = zqtest::readFile(path);
    EXPECT_NE(log.find("socketIOConnect('https://chat:8480/room-1','https://spare/room-1','***','3','1')"), std::string::npos);
    EXPECT_EQ(log.find("key-1"), std::string::npos);
    SaveLogUtil::sharedInstance().isNeedToSaveLog(false);
}

TEST_F(MessagingTest, EmitsUseThePlainCallExceptTheUnbufferedHeartbeat) {
    util->chatMessage("hello");
    util->roomUserCount();
    util->roomContext();
    util->socket_emit("pi", "");
    util->chatMessage("it's");
    EXPECT_TRUE(host->scripts.empty()) << "calls are committed through the main queue";
    time.runMain();
    EXPECT_EQ(host->scripts, (std::vector<std::string>{"socketIOEmit('chat_message','hello')", "socketIOEmit('room_user_count','')",
                                                       "socketIOEmit('room_context','')", "socketIOEmitWithOutBuffer('pi','')",
                                                       "socketIOEmit('chat_message','it\\'s')"}));
}

TEST_F(MessagingTest, PrivateChatOnlyToAnotherKnownUser) {
    post("room_context", R"({"onlineUsers":[{"id":"7","name":"Me","role":"publisher"},{"id":"8","name":"Ann","role":"student"}]})");
    EXPECT_TRUE(util->privateChatWithTouserid(std::string("8"), "hi 'Ann'"));
    EXPECT_FALSE(util->privateChatWithTouserid(std::string("7"), "self"));
    EXPECT_FALSE(util->privateChatWithTouserid(std::string("9"), "stranger"));
    EXPECT_FALSE(util->privateChatWithTouserid(std::nullopt, "nobody"));
    time.runMain();
    ASSERT_EQ(host->scripts.size(), 1u);
    const std::string& call = host->scripts[0];
    const std::string prefix = "socketIOEmit('private_chat','";
    ASSERT_EQ(call.rfind(prefix, 0), 0u);
    std::string text = call.substr(prefix.size(), call.size() - prefix.size() - 2);
    // The message is compact JSON; inside the call its quotes are escaped.
    auto pos = std::string::npos;
    while ((pos = text.find("\\")) != std::string::npos) text.erase(pos, 1);
    auto chat = json::parse(text);
    EXPECT_EQ(chat["fromuserid"], "7");
    EXPECT_EQ(chat["fromusername"], "Me");
    EXPECT_EQ(chat["fromuserrole"], "publisher");
    EXPECT_EQ(chat["touserid"], "8");
    EXPECT_EQ(chat["tousername"], "Ann");
    EXPECT_EQ(chat["msg"], "hi 'Ann'");
    EXPECT_EQ(chat["time"].get<std::string>().size(), 8u);
}

TEST_F(MessagingTest, EventsReachTheirDelegateOperationsInOrder) {
    post("connect", "");
    post("chat_message", R"({"msg":"hi"})");
    post("private_chat_self", "x");
    post("private_chat", "y");
    post("room_user_count", "12");
    post("custom_message", R"({"message":{"a":[1,2]}})");
    post("custom_message", R"({"other":1})");
    post("custom_message", "not json");
    post("end_stream", "");
    post("kick_out", "");
    post("disconnect", "");
    post("unknown", "x");
    EXPECT_EQ(recorder.calls, (std::vector<json>{
                                  {{"op", "on_chat_message"}, {"args", {R"({"msg":"hi"})"}}},
                                  {{"op", "on_private_chat"}, {"args", {"x"}}},
                                  {{"op", "on_private_chat"}, {"args", {"y"}}},
                                  {{"op", "room_user_count"}, {"args", {"12"}}},
                                  {{"op", "customMessage"}, {"args", {{{"a", {1, 2}}}}}},
                                  {{"op", "customMessage"}, {"args", {nullptr}}},
                                  {{"op", "endStream"}, {"args", json::array()}},
                                  {{"op", "kick_out"}, {"args", json::array()}},
                              }));
}

TEST_F(MessagingTest, RoomContextFillsTheOnlineUsersAndFindsThePublisher) {
    post("room_context", R"({"whiteList":["a"],"blackList":[],"onlineUsers":[
        {"id":7,"name":"Me","role":"publisher"},{"id":"8","name":"Ann","role":"student"},
        {"name":"No id","role":"publisher"},{"id":[1],"name":"Bad id"}]})");
    EXPECT_EQ(recorder.calls.back(), (json{{"op", "receivePublisherId"}, {"args", {"7", {{"7", "Me"}, {"8", "Ann"}}}}}));
    EXPECT_EQ(util->whiteListArr(), json::array({"a"}));
    EXPECT_EQ(util->blackListArr(), json::array());
    post("room_context", "garbage");
    EXPECT_EQ(recorder.calls.back(), (json{{"op", "receivePublisherId"}, {"args", {nullptr, json::object()}}}));
    EXPECT_TRUE(util->onlineUsers().empty());
    EXPECT_TRUE(util->whiteListArr().is_null());
}

TEST_F(MessagingTest, SpeakerChangesAreReportedOnlyWhenTheyChange) {
    util->setPitId(12);
    util->setLastIsMe(false);
    post("switch_stream", R"({"switchuserId":12})");
    post("switch_stream", R"({"switchuserId":"12"})");
    EXPECT_EQ(recorder.calls, (std::vector<json>{{{"op", "setMainSpeaker"}, {"args", {true}}}}));
    post("switch_stream", "not json");
    EXPECT_EQ(recorder.calls.back(), (json{{"op", "setMainSpeaker"}, {"args", {false}}}));
    EXPECT_FALSE(util->lastIsMe());
}

TEST_F(MessagingTest, PublishStreamNamesThePublisherSpeakerOnlyOnSeatZeroInHostMode) {
    util->setOpenHostMode(true);
    util->setPitId(0);
    post("publish_stream", "");
    EXPECT_EQ(recorder.ops(), (std::vector<std::string>{"publishStream", "setMainSpeaker"}));
    EXPECT_TRUE(util->lastIsMe());
    recorder.clear();
    util->setPitId(-1);
    util->setLastIsMe(false);
    post("publish_stream", "");
    EXPECT_EQ(recorder.ops(), std::vector<std::string>{"publishStream"});
    EXPECT_TRUE(util->lastIsMe());
}

TEST_F(MessagingTest, AnApplicationThatDoesNotListenGetsNothingAndLosesNothing) {
    recorder.delegate->on_chat_message = nullptr;
    recorder.delegate->setMainSpeaker = nullptr;
    post("chat_message", "x");
    util->setPitId(3);
    post("switch_stream", R"({"switchuserId":3})");
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_TRUE(util->lastIsMe());
    util->setDelegate({});
    post("kick_out", "");
    EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(MessagingTest, TheWebViewLetsTheFacadeGo) {
    std::weak_ptr<QWPushUtil> weak = util;
    util.reset();
    QWPushUtil::attempDealloc();
    EXPECT_TRUE(weak.expired()) << "the web view keeps the facade alive";
    host->post("kick_out", ""); // reaches nobody and breaks nothing
    time.runMain();
    EXPECT_TRUE(recorder.calls.empty());
    auto handler = view->configuration().userContentController->handler("socket_message");
    auto weakHop = std::dynamic_pointer_cast<WeakWebViewScriptMessageDelegate>(handler);
    ASSERT_TRUE(weakHop);
    EXPECT_FALSE(weakHop->scriptDelegate());
}

TEST_F(MessagingTest, HostModeSocketReconnectRestartsARunningPublication) {
    util->setOpenHostMode(true);
    util->socketReconnected();
    EXPECT_TRUE(recorder.calls.empty()) << "no publish timer runs";
    util->setFirstPushTimer(platform::Timer::scheduled(3, true, [](platform::Timer&) {}));
    util->socketReconnected();
    // Restarting asks for a node first: none is chosen here.
    EXPECT_EQ(recorder.failureCodes("pushFailed"), std::vector<json>{1006});
    util->firstPushTimer()->invalidate();
}
