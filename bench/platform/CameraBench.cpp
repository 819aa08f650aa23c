// Per-picture costs of the camera back ends at the 1280x720 preset: a video file decoded and
// converted (H.264 1080p scaled down; a portrait 720x1280 recording turned; an HD landscape file
// cropped to the middle and turned for a phone held upright), and a V4L2 camera's YUYV picture
// converted to NV12 without decoding; and how promptly a camera stops. The file cameras run on a
// pacer clock that never waits, so each picture costs what decoding and converting it costs.
#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>
#include "platform/media/FileCameraDevice.h"
#include "platform/media/PatternCameraDevice.h"
#include "platform/media/SensorFrame.h"
#include "tests/platform/media/MediaTestSupport.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace platform;

namespace {

// 3-second moving test clips, made once per run with the ffmpeg command line and removed at exit.
struct Clips {
    std::map<std::string, std::string> paths;
    ~Clips() {
        for (auto& [size, path] : paths) std::filesystem::remove(path);
    }
    std::string get(const std::string& size) {
        if (auto it = paths.find(size); it != paths.end()) return it->second;
        const std::string path = std::filesystem::temp_directory_path() /
                                 ("zq-camera-bench-" + size + "-" + std::to_string(::getpid()) + ".mp4");
        const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc2=s=" + size +
                                    ":r=30:d=3 -c:v libx264 -preset veryfast -pix_fmt yuv420p " + path;
        if (std::system(command.c_str()) != 0) return {};
        return paths[size] = path;
    }
};

std::string clip(const std::string& size) {
    static Clips clips;
    return clips.get(size);
}

void runFileCamera(benchmark::State& state, const std::string& size, std::int64_t orientation) {
    const std::string path = clip(size);
    if (path.empty()) {
        state.SkipWithError("ffmpeg could not make the clip");
        return;
    }
    FileCameraDevice camera(path, CameraPosition::Back, std::make_shared<zqtest::InstantClock>());
    camera.setOutputImageOrientation(orientation);
    std::string error;
    if (!camera.open(1280, 720, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::uint64_t pictures = 0;
    camera.start(
        [&](const CameraSample&) {
            std::lock_guard lock(mutex);
            ++pictures;
            arrived.notify_all();
        },
        {}, &error);
    // The pictures are made on the camera's and the decoder's threads: their cost is the process's
    // CPU time, which a busy machine does not inflate as it does wall time.
    auto processSeconds = [] {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    };
    const double cpuStart = processSeconds();
    std::uint64_t seen = 0;
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return pictures > seen; });
        seen = pictures;
    }
    camera.stop();
    state.SetItemsProcessed(static_cast<std::int64_t>(seen));
    if (seen > 0)
        state.counters["cpu_ms_per_picture"] = (processSeconds() - cpuStart) * 1000 / static_cast<double>(seen);
}

void BM_FileCamera1080pScaled(benchmark::State& state) { runFileCamera(state, "1920x1080", 3); }
void BM_FileCameraPortraitTurned(benchmark::State& state) { runFileCamera(state, "720x1280", 1); }
void BM_FileCameraLandscapeCroppedAndTurned(benchmark::State& state) { runFileCamera(state, "1280x720", 1); }
BENCHMARK(BM_FileCamera1080pScaled)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FileCameraPortraitTurned)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FileCameraLandscapeCroppedAndTurned)->Unit(benchmark::kMillisecond)->UseRealTime();

// How long stop() takes while the camera waits for its next picture (goal: well under 100 ms).
void BM_PatternCameraStop(benchmark::State& state) {
    for (auto _ : state) {
        PatternCameraDevice camera(CameraPosition::Front);
        camera.setFrameRate(1);
        std::string error;
        camera.open(640, 480, &error);
        std::mutex mutex;
        std::condition_variable arrived;
        bool first = false;
        camera.start(
            [&](const CameraSample&) {
                std::lock_guard lock(mutex);
                first = true;
                arrived.notify_all();
            },
            {}, &error);
        {
            std::unique_lock lock(mutex);
            arrived.wait(lock, [&] { return first; });
        }
        const auto begin = std::chrono::steady_clock::now();
        camera.stop();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
}
BENCHMARK(BM_PatternCameraStop)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20);

// A webcam's 1280x720 YUYV picture to the 1280x720 NV12 sensor picture, turned or not.
void BM_YuyvToSensorPicture(benchmark::State& state) {
    constexpr int w = 1280, h = 720;
    std::vector<std::uint8_t> yuyv(static_cast<std::size_t>(w) * h * 2);
    for (std::size_t i = 0; i < yuyv.size(); ++i) yuyv[i] = static_cast<std::uint8_t>(i * 31 % 251);
    SourcePicture picture;
    picture.format = AV_PIX_FMT_YUYV422;
    picture.data[0] = yuyv.data();
    picture.linesize[0] = w * 2;
    picture.width = w;
    picture.height = h;
    SensorFrameConverter converter;
    const auto turn = state.range(0) ? QuarterTurn::Left : QuarterTurn::None;
    for (auto _ : state) benchmark::DoNotOptimize(converter.convert(picture, w, h, turn, nullptr));
}
BENCHMARK(BM_YuyvToSensorPicture)->Arg(0)->Arg(1)->ArgName("turned")->Unit(benchmark::kMillisecond);

} // namespace
