// Record control and the interaction token against the fake services: the guards, every answer
// branch, and that each request ends in exactly one callback.
#include <atomic>
#include <mutex>
#include "ZQPlatform/TrustSettings.h"
#include "service/YQHTTPRequest.h"
#include "tests/service/facade/FacadeFixture.h"

using nlohmann::json;
using zqtest::FacadeTest;
using zqtest::FakeReply;
using zqtest::FakeRoomService;

namespace {

struct RecordResult {
    int calls = 0;
    bool success = false;
    json result;
};

class RecordControlTest : public FacadeTest {
protected:
    RecordControlTest() {
        util->setManuallyRecordMode(1);
        util->setSessionState(3);
        util->setLiveid(std::string("L 1"));
    }

    // Runs one operation and waits for its answer (a second more to catch a second callback).
    RecordResult run(void (QWPushUtil::*operation)(QWPushUtil::RecordCompletion)) {
        auto result = std::make_shared<RecordResult>();
        ((*util).*operation)([result](bool success, const json& answer) {
            ++result->calls;
            result->success = success;
            result->result = answer;
        });
        waitFor([&] { return result->calls > 0; });
        waitFor([] { return false; }, 0.2);
        return *result;
    }
};

struct TokenResult {
    std::mutex mutex;
    std::vector<std::pair<bool, std::string>> results;
    std::vector<std::string> tokens;
    std::atomic<int> callbacks{0};
};

class InteractionTokenTest : public FacadeTest {
protected:
    InteractionTokenTest() {
        util->setLiveStoreSwitch(1);
        util->setLoginUserId(std::string("acc 1"));
        util->setLoginRoomId(std::string("room-1"));
        util->setViewerId(std::string("viewer-7"));
        util->setLoginViewerName(std::string("Tom"));
        util->setKey(std::string("key-9"));
    }

    std::shared_ptr<TokenResult> ask() {
        auto out = std::make_shared<TokenResult>();
        util->getInteractionToken(
            [out](bool success, const std::string& message) {
                std::lock_guard lock(out->mutex);
                out->results.emplace_back(success, message);
                ++out->callbacks;
            },
            [out](const std::string& token) {
                std::lock_guard lock(out->mutex);
                out->tokens.push_back(token);
                ++out->callbacks;
            });
        waitFor([&] { return out->callbacks.load() > 0; });
        waitFor([] { return false; }, 0.2);
        return out;
    }
};

} // namespace

TEST_F(RecordControlTest, GuardsAnswerWithoutSending) {
    util->setManuallyRecordMode(0);
    auto automatic = run(&QWPushUtil::startRecordWithCompletion);
    EXPECT_EQ(automatic.calls, 1);
    EXPECT_FALSE(automatic.success);
    EXPECT_EQ(automatic.result, (json{{"result", "房间为自动录制"}}));

    util->setManuallyRecordMode(2);
    util->setSessionState(1);
    auto notLive = run(&QWPushUtil::pauseRecordWithCompletion);
    EXPECT_EQ(notLive.result, (json{{"result", "未开始推流"}}));

    // After a stop the state still reads 3 but the live is gone.
    util->setSessionState(3);
    util->setLiveid(std::nullopt);
    auto stopped = run(&QWPushUtil::stopRecordWithCompletion);
    EXPECT_EQ(stopped.calls, 1);
    EXPECT_FALSE(stopped.success);
    EXPECT_EQ(stopped.result, (json{{"result", "停止录制失败,请重试"}}));
    EXPECT_TRUE(room.requests().empty());
}

TEST_F(RecordControlTest, EachOperationSendsItsPathWithTheLiveAndReportsTheAnswer) {
    util->setManuallyRecordMode(2);
    struct Case {
        void (QWPushUtil::*operation)(QWPushUtil::RecordCompletion);
        const char* name;
    };
    for (auto c : {Case{&QWPushUtil::startRecordWithCompletion, "start"}, Case{&QWPushUtil::pauseRecordWithCompletion, "pause"},
                   Case{&QWPushUtil::resumeRecordWithCompletion, "resume"}, Case{&QWPushUtil::stopRecordWithCompletion, "stop"}}) {
        auto r = run(c.operation);
        EXPECT_EQ(r.calls, 1) << c.name;
        EXPECT_TRUE(r.success) << c.name;
        EXPECT_EQ(r.result, (json{{"result", "OK"}, {"operation", c.name}, {"liveid", "L 1"}})) << c.name;
        EXPECT_EQ(room.requests().back().path, std::string("/api/record/") + c.name);
        EXPECT_EQ(room.requests().back().method, "GET");
    }
}

TEST_F(RecordControlTest, AnswersThatAreNotASuccessReportTheFailureText) {
    for (auto reply : {FakeReply{200, "[1,2]", "application/json", {}}, FakeReply{200, "busy", "text/plain", {}},
                       FakeReply{500, R"({"result":"OK"})", "application/json", {}},
                       FakeReply{404, R"({"message":"gone"})", "application/json", {}}}) {
        room.overridePath("/api/record/resume", reply);
        auto r = run(&QWPushUtil::resumeRecordWithCompletion);
        EXPECT_EQ(r.calls, 1) << reply.body;
        EXPECT_FALSE(r.success) << reply.body;
        EXPECT_EQ(r.result, (json{{"result", "继续录制失败,请重试"}})) << reply.body;
    }
    QWServiceSettings::setLiveHost("127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()));
    auto unreachable = run(&QWPushUtil::startRecordWithCompletion);
    EXPECT_EQ(unreachable.calls, 1);
    EXPECT_EQ(unreachable.result, (json{{"result", "开始录制失败,请重试"}}));
}

TEST_F(InteractionTokenTest, SwitchOffOrCachedTokenAnswerWithoutARequest) {
    util->setLiveStoreSwitch(0);
    auto off = ask();
    EXPECT_EQ(off->results, (std::vector<std::pair<bool, std::string>>{{false, "Interaction Function is Not Enabled."}}));
    util->setLiveStoreSwitch(1);
    util->setInteractionToken(std::string("cached"));
    auto cached = ask();
    EXPECT_EQ(cached->results, (std::vector<std::pair<bool, std::string>>{{true, "Succed"}}));
    EXPECT_EQ(cached->tokens, std::vector<std::string>{"cached"});
    EXPECT_TRUE(room.requests().empty());
    util->getInteractionToken(nullptr, nullptr); // absent callbacks are skipped
}

TEST_F(InteractionTokenTest, TokenRequestGoesOutAsAPostAndItsTokenComesBack) {
    room.setInteractionToken("tok-123");
    auto got = ask();
    EXPECT_EQ(got->results, (std::vector<std::pair<bool, std::string>>{{true, "Succed"}}));
    EXPECT_EQ(got->tokens, std::vector<std::string>{"tok-123"});
    EXPECT_FALSE(util->interactionToken()) << "the token is not kept";
    auto request = room.requestsTo("/live/interactive/token").at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(FakeRoomService::queryValue(request.target, "accountId"), "acc 1");
    EXPECT_EQ(FakeRoomService::queryValue(request.target, "deviceType"), "iOS");
    EXPECT_EQ(request.header("X-ZQ-Token"), "key-9");
    EXPECT_EQ(json::parse(request.body),
              (json{{"accountId", "acc 1"}, {"roomId", "room-1"}, {"userId", "viewer-7"}, {"username", "Tom"}, {"headUrl", ""}}));
}

TEST_F(InteractionTokenTest, EveryAnswerEndsInExactlyOneResult) {
    struct Case {
        FakeReply reply;
        bool success;
        std::string message;
    };
    for (auto& c : std::vector<Case>{
             {{200, R"({"success":true,"data":{"token":""}})", "application/json", {}}, false, "toke is nil"},
             {{200, R"({"success":false,"error":"denied"})", "application/json", {}}, false, "denied"},
             {{500, R"({"message":"busy"})", "application/json", {}}, false, "code:500 --> message:busy"},
             {{500, R"({"other":1})", "application/json", {}}, false, "code:500 --> message:"},
             {{200, R"([1])", "application/json", {}}, false, "the interaction service's answer is not a JSON object"},
             {{200, R"({"success":true})", "application/json", {}}, false, "the interaction service's answer holds no token"},
             {{200, R"({"success":true,"data":{"token":5}})", "application/json", {}}, false,
              "the interaction service's answer holds no token"},
             {{200, R"({"success":false})", "application/json", {}}, false, "the interaction service refused without a reason"},
         }) {
        room.overridePath("/live/interactive/token", c.reply);
        auto got = ask();
        EXPECT_EQ(got->results, (std::vector<std::pair<bool, std::string>>{{c.success, c.message}})) << c.reply.body;
        EXPECT_TRUE(got->tokens.empty());
    }
    room.overridePath("/live/interactive/token", FakeReply{200, "not json", "text/plain", {}});
    auto garbage = ask();
    ASSERT_EQ(garbage->results.size(), 1u);
    EXPECT_FALSE(garbage->results[0].first);
    EXPECT_FALSE(garbage->results[0].second.empty());
}

TEST_F(InteractionTokenTest, InteractionSettingsSetTheSwitchOnlyWhenTheyCarryIt) {
    util->setLiveStoreSwitch(7);
    util->interactionEventWithDict(json::object());
    EXPECT_EQ(util->liveStoreSwitch(), 7);
    EXPECT_EQ(recorder.calls.back(), (json{{"op", "onInteractionConfigure"}, {"args", {0}}}));
    util->interactionEventWithDict(json{{"liveCommerce", "2"}});
    EXPECT_EQ(util->liveStoreSwitch(), 2);
    recorder.clear();
    util->interactionEventWithDict(std::nullopt);
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_EQ(QWPushUtil::compactFormatDataForDictionary(json{{"a", 1}, {"b", "x y"}}), R"({"a":1,"b":"x y"})");
    EXPECT_FALSE(QWPushUtil::compactFormatDataForDictionary(json::array()));
}

// The whole room service over TLS, trusted through the kit's CA-file setting.
TEST_F(FacadeTest, SecureRoomServiceIsReachedWithTheTestAuthorityOnly) {
    zqtest::TempDir dir;
    zqtest::TestCertificates certificates;
    ASSERT_TRUE(zqtest::makeTestCertificates(dir.path(), &certificates));
    zqtest::HTTPFake secure(certificates.serverCertificate, certificates.serverKey, [](const zqtest::RecordedRequest&) {
        return FakeReply{200, R"({"result":"FAIL","errorMsg":"reached"})", "application/json", {}};
    });
    QWServiceSettings::setViewHost("127.0.0.1:" + std::to_string(secure.port()));
    struct Reset {
        ~Reset() { platform::TrustSettings::setCaFile(std::nullopt); }
    } reset;
    platform::TrustSettings::setCaFile(std::string());
    startLogin(true);
    EXPECT_EQ(recorder.failureCodes("requestLoginFailed"), std::vector<json>{1009}) << "refused without the authority";

    recorder.clear();
    platform::TrustSettings::setCaFile(certificates.caFile);
    startLogin(true);
    EXPECT_EQ(recorder.calls.back(), (json{{"op", "requestLoginFailed"}, {"args", {nullptr, "reached"}}}));
    EXPECT_EQ(secure.requests().size(), 1u);
}

// The record-control request class: callbacks set long after the answer arrived still get it, once.
TEST_F(FacadeTest, RequestCallbacksSetAfterTheAnswerGetItExactlyOnce) {
    room.overridePath("/late", FakeReply{503, "busy", "text/plain", {}});
    auto request = YQHTTPRequest::requestWithURLString("http://" + room.hostPort() + "/late");
    request->startAsynchronous();
    request->startAsynchronous(); // later calls do nothing
    ASSERT_TRUE(waitFor([&] { return room.requests().size() == 1; }));
    waitFor([] { return false; }, 0.3); // the answer is in, no callback is set yet
    int finished = 0, failed = 0;
    request->setErrorBlock([&](const platform::Error&) { ++failed; });
    EXPECT_EQ(failed, 0) << "an HTTP status is an answer, not an error";
    request->setFinishLoadingBlock([&](const platform::HTTPURLResponse& response, const std::string& body) {
        ++finished;
        EXPECT_EQ(response.statusCode, 503);
        EXPECT_EQ(body, "busy");
    });
    request->setFinishLoadingBlock([&](const platform::HTTPURLResponse&, const std::string&) { ++finished; });
    time.runMain();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(room.requests().size(), 1u);

    auto refused = YQHTTPRequest::requestWithURLString("http://127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()) + "/");
    refused->setFinishLoadingBlock([&](const platform::HTTPURLResponse&, const std::string&) { ++finished; });
    refused->startAsynchronous();
    refused->setErrorBlock([&](const platform::Error& error) {
        ++failed;
        EXPECT_EQ(error.code, platform::URLErrorCannotConnectToHost);
    });
    refused.reset(); // the request keeps itself alive until it has answered
    ASSERT_TRUE(waitFor([&] { return failed == 1; }));
    EXPECT_EQ(finished, 1);
}
