// The microphone's back ends behind the I/O unit (tone, audio file, ALSA through PCMs the test
// defines itself, and the ALSA capture loop over a scripted PCM) and the audio-session model.
#include <gtest/gtest.h>
#include <cerrno>
#include <cmath>
#include <deque>
#include <fstream>
#include <future>
#include <numbers>
#include <poll.h>
#include "ZQLiveKit/AudioSession.h"
#include "ZQLiveKit/ToneSource.h"
#include "ZQPlatform/NotificationCenter.h"
#include "platform/media/AlsaAudioUnit.h"
#include "platform/media/AudioInputUnits.h"
#include "platform/media/AudioSessionAccess.h"
#include "tests/platform/media/AudioTestSupport.h"
#include "tests/support/PulseAudio.h"
#include "tests/support/TestUtil.h"

namespace {

using namespace platform;
using zqtest::UnitRecorder;

std::vector<std::int16_t> ramp(std::size_t count, int modulo = 30000) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::int16_t>(static_cast<int>(i % modulo) - modulo / 2);
    return samples;
}

// --- Tone ---

TEST(ToneInputTest, DeliversTheToneSourcesBlocksPeriodByPeriod) {
    UnitRecorder recorder(makeToneAudioUnit(440));
    ASSERT_EQ(recorder.setUp(44100, 2), noErr);
    ASSERT_TRUE(recorder.record(3));

    ToneSource reference(44100, 2, kInputPeriodFrames * 4, 440);
    std::vector<std::uint8_t> expected(kInputPeriodFrames * 4);
    auto periods = recorder.periods();
    for (std::size_t i = 0; i < 3; ++i) {
        reference.fillNextBlock(expected);
        EXPECT_EQ(periods[i], expected) << "period " << i;
    }
}

TEST(ToneInputTest, TheUnitChecksItsStateAndFormat) {
    auto unit = makeToneAudioUnit(0);
    AudioUnitRenderActionFlags flags = 0;
    AudioBufferList list;
    list.numberBuffers = 1;
    EXPECT_EQ(unit->start(), kAudioUnitErr_Uninitialized);
    EXPECT_EQ(unit->initialize(), kAudioUnitErr_NoConnection) << "the input bus is not enabled";
    EXPECT_EQ(unit->setEnableIO(AudioUnitScope::Input, kInputBus, 1), noErr);
    EXPECT_EQ(unit->setEnableIO(AudioUnitScope::Input, 2, 1), kAudioUnitErr_InvalidElement);
    auto float32 = interleavedS16(44100, 2);
    float32.bitsPerChannel = 32;
    EXPECT_EQ(unit->setStreamFormat(AudioUnitScope::Output, kInputBus, float32), kAudioUnitErr_FormatNotSupported);
    EXPECT_EQ(unit->setStreamFormat(AudioUnitScope::Output, kInputBus, interleavedS16(0, 2)),
              kAudioUnitErr_FormatNotSupported);
    EXPECT_EQ(unit->initialize(), kAudioUnitErr_FormatNotSupported) << "no format yet";
    EXPECT_EQ(unit->setStreamFormat(AudioUnitScope::Output, kInputBus, interleavedS16(16000, 1)), noErr);
    EXPECT_EQ(unit->initialize(), noErr);
    EXPECT_EQ(unit->setStreamFormat(AudioUnitScope::Output, kInputBus, interleavedS16(44100, 2)), -10849)
        << "fixed once initialised";
    EXPECT_EQ(unit->render(flags, {}, kInputBus, 16, list), kAudioUnitErr_CannotDoInCurrentContext)
        << "only from inside the input callback";
    EXPECT_EQ(unit->start(), noErr);
    EXPECT_EQ(unit->start(), noErr);
    EXPECT_EQ(unit->stop(), noErr);
    EXPECT_EQ(unit->stop(), noErr);
}

// --- Audio file ---

TEST(FileInputTest, PlaysTheFileAtItsOwnFormatAndLoopsIt) {
    zqtest::TempDir dir;
    auto source = ramp(3000);
    zqtest::writeWav(dir.file("ramp.wav"), 48000, 1, source);
    UnitRecorder recorder(makeFileAudioUnit(dir.file("ramp.wav")));
    ASSERT_EQ(recorder.setUp(48000, 1), noErr) << recorder.unit().errorDescription();
    ASSERT_TRUE(recorder.record(4));

    auto samples = recorder.samples();
    ASSERT_GE(samples.size(), 4 * kInputPeriodFrames);
    for (std::size_t i = 0; i < 4 * kInputPeriodFrames; ++i)
        ASSERT_EQ(samples[i], source[i % source.size()]) << "sample " << i;
}

TEST(FileInputTest, ConvertsToTheCapturesRateAndChannels) {
    zqtest::TempDir dir;
    std::vector<std::int16_t> sine(48000);
    for (std::size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<std::int16_t>(12000 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / 48000));
    zqtest::writeWav(dir.file("sine.wav"), 48000, 1, sine);
    UnitRecorder recorder(makeFileAudioUnit(dir.file("sine.wav")));
    ASSERT_EQ(recorder.setUp(44100, 2), noErr) << recorder.unit().errorDescription();
    ASSERT_TRUE(recorder.record(8));

    auto samples = recorder.samples();
    const std::size_t frames = 8 * kInputPeriodFrames;
    ASSERT_GE(samples.size(), 2 * frames);
    int crossings = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        ASSERT_EQ(samples[2 * f], samples[2 * f + 1]) << "mono goes to both channels, frame " << f;
        if (f > 0 && (samples[2 * (f - 1)] < 0) != (samples[2 * f] < 0)) ++crossings;
    }
    // 1 kHz keeps its pitch at 44.1 kHz: two zero crossings a cycle.
    EXPECT_NEAR(crossings, 2000.0 * frames / 44100, 4);
}

TEST(FileInputTest, ARecordingCutShortPlaysWhatItHoldsAndLoops) {
    zqtest::TempDir dir;
    auto source = ramp(1500);
    zqtest::writeWav(dir.file("cut.wav"), 16000, 1, source, 16000); // the header claims a second
    UnitRecorder recorder(makeFileAudioUnit(dir.file("cut.wav")));
    ASSERT_EQ(recorder.setUp(16000, 1), noErr) << recorder.unit().errorDescription();
    ASSERT_TRUE(recorder.record(3));
    auto samples = recorder.samples();
    for (std::size_t i = 0; i < 3 * kInputPeriodFrames; ++i) ASSERT_EQ(samples[i], source[i % source.size()]) << i;
}

TEST(FileInputTest, FilesWithoutAudioCannotBeOpened) {
    zqtest::TempDir dir;
    zqtest::writeWav(dir.file("empty.wav"), 44100, 2, {});
    {
        std::ofstream(dir.file("text.wav")) << "not a sound file";
    }
    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {{dir.file("empty.wav"), "no audio samples"},
                 {dir.file("text.wav"), "cannot read audio file"},
                 {dir.file("missing.wav"), "missing.wav"}};
    for (const auto& c : cases) {
        UnitRecorder recorder(makeFileAudioUnit(c.path));
        EXPECT_EQ(recorder.setUp(44100, 2), kAudioUnitErr_FailedInitialization) << c.path;
        EXPECT_NE(recorder.unit().errorDescription().find(c.reason), std::string::npos)
            << recorder.unit().errorDescription();
        EXPECT_EQ(recorder.unit().start(), kAudioUnitErr_Uninitialized);
    }
}

// --- ALSA through PCMs the test defines ---

class AlsaInputTest : public testing::Test {
protected:
    void SetUp() override {
        auto data = ramp(48000 * 2);
        std::ofstream raw(dir.file("ramp.raw"), std::ios::binary);
        raw.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size() * 2));
        raw.close();
        rampData = data;
        // Neither PCM is paced: they answer as fast as they are read, so only data is checked here.
        config = std::make_unique<zqtest::AlsaTestConfig>(
            "pcm.zq_ramp { type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" + dir.file("ramp.raw") +
            "\"; format \"raw\" }\n"
            "pcm.zq_silent { type null }\n"
            // Offers mu-law only: 16-bit PCM has to come through the plug layer.
            "pcm.zq_mulaw { type mulaw; slave { pcm \"zq_ramp\"; format S16_LE } }\n");
    }

    zqtest::TempDir dir;
    std::vector<std::int16_t> rampData;
    std::unique_ptr<zqtest::AlsaTestConfig> config;
};

TEST_F(AlsaInputTest, ReadsTheDevicesSamplesInOrder) {
    UnitRecorder recorder(makeAlsaAudioUnit("zq_ramp"));
    ASSERT_EQ(recorder.setUp(48000, 2), noErr) << recorder.unit().errorDescription();
    ASSERT_TRUE(recorder.record(3));
    auto periods = recorder.periods();
    auto samples = recorder.samples();
    const std::size_t count = 3 * periods[0].size() / 2;
    ASSERT_LT(count, rampData.size()) << "stays within the input";
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(samples[i], rampData[i]) << "sample " << i;
    EXPECT_NEAR(static_cast<double>(periods[0].size() / 4), kInputPeriodFrames, kInputPeriodFrames / 2);
}

TEST_F(AlsaInputTest, ADeviceOfAnotherFormatIsConvertedByThePlugLayer) {
    UnitRecorder recorder(makeAlsaAudioUnit("zq_mulaw"));
    ASSERT_EQ(recorder.setUp(48000, 2), noErr) << recorder.unit().errorDescription();
    ASSERT_TRUE(recorder.record(2));
    auto samples = recorder.samples();
    // Mu-law keeps about 3% of each sample's size.
    for (std::size_t i = 0; i < 2 * kInputPeriodFrames; ++i)
        ASSERT_NEAR(samples[i], rampData[i], std::abs(rampData[i]) * 0.04 + 40) << "sample " << i;
}

TEST_F(AlsaInputTest, ASilentDeviceGivesZeroBlocks) {
    UnitRecorder recorder(makeAlsaAudioUnit("zq_silent"));
    ASSERT_EQ(recorder.setUp(44100, 1), noErr) << recorder.unit().errorDescription();
    ASSERT_TRUE(recorder.record(2));
    for (auto& period : recorder.periods()) EXPECT_EQ(std::count(period.begin(), period.end(), 0), std::ssize(period));
}

TEST_F(AlsaInputTest, AMissingDeviceFailsToInitialiseWithTheReason) {
    UnitRecorder recorder(makeAlsaAudioUnit("zq_missing"));
    EXPECT_EQ(recorder.setUp(44100, 2), kAudioUnitErr_FailedInitialization);
    EXPECT_NE(recorder.unit().errorDescription().find("cannot open ALSA capture device 'zq_missing'"), std::string::npos)
        << recorder.unit().errorDescription();
    EXPECT_EQ(recorder.unit().start(), kAudioUnitErr_Uninitialized);
}

// --- The ALSA capture loop over a scripted PCM ---

// Answers reads from a script: a positive entry delivers that many frames of a counting pattern,
// a negative one is an error; an empty script has nothing ready. Waits are real (on the wake-up
// descriptor), so a thread that is not woken stays asleep.
class ScriptedPcm final : public CapturePcm {
public:
    struct Shared {
        std::mutex mutex;
        std::deque<long> script;
        int recovers = 0;
        int recoverResult = 0;
        std::int16_t next = 0;
    };
    explicit ScriptedPcm(std::shared_ptr<Shared> shared) : mShared(std::move(shared)) {}

    long read(std::uint8_t* into, std::size_t frames) override {
        std::lock_guard lock(mShared->mutex);
        if (mShared->script.empty()) return -EAGAIN;
        long entry = mShared->script.front();
        if (entry < 0) {
            mShared->script.pop_front();
            return entry;
        }
        long n = std::min<long>(entry, static_cast<long>(frames));
        if (n == entry)
            mShared->script.pop_front();
        else
            mShared->script.front() -= n;
        auto* samples = reinterpret_cast<std::int16_t*>(into);
        for (long i = 0; i < n; ++i) samples[i] = mShared->next++; // mono
        return n;
    }
    void wait(int wakeFd, int) override {
        pollfd fd{wakeFd, POLLIN, 0};
        ::poll(&fd, 1, -1);
    }
    int recover(int) override {
        std::lock_guard lock(mShared->mutex);
        ++mShared->recovers;
        return mShared->recoverResult;
    }
    int start() override { return 0; }
    void drop() override {}

private:
    std::shared_ptr<Shared> mShared;
};

class AlsaLoopTest : public testing::Test {
protected:
    std::unique_ptr<AlsaAudioUnit> makeUnit() {
        return std::make_unique<AlsaAudioUnit>(
            "scripted", [shared = shared](const std::string&, const AudioStreamDescription&, std::size_t* period,
                                          std::string*) -> std::unique_ptr<CapturePcm> {
                *period = 256;
                return std::make_unique<ScriptedPcm>(shared);
            });
    }
    void script(std::initializer_list<long> entries) {
        std::lock_guard lock(shared->mutex);
        shared->script.insert(shared->script.end(), entries);
    }

    std::shared_ptr<ScriptedPcm::Shared> shared = std::make_shared<ScriptedPcm::Shared>();
};

TEST_F(AlsaLoopTest, OverrunsAreRecoveredAndCounted) {
    script({100, 156, -EPIPE, 256, -EPIPE, 256});
    auto unit = makeUnit();
    auto* alsa = unit.get();
    UnitRecorder recorder(std::move(unit));
    ASSERT_EQ(recorder.setUp(16000, 1), noErr);
    ASSERT_TRUE(recorder.record(3));
    EXPECT_EQ(alsa->overrunCount(), 2u);
    EXPECT_EQ(shared->recovers, 2);
    auto samples = recorder.samples();
    ASSERT_EQ(samples.size(), 3u * 256);
    for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], static_cast<std::int16_t>(i));
}

TEST_F(AlsaLoopTest, AFailedDeviceIsReportedOnceAndDeliveryEnds) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> reasons;
    auto observer = NotificationCenter::defaultCenter().addObserver(
        kAudioSessionRouteChangeNotification, &AudioSession::sharedInstance(), nullptr, [&](const Notification& n) {
            std::lock_guard lock(mutex);
            EXPECT_EQ(n.userInfo.value(kAudioSessionRouteChangeReasonKey, 0), AudioSessionRouteChangeReasonOldDeviceUnavailable);
            reasons.push_back(n.userInfo.value(kAudioSessionRouteChangeInputLostReasonKey, ""));
            changed.notify_all();
        });
    shared->recoverResult = -EIO; // a sound server that went away cannot be prepared again
    script({256, -EPIPE, 256});
    UnitRecorder recorder(makeUnit());
    ASSERT_EQ(recorder.setUp(16000, 1), noErr);
    ASSERT_EQ(recorder.unit().start(), noErr);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return !reasons.empty(); }));
    }
    EXPECT_EQ(recorder.unit().stop(), noErr);
    EXPECT_EQ(recorder.periods().size(), 1u) << "nothing after the failure";
    std::lock_guard lock(mutex);
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find("'scripted' failed"), std::string::npos) << reasons[0];
    EXPECT_NE(recorder.unit().errorDescription().find("Input/output error"), std::string::npos);
    EXPECT_TRUE(AudioSession::sharedInstance().currentRoute().inputs.empty());
}

TEST_F(AlsaLoopTest, StopWakesAThreadWaitingForData) {
    UnitRecorder recorder(makeUnit());
    ASSERT_EQ(recorder.setUp(16000, 1), noErr);
    ASSERT_EQ(recorder.unit().start(), noErr); // nothing ever arrives: the thread sleeps in wait()
    auto stopped = std::async(std::launch::async, [&] { return recorder.unit().stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), noErr);
    // And it starts again.
    script({256});
    ASSERT_EQ(recorder.unit().start(), noErr);
    EXPECT_TRUE(recorder.waitForPeriods(1));
}

// --- Audio session ---

class AudioSessionTest : public testing::Test {
protected:
    void SetUp() override { AudioSessionAccess::reset(session); }
    AudioSession& session = AudioSession::sharedInstance();
};

TEST_F(AudioSessionTest, SetActiveWithOptionsAnswersSuccessAndChangesNothing) {
    Error error;
    EXPECT_TRUE(session.setActive(true, AudioSessionSetActiveOptionNotifyOthersOnDeactivation, &error));
    EXPECT_FALSE(session.isActive());
    EXPECT_TRUE(session.setActive(true));
    EXPECT_TRUE(session.setActive(false, 0, &error));
    EXPECT_TRUE(session.isActive());
    EXPECT_TRUE(session.setActive(false));
    EXPECT_FALSE(session.isActive());
}

TEST_F(AudioSessionTest, RefusesUnknownCategoriesAndRatesWithoutChangingAnything) {
    EXPECT_TRUE(session.setCategory(kAudioSessionCategoryPlayAndRecord, 0x19));
    EXPECT_TRUE(session.setPreferredSampleRate(44100));
    Error error;
    EXPECT_FALSE(session.setCategory("AVAudioSessionCategoryKaraoke", 1, &error));
    EXPECT_EQ(error.code, -50);
    EXPECT_FALSE(session.setPreferredSampleRate(0, &error));
    EXPECT_FALSE(session.setPreferredSampleRate(std::nan(""), &error));
    EXPECT_EQ(session.category(), kAudioSessionCategoryPlayAndRecord);
    EXPECT_EQ(session.categoryOptions(), 0x19u);
    EXPECT_EQ(session.preferredSampleRate(), 44100.0);
}

TEST_F(AudioSessionTest, TheRouteNamesTheOpenedInput) {
    UnitRecorder recorder(makeToneAudioUnit(0));
    ASSERT_EQ(recorder.setUp(16000, 1), noErr);
    auto inputs = session.currentRoute().inputs;
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].portName, "silence");
}

} // namespace
