// ALSA capture from a paced source: a private PulseAudio server's null-sink monitor through ALSA's
// pulse plugin, as a sound card would deliver. Real time.
#include <gtest/gtest.h>
#include <algorithm>
#include <future>
#include "ZQLiveKit/AudioSession.h"
#include "ZQPlatform/NotificationCenter.h"
#include "platform/media/AudioInputUnits.h"
#include "tests/platform/media/AudioTestSupport.h"
#include "tests/support/PulseAudio.h"

namespace {

using namespace platform;

class AudioPulseTest : public testing::Test {
protected:
    void SetUp() override {
        if (!zqtest::PulseAudioServer::available()) GTEST_SKIP() << "pulseaudio or ALSA's pulse plugin is missing: run scripts/setup";
        if (!server.start()) GTEST_SKIP() << "the private PulseAudio server did not start: " << server.lastError();
        config = std::make_unique<zqtest::AlsaTestConfig>(server.alsaPcm("zq_pulse"));
    }

    zqtest::PulseAudioServer server;
    std::unique_ptr<zqtest::AlsaTestConfig> config;
};

TEST_F(AudioPulseTest, DeliversAtTheConfiguredRate) {
    zqtest::UnitRecorder recorder(makeAlsaAudioUnit("zq_pulse"));
    ASSERT_EQ(recorder.setUp(44100, 2), noErr) << recorder.unit().errorDescription();
    // A settling second, then about two seconds to measure.
    ASSERT_TRUE(recorder.record(130, 20));
    auto periods = recorder.periods();
    auto arrivals = recorder.arrivals();
    const std::size_t first = 43;
    double frames = 0;
    for (std::size_t i = first + 1; i < periods.size(); ++i) frames += static_cast<double>(periods[i].size() / 4);
    double rate = frames / (arrivals.back() - arrivals[first]);
    EXPECT_NEAR(rate, 44100, 44100 * 0.05);
    // The server's tone arrives: 440 Hz at half scale.
    auto samples = recorder.samples();
    EXPECT_NEAR(*std::max_element(samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end()), 16383, 1000);
}

TEST_F(AudioPulseTest, AServerThatVanishesIsReportedOnceAndStopStillReturns) {
    std::mutex mutex;
    std::condition_variable changed;
    int reports = 0;
    auto observer = NotificationCenter::defaultCenter().addObserver(
        kAudioSessionRouteChangeNotification, &AudioSession::sharedInstance(), nullptr, [&](const Notification&) {
            std::lock_guard lock(mutex);
            ++reports;
            changed.notify_all();
        });
    zqtest::UnitRecorder recorder(makeAlsaAudioUnit("zq_pulse"));
    ASSERT_EQ(recorder.setUp(48000, 2), noErr) << recorder.unit().errorDescription();
    ASSERT_EQ(recorder.unit().start(), noErr);
    ASSERT_TRUE(recorder.waitForPeriods(5, 20));
    server.kill();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return reports > 0; }));
    }
    auto stopped = std::async(std::launch::async, [&] { return recorder.unit().stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(reports, 1);
    }
    std::size_t delivered = recorder.periods().size();
    EXPECT_EQ(recorder.unit().start(), kAudioUnitErr_NoConnection) << "the device is gone";
    EXPECT_EQ(recorder.periods().size(), delivered);
}

} // namespace
