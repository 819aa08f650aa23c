// ZVAudioCapture on a paced ALSA input (a private PulseAudio server's null-sink monitor). Real time.
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>
#include "ZQLiveKit/AudioInput.h"
#include "capture/ZVAudioCapture.h"
#include "tests/support/PulseAudio.h"

namespace {

class TimedDelegate final : public ZVAudioCaptureDelegate {
public:
    void captureOutputAudioData(ZVAudioCaptureSource&, const ZQBytes& pcm) override {
        std::lock_guard lock(mutex);
        bytes += pcm.size();
        nonZero += pcm.size() - static_cast<std::size_t>(std::count(pcm.data(), pcm.data() + pcm.size(), 0));
        arrivals.emplace_back(std::chrono::steady_clock::now(), bytes);
        changed.notify_all();
    }
    // Frames a second between the first block after `settle` bytes and the last block.
    double rate(std::size_t settle, std::size_t frameBytes) {
        auto from = std::find_if(arrivals.begin(), arrivals.end(), [&](auto& a) { return a.second >= settle; });
        auto& to = arrivals.back();
        return static_cast<double>(to.second - from->second) / static_cast<double>(frameBytes) /
               std::chrono::duration<double>(to.first - from->first).count();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t bytes = 0, nonZero = 0;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::size_t>> arrivals;
};

TEST(AudioCapturePulseTest, MutedCaptureDeliversZeroBlocksAtTheNormalRate) {
    if (!zqtest::PulseAudioServer::available()) GTEST_SKIP() << "pulseaudio or ALSA's pulse plugin is missing: run scripts/setup";
    zqtest::PulseAudioServer server;
    if (!server.start()) GTEST_SKIP() << "the private PulseAudio server did not start: " << server.lastError();
    zqtest::AlsaTestConfig config(server.alsaPcm("zq_pulse"));
    platform::setAudioInputSource(platform::AudioInputSource::alsa("zq_pulse"));

    auto configuration = ZQLiveAudioConfiguration::defaultConfigurationForQuality(ZQLiveAudioQualityLow); // 16 kHz
    auto capture = ZVAudioCapture::create(configuration);
    ASSERT_NE(capture->componetInstance(), nullptr);
    auto delegate = std::make_shared<TimedDelegate>();
    capture->setDelegate(delegate);
    capture->setRunning(true);
    auto waitFor = [&](std::size_t bytes) {
        std::unique_lock lock(delegate->mutex);
        return delegate->changed.wait_for(lock, std::chrono::seconds(20), [&] { return delegate->bytes >= bytes; });
    };
    // The input is a tone: unmuted blocks carry it, muted ones are all zero.
    ASSERT_TRUE(waitFor(16000));
    capture->setMuted(true);
    std::size_t heard = 0, mutedAt = 0;
    {
        std::lock_guard lock(delegate->mutex);
        heard = delegate->nonZero;
        mutedAt = delegate->bytes;
    }
    EXPECT_GT(heard, 1000u);
    // A block rendered just before the switch may still be on its way: count from two blocks later.
    ASSERT_TRUE(waitFor(mutedAt + 2 * 4096));
    {
        std::lock_guard lock(delegate->mutex);
        delegate->nonZero = 0;
    }
    ASSERT_TRUE(waitFor(16000 * 4 * 3));
    capture->setRunning(false);
    std::lock_guard lock(delegate->mutex);
    EXPECT_EQ(delegate->nonZero, 0u);
    // After a settling second, two seconds at 16 kHz.
    EXPECT_NEAR(delegate->rate(16000 * 4, 4), 16000, 16000 * 0.05);
    platform::setAudioInputSource(platform::AudioInputSource::tone());
}

} // namespace
