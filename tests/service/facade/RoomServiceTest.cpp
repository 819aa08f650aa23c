// The facade against a fake room service on loopback: login and its answers, node measurement by
// ICMP and by HTTP-DNS, live create, live data, live start and stop, with the delegate calls and
// error codes each answer gives.
#include "tests/service/facade/FacadeFixture.h"

using nlohmann::json;
using zqtest::FacadeTest;
using zqtest::FakeReply;
using zqtest::FakeRoomService;

namespace {

std::string query(const zqtest::RecordedRequest& r, const std::string& name) {
    return FakeRoomService::queryValue(r.target, name);
}

} // namespace

TEST_F(FacadeTest, LoginGoesOutTwoSecondsLaterWithEveryValueIntact) {
    parameters.setUserId("user&1");
    parameters.setViewerName("Tom & Jerry");
    parameters.setToken("a&b=c+#d");
    util->loginWithParameters(parameters);
    time.advance(1.9);
    EXPECT_TRUE(room.requests().empty());
    time.advance(0.1);
    ASSERT_TRUE(waitFor([&] { return !room.requests().empty(); }));
    auto login = room.requests().front();
    EXPECT_EQ(login.method, "GET");
    EXPECT_EQ(login.path, "/api/view/login/publisher");
    EXPECT_EQ(query(login, "userid"), "user&1");
    EXPECT_EQ(query(login, "roomid"), "room-1");
    EXPECT_EQ(query(login, "name"), "Tom & Jerry");
    EXPECT_EQ(query(login, "passwd"), "a&b=c+#d");
    EXPECT_EQ(query(login, "version"), "2.4.0");
    EXPECT_EQ(login.header("User-Agent"), util->getDeviceName() + ";Linux " + platform::SystemInfo::systemVersion());
    EXPECT_EQ(util->pitId(), -1);
    EXPECT_FLOAT_EQ(util->fMicGain(), -1.0f);
    EXPECT_TRUE(util->isPushActive());
}

TEST_F(FacadeTest, AcceptedLoginStoresTheRoomAndReportsOneNodeListPerProbeRun) {
    room.patchLogin({{"openHostMode", false}, {"manuallyRecordMode", 2}, {"bitrate", 900}, {"liveDuration", nullptr}});
    loginWith({node("A", "10.0.0.1", 0.050, 11), node("B", "10.0.0.2", 0.012, 12), node("C", "10.0.0.3", 0.030, 13)});
    EXPECT_EQ(util->viewerId(), "viewer-7");
    EXPECT_EQ(util->key(), "session-key-abc");
    EXPECT_EQ(util->roomName(), "Fake room");
    EXPECT_EQ(util->maxBitrate(), 900);
    EXPECT_EQ(util->getMaxBitrate(), 900);
    EXPECT_EQ(util->module(), 3);
    EXPECT_EQ(util->manuallyRecordMode(), 2);
    EXPECT_EQ(util->socketHost(), "http://127.0.0.1:1/room-1");
    EXPECT_EQ(util->backupChatHost(), "http://127.0.0.1:2/room-1");
    EXPECT_EQ(util->nsp(), "/room-1");
    EXPECT_EQ(util->smallIndex(), 2);
    EXPECT_EQ(util->resultDict(), (json{{"A", {{"time", "50.00 ms"}, {"index", 1}}},
                                       {"B", {{"time", "12.00 ms"}, {"index", 2}}},
                                       {"C", {{"time", "30.00 ms"}, {"index", 3}}}}));
}

TEST_F(FacadeTest, LoginReportsRoomInfoThenEachProbeRunsNodeList) {
    room.patchLogin({{"liveDuration", nullptr}});
    room.setNodes({node("A", "10.0.0.1", 0.020, 1), node("B", "10.0.0.2", 0.010, 2)});
    startLogin();
    time.advance(0.9);
    EXPECT_TRUE(recorder.callsOf("nodeListDic").empty()) << "the speed test starts a second after the answer";
    time.advance(5.0);
    // liveDuration is missing, so the room information stops before it.
    EXPECT_EQ(recorder.calls.front(), (json{{"op", "roomInfo"},
                                            {"args", {{{"module", 3}, {"manuallyRecordMode", 1}, {"openHostMode", false}}}}}));
    EXPECT_EQ(recorder.ops(), (std::vector<std::string>{"roomInfo", "roomName", "nodeListDic", "requestLoginSucceedWithViewerId",
                                                        "roomName", "nodeListDic", "requestLoginSucceedWithViewerId"}));
    EXPECT_EQ(recorder.callsOf("nodeListDic").back()["args"][1], 2);
    EXPECT_EQ(recorder.callsOf("requestLoginSucceedWithViewerId").back()["args"][0], "viewer-7");
    // The page was loaded and connected with the room's socket hosts and session key.
    time.runMain();
    ASSERT_FALSE(host->scripts.empty());
    EXPECT_EQ(host->scripts.front(),
              "socketIOConnect('http://127.0.0.1:1/room-1','http://127.0.0.1:2/room-1','session-key-abc','3','1')");
    EXPECT_TRUE(util->wkwebView()->isInWindow());
}

TEST_F(FacadeTest, SecureLoginUsesTlsSchemesAndMovesTheSocketPort) {
    room.patchLogin({{"chatHost", "chat.example:8080"}, {"backupChatHost", "chat2.example"}});
    util->loginWithParameters([&] {
        auto p = parameters;
        p.setSecurity(true);
        return p;
    }());
    time.advance(2.0);
    // The fake speaks plain HTTP, so the https login fails as a request failure.
    ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("requestLoginFailed").empty(); }, 10));
    EXPECT_EQ(recorder.failureCodes("requestLoginFailed"), std::vector<json>{1009});
    EXPECT_EQ(util->loginRequest()->url.rfind("https://" + room.hostPort() + "/api/view/login/publisher?", 0), 0u);
    EXPECT_EQ(util->ChangeSocketHost(std::string("chat.example:8080")), "https://chat.example:8480/room-1");
}

TEST_F(FacadeTest, LoginRefusalsAndUnreadableAnswers) {
    room.patchLogin({{"result", "FAIL"}, {"errorMsg", "密码错误"}});
    startLogin();
    EXPECT_EQ(recorder.calls.back(), (json{{"op", "requestLoginFailed"},
                                           {"args", {{{"domain", PushErrorUtil::kErrorDomain}, {"code", 1001}, {"description", "密码错误"}}, nullptr}}}));

    recorder.clear();
    room.patchLogin({{"errorMsg", "房间已关闭"}});
    startLogin();
    EXPECT_EQ(recorder.calls.back(), (json{{"op", "requestLoginFailed"}, {"args", {nullptr, "房间已关闭"}}}));

    recorder.clear();
    room.overridePath("/api/view/login/publisher", FakeReply{200, "<html>busy</html>", "text/html", {}});
    startLogin();
    EXPECT_EQ(recorder.failureCodes("requestLoginFailed"), std::vector<json>{1006});

    // Accepted, but without a session key: the room information came first.
    recorder.clear();
    room.clearOverride("/api/view/login/publisher");
    room.patchLogin({{"result", "OK"}, {"user", {{"sessionId", nullptr}}}});
    startLogin();
    EXPECT_EQ(recorder.ops(), (std::vector<std::string>{"roomInfo", "requestLoginFailed"}));
    EXPECT_EQ(recorder.failureCodes("requestLoginFailed"), std::vector<json>{1006});

    // Values of the wrong type read as absent and never throw.
    recorder.clear();
    room.patchLogin({{"user", {{"sessionId", "k"}, {"id", 77}}}, {"bitrate", "x"}, {"live", "none"}, {"name", 5}});
    startLogin();
    EXPECT_TRUE(recorder.callsOf("requestLoginFailed").empty());
    EXPECT_FALSE(util->viewerId());
    EXPECT_FALSE(util->roomName());
    EXPECT_EQ(util->maxBitrate(), 0);
    EXPECT_TRUE(util->arrPublishUrls().is_null());
}

TEST_F(FacadeTest, LoginWithoutNetworkOrServiceFails) {
    reachability->flags = 0;
    util->loginWithParameters(parameters);
    EXPECT_EQ(recorder.failureCodes("requestLoginFailed"), std::vector<json>{1008});
    time.advance(3.0);
    EXPECT_TRUE(room.requests().empty());

    recorder.clear();
    reachability->flags = kQWPushReachabilityFlagsReachable;
    QWServiceSettings::setViewHost("127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()));
    startLogin();
    EXPECT_EQ(recorder.failureCodes("requestLoginFailed"), std::vector<json>{1009});
}

TEST_F(FacadeTest, WithoutALoginFailureListenerTheSocketIsLeftAlone) {
    SaveLogUtil::sharedInstance().isNeedToSaveLog(true);
    std::string path = SaveLogUtil::sharedInstance().saveLogPath();
    room.patchLogin({{"result", "FAIL"}, {"errorMsg", "x"}});
    recorder.delegate->requestLoginFailed = nullptr;
    util->loginWithParameters(parameters);
    time.advance(2.0);
    ASSERT_TRUE(waitFor([&] { return zqtest::readFile(path).find("请求登录URL") != std::string::npos && util->loginReceiveData(); }));
    waitFor([] { return false; }, 0.3);
    EXPECT_EQ(zqtest::readFile(path).find("killSocket["), std::string::npos);

    recorder.delegate->requestLoginFailed = [](auto&, auto&) {};
    util->loginWithParameters(parameters);
    time.advance(2.0);
    ASSERT_TRUE(waitFor([&] { return zqtest::readFile(path).find("killSocket[") != std::string::npos; }));
    // The log keeps no password.
    EXPECT_EQ(zqtest::readFile(path).find("passwd=secret"), std::string::npos);
    EXPECT_NE(zqtest::readFile(path).find("passwd=***"), std::string::npos);
    SaveLogUtil::sharedInstance().isNeedToSaveLog(false);
}

TEST_F(FacadeTest, LogoutCancelsTheDelayedLoginAndNeverMakesAWebView) {
    util->loginWithParameters(parameters);
    util->logout();
    time.advance(5.0);
    waitFor([] { return false; }, 0.2);
    EXPECT_TRUE(room.requests().empty());
    EXPECT_FALSE(util->delegate());
    EXPECT_EQ(host->loads, 0) << "logout made a web view";
    EXPECT_EQ(util->pitId(), -1);
    EXPECT_FLOAT_EQ(util->fMicGain(), -1.0f);
}

TEST_F(FacadeTest, LogoutAfterLoginClosesTheSocketAndDropsTheWebView) {
    loginWith({node("A", "10.0.0.1", 0.02, 1)});
    time.runMain();
    auto view = util->wkwebView();
    ASSERT_EQ(host->loads, 1);
    util->logout();
    time.runMain();
    EXPECT_EQ(host->unloads, 1);
    EXPECT_EQ(host->scripts.back(), "socketClose()");
    EXPECT_FALSE(view->isInWindow());
    view.reset();
    EXPECT_TRUE(host->destroyed);
    EXPECT_FALSE(util->loginUserId());
    EXPECT_FALSE(util->key());
    // A heartbeat or chat after logout reaches no page and makes none.
    util->chatMessage("late");
    time.runMain();
    EXPECT_EQ(host->loads, 1);
}

TEST_F(FacadeTest, LoginAgainCancelsTheEarlierLoginsSpeedTest) {
    room.setNodes({node("A", "10.0.0.1", 0.02, 1)});
    startLogin();
    // The earlier login's probe run is due in a second; a new login starts before it.
    recorder.clear();
    util->loginWithParameters(parameters);
    time.advance(1.5);
    EXPECT_TRUE(recorder.callsOf("nodeListDic").empty());
    time.advance(0.5);
    ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("roomInfo").empty(); }));
    EXPECT_EQ(room.requestsTo("/api/view/login/publisher").size(), 2u);
    time.advance(6.0);
    EXPECT_EQ(recorder.callsOf("nodeListDic").size(), 1u);
}

TEST_F(FacadeTest, EmptyNodeListNeverReportsTheLogin) {
    loginWith({});
    time.advance(30);
    EXPECT_TRUE(recorder.callsOf("requestLoginSucceedWithViewerId").empty());
}

// --- HTTP-DNS ---

TEST_F(FacadeTest, HttpDnsRewritesTheNodeAndListsItUnmeasuredWithTheSpareAsGlobal) {
    auto a = node("A", "10.0.0.1", 0.02, 1);
    a.httpDNSType = "ws";
    auto spare = node("S", "10.0.0.9", 0.02, 9);
    room.setHttpDnsAnswer(a.publishUrl, "rtmp://1.1.1.1/live/A\nrtmp://2.2.2.2/live/A\nrtmp://3.3.3.3/live/A");
    room.setNodes({a}, {spare});
    startLogin();
    ASSERT_TRUE(waitFor([&] { return room.requestsTo("/httpdns").size() == 1; }));
    auto dns = room.requestsTo("/httpdns").front();
    EXPECT_EQ(dns.header("WS_URL"), a.publishUrl);
    EXPECT_EQ(dns.header("WS_RETIP_NUM"), "2");
    EXPECT_EQ(dns.header("WS_URL_TYPE"), "3");
    waitFor([&] { return util->arrPublishUrls().size() == 3; });
    time.advance(1.9);
    EXPECT_TRUE(recorder.callsOf("nodeListDic").empty());
    time.advance(0.1);
    auto nodes = util->arrPublishUrls();
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0]["publishUrl"], "rtmp://1.1.1.1/live/A");
    EXPECT_EQ(nodes[0]["desc"], "A1");
    EXPECT_EQ(nodes[1]["publishUrl"], "rtmp://2.2.2.2/live/A");
    EXPECT_EQ(nodes[1]["desc"], "A2");
    EXPECT_EQ(nodes[1]["token"], "token-A");
    EXPECT_EQ(nodes[2]["desc"], "S");
    json expected = {{"A1", {{"time", "不测速"}, {"index", 1}}},
                     {"A2", {{"time", "不测速"}, {"index", 2}}},
                     {"S", {{"time", "全球节点"}, {"index", 3}}}};
    ASSERT_EQ(recorder.callsOf("nodeListDic").size(), 1u);
    EXPECT_EQ(recorder.callsOf("nodeListDic")[0]["args"], json::array({expected, 0}));
    EXPECT_EQ(recorder.callsOf("requestLoginSucceedWithViewerId").size(), 1u);
    EXPECT_FALSE(util->httpDNSURLCancel());
}

TEST_F(FacadeTest, EmptyHttpDnsAnswerLeavesOneEntryWithAnEmptyUrl) {
    auto a = node("A", "10.0.0.1", 0.02, 1);
    a.httpDNSType = "ws";
    room.setNodes({a});
    startLogin();
    ASSERT_TRUE(waitFor([&] { return util->arrPublishUrls()[0].value("desc", "") == "A1"; }));
    time.advance(2.0);
    auto nodes = util->arrPublishUrls();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0]["publishUrl"], "");
}

TEST_F(FacadeTest, TwoNodesAnsweringAtOnceKeepTheirOwnAnswers) {
    auto a = node("A", "10.0.0.1", 0.02, 1);
    auto b = node("B", "10.0.0.2", 0.02, 2);
    a.httpDNSType = b.httpDNSType = "ws";
    std::string longA(3000, 'a'), longB(3000, 'b');
    room.setHttpDnsAnswer(a.publishUrl, "rtmp://a/" + longA + "\nrtmp://a2/x");
    room.setHttpDnsAnswer(b.publishUrl, "rtmp://b/" + longB);
    room.setNodes({a, b});
    startLogin();
    ASSERT_TRUE(waitFor([&] { return util->arrPublishUrls().size() == 3 && util->arrPublishUrls()[2].value("desc", "") == "B1"; }));
    time.advance(2.0);
    auto nodes = util->arrPublishUrls();
    EXPECT_EQ(nodes[0]["publishUrl"], "rtmp://a/" + longA);
    EXPECT_EQ(nodes[1]["publishUrl"], "rtmp://a2/x");
    EXPECT_EQ(nodes[2]["publishUrl"], "rtmp://b/" + longB);
}

// --- Live create, live data ---

TEST_F(FacadeTest, LiveCreateForTheChosenNodeThenConnectsToItsPublishUrl) {
    loginWith({node("A", "10.0.0.1", 0.05, 11), node("B", "10.0.0.2", 0.01, 12)});
    startPublishing();
    auto create = room.requestsTo("/api/live/create").at(0);
    EXPECT_EQ(query(create, "nodeid"), "12");
    EXPECT_EQ(query(create, "userid"), "user-1");
    EXPECT_EQ(query(create, "resolution"), "360*640");
    EXPECT_EQ(query(create, "devicename"), util->getCurrentDeviceModel());
    EXPECT_EQ(util->liveid(), "live-42");
    EXPECT_EQ(util->publishUrl1(), "rtmp://10.0.0.2/live/B?token=token-B&liveid=live-42");
    EXPECT_EQ(socket().starts, 1);
    EXPECT_EQ(socket().info->url(), util->publishUrl1());
    EXPECT_EQ(util->isLiveDataInit(), true);
    auto ops = recorder.ops();
    std::erase(ops, "onInteractionConfigure"); // the live data answers beside the connection
    EXPECT_EQ(ops, (std::vector<std::string>{"setConnectionStatus", "isConnectionNetWork", "getLiveidBeforPush",
                                             "isConnectionNetWork", "setConnectionStatus"}));
    // The shared defaults carry the URL for the application group.
    EXPECT_EQ(util->userDefaults()->objectForKey("url"), json(*util->publishUrl1()));
}

TEST_F(FacadeTest, LiveDataReachesTheDelegateOnTheMainQueue) {
    room.setLiveCommerce(3);
    loginWith({node("A", "10.0.0.1", 0.05, 11)});
    bool onMain = false;
    recorder.delegate->onInteractionConfigure = [&](auto& model) {
        onMain = platform::DispatchQueue::main()->isCurrent();
        EXPECT_EQ(model->isLiveStoreSwitch(), 3);
    };
    startPublishing();
    ASSERT_TRUE(waitFor([&] { return util->liveStoreSwitch() == 3; }));
    EXPECT_TRUE(onMain);
    auto data = room.requestsTo("/live/data").at(0);
    EXPECT_EQ(data.header("X-ZQ-Token"), "session-key-abc");
    EXPECT_EQ(query(data, "accountId"), "user-1");
    EXPECT_EQ(query(data, "tpl"), "20");
}

TEST_F(FacadeTest, LiveCreateAnswersThatGiveNothingToPublishTo) {
    loginWith({node("A", "10.0.0.1", 0.05, 11)});
    room.setLiveCreateAnswer({{"reason", "bad args"}});
    startPublishing();
    EXPECT_EQ(recorder.callsOf("pushFailed").back(), (json{{"op", "pushFailed"},
                                                           {"args", {{{"domain", PushErrorUtil::kErrorDomain}, {"code", 1007}, {"description", "可能是参数错误"}}, "bad args"}}}));
    room.setLiveCreateAnswer({{"result", "whatever"}, {"live", {{"pitId", 1}}}});
    util->startPushWithCameraFront();
    ASSERT_TRUE(waitFor([&] { return recorder.callsOf("pushFailed").size() == 2; }));
    EXPECT_EQ(recorder.failureCodes("pushFailed").back(), 1006);
    EXPECT_FALSE(util->publishUrl1());
    room.overridePath("/api/live/create", FakeReply{200, "not json", "text/plain", {}});
    util->startPushWithCameraFront();
    ASSERT_TRUE(waitFor([&] { return recorder.callsOf("pushFailed").size() == 3; }));
    EXPECT_EQ(recorder.failureCodes("pushFailed").back(), 1006);
    EXPECT_TRUE(parts.sockets.empty()) << "nothing may connect";
}

TEST_F(FacadeTest, NodeWithoutPublishUrlGivesAnErrorNotANullUrl) {
    auto a = node("A", "10.0.0.1", 0.05, 11);
    room.setNodes({a});
    json entry = {{"host", "10.0.0.1"}, {"desc", "A"}, {"token", "t"}};
    room.patchLogin({{"live", {{"publishUrls", json::array({entry})}}}});
    startLogin();
    time.advance(6);
    startPublishing();
    EXPECT_EQ(recorder.failureCodes("pushFailed"), std::vector<json>{1006});
    EXPECT_TRUE(parts.sockets.empty());
}

TEST_F(FacadeTest, PublishingWithoutAChosenNodeSendsNothing) {
    loginWith({node("A", "10.0.0.1", 0.05, 11)});
    for (std::int64_t index : {0, 2}) {
        recorder.clear();
        util->setNodeIndex(index);
        util->startPushWithCameraFront();
        ASSERT_EQ(recorder.calls.size(), 1u);
        EXPECT_EQ(recorder.failureCodes("pushFailed"), std::vector<json>{1006});
        EXPECT_NE(recorder.calls[0]["args"][1].get<std::string>().find("node"), std::string::npos);
    }
    waitFor([] { return false; }, 0.2);
    EXPECT_TRUE(room.requestsTo("/api/live/create").empty());
}

TEST_F(FacadeTest, AProbeRunFinishingDuringTheLiveCreateDoesNotMoveThePublication) {
    loginWith({node("A", "10.0.0.1", 0.01, 11), node("B", "10.0.0.2", 0.05, 12)});
    ASSERT_EQ(util->smallIndex(), 1);
    // The answer to the live create waits until node B has become the fastest.
    room.overridePath("/api/live/create", FakeReply{200, R"({"result":"OK","live":{"id":"L-A"}})", "application/json", {}});
    util->startPreviewWithCameraFront(true, 1);
    util->startPushWithCameraFront();
    util->setSmallIndex(2);
    ASSERT_TRUE(waitFor([&] { return !parts.sockets.empty(); }));
    EXPECT_EQ(util->publishUrl1(), "rtmp://10.0.0.1/live/A?token=token-A&liveid=L-A");
}

TEST_F(FacadeTest, HostModeCreatesTheLiveASecondAfterLoginAndPublishesToTheSeat) {
    room.patchLogin({{"openHostMode", true}});
    room.setLiveCreateAnswer({{"result", "FAIL"}, {"reason", "no seat"}});
    room.setNodes({node("A", "10.0.0.1", 0.01, 11)});
    startLogin();
    EXPECT_TRUE(util->publishUrlsShared());
    time.advance(0.9);
    waitFor([] { return false; }, 0.2);
    EXPECT_TRUE(room.requestsTo("/api/live/create").empty());
    time.advance(0.1);
    ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("pushFailed").empty(); }));
    auto hostCreate = room.requestsTo("/api/live/create").at(0);
    EXPECT_EQ(query(hostCreate, "publisherid"), "viewer-7");
    EXPECT_EQ(query(hostCreate, "supportassign"), "1");
    EXPECT_EQ(recorder.callsOf("pushFailed").back()["args"][1], "no seat");
    EXPECT_EQ(recorder.failureCodes("pushFailed").back(), 1007);
    time.advance(6.0);

    recorder.clear();
    room.setLiveCreateAnswer({{"result", "OK"}, {"live", {{"id", "L9"}, {"pitId", 4}}}});
    reachPublishing();
    EXPECT_EQ(util->pitId(), 4);
    EXPECT_EQ(util->publishUrl1(), "rtmp://10.0.0.1/live/A_4?token=token-A&liveid=L9");
    auto publish = room.requestsTo("/api/stream/publish").at(0);
    EXPECT_EQ(query(publish, "pitid"), "4");
    EXPECT_EQ(query(publish, "roomid"), "room-1");
    EXPECT_TRUE(room.requestsTo("/api/live/start").empty());
    // No live stop in host mode.
    util->stopPush();
    waitFor([] { return false; }, 0.2);
    EXPECT_TRUE(room.requestsTo("/api/live/stop").empty());
}

TEST_F(FacadeTest, HostModeSameSeatAgainNeitherAnnouncesNorConnects) {
    room.patchLogin({{"openHostMode", true}});
    loginWith({node("A", "10.0.0.1", 0.01, 11)});
    util->setPitId(5); // the default answer's seat
    util->startPreviewWithCameraFront(true, 1);
    util->startPushWithCameraFront();
    ASSERT_TRUE(waitFor([&] { return util->liveid() == "live-42"; }));
    waitFor([] { return false; }, 0.2);
    time.runMain();
    EXPECT_TRUE(recorder.callsOf("getLiveidBeforPush").empty());
    EXPECT_TRUE(parts.sockets.empty());
    EXPECT_EQ(util->publishUrl1(), "rtmp://10.0.0.1/live/A?token=token-A&liveid=live-42");
    ASSERT_TRUE(waitFor([&] { return !room.requestsTo("/live/data").empty(); }));
}

// --- Live start and stop ---

TEST_F(FacadeTest, NormalModeRunSendsItsRequestsInOrder) {
    loginWith({node("A", "10.0.0.1", 0.01, 11)});
    reachPublishing();
    auto start = room.requestsTo("/api/live/start").at(0);
    EXPECT_EQ(query(start, "liveid"), "live-42");
    EXPECT_EQ(query(start, "isrecord"), "0"); // manuallyRecordMode 1
    // The live data runs beside the connection; its report is in before the stop.
    ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("onInteractionConfigure").empty(); }));
    util->stopPush();
    ASSERT_TRUE(waitFor([&] { return !room.requestsTo("/api/live/stop").empty(); }));
    EXPECT_EQ(query(room.requestsTo("/api/live/stop").at(0), "liveid"), "live-42");
    auto paths = room.paths();
    std::erase(paths, "/live/data"); // runs beside the connection
    EXPECT_EQ(paths, (std::vector<std::string>{"/api/view/login/publisher", "/api/live/create", "/api/live/start",
                                               "/api/live/stop"}));
    EXPECT_EQ(recorder.ops().back(), "stopPushSuccessful");
    EXPECT_FALSE(util->session());
    EXPECT_FALSE(util->liveid());
}

TEST_F(FacadeTest, RefusedOrUnreadableLiveStartReleasesTheRun) {
    loginWith({node("A", "10.0.0.1", 0.01, 11)});
    for (auto reply : {FakeReply{200, R"({"result":"FAIL"})", "application/json", {}},
                       FakeReply{200, "oops", "text/plain", {}}}) {
        recorder.clear();
        room.overridePath("/api/live/start", reply);
        startPublishing();
        report(ZQLivePending);
        report(ZQLiveStart);
        ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("pushFailed").empty(); }));
        EXPECT_EQ(recorder.failureCodes("pushFailed"), std::vector<json>{1002});
        EXPECT_FALSE(util->session());
        EXPECT_FALSE(util->firstPushTimer());
        EXPECT_FALSE(util->timer());
    }
}

TEST_F(FacadeTest, LiveStartThatCannotBeSentOrFailsInTransit) {
    loginWith({node("A", "10.0.0.1", 0.01, 11)});
    startPublishing();
    report(ZQLivePending);
    reachability->flags = 0;
    report(ZQLiveStart);
    EXPECT_EQ(recorder.failureCodes("pushFailed"), std::vector<json>{1008});
    EXPECT_FALSE(util->session());

    recorder.clear();
    reachability->flags = kQWPushReachabilityFlagsReachable;
    startPublishing();
    report(ZQLivePending);
    QWServiceSettings::setLiveHost("127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()));
    report(ZQLiveStart);
    ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("pushFailed").empty(); }));
    EXPECT_EQ(recorder.failureCodes("pushFailed"), std::vector<json>{1009});
    EXPECT_FALSE(util->session());
}

TEST_F(FacadeTest, LiveCreateThatFailsInTransitOrWithoutNetwork) {
    loginWith({node("A", "10.0.0.1", 0.01, 11)});
    reachability->flags = 0;
    util->startPushWithCameraFront();
    EXPECT_EQ(recorder.failureCodes("pushFailed"), std::vector<json>{1008});
    reachability->flags = kQWPushReachabilityFlagsReachable;
    QWServiceSettings::setLiveHost("127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()));
    util->startPushWithCameraFront();
    ASSERT_TRUE(waitFor([&] { return recorder.callsOf("pushFailed").size() == 2; }));
    EXPECT_EQ(recorder.failureCodes("pushFailed").back(), 1009);
}
