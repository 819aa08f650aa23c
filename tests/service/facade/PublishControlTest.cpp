// Publish control under the virtual clock: the connection watch with its 10 s and 300 s limits, the
// heartbeat and its 300 s limit, reconnection while the network allows, pausing, and every stop.
#include "ZQLiveKit/AudioSession.h"
#include "ZQPlatform/NotificationCenter.h"
#include "tests/service/facade/FacadeFixture.h"

using nlohmann::json;
using zqtest::FacadeTest;

namespace {

class PublishControlTest : public FacadeTest {
protected:
    PublishControlTest() {
        // When each failure came, in virtual seconds since the connection began.
        recorder.delegate->pushFailed = [this](auto& error, auto&) {
            failures.push_back({error ? error->code : 0, time.now() - connectStart, platform::wallTime()});
        };
    }

    // A preview and a live, connecting: what the live create's answer leaves behind.
    void connect() {
        util->setVideoSize({360, 640}, 800, 30);
        util->startPreviewWithCameraFront(true, 1);
        util->setLiveid(std::string("L1"));
        util->setPublishUrl1(std::string("rtmp://127.0.0.1/live/s?token=t&liveid=L1"));
        util->setIsPushActive(true);
        util->setIsPushStoped(false);
        connectStart = time.now();
        util->RtmpInit();
        time.runMain();
    }

    // Connected, the live start accepted and the heartbeat running.
    void publish() {
        connect();
        report(ZQLivePending);
        report(ZQLiveStart);
        ASSERT_TRUE(waitFor([&] { return util->timer() != nullptr; }));
    }

    void sessionError(std::uint64_t code) {
        auto s = socket().shared_from_this();
        socket().delegate.lock()->socketDidError(s, code);
        time.runMain();
    }

    struct Failure {
        long code;
        double at;   // seconds since connect()
        double wall; // wall time of the report
    };
    std::vector<Failure> failures;
    double connectStart = 0;
};

} // namespace

TEST_F(PublishControlTest, FirstConnectionGivesUpAtTheTickNearTwelveSeconds) {
    connect();
    ASSERT_TRUE(util->firstPushTimer());
    EXPECT_EQ(socket().starts, 1);
    report(ZQLivePending);
    time.advance(9.0);
    EXPECT_TRUE(failures.empty());
    // Every tick while connecting restarts the connection on the same URL.
    EXPECT_EQ(socket().starts, 4);
    EXPECT_EQ(socket().info->url(), util->publishUrl1());
    time.advance(2.9);
    EXPECT_TRUE(failures.empty());
    time.advance(0.1);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1009);
    EXPECT_DOUBLE_EQ(failures[0].at, 12.0);
    EXPECT_TRUE(util->isPushStoped());
    EXPECT_FALSE(util->session());
    EXPECT_FALSE(util->firstPushTimer());
    EXPECT_EQ(recorder.callsOf("setConnectionStatus").back()["args"][0], 5);
    time.advance(30);
    EXPECT_EQ(failures.size(), 1u);
}

TEST_F(PublishControlTest, StartedAfterNineSecondsKeepsPublishingWithAHeartbeat) {
    connect();
    report(ZQLivePending);
    time.advance(9.0);
    report(ZQLiveStart);
    EXPECT_FALSE(util->firstPushTimer());
    EXPECT_EQ(util->sessionState(), 3);
    EXPECT_EQ(util->videoState(), "ZQLiveStart---已连接");
    EXPECT_EQ(util->connectingTime(), 0);
    ASSERT_TRUE(waitFor([&] { return util->timer() != nullptr; }));
    util->wkwebView();
    time.advance(60);
    EXPECT_TRUE(failures.empty());
    EXPECT_FALSE(util->isPushStoped());
    int beats = 0;
    for (auto& s : host->scripts) beats += s == "socketIOEmitWithOutBuffer('pi','')";
    EXPECT_EQ(beats, 20);
    EXPECT_DOUBLE_EQ(util->seconds(), platform::wallTime());
}

TEST_F(PublishControlTest, SessionErrorWithCodeRestartsEachTickAndTheHeartbeatLimitEndsIt) {
    publish();
    time.advance(30);
    const double lastHealthy = util->seconds();
    const int starts = socket().starts;
    report(ZQLiveError);
    sessionError(ZQLiveSocketErrorReconnectExhausted);
    EXPECT_TRUE(util->isError());
    EXPECT_EQ(util->sessionState(), 5);
    time.advance(30);
    EXPECT_EQ(socket().starts, starts + 10) << "one restart per heartbeat tick";
    EXPECT_DOUBLE_EQ(util->seconds(), lastHealthy);
    time.advance(300);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1003);
    // The heartbeat limit, counted from the last healthy tick, comes before the reconnection limit
    // (counted from the first restart, a tick later) could.
    EXPECT_GE(failures[0].wall - lastHealthy, 300);
    EXPECT_LT(failures[0].wall - lastHealthy, 303);
    EXPECT_TRUE(util->isPushStoped());
    ASSERT_TRUE(waitFor([&] { return !room.requestsTo("/api/live/stop").empty(); }));
}

TEST_F(PublishControlTest, SessionErrorWithoutCodeEndsAtTheReconnectionLimit) {
    publish();
    time.advance(15);
    report(ZQLiveError);
    EXPECT_FALSE(util->isError());
    time.advance(3);
    const double firstRestart = util->connectingTime();
    ASSERT_GT(firstRestart, 10);
    time.advance(296);
    EXPECT_TRUE(failures.empty()) << "the heartbeat stays healthy";
    time.advance(6);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1009);
    EXPECT_EQ(recorder.callsOf("setConnectionStatus").back()["args"][0], 5);
    EXPECT_GE(platform::wallTime() - firstRestart, 300);
    EXPECT_LT(platform::wallTime() - firstRestart, 306);
}

TEST_F(PublishControlTest, NetworkUnreachableForFiveMinutesEndsWithTheHeartbeatLimit) {
    publish();
    time.advance(9);
    const double lastHealthy = util->seconds();
    reachability->flags = 0;
    time.advance(297);
    EXPECT_TRUE(failures.empty());
    time.advance(6);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1003);
    EXPECT_GE(platform::wallTime() - lastHealthy, 300);
}

TEST_F(PublishControlTest, PausedTimersStopAndResumeFiresAtOnceWithTheLimitCountedAfresh) {
    connect();
    util->addObserver_push();
    report(ZQLivePending);
    time.advance(4);
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(platform::kApplicationWillResignActiveNotification);
    time.runMain();
    EXPECT_FALSE(util->isPushActive());
    const int starts = socket().starts;
    time.advance(60);
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(socket().starts, starts);
    center.post(platform::kApplicationDidBecomeActiveNotification);
    time.runMain();
    time.advance(0);
    EXPECT_TRUE(util->isPushActive());
    EXPECT_EQ(socket().starts, starts + 1) << "the watch fires at once on resume";
    const double restarted = util->connectingTime();
    EXPECT_DOUBLE_EQ(restarted, platform::wallTime());
    time.advance(9);
    EXPECT_TRUE(failures.empty());
    time.advance(3);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1009);

    // An audio interruption pauses like going inactive, and its end resumes.
    failures.clear();
    publish();
    util->addObserver_push();
    auto* audioSession = &platform::AudioSession::sharedInstance();
    center.post(platform::kAudioSessionInterruptionNotification, audioSession,
                {{platform::kAudioSessionInterruptionTypeKey, platform::AudioSessionInterruptionTypeBegan}});
    time.runMain();
    EXPECT_FALSE(util->isPushActive());
    EXPECT_GE(util->timer()->fireDate(), platform::Timer::distantFuture());
    center.post(platform::kAudioSessionInterruptionNotification, audioSession,
                {{platform::kAudioSessionInterruptionTypeKey, platform::AudioSessionInterruptionTypeEnded}});
    time.runMain();
    EXPECT_TRUE(util->isPushActive());
}

TEST_F(PublishControlTest, StopWhileConnectingStopsWhenTheSessionStartsInstead) {
    connect();
    report(ZQLivePending);
    recorder.clear();
    util->stopPush();
    EXPECT_TRUE(util->stopButtonClicked());
    EXPECT_TRUE(util->session());
    EXPECT_TRUE(recorder.calls.empty());
    report(ZQLiveStart);
    EXPECT_EQ(recorder.ops(), std::vector<std::string>{"stopPushSuccessful"});
    EXPECT_FALSE(util->stopButtonClicked());
    EXPECT_FALSE(util->session());
    EXPECT_FALSE(util->firstPushTimer());
    ASSERT_TRUE(waitFor([&] { return !room.requestsTo("/api/live/stop").empty(); }));
    EXPECT_TRUE(room.requestsTo("/api/live/start").empty()) << "the live must not go live against the request";
}

TEST_F(PublishControlTest, StopWhilePublishingOrAfterAnErrorStopsAtOnce) {
    publish();
    recorder.clear();
    util->stopPush();
    EXPECT_EQ(recorder.ops(), std::vector<std::string>{"stopPushSuccessful"});
    EXPECT_FALSE(util->timer());
    EXPECT_FALSE(util->session());
    EXPECT_EQ(util->pitId(), -1);
    EXPECT_EQ(socket().stops, 1);

    connect();
    report(ZQLiveError);
    recorder.clear();
    util->stopPush();
    EXPECT_EQ(recorder.ops(), std::vector<std::string>{"stopPushSuccessful"});
}

TEST_F(PublishControlTest, ReconnectingChangesNeitherStateNorText) {
    publish();
    report(ZQLiveReconnecting);
    EXPECT_EQ(util->sessionState(), 3);
    EXPECT_EQ(util->videoState(), "ZQLiveStart---已连接");
    report(ZQLiveReady);
    EXPECT_EQ(util->videoState(), "ZQLiveReady---未连接");
}

TEST_F(PublishControlTest, ConnectingWithoutNetworkReleasesOnlyWhenSomeoneListens) {
    reachability->flags = 0;
    connect();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1008);
    EXPECT_FALSE(util->session());

    failures.clear();
    recorder.delegate->pushFailed = nullptr;
    connect();
    EXPECT_TRUE(util->session()) << "without a listener the session is left as it is";
    EXPECT_FALSE(util->firstPushTimer());
}

TEST_F(PublishControlTest, NewPreviewWhileConnectingIsNotTakenForAStop) {
    connect();
    report(ZQLivePending);
    auto oldSession = util->session();
    auto oldSocket = parts.sockets.back();
    util->startPreviewWithCameraFront(true, 1);
    // The replaced session's publisher reports the stop that stopLive asked for.
    oldSocket->report(ZQLiveStop);
    time.runMain();
    EXPECT_TRUE(util->session());
    EXPECT_TRUE(recorder.callsOf("stopPushSuccessful").empty());
    EXPECT_TRUE(util->firstPushTimer());
}

TEST_F(PublishControlTest, StartingAgainAfterAStopWithoutPreviewEndsAtTheFirstConnectionLimit) {
    room.setNodes({node("A", "10.0.0.1", 0.01, 11)});
    startLogin();
    time.advance(6);
    recorder.clear();
    reachPublishing();
    util->stopPush();
    failures.clear();
    util->startPushWithCameraFront();
    ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("getLiveidBeforPush").empty() && util->firstPushTimer(); }));
    connectStart = time.now();
    EXPECT_FALSE(util->session());
    time.advance(11.9);
    EXPECT_TRUE(failures.empty());
    time.advance(0.2);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1009);
}
