// The two H.264 encoders as the live session drives them: pictures submitted at the frame rate (NV12
// of the configured size, rendered beforehand), the time from submitting a picture to its first
// frame reaching the delegate (median and 99th percentile), and the process CPU time per delivered
// picture. The file-based encoder's latency includes the reader waiting for the next picture to
// know that one is complete.
#include <benchmark/benchmark.h>
#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include "ZQLiveKit/TestPatternSource.h"
#include "encoder/ZVH264VideoEncoder.h"
#include "encoder/ZVHardwareVideoEncoder.h"

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSeconds = 8;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class LatencyRecorder final : public ZVVideoEncodingDelegate {
public:
    void submitted(std::uint64_t timestamp) {
        std::lock_guard lock(mMutex);
        mSubmitted[timestamp] = Clock::now();
    }
    void videoEncoder(ZVVideoEncoding*, const std::shared_ptr<ZQVideoFrame>& frame) override {
        const auto now = Clock::now();
        std::lock_guard lock(mMutex);
        auto it = mSubmitted.find(frame->timestamp());
        if (it == mSubmitted.end()) return; // a later unit of a picture already counted
        mLatencies.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
        mSubmitted.erase(it);
    }
    std::vector<double> latencies() {
        std::lock_guard lock(mMutex);
        auto sorted = mLatencies;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }

private:
    std::mutex mMutex;
    std::map<std::uint64_t, Clock::time_point> mSubmitted;
    std::vector<double> mLatencies;
};

// range(0): 0 hardware-session encoder, 1 file-based; range(1): 0 for 360×640 at 24, 1 for 720×1280 at 30.
void BM_VideoEncoderLatency(benchmark::State& state) {
    const bool fileBased = state.range(0) == 1;
    const bool large = state.range(1) == 1;
    const int width = large ? 720 : 360, height = large ? 1280 : 640, fps = large ? 30 : 24;
    auto configuration = std::make_shared<ZQLiveVideoConfiguration>();
    configuration->setVideoSize({static_cast<double>(width), static_cast<double>(height)});
    configuration->setVideoFrameRate(static_cast<std::uint64_t>(fps));
    configuration->setVideoMaxKeyframeInterval(static_cast<std::uint64_t>(fps) * 2);
    configuration->setVideoBitRate(large ? 1200000 : 800000);

    TestPatternSource source(width, height, fps, PixelFormat::NV12);
    std::vector<std::shared_ptr<PixelBuffer>> pictures;
    for (int i = 0; i < fps; ++i) pictures.push_back(source.renderFrame(static_cast<std::uint64_t>(i)));

    for (auto _ : state) {
        auto recorder = std::make_shared<LatencyRecorder>();
        std::shared_ptr<ZVVideoEncoding> encoder;
        if (fileBased)
            encoder = ZVH264VideoEncoder::create(configuration);
        else
            encoder = ZVHardwareVideoEncoder::create(configuration);
        encoder->setDelegate(recorder);
        const int frames = kSeconds * fps;
        const double cpuBefore = cpuSeconds();
        const auto start = Clock::now();
        for (int i = 0; i < frames; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / fps));
            const std::uint64_t timestamp = 1000 + static_cast<std::uint64_t>(i) * 1000 / static_cast<std::uint64_t>(fps);
            recorder->submitted(timestamp);
            encoder->encodeVideoData(pictures[static_cast<std::size_t>(i % fps)], timestamp);
        }
        // Time for the last pictures still in flight, as a live source would keep feeding.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto latencies = recorder->latencies();
        const double cpu = cpuSeconds() - cpuBefore;
        encoder.reset();
        if (latencies.empty()) {
            state.SkipWithError("no frame delivered");
            return;
        }
        auto percentile = [&](double p) {
            return latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(p * static_cast<double>(latencies.size())))];
        };
        state.counters["p50_ms"] = percentile(0.5);
        state.counters["p99_ms"] = percentile(0.99);
        state.counters["cpu_ms_per_frame"] = cpu * 1000 / static_cast<double>(latencies.size());
        state.counters["delivered"] = static_cast<double>(latencies.size());
        state.counters["submitted"] = frames;
    }
    state.SetLabel(std::string(fileBased ? "file" : "hardware-session") + " " + std::to_string(width) + "x" +
                   std::to_string(height) + "@" + std::to_string(fps));
}
BENCHMARK(BM_VideoEncoderLatency)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"file", "720p"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
