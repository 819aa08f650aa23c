// Frames per second of the capture chain on the process's EGL context: camera picture upload → YUV
// conversion → (crop) → beauty or empty filter → output → the BGRA pixel buffer handed on, at
// 360x640 (640x480 camera, cropped) and 720x1280 (1280x720 camera), beauty on and off; and the
// read-back alone. Counters: fps, and the framebuffers and read-back buffers made while measuring
// (0 once warm: everything comes from the caches).
//
// ZQLIVEKIT_EGL picks the display (surfaceless llvmpipe by default where there is no GPU); the
// renderer is printed first. LP_NUM_THREADS sets llvmpipe's rasterizer threads.
#include <benchmark/benchmark.h>
#include <cstdio>
#include "ZQPlatform/Console.h"
#include "capture/ZVVideoCapture.h"
#include "imaging/ZVImageContext.h"
#include "imaging/ZVImageFramebufferCache.h"

namespace {

// A camera whose pictures the benchmark hands in itself.
class BenchCamera : public platform::CameraDevice {
public:
    std::string name() const override { return "bench"; }
    bool open(int, int, std::string*) override { return true; }
    bool offersFullRange() const override { return false; }
    void setFrameRate(int) override {}
    bool start(SampleHandler, LossHandler, std::string*) override { return true; }
    void stop() override {}
    bool isRunning() const override { return false; }
};

class Sink : public ZVVideoCaptureDelegate {
public:
    void captureOutputPixelBuffer(ZVVideoCaptureSource&, const std::shared_ptr<platform::PixelBuffer>& buffer) override {
        last = buffer; // the encoder's side holds one picture at a time
        ++frames;
    }
    std::shared_ptr<platform::PixelBuffer> last;
    long frames = 0;
};

bool contextReady(benchmark::State& state) {
    static bool printed = false;
    auto& context = ZVImageContext::sharedImageProcessingContext();
    if (!context.isAvailable()) {
        state.SkipWithError(("no EGL context: " + context.unavailableReason()).c_str());
        return false;
    }
    if (!printed) {
        std::fprintf(stderr, "renderer: %s\n", context.rendererDescription().c_str());
        printed = true;
    }
    return true;
}

std::shared_ptr<platform::PixelBuffer> cameraPicture(int width, int height) {
    auto picture = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12);
    // Something with texture, so the blur has work that is not trivially uniform.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            picture->planeData(0)[y * picture->bytesPerRow(0) + x] = static_cast<std::uint8_t>((x * 7 + y * 13) ^ (x * y));
    for (int y = 0; y < picture->planeHeight(1); ++y)
        for (int x = 0; x < width; ++x) picture->planeData(1)[y * picture->bytesPerRow(1) + x] = static_cast<std::uint8_t>(96 + (x + y) % 64);
    return picture;
}

// args: quality (2 = 360p, 8 = 720p), beauty on/off
void BM_CaptureChain(benchmark::State& state) {
    if (!contextReady(state)) return;
    platform::Console::setEnabled(false);
    auto configuration = ZQLiveVideoConfiguration::defaultConfigurationForQuality(static_cast<std::uint64_t>(state.range(0)), 1);
    auto device = std::make_shared<BenchCamera>();
    auto capture = ZVVideoCapture::create(configuration, [device](platform::CameraPosition, std::string*) { return device; });
    capture->setBeautyFace(state.range(1) != 0);
    auto sink = std::make_shared<Sink>();
    capture->setDelegate(sink);
    platform::Size sensor = ZVImageVideoCamera::sizeForSessionPreset(configuration->avSessionPreset());
    auto picture = cameraPicture(static_cast<int>(sensor.width), static_cast<int>(sensor.height));
    platform::CameraSample sample{picture, false, platform::YCbCrMatrix::BT601, 0};
    auto camera = capture->videoCamera();
    for (int i = 0; i < 3; ++i) camera->processVideoSampleBuffer(sample); // warm the caches

    auto& cache = ZVImageContext::sharedFramebufferCache();
    auto framebuffersBefore = cache.framebuffersMade();
    auto buffersBefore = cache.readbackBuffersMade();
    long framesBefore = sink->frames;
    for (auto _ : state) {
        sample.presentationTime += 1.0 / 30;
        camera->processVideoSampleBuffer(sample);
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(sink->frames - framesBefore), benchmark::Counter::kIsRate);
    state.counters["framebuffersMade"] = static_cast<double>(cache.framebuffersMade() - framebuffersBefore);
    state.counters["readbackBuffersMade"] = static_cast<double>(cache.readbackBuffersMade() - buffersBefore);
    state.SetLabel(std::to_string(sink->last ? sink->last->width() : 0) + "x" +
                   std::to_string(sink->last ? sink->last->height() : 0) + (state.range(1) ? " beauty" : " plain"));
    platform::Console::setEnabled(true);
}
// CPU time is the process's, all threads: llvmpipe draws on threads of its own, so on a shared
// machine it says more than the wall clock what a frame costs.
BENCHMARK(BM_CaptureChain)
    ->Args({2, 1})
    ->Args({2, 0})
    ->Args({8, 1})
    ->Args({8, 0})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The read-back of one finished picture into a pooled BGRA buffer.
void BM_Readback(benchmark::State& state) {
    if (!contextReady(state)) return;
    platform::Size size{static_cast<double>(state.range(0)), static_cast<double>(state.range(1))};
    auto framebuffer = ZVImageContext::sharedFramebufferCache().fetchFramebufferForSize(size, false);
    for (auto _ : state) {
        runSynchronouslyOnVideoProcessingQueue([&] { framebuffer->activateFramebuffer(); }); // a new picture
        auto buffer = framebuffer->pixelBuffer();
        benchmark::DoNotOptimize(buffer);
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    runSynchronouslyOnVideoProcessingQueue([&] { framebuffer->unlock(); });
}
BENCHMARK(BM_Readback)
    ->Args({360, 640})
    ->Args({720, 1280})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

} // namespace
