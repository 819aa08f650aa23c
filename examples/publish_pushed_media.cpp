// Publishes media the application makes itself through a ZQLiveSession: NV12 pictures (a colour
// gradient with a bar moving across it) and 16-bit PCM (a 440 Hz tone), pushed in at their real rate
// for a number of seconds, then a clean stop. Prints every state the session reports.
//
//   publish_pushed_media rtmp://HOST[:PORT]/APP/STREAM [SECONDS]
//
// Exits 0 after the session reached ZQLiveStart and then stopped cleanly, 1 otherwise.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <ZQLiveKit/PixelBuffer.h>
#include <ZQLiveKit/ZQLiveSession.h>
#include <ZQPlatform/DispatchQueue.h>
#include <ZQPlatform/RunLoop.h>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Reports the session's states; ends the main loop once the stop asked for has happened or the
// publisher gave up. Called on the main queue.
class StatePrinter final : public ZQLiveSessionDelegate {
public:
    void liveSessionLiveStateDidChange(ZQLiveSession&, ZQLiveState state) override {
        std::printf("{\"event\":\"state\",\"name\":\"%s\"}\n", ZQLiveStateName(state));
        std::fflush(stdout);
        if (state == ZQLiveStart) started = true;
        if (state == ZQLiveStop && stopping) platform::RunLoop::main().stop();
    }
    void liveSessionErrorCode(ZQLiveSession&, std::uint64_t errorCode) override {
        std::printf("{\"event\":\"error\",\"code\":%llu}\n", static_cast<unsigned long long>(errorCode));
        std::fflush(stdout);
        failed = true;
        platform::RunLoop::main().stop();
    }

    bool started = false;
    bool stopping = false;
    bool failed = false;
};

// One NV12 picture: a diagonal gradient in luma, a bright bar at `position` (0..1), flat chroma
// that slowly changes colour.
std::shared_ptr<platform::PixelBuffer> makePicture(int width, int height, double position, double hue) {
    auto picture = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12);
    if (!picture) return nullptr;
    const int bar = static_cast<int>(position * width);
    std::uint8_t* luma = picture->planeData(0);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = luma + y * picture->bytesPerRow(0);
        for (int x = 0; x < width; ++x)
            row[x] = (x >= bar && x < bar + width / 16) ? 235 : static_cast<std::uint8_t>(16 + (x + y) * 200 / (width + height));
    }
    const auto cb = static_cast<std::uint8_t>(128 + 60 * std::cos(hue));
    const auto cr = static_cast<std::uint8_t>(128 + 60 * std::sin(hue));
    std::uint8_t* chroma = picture->planeData(1);
    for (int y = 0; y < picture->planeHeight(1); ++y) {
        std::uint8_t* row = chroma + y * picture->bytesPerRow(1);
        for (int x = 0; x < (width + 1) / 2; ++x) {
            row[2 * x] = cb;
            row[2 * x + 1] = cr;
        }
    }
    return picture;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::string(argv[1]).rfind("rtmp://", 0) != 0) {
        std::fprintf(stderr, "usage: %s rtmp://HOST[:PORT]/APP/STREAM [SECONDS]\n", argv[0]);
        return 2;
    }
    const std::string url = argv[1];
    const double seconds = argc == 3 ? std::atof(argv[2]) : 5.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "%s: SECONDS must be a positive number\n", argv[0]);
        return 2;
    }

    // 44.1 kHz stereo AAC and 360x640 portrait H.264 at the presets' rates.
    auto audio = ZQLiveAudioConfiguration::defaultConfigurationForQuality(2);
    auto video = ZQLiveVideoConfiguration::defaultConfigurationForQuality(2, 1);
    auto session = ZQLiveSession::create(audio, video, ZQLiveInputAudio | ZQLiveInputVideo);
    auto printer = std::make_shared<StatePrinter>();
    session->setDelegate(printer);

    // The application's own media thread: pictures at the frame rate, sound in blocks of the
    // configured length, both at their real pace.
    std::atomic<bool> feeding{true};
    std::thread feeder([&, session] {
        const int width = static_cast<int>(video->videoSize().width);
        const int height = static_cast<int>(video->videoSize().height);
        const auto frameRate = static_cast<double>(video->videoFrameRate());
        const auto sampleRate = static_cast<double>(audio->audioSampleRate());
        const auto channels = static_cast<std::size_t>(audio->numberOfChannels());
        const std::size_t framesPerBlock = audio->bufferLength() / (2 * channels);
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        auto at = [&](double s) { return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)); };
        std::uint64_t pictures = 0, blocks = 0;
        double phase = 0;
        std::vector<std::uint8_t> pcm(audio->bufferLength());
        while (feeding.load()) {
            double nextPicture = pictures / frameRate;
            double nextBlock = static_cast<double>(blocks * framesPerBlock) / sampleRate;
            if (nextPicture <= nextBlock) {
                std::this_thread::sleep_until(at(nextPicture));
                double t = nextPicture;
                session->pushVideo(makePicture(width, height, std::fmod(t / 2.0, 1.0), t));
                ++pictures;
            } else {
                std::this_thread::sleep_until(at(nextBlock));
                for (std::size_t i = 0; i < framesPerBlock; ++i) {
                    auto sample = static_cast<std::int16_t>(8000 * std::sin(phase));
                    phase += 2 * kPi * 440.0 / sampleRate;
                    for (std::size_t c = 0; c < channels; ++c) {
                        pcm[(i * channels + c) * 2] = static_cast<std::uint8_t>(sample & 0xFF);
                        pcm[(i * channels + c) * 2 + 1] = static_cast<std::uint8_t>((sample >> 8) & 0xFF);
                    }
                }
                session->pushAudio(ZQBytes(pcm.data(), pcm.size()));
                ++blocks;
            }
        }
    });

    auto info = std::make_shared<ZQLiveStreamInfo>();
    info->setUrl(url);
    session->startLive(info);

    // Stop after the asked time; should the stop itself hang, leave anyway after 15 s more.
    auto main = platform::DispatchQueue::main();
    main->after(seconds, [&] {
        printer->stopping = true;
        session->stopLive();
        main->after(15, [] { platform::RunLoop::main().stop(); });
    });
    platform::RunLoop::main().run(); // this thread is the application's main thread

    feeding = false;
    feeder.join();
    if (printer->failed) {
        std::fprintf(stderr, "%s: publishing failed\n", argv[0]);
        return 1;
    }
    if (!printer->started || session->state() != ZQLiveStop) {
        std::fprintf(stderr, "%s: the session %s (state %s)\n", argv[0],
                     printer->started ? "did not stop cleanly" : "never started publishing",
                     ZQLiveStateName(session->state()));
        return 1;
    }
    return 0;
}
