// Per-frame costs of the publishing media path at the 720p preset size: drawing the test pattern,
// encoding a picture through the compression session (BGRA, which needs a conversion, and NV12,
// which does not), and encoding one AAC block.
#include <benchmark/benchmark.h>
#include <condition_variable>
#include <mutex>
#include "ZQLiveKit/TestPatternSource.h"
#include "ZQLiveKit/ToneSource.h"
#include "platform/media/AudioConverter.h"
#include "platform/media/VideoCompressionSession.h"

using namespace platform;

namespace {

constexpr int kWidth = 722;
constexpr int kHeight = 1282;

void BM_TestPatternFrame(benchmark::State& state) {
    TestPatternSource source(kWidth, kHeight, 30, state.range(0) ? PixelFormat::NV12 : PixelFormat::BGRA);
    std::uint64_t index = 0;
    for (auto _ : state) benchmark::DoNotOptimize(source.renderFrame(index++));
}
BENCHMARK(BM_TestPatternFrame)->Arg(0)->Arg(1)->ArgName("nv12")->Unit(benchmark::kMillisecond);

void BM_H264EncodeFrame(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable done;
    std::uint64_t delivered = 0;
    auto session = VideoCompressionSession::create(kWidth, kHeight, [&](std::uint64_t, MediaStatus, const CompressedSample*) {
        std::lock_guard lock(mutex);
        ++delivered;
        done.notify_all();
    });
    session->setProperty(VideoCompressionProperty::MaxKeyFrameInterval, std::int64_t{60});
    session->setProperty(VideoCompressionProperty::ExpectedFrameRate, std::int64_t{30});
    session->setProperty(VideoCompressionProperty::AverageBitRate, std::int64_t{1200000});
    session->setProperty(VideoCompressionProperty::DataRateLimits, DataRateLimit{1200000 * 1.5 * 0.125, 1});
    session->setProperty(VideoCompressionProperty::RealTime, true);
    session->setProperty(VideoCompressionProperty::ProfileLevel, H264ProfileLevel::BaselineAutoLevel);
    session->setProperty(VideoCompressionProperty::AllowFrameReordering, false);
    session->prepareToEncodeFrames();
    TestPatternSource source(kWidth, kHeight, 30, state.range(0) ? PixelFormat::NV12 : PixelFormat::BGRA);
    std::vector<std::shared_ptr<PixelBuffer>> pictures;
    for (int i = 0; i < 30; ++i) pictures.push_back(source.renderFrame(i));
    std::int64_t frame = 0;
    for (auto _ : state) {
        ++frame;
        session->encodeFrame(pictures[frame % 30], {frame, 30}, {1, 30}, false, frame);
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return delivered == static_cast<std::uint64_t>(frame); });
    }
    state.SetLabel(session->encoderName());
    session->invalidate();
}
BENCHMARK(BM_H264EncodeFrame)->Arg(0)->Arg(1)->ArgName("nv12")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AacEncodeBlock(benchmark::State& state) {
    AudioStreamDescription pcm{44100, AudioFormatID::LinearPCM, kLinearPCMFormatFlagIsSignedInteger | kLinearPCMFormatFlagIsPacked,
                               4, 1, 4, 2, 16};
    AudioStreamDescription aac{44100, AudioFormatID::MPEG4AAC, 0, 0, 1024, 0, 2, 0};
    auto converter = AudioConverter::create(pcm, aac, {{AudioFormatID::MPEG4AAC, AudioCodecManufacturer::SoftwareCodec}});
    converter->setEncodeBitRate(128000);
    ToneSource tone(44100, 2, 4096);
    std::vector<std::uint8_t> block(4096), out(4096);
    for (auto _ : state) {
        tone.fillNextBlock(block);
        std::size_t size = 0;
        converter->convert(block, out, &size);
        benchmark::DoNotOptimize(size);
    }
}
BENCHMARK(BM_AacEncodeBlock)->Unit(benchmark::kMicrosecond);

} // namespace
