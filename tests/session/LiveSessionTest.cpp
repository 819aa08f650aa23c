// The live session with fake parts: construction, alignment, rebasing, forwarding, adaptation.
#include <gtest/gtest.h>
#include <thread>
#include "ZQPlatform/Exception.h"
#include "ZQPlatform/SystemInfo.h"
#include "encoder/ZVH264VideoEncoder.h"
#include "encoder/ZVHardwareVideoEncoder.h"
#include "session/ZQLiveSessionParts.h"
#include "tests/session/LiveSessionFakes.h"
#include "tests/support/VirtualTime.h"

namespace {

class LiveSessionTest : public ::testing::Test {
protected:
    std::shared_ptr<ZQLiveSession> make(std::int64_t type) {
        auto session = ZQLiveSession::create(ZQLiveAudioConfiguration::defaultConfiguration(),
                                             ZQLiveVideoConfiguration::defaultConfigurationForQuality(2), type);
        ZQLiveSessionInternals::impl(*session).setParts(fakes.parts());
        session->setDelegate(delegate);
        return session;
    }
    // Starts a run and lets the publisher report Start, so frames flow.
    void startUploading(ZQLiveSession& session) {
        auto info = std::make_shared<ZQLiveStreamInfo>();
        info->setUrl("rtmp://127.0.0.1/live/test");
        session.startLive(info);
        fakes.socket().report(ZQLivePending);
        fakes.socket().report(ZQLiveStart);
        time.runMain();
        // Pushed-in media makes the encoders, as a first captured frame would.
        session.pushVideo(platform::PixelBuffer::create(16, 16, platform::PixelFormat::BGRA));
        session.pushAudio(ZQBytes(std::vector<std::uint8_t>(64)));
    }

    zqtest::VirtualTime time;
    FakeParts fakes;
    std::shared_ptr<RecordingSessionDelegate> delegate = std::make_shared<RecordingSessionDelegate>();
};

TEST_F(LiveSessionTest, ConstructionRefusesAMissingConfigurationForTheMediaItCarries) {
    auto video = ZQLiveVideoConfiguration::defaultConfiguration();
    auto audio = ZQLiveAudioConfiguration::defaultConfiguration();
    try {
        ZQLiveSession::create(nullptr, video, 3);
        FAIL() << "no exception";
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.name(), "ZVLiveSession init error");
        EXPECT_EQ(e.reason(), "audioConfiguration is nil ");
    }
    try {
        ZQLiveSession::create(audio, nullptr, 8);
        FAIL() << "no exception";
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.reason(), "videoConfiguration is nil ");
    }
    EXPECT_NO_THROW(ZQLiveSession::create(nullptr, video, 2));
    EXPECT_NO_THROW(ZQLiveSession::create(audio, nullptr, 4));
    EXPECT_EQ(ZQLiveSession::create(audio, video)->captureType(), 3);
}

TEST_F(LiveSessionTest, StartLiveWithNothingDoesNothing) {
    auto session = make(12);
    session->startLive(nullptr);
    time.runMain();
    EXPECT_TRUE(fakes.sockets.empty());
    EXPECT_EQ(session->state(), ZQLiveReady);
}

TEST_F(LiveSessionTest, StartLiveGivesThePublisherTheSessionsConfigurationsAndReconnectSettings) {
    auto session = make(12);
    session->setReconnectInterval(7);
    session->setReconnectCount(2);
    auto info = std::make_shared<ZQLiveStreamInfo>();
    info->setUrl("rtmp://127.0.0.1/live/x");
    session->startLive(info);
    ASSERT_EQ(fakes.sockets.size(), 1u);
    EXPECT_EQ(fakes.socket().starts, 1);
    EXPECT_EQ(fakes.socket().interval, 7);
    EXPECT_EQ(fakes.socket().count, 2);
    EXPECT_EQ(info->videoConfiguration(), session->videoConfiguration());
    EXPECT_EQ(info->audioConfiguration(), session->audioConfiguration());
    // A second start without a stop reuses the same publisher.
    session->startLive(info);
    EXPECT_EQ(fakes.sockets.size(), 1u);
    EXPECT_EQ(fakes.socket().starts, 2);
}

TEST_F(LiveSessionTest, StopLiveWithoutAStartStillMakesAndStopsAPublisherThenDropsIt) {
    auto session = make(12);
    session->stopLive();
    ASSERT_EQ(fakes.sockets.size(), 1u);
    EXPECT_EQ(fakes.socket().stops, 1);
    fakes.socket().report(ZQLiveStop);
    time.runMain();
    EXPECT_EQ(delegate->states, (std::vector<ZQLiveState>{ZQLiveStop}));
    session->startLive(std::make_shared<ZQLiveStreamInfo>());
    EXPECT_EQ(fakes.sockets.size(), 2u) << "the next run gets a new publisher";
}

TEST_F(LiveSessionTest, StatesAndErrorsReachTheDelegateOnTheMainQueueInOrder) {
    auto session = make(12);
    session->startLive(std::make_shared<ZQLiveStreamInfo>());
    std::thread publisher([&] {
        for (auto s : {ZQLivePending, ZQLiveReconnecting, ZQLiveError}) fakes.socket().report(s);
        fakes.socket().delegate.lock()->socketDidError(fakes.sockets.back(), ZQLiveSocketErrorReconnectExhausted);
    });
    publisher.join();
    EXPECT_TRUE(delegate->states.empty()) << "nothing is delivered off the main queue";
    time.runMain();
    EXPECT_EQ(delegate->states, (std::vector<ZQLiveState>{ZQLivePending, ZQLiveReconnecting, ZQLiveError}));
    EXPECT_EQ(delegate->sessionStateAtCall, delegate->states) << "state is written just before the call";
    EXPECT_EQ(delegate->errors, (std::vector<std::uint64_t>{205}));
    EXPECT_EQ(session->state(), ZQLiveError);
}

TEST_F(LiveSessionTest, AudioAndVideoRunWaitsForAKeyFrameAfterTheFirstAudioFrame) {
    auto session = make(12);
    startUploading(*session);
    fakes.video->emit(1000, true); // key frame before any audio: does not align
    fakes.audio->emit(1010);       // first audio: dropped, but now audio has been seen
    fakes.video->emit(1020, false);
    fakes.audio->emit(1033);
    EXPECT_TRUE(fakes.socket().frames.empty());
    fakes.video->emit(1040, true); // aligns the run: the first frame pushed, timestamp 0
    fakes.audio->emit(1056);
    fakes.video->emit(1073, false);
    EXPECT_EQ(fakes.socket().timestamps(), (std::vector<std::uint64_t>{0, 16, 33}));
    EXPECT_TRUE(fakes.socket().frames[0]->asVideoFrame());
}

TEST_F(LiveSessionTest, VideoOnlyRunPushesTheFirstFrameEvenIfItIsNotAKeyFrame) {
    auto session = make(8);
    startUploading(*session);
    fakes.video->emit(500, false);
    fakes.video->emit(533, true);
    EXPECT_EQ(fakes.socket().timestamps(), (std::vector<std::uint64_t>{0, 33}));
}

TEST_F(LiveSessionTest, NothingIsPushedBeforeThePublisherStartsOrAfterItStops) {
    auto session = make(12);
    ZQLiveSessionInternals::impl(*session).videoEncoder(); // encoders that already exist from an earlier run
    ZQLiveSessionInternals::impl(*session).audioEncoder();
    session->startLive(std::make_shared<ZQLiveStreamInfo>());
    fakes.socket().report(ZQLivePending);
    fakes.audio->emit(10);
    fakes.video->emit(20, true);
    EXPECT_TRUE(fakes.socket().frames.empty());
    fakes.socket().report(ZQLiveStart);
    fakes.audio->emit(30);
    fakes.video->emit(40, true);
    EXPECT_EQ(fakes.socket().frames.size(), 1u);
    fakes.socket().report(ZQLiveStop);
    fakes.audio->emit(50);
    EXPECT_EQ(fakes.socket().frames.size(), 1u);
}

TEST_F(LiveSessionTest, TimestampsCarryOnAcrossAReconnect) {
    auto session = make(12);
    startUploading(*session);
    fakes.audio->emit(100);
    fakes.video->emit(100, true);
    fakes.video->emit(200, false);
    fakes.socket().report(ZQLiveReconnecting);
    fakes.video->emit(300, false); // still uploading: queued in the publisher's buffer
    fakes.socket().report(ZQLiveStart);
    fakes.audio->emit(400);
    fakes.video->emit(500, false);
    EXPECT_EQ(fakes.socket().timestamps(), (std::vector<std::uint64_t>{0, 100, 200, 300, 400}));
}

TEST_F(LiveSessionTest, ANewRunAfterStopRestartsAlignmentAndTheTimeBase) {
    auto session = make(12);
    startUploading(*session);
    fakes.audio->emit(100);
    fakes.video->emit(100, true);
    session->stopLive();
    startUploading(*session);
    fakes.video->emit(5000, true); // the old alignment is gone: needs audio first again
    fakes.audio->emit(5010);
    fakes.video->emit(5020, true);
    EXPECT_EQ(fakes.socket().timestamps(), (std::vector<std::uint64_t>{0}));
}

TEST_F(LiveSessionTest, ConcurrentFirstFramesAgreeOnOneTimeBase) {
    auto session = make(8);
    startUploading(*session);
    std::thread a([&] {
        for (int i = 0; i < 200; ++i) fakes.video->emit(10000 + i, false);
    });
    std::thread b([&] {
        for (int i = 0; i < 200; ++i) fakes.video->emit(10000 + i, false);
    });
    a.join();
    b.join();
    auto stamps = fakes.socket().timestamps();
    ASSERT_EQ(stamps.size(), 400u);
    for (auto t : stamps) EXPECT_LT(t, 200u) << "every frame was rebased on the same base (10000)";
}

TEST_F(LiveSessionTest, PushedMediaGoesToTheEncodersOnlyWhileUploadingAndForTheRightType) {
    auto session = make(12);
    auto picture = platform::PixelBuffer::create(16, 16, platform::PixelFormat::BGRA);
    ZQBytes pcm(std::vector<std::uint8_t>(4096));
    session->pushVideo(picture);
    session->pushAudio(pcm);
    EXPECT_TRUE(fakes.video->encoded.empty());
    EXPECT_TRUE(fakes.audio->encoded.empty());
    startUploading(*session);
    time.advance(1.5);
    session->pushVideo(picture);
    session->pushAudio(pcm);
    ASSERT_EQ(fakes.video->encoded.size(), 2u);
    EXPECT_EQ(fakes.video->encoded[1], static_cast<std::uint64_t>(time.now() * 1000));
    EXPECT_EQ(fakes.audio->encoded.size(), 2u);

    FakeParts otherFakes;
    auto captureOnly = ZQLiveSession::create(ZQLiveAudioConfiguration::defaultConfiguration(),
                                             ZQLiveVideoConfiguration::defaultConfiguration(), 3);
    ZQLiveSessionInternals::impl(*captureOnly).setParts(otherFakes.parts());
    captureOnly->startLive(std::make_shared<ZQLiveStreamInfo>());
    otherFakes.socket().report(ZQLiveStart);
    captureOnly->pushVideo(picture);
    captureOnly->pushAudio(pcm);
    EXPECT_TRUE(otherFakes.video->encoded.empty()) << "type 3 takes no pushed-in media";
    EXPECT_TRUE(otherFakes.audio->encoded.empty());
}

TEST_F(LiveSessionTest, PicturesArrivingWithinOneMillisecondGetDistinctRisingTimes) {
    auto session = make(12);
    startUploading(*session);
    auto picture = platform::PixelBuffer::create(16, 16, platform::PixelFormat::BGRA);
    session->pushVideo(picture); // the clock has not moved since the first picture
    session->pushVideo(picture);
    time.advance(0.01);
    session->pushVideo(picture);
    const auto& stamps = fakes.video->encoded;
    ASSERT_EQ(stamps.size(), 4u);
    EXPECT_EQ(stamps[1], stamps[0] + 1);
    EXPECT_EQ(stamps[2], stamps[0] + 2);
    EXPECT_EQ(stamps[3], stamps[0] + 10) << "a picture that comes later keeps its own time";
}

TEST_F(LiveSessionTest, PcmDeliveredInABurstKeepsTheSpacingItsSamplesImply) {
    auto session = make(12); // 44.1 kHz stereo
    startUploading(*session);  // one block of 64 bytes so far
    ZQBytes block(std::vector<std::uint8_t>(4096)); // 1024 samples: 23.2 ms
    time.advance(1);
    session->pushAudio(block);
    session->pushAudio(block); // the same millisecond: a source catching up
    session->pushAudio(block);
    time.advance(1);
    session->pushAudio(block); // on time again
    const auto& stamps = fakes.audio->encoded;
    ASSERT_EQ(stamps.size(), 5u);
    EXPECT_EQ(stamps[2], stamps[1] + 23);
    EXPECT_EQ(stamps[3], stamps[1] + 46);
    EXPECT_EQ(stamps[4], stamps[1] + 1000);
}

TEST_F(LiveSessionTest, StatisticsAreKeptAlwaysAndDeliveredOnlyWhenAskedFor) {
    auto session = make(12);
    session->startLive(std::make_shared<ZQLiveStreamInfo>());
    auto record = std::make_shared<ZQLiveDebug>();
    auto socketDelegate = fakes.socket().delegate.lock();
    socketDelegate->socketDebug(fakes.sockets.back(), record);
    time.runMain();
    EXPECT_EQ(session->debugInfo(), record);
    EXPECT_TRUE(delegate->debugs.empty());
    session->setShowDebugInfo(true);
    auto second = std::make_shared<ZQLiveDebug>();
    socketDelegate->socketDebug(fakes.sockets.back(), second);
    time.runMain();
    ASSERT_EQ(delegate->debugs.size(), 1u);
    EXPECT_EQ(delegate->debugs[0], second);
}

class AdaptiveBitrateTest : public LiveSessionTest {
protected:
    void SetUp() override {
        session = make(12);
        session->setAdaptiveBitrate(true);
        session->startLive(std::make_shared<ZQLiveStreamInfo>());
        // Quality 2: bit rate 800000, maximum 960000, minimum 600000.
        ASSERT_EQ(session->videoConfiguration()->videoMaxBitRate(), 960000u);
        ASSERT_EQ(session->videoConfiguration()->videoMinBitRate(), 600000u);
    }
    void report(ZVBufferState state) { fakes.socket().delegate.lock()->socketBufferStatus(fakes.sockets.back(), state); }
    std::shared_ptr<ZQLiveSession> session;
};

TEST_F(AdaptiveBitrateTest, DeclineRaisesBy50000UntilAtOrAboveTheMaximum) {
    fakes.video->bitRate = 800000;
    std::vector<std::int64_t> rates;
    for (int i = 0; i < 5; ++i) {
        report(ZVBufferStateDecline);
        rates.push_back(fakes.video->bitRate);
    }
    EXPECT_EQ(rates, (std::vector<std::int64_t>{850000, 900000, 950000, 1000000, 1000000}));
    // Each step reaches the delegate on the main queue; the report that moved nothing does not.
    EXPECT_TRUE(delegate->bitRates.empty());
    time.runMain();
    EXPECT_EQ(delegate->bitRates, (std::vector<std::uint64_t>{850000, 900000, 950000, 1000000}));
}

TEST_F(AdaptiveBitrateTest, IncreaseCutsBy100000UntilAtOrBelowTheMinimum) {
    fakes.video->bitRate = 650000;
    report(ZVBufferStateIncrease);
    EXPECT_EQ(fakes.video->bitRate, 550000);
    report(ZVBufferStateIncrease);
    EXPECT_EQ(fakes.video->bitRate, 550000);
}

TEST_F(AdaptiveBitrateTest, ACutNeverWrapsBelowZero) {
    session->videoConfiguration()->setVideoBitRate(60000);
    session->videoConfiguration()->setVideoMinBitRate(50000);
    fakes.video->bitRate = 60000;
    report(ZVBufferStateIncrease);
    EXPECT_EQ(fakes.video->bitRate, 0);
}

TEST_F(AdaptiveBitrateTest, NothingMovesWhenAdaptationIsOff) {
    session->setAdaptiveBitrate(false);
    fakes.video->bitRate = 800000;
    report(ZVBufferStateDecline);
    report(ZVBufferStateIncrease);
    EXPECT_EQ(fakes.video->bitRate, 800000);
    time.runMain();
    EXPECT_TRUE(delegate->bitRates.empty());
}

TEST_F(LiveSessionTest, RunningStartsTheCaptureSourcesAndKillStopsOnlyExistingOnes) {
    auto pushOnly = make(12);
    pushOnly->kill();
    EXPECT_EQ(fakes.audioCapturesMade, 0);
    auto capturing = make(1 | 8);
    std::vector<std::string> changes;
    capturing->setPropertyChangeHandler([&](const std::string& name) { changes.push_back(name); });
    capturing->kill();
    EXPECT_EQ(fakes.audioCapturesMade, 0) << "kill makes no source";
    capturing->setRunning(true);
    EXPECT_TRUE(fakes.audioCapture->isRunning);
    capturing->setRunning(true); // unchanged: nothing happens
    capturing->kill();
    EXPECT_FALSE(fakes.audioCapture->isRunning);
    EXPECT_TRUE(capturing->running()) << "kill leaves the session's own flag";
    capturing->setMuted(true);
    EXPECT_TRUE(capturing->muted());
    EXPECT_EQ(changes, (std::vector<std::string>{"running", "muted"}));
    EXPECT_EQ(fakes.audioCapturesMade, 1);
}

} // namespace

namespace {

// Which encoder the version rule and the override make (real encoders; nothing is encoded).
class VideoEncoderChoiceTest : public ::testing::Test {
protected:
    void TearDown() override { platform::SystemInfo::setSystemVersion(""); }
    static std::string kindOf(const std::shared_ptr<ZVVideoEncoding>& encoder) {
        if (dynamic_cast<ZVH264VideoEncoder*>(encoder.get())) return "file";
        if (dynamic_cast<ZVHardwareVideoEncoder*>(encoder.get())) return "hardware";
        return "none";
    }
    static std::string made(ZQLiveVideoEncoderType type) {
        return kindOf(ZQLiveSessionParts::videoEncoderMaker(type)(ZQLiveVideoConfiguration::defaultConfigurationForQuality(2)));
    }
};

TEST_F(VideoEncoderChoiceTest, FileBasedBelowVersionEightUnlessForced) {
    using Type = ZQLiveVideoEncoderType;
    platform::SystemInfo::setSystemVersion("7.0");
    EXPECT_EQ(made(Type::Automatic), "file");
    EXPECT_EQ(made(Type::Hardware), "hardware");
    platform::SystemInfo::setSystemVersion("7.9");
    EXPECT_EQ(made(Type::Automatic), "file");
    platform::SystemInfo::setSystemVersion("8.0");
    EXPECT_EQ(made(Type::Automatic), "hardware");
    EXPECT_EQ(made(Type::FileBased), "file");
}

TEST_F(VideoEncoderChoiceTest, TheSessionMakesTheChosenEncoder) {
    platform::SystemInfo::setSystemVersion("7.0");
    auto session = ZQLiveSession::create(ZQLiveAudioConfiguration::defaultConfiguration(),
                                         ZQLiveVideoConfiguration::defaultConfigurationForQuality(2));
    EXPECT_EQ(session->videoEncoderType(), ZQLiveVideoEncoderType::Automatic);
    session->setVideoEncoderType(ZQLiveVideoEncoderType::Hardware);
    EXPECT_EQ(session->videoEncoderType(), ZQLiveVideoEncoderType::Hardware);
    EXPECT_EQ(kindOf(ZQLiveSessionInternals::impl(*session).videoEncoder()), "hardware");

    auto byVersion = ZQLiveSession::create(ZQLiveAudioConfiguration::defaultConfiguration(),
                                           ZQLiveVideoConfiguration::defaultConfigurationForQuality(2));
    EXPECT_EQ(kindOf(ZQLiveSessionInternals::impl(*byVersion).videoEncoder()), "file");
}

} // namespace
