// How regularly the audio capture hands its blocks to the delegate (44.1 kHz stereo, 5 s a run):
// - BM_AlsaCaptureJitter: the ALSA back end recording a private PulseAudio server's null-sink
//   monitor through ALSA's pulse plugin, paced by the server as a sound card paces its driver;
// - BM_ToneCaptureJitter, BM_FileCaptureJitter: the synthetic tone and a WAV file, paced by the kit.
// Reported per run, in milliseconds: the block period, the mean interval between blocks, their
// standard deviation, and the 99th-percentile and worst deviation from the mean. The first second
// is left out (the sound server fills its buffer then).
#include <benchmark/benchmark.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>
#include "ZQLiveKit/AudioInput.h"
#include "ZQPlatform/Console.h"
#include "capture/ZVAudioCapture.h"
#include "tests/platform/media/AudioTestSupport.h"
#include "tests/support/PulseAudio.h"

namespace {

constexpr double kSeconds = 5;
constexpr double kSettle = 1;

class ArrivalRecorder final : public ZVAudioCaptureDelegate {
public:
    void captureOutputAudioData(ZVAudioCaptureSource&, const ZQBytes& pcm) override {
        std::lock_guard lock(mutex);
        arrivals.push_back(std::chrono::steady_clock::now());
        frames += pcm.size() / 4;
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    std::size_t frames = 0;
};

void measure(benchmark::State& state, const platform::AudioInputSource& source) {
    platform::setAudioInputSource(source);
    auto configuration = ZQLiveAudioConfiguration::defaultConfiguration(); // 44.1 kHz stereo
    for (auto _ : state) {
        auto capture = ZVAudioCapture::create(configuration);
        if (!capture->componetInstance()) {
            state.SkipWithError("the input could not be opened");
            return;
        }
        auto recorder = std::make_shared<ArrivalRecorder>();
        capture->setDelegate(recorder);
        auto began = std::chrono::steady_clock::now();
        capture->setRunning(true);
        {
            std::unique_lock lock(recorder->mutex);
            recorder->changed.wait_for(lock, std::chrono::duration<double>(kSeconds + kSettle + 5), [&] {
                return recorder->frames >= static_cast<std::size_t>(44100 * (kSeconds + kSettle));
            });
        }
        capture->setRunning(false);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());

        std::lock_guard lock(recorder->mutex);
        auto& a = recorder->arrivals;
        auto from = std::find_if(a.begin(), a.end(), [&](auto t) { return t - a.front() >= std::chrono::duration<double>(kSettle); });
        std::vector<double> intervals;
        for (auto it = from; it != a.end() && std::next(it) != a.end(); ++it)
            intervals.push_back(std::chrono::duration<double, std::milli>(*std::next(it) - *it).count());
        if (intervals.size() < 10) {
            state.SkipWithError("too few blocks arrived");
            return;
        }
        double mean = 0;
        for (double i : intervals) mean += i;
        mean /= static_cast<double>(intervals.size());
        double variance = 0;
        std::vector<double> deviations;
        for (double i : intervals) {
            variance += (i - mean) * (i - mean);
            deviations.push_back(std::abs(i - mean));
        }
        std::sort(deviations.begin(), deviations.end());
        state.counters["period_ms"] = 1000.0 * static_cast<double>(recorder->frames) / static_cast<double>(a.size()) / 44100;
        state.counters["mean_ms"] = mean;
        state.counters["sd_ms"] = std::sqrt(variance / static_cast<double>(intervals.size()));
        state.counters["p99_dev_ms"] = deviations[deviations.size() * 99 / 100];
        state.counters["max_dev_ms"] = deviations.back();
        state.counters["blocks"] = static_cast<double>(intervals.size());
    }
}

void BM_AlsaCaptureJitter(benchmark::State& state) {
    static zqtest::PulseAudioServer server;
    if (!zqtest::PulseAudioServer::available() || (!server.running() && !server.start())) {
        state.SkipWithError("no private PulseAudio server (run scripts/setup)");
        return;
    }
    static zqtest::AlsaTestConfig config(server.alsaPcm("zq_bench"));
    measure(state, platform::AudioInputSource::alsa("zq_bench"));
}
BENCHMARK(BM_AlsaCaptureJitter)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ToneCaptureJitter(benchmark::State& state) { measure(state, platform::AudioInputSource::tone()); }
BENCHMARK(BM_ToneCaptureJitter)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_FileCaptureJitter(benchmark::State& state) {
    // One second of a 48 kHz mono tone, converted to 44.1 kHz stereo and looped.
    static zqtest::TempDir dir;
    const std::string path = dir.file("tone.wav");
    std::vector<std::int16_t> tone(48000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 48000));
    zqtest::writeWav(path, 48000, 1, tone);
    measure(state, platform::AudioInputSource::file(path));
}
BENCHMARK(BM_FileCaptureJitter)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
