// ZVAudioCapture over a fake I/O unit: set-up order, running and interruptions on the task queue,
// muting, the failure notification, teardown, and the live session's use of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include "ZQLiveKit/AudioInput.h"
#include "ZQLiveKit/AudioSession.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQLiveKit/ZQLiveSession.h"
#include "ZQPlatform/NotificationCenter.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/SystemInfo.h"
#include "capture/ZVAudioCapture.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "platform/media/AudioSessionAccess.h"
#include "tests/capture/FakeAudioUnit.h"
#include "tests/support/TestUtil.h"

namespace {

using platform::AudioSession;
using platform::AudioSessionAccess;
using platform::NotificationCenter;
using testing::ElementsAre;

// Keeps every PCM block it receives; may own the capture it listens to.
class RecordingDelegate final : public ZVAudioCaptureDelegate {
public:
    void captureOutputAudioData(ZVAudioCaptureSource&, const ZQBytes& pcm) override {
        blocks.push_back(std::vector<std::uint8_t>(pcm.data(), pcm.data() + pcm.size()));
        if (dropOwnedCapture) owned.reset();
    }
    std::vector<std::vector<std::uint8_t>> blocks;
    std::shared_ptr<ZVAudioCapture> owned;
    bool dropOwnedCapture = false;
};

class AudioCaptureTest : public testing::Test {
protected:
    void SetUp() override {
        AudioSessionAccess::reset(AudioSession::sharedInstance());
        platform::AudioComponent::setIOComponentForTesting(fake);
        configuration = ZQLiveAudioConfiguration::defaultConfiguration(); // 44100 Hz stereo
    }
    void TearDown() override {
        platform::AudioComponent::setIOComponentForTesting(nullptr);
        platform::resetRuntime();
    }

    std::shared_ptr<ZVAudioCapture> make() {
        auto capture = ZVAudioCapture::create(configuration);
        capture->setDelegate(delegate);
        return capture;
    }
    static void drain(const std::shared_ptr<ZVAudioCapture>& capture) { capture->taskQueue()->sync([] {}); }
    // A capture whose start has run.
    std::shared_ptr<ZVAudioCapture> makeRunning() {
        auto capture = make();
        capture->setRunning(true);
        drain(capture);
        return capture;
    }
    static void postInterruption(nlohmann::json userInfo, const void* object = &AudioSession::sharedInstance()) {
        NotificationCenter::defaultCenter().post(platform::kAudioSessionInterruptionNotification, object,
                                                 std::move(userInfo));
    }
    static nlohmann::json began() { return {{platform::kAudioSessionInterruptionTypeKey, 1}}; }
    static nlohmann::json ended(int option) {
        return {{platform::kAudioSessionInterruptionTypeKey, 0}, {platform::kAudioSessionInterruptionOptionKey, option}};
    }
    // Keeps the reason of every failure notification (posted without an object) in `reasons`.
    NotificationCenter::Registration observeFailures() {
        return NotificationCenter::defaultCenter().addObserver(
            kZVAudioComponentFailedToCreateNotification, nullptr, nullptr, [this](const platform::Notification& n) {
                EXPECT_EQ(n.object, nullptr);
                reasons.push_back(n.userInfo.value("reason", ""));
            });
    }
    int starts() {
        std::lock_guard lock(fake->record->mutex);
        return fake->record->starts;
    }
    int stops() {
        std::lock_guard lock(fake->record->mutex);
        return fake->record->stops;
    }

    std::shared_ptr<zqtest::FakeAudioComponent> fake = std::make_shared<zqtest::FakeAudioComponent>();
    std::shared_ptr<ZQLiveAudioConfiguration> configuration;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::vector<std::string> reasons;
};

TEST_F(AudioCaptureTest, SetsUpTheUnitThenTheAudioSessionInOrder) {
    auto capture = make();
    EXPECT_THAT(fake->record->snapshot(), ElementsAre("enableIO scope 1 element 1 value 1",
                                                      "streamFormat scope 2 element 1", "inputCallback scope 0 element 1",
                                                      "initialize"));
    const auto& f = fake->record->format;
    EXPECT_EQ(f.sampleRate, 44100.0);
    EXPECT_EQ(f.formatID, platform::AudioFormatID::LinearPCM);
    EXPECT_EQ(f.formatFlags, 12u);
    EXPECT_EQ(f.bytesPerPacket, 4u);
    EXPECT_EQ(f.framesPerPacket, 1u);
    EXPECT_EQ(f.bytesPerFrame, 4u);
    EXPECT_EQ(f.channelsPerFrame, 2u);
    EXPECT_EQ(f.bitsPerChannel, 16u);

    auto& session = AudioSession::sharedInstance();
    EXPECT_EQ(session.category(), platform::kAudioSessionCategoryPlayAndRecord);
    EXPECT_EQ(session.categoryOptions(), 0x19u);
    EXPECT_EQ(session.preferredSampleRate(), 44100.0);
    EXPECT_TRUE(session.isActive());

    EXPECT_FALSE(capture->running());
    EXPECT_FALSE(capture->isRunning());
    EXPECT_EQ(starts(), 0);
    EXPECT_NE(capture->componetInstance(), nullptr);
    EXPECT_EQ(capture->component(), fake);
}

TEST_F(AudioCaptureTest, RunningTrueTwiceStartsOnceAndStopIsSynchronous) {
    auto capture = make();
    capture->setRunning(true);
    capture->setRunning(true);
    drain(capture);
    EXPECT_EQ(starts(), 1);
    EXPECT_TRUE(capture->isRunning());
    // Starting widens the category's options by "allow Bluetooth".
    EXPECT_EQ(AudioSession::sharedInstance().categoryOptions(), 0x1Du);

    capture->setRunning(false);
    EXPECT_EQ(stops(), 1) << "the stop ran before setRunning returned";
    EXPECT_FALSE(capture->isRunning());
    capture->setRunning(false);
    EXPECT_EQ(stops(), 1);
}

TEST_F(AudioCaptureTest, MutedBlocksAreDeliveredAllZero) {
    auto capture = make();
    EXPECT_EQ(fake->deliver(256), platform::noErr);
    capture->setMuted(true);
    EXPECT_EQ(fake->deliver(256), platform::noErr);
    capture->setMuted(false);
    EXPECT_EQ(fake->deliver(100), platform::noErr);

    ASSERT_EQ(delegate->blocks.size(), 3u);
    ASSERT_EQ(delegate->blocks[0].size(), 1024u); // 256 frames of 16-bit stereo
    EXPECT_EQ(delegate->blocks[0][0], 1);
    EXPECT_EQ(delegate->blocks[0][1023], static_cast<std::uint8_t>(1024));
    ASSERT_EQ(delegate->blocks[1].size(), 1024u);
    EXPECT_EQ(std::count(delegate->blocks[1].begin(), delegate->blocks[1].end(), 0), 1024);
    EXPECT_EQ(delegate->blocks[2].size(), 400u);
    EXPECT_EQ(delegate->blocks[2][0], 1);
}

TEST_F(AudioCaptureTest, AFailedRenderDeliversNothing) {
    auto capture = make();
    fake->lastUnit->failRender = true;
    EXPECT_NE(fake->deliver(256), platform::noErr);
    EXPECT_TRUE(delegate->blocks.empty());
}

TEST_F(AudioCaptureTest, InterruptionEndedWithoutResumeLeavesTheUnitStoppedUntilRunningIsToggled) {
    auto capture = makeRunning();

    postInterruption(began());
    EXPECT_EQ(stops(), 1) << "the interruption stopped the unit synchronously";
    EXPECT_TRUE(capture->isRunning());
    postInterruption(ended(0));
    drain(capture);
    EXPECT_EQ(starts(), 1);
    EXPECT_TRUE(capture->running());
    EXPECT_TRUE(capture->isRunning());

    capture->setRunning(false);
    capture->setRunning(true);
    drain(capture);
    EXPECT_EQ(starts(), 2);
}

TEST_F(AudioCaptureTest, InterruptionEndedWithResumeStartsAgain) {
    auto capture = makeRunning();
    postInterruption(began());
    postInterruption(ended(1));
    drain(capture);
    EXPECT_EQ(stops(), 1);
    EXPECT_EQ(starts(), 2);
}

TEST_F(AudioCaptureTest, InterruptionsWhileNotRunningOrFromElsewhereDoNothing) {
    auto capture = make();
    postInterruption(began());
    postInterruption(ended(1));
    drain(capture);
    EXPECT_EQ(stops(), 0);
    EXPECT_EQ(starts(), 0);

    capture->setRunning(true);
    drain(capture);
    int other = 0;
    postInterruption(began(), &other);                              // another object's notification
    postInterruption({{platform::kAudioSessionInterruptionTypeKey, "1"}}); // not an integer type
    postInterruption(nlohmann::json::array());                      // no userInfo dictionary
    EXPECT_EQ(stops(), 0);
}

TEST_F(AudioCaptureTest, StartsStopsAndInterruptionsAreLogged) {
    zqtest::TempDir home;
    platform::SystemInfo::setHomeDirectory(home.path());
    auto& log = SaveLogUtil::sharedInstance();
    log.isNeedToSaveLog(true);
    {
        auto capture = makeRunning();
        postInterruption(began());
        postInterruption(ended(1));
        drain(capture);
        capture->setRunning(false);
    }
    log.isNeedToSaveLog(false);
    std::string text = zqtest::readFile(log.saveLogPath());
    std::regex entry(R"((\w+)\[[^\]]*\]:([^\n]*))");
    std::vector<std::string> entries;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        entries.push_back((*it)[1].str() + " " + (*it)[2].str());
    EXPECT_THAT(entries, ElementsAre("setRunning MicrophoneSource: startRunning",
                                     "handleInterruption MicrophoneSource: stopRunning",
                                     "handleInterruption MicrophoneSource: startRunning",
                                     "setRunning MicrophoneSource: stopRunning"));
    platform::SystemInfo::setHomeDirectory("");
}

TEST_F(AudioCaptureTest, AnInputThatCannotBeMadeIsAnnouncedOnTheMainQueueAndStartsDoNothing) {
    fake->instanceStatus = -50;
    auto observer = observeFailures();
    auto capture = make();
    EXPECT_TRUE(reasons.empty()) << "posted later, on the main queue";
    platform::RunLoop::main().runUntilIdle();
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find("fake"), std::string::npos) << reasons[0];
    EXPECT_EQ(capture->componetInstance(), nullptr);
    // Set-up still went on to the audio session.
    EXPECT_EQ(AudioSession::sharedInstance().category(), platform::kAudioSessionCategoryPlayAndRecord);
    capture->setRunning(true);
    drain(capture);
    EXPECT_TRUE(capture->isRunning());
    capture->setRunning(false);
}

TEST_F(AudioCaptureTest, AUnitThatFailsToInitialiseIsAnnouncedWithItsReason) {
    fake->initializeStatus = -10875;
    auto observer = observeFailures();
    auto capture = make();
    platform::RunLoop::main().runUntilIdle();
    EXPECT_THAT(reasons, ElementsAre("the fake refuses to initialise"));
}

TEST_F(AudioCaptureTest, DestructionStopsAndDisposesOfTheUnitAndSilencesItsCallback) {
    auto capture = makeRunning();
    capture.reset();
    EXPECT_EQ(stops(), 1);
    EXPECT_TRUE(fake->record->disposed);
    // A late callback and notifications find no capture.
    EXPECT_EQ(fake->deliver(64), -1);
    postInterruption(began());
    EXPECT_TRUE(delegate->blocks.empty());
}

TEST_F(AudioCaptureTest, ADelegateThatDropsTheCaptureFromItsCallbackDoesNotDeadlock) {
    delegate->owned = make();
    delegate->owned->setRunning(true);
    drain(delegate->owned);
    delegate->dropOwnedCapture = true;
    EXPECT_EQ(fake->deliver(64), platform::noErr);
    EXPECT_EQ(delegate->owned, nullptr);
    // Another thread stops and disposes of the unit once the callback has returned.
    std::unique_lock lock(fake->record->mutex);
    EXPECT_TRUE(fake->record->changed.wait_for(lock, std::chrono::seconds(10), [&] { return fake->record->disposed; }));
    EXPECT_FALSE(fake->record->running);
}

TEST_F(AudioCaptureTest, TheLiveSessionMakesItForCaptureTypeOne) {
    auto session = ZQLiveSession::create(configuration, nullptr, ZQLiveCaptureAudio);
    session->setRunning(true);
    session->setMuted(true);
    EXPECT_TRUE(session->muted());
    session->setRunning(false);
    EXPECT_EQ(stops(), 1);
    EXPECT_EQ(starts(), 1);

    auto pushedIn = ZQLiveSession::create(configuration, nullptr, ZQLiveInputAudio);
    pushedIn->setRunning(true);
    EXPECT_EQ(starts(), 1) << "no microphone for pushed-in audio";
}

TEST(AudioComponentTest, TheVoiceIOUnitIsTheOnlyComponent) {
    using namespace platform;
    EXPECT_NE(AudioComponent::findNext({kAudioUnitType_Output, kAudioUnitSubType_RemoteIO, kAudioUnitManufacturer_Apple, 0, 0}),
              nullptr);
    EXPECT_NE(AudioComponent::findNext({kAudioUnitType_Output, 0, 0, 0, 0}), nullptr);
    EXPECT_EQ(AudioComponent::findNext({kAudioUnitType_Output, fourCharCode("vpio"), 0, 0, 0}), nullptr);
    EXPECT_EQ(AudioComponent::findNext({fourCharCode("aumu"), 0, 0, 0, 0}), nullptr);
    EXPECT_EQ(AudioComponent::findNext({kAudioUnitType_Output, 0, 0, 1, 1}), nullptr);
}

} // namespace
