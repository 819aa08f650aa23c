// zqlive publish: the kit's main job. Publishes a camera and a microphone through a live session to
// an RTMP URL. The camera is the pushed-in test pattern (moving, with a running clock), or a camera
// source through the kit's capture path with its GPU effects (options in CaptureOptions.cpp); the
// microphone (a pushed-in tone or silence, or the session's own capture of an
// ALSA device or an audio file) through a live session to an RTMP URL.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>
#include "ZQLiveKit/TestPatternSource.h"
#include "ZQLiveKit/ToneSource.h"
#include "ZQLiveKit/ZQLiveSession.h"
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/TrustSettings.h"
#include "apps/zqlive/AudioInputOption.h"
#include "apps/zqlive/CameraOptions.h"
#include "apps/zqlive/CaptureOptions.h"
#include "apps/zqlive/Cli.h"

namespace {

const std::string kUsage =
    std::string("publish URL [--audio tone|silence|mic[:DEVICE]|file:WAV] [--size WxH] [--fps N] [--bitrate KBPS]\n"
                "              [--audio-quality 0-3] [--duration SEC] [--adaptive] [--reconnect-interval S]\n"
                "              [--reconnect-count N] [--debug-info] [--encoder hardware|file] [--ca-file PEM]\n"
                "  URL: rtmp://HOST[:PORT]/APP/STREAM, or rtmps:// for RTMP over TLS (the server's certificate\n"
                "       and name are verified against the system's CAs plus --ca-file, or ZQLIVEKIT_CA_FILE)\n") +
    zqlive::captureUsage();

struct PublishOptions {
    std::string url;
    zqlive::AudioInputOption audio;
    int width = 720, height = 1280;
    int fps = 30;
    long long bitrate = 1200000;
    int audioQuality = 2;
    double duration = 0; // 0: until SIGINT/SIGTERM
    bool adaptive = false;
    long long reconnectInterval = 0, reconnectCount = 0;
    bool debugInfo = false;
    // Unset: the system version decides (file-based below 8.0).
    ZQLiveVideoEncoderType encoder = ZQLiveVideoEncoderType::Automatic;
    zqlive::CaptureOptions capture;
    std::optional<std::string> caFile;
};

PublishOptions parse(const std::vector<std::string>& argv) {
    std::vector<std::string> switches{"adaptive", "debug-info"};
    std::vector<std::string> known{"audio", "size", "fps", "bitrate", "audio-quality", "duration", "adaptive",
                                   "reconnect-interval", "reconnect-count", "debug-info", "encoder", "ca-file"};
    switches.insert(switches.end(), zqlive::captureSwitchNames().begin(), zqlive::captureSwitchNames().end());
    known.insert(known.end(), zqlive::captureOptionNames().begin(), zqlive::captureOptionNames().end());
    known.insert(known.end(), zqlive::kCameraSourceOptions.begin(), zqlive::kCameraSourceOptions.end());
    zqlive::Args args(argv, switches);
    args.allowOnly(known);
    zqlive::applyCameraSourceOptions(args);
    if (args.positionals().size() != 1) throw zqlive::UsageError("needs exactly one URL");
    PublishOptions o;
    o.url = args.positionals()[0];
    if (o.url.rfind("rtmp://", 0) != 0 && o.url.rfind("rtmps://", 0) != 0)
        throw zqlive::UsageError("URL must start with rtmp://, got '" + o.url + "'");
    o.capture = zqlive::parseCaptureOptions(args);
    o.audio = zqlive::parseAudioInputOption(args.valueOr("audio", "tone"));
    if (auto size = args.value("size")) {
        int w = 0, h = 0;
        char tail = 0;
        if (std::sscanf(size->c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 4096 || h > 4096 ||
            w % 2 || h % 2)
            throw zqlive::UsageError("--size must be WxH with even sides from 16 to 4096, got '" + *size + "'");
        o.width = w;
        o.height = h;
    }
    o.fps = static_cast<int>(args.integer("fps", 30, 1, 60));
    o.bitrate = args.integer("bitrate", 1200, 50, 50000) * 1000;
    o.audioQuality = static_cast<int>(args.integer("audio-quality", 2, 0, 3));
    o.duration = args.number("duration", 0, 0, 86400);
    o.adaptive = args.has("adaptive");
    o.reconnectInterval = args.integer("reconnect-interval", 0, 0, 3600);
    o.reconnectCount = args.integer("reconnect-count", 0, 0, 1000);
    o.debugInfo = args.has("debug-info");
    if ((o.caFile = args.value("ca-file")) && ::access(o.caFile->c_str(), R_OK) != 0)
        throw zqlive::UsageError("--ca-file: cannot read '" + *o.caFile + "'");
    if (auto encoder = args.value("encoder")) {
        if (*encoder != "hardware" && *encoder != "file") throw zqlive::UsageError("--encoder must be hardware or file");
        o.encoder = *encoder == "file" ? ZQLiveVideoEncoderType::FileBased : ZQLiveVideoEncoderType::Hardware;
    }
    return o;
}

// The video configuration for the asked size: the nearest preset, then the asked values.
std::shared_ptr<ZQLiveVideoConfiguration> videoConfiguration(const PublishOptions& o) {
    int shortSide = std::min(o.width, o.height);
    std::uint64_t quality = shortSide <= 360 ? 2 : shortSide <= 540 ? 5 : 8;
    auto video = ZQLiveVideoConfiguration::defaultConfigurationForQuality(quality, o.height >= o.width ? 1 : 3);
    video->setVideoSize({static_cast<double>(o.width), static_cast<double>(o.height)});
    video->setVideoFrameRate(static_cast<std::uint64_t>(o.fps));
    video->setVideoMaxKeyframeInterval(static_cast<std::uint64_t>(o.fps) * 2);
    video->setVideoMinFrameRate(static_cast<std::uint64_t>(std::max(1, o.fps / 2)));
    video->setVideoBitRate(static_cast<std::uint64_t>(o.bitrate));
    video->setVideoMaxBitRate(static_cast<std::uint64_t>(o.bitrate) * 6 / 5);
    video->setVideoMinBitRate(static_cast<std::uint64_t>(o.bitrate) / 2);
    return video;
}

nlohmann::json debugEvent(const ZQLiveDebug& d) {
    return {{"event", "debug"},
            {"streamId", d.streamId() ? nlohmann::json(*d.streamId()) : nlohmann::json()},
            {"uploadUrl", d.uploadUrl() ? nlohmann::json(*d.uploadUrl()) : nlohmann::json()},
            {"videoSize", {d.videoSize().width, d.videoSize().height}},
            {"isRtmp", d.isRtmp()},
            {"isTls", d.isTls()},
            {"tlsVersion", d.tlsVersion() ? nlohmann::json(*d.tlsVersion()) : nlohmann::json()},
            {"elapsedMilli", d.elapsedMilli()},
            {"timeStamp", d.timeStamp()},
            {"dataFlow", d.dataFlow()},
            {"bandwidth", d.bandwidth()},
            {"currentBandwidth", d.currentBandwidth()},
            {"dropFrame", d.dropFrame()},
            {"totalFrame", d.totalFrame()},
            {"capturedAudioCount", d.capturedAudioCount()},
            {"capturedVideoCount", d.capturedVideoCount()},
            {"currentCapturedAudioCount", d.currentCapturedAudioCount()},
            {"currentCapturedVideoCount", d.currentCapturedVideoCount()},
            {"unSendCount", d.unSendCount()}};
}

// Prints what the session reports and decides when the job is over. Main queue only.
class PublishReporter final : public ZQLiveSessionDelegate {
public:
    explicit PublishReporter(bool debugInfo) : mDebugInfo(debugInfo) {}

    void liveSessionLiveStateDidChange(ZQLiveSession&, ZQLiveState state) override {
        zqlive::emit({{"event", "state"}, {"state", static_cast<std::uint64_t>(state)}, {"name", ZQLiveStateName(state)}});
        if (state == ZQLiveStop && mStopping) platform::RunLoop::main().stop();
    }
    void liveSessionDebugInfo(ZQLiveSession&, std::shared_ptr<ZQLiveDebug> debugInfo) override {
        if (mDebugInfo && debugInfo) zqlive::emit(debugEvent(*debugInfo));
    }
    void liveSessionErrorCode(ZQLiveSession&, std::uint64_t code) override {
        zqlive::emit({{"event", "error"}, {"code", code}});
        mFailed = true;
        mFailure = "publishing failed with error " + std::to_string(code) + " (reconnect attempts used up)";
        // Stopped like any run, so that its Stop ends the job and the totals are complete.
        if (mOnFailure) mOnFailure();
    }
    void liveSessionVideoBitRateDidChange(ZQLiveSession&, std::uint64_t videoBitRate) override {
        zqlive::emit({{"event", "bitrate"}, {"videoBitRate", videoBitRate}});
    }

    // The camera could not start or was lost: the run ends, it never goes on without pictures.
    void captureFailed(const std::string& reason) {
        zqlive::emit({{"event", "captureFailed"}, {"reason", reason}});
        if (mFailed) return;
        mFailed = true;
        mFailure = reason;
        if (mOnFailure) mOnFailure();
    }
    void setOnFailure(std::function<void()> onFailure) { mOnFailure = std::move(onFailure); }
    void setStopping() { mStopping = true; }
    bool stopping() const { return mStopping; }
    bool failed() const { return mFailed; }
    const std::string& failure() const { return mFailure; }

private:
    bool mDebugInfo;
    std::function<void()> mOnFailure;
    bool mStopping = false;
    bool mFailed = false;
    std::string mFailure;
};

std::string statusText(const ZQLiveSession& session, double elapsed) {
    char text[220];
    auto debug = session.debugInfo();
    std::string link = debug && debug->tlsVersion() ? " " + *debug->tlsVersion() : "";
    std::snprintf(text, sizeof text, "%-20s%s %7.1f s  sent %lld frames  %6.0f kbit/s  dropped %lld  queued %lld",
                  ZQLiveStateName(session.state()), link.c_str(), elapsed, debug ? static_cast<long long>(debug->totalFrame()) : 0LL,
                  debug ? debug->currentBandwidth() * 8 / 1000 : 0.0,
                  debug ? static_cast<long long>(debug->dropFrame()) : 0LL,
                  debug ? static_cast<long long>(debug->unSendCount()) : 0LL);
    return text;
}

int runPublish(const std::vector<std::string>& argv) {
    PublishOptions o = parse(argv);
    if (o.caFile) platform::TrustSettings::setCaFile(o.caFile);

    // Before any thread starts, so every thread inherits the blocked signals.
    zqlive::InterruptWatch interrupts;

    auto audio = ZQLiveAudioConfiguration::defaultConfigurationForQuality(static_cast<std::uint64_t>(o.audioQuality));
    auto video = videoConfiguration(o);
    const bool capturedAudio = o.audio.captured();
    const bool capturedVideo = o.capture.capturePath();
    auto session = ZQLiveSession::create(audio, video,
                                         (capturedAudio ? ZQLiveCaptureAudio : ZQLiveInputAudio) |
                                             (capturedVideo ? ZQLiveCaptureVideo : ZQLiveInputVideo));
    auto reporter = std::make_shared<PublishReporter>(o.debugInfo);
    session->setDelegate(reporter);
    session->setCaptureErrorHandler([weak = std::weak_ptr<PublishReporter>(reporter)](const std::string& reason) {
        if (auto r = weak.lock()) r->captureFailed(reason);
    });
    std::unique_ptr<zqlive::CaptureSetup> capture;
    if (capturedVideo) capture = std::make_unique<zqlive::CaptureSetup>(o.capture, *session, video->videoSize());
    session->setReconnectInterval(static_cast<std::uint64_t>(o.reconnectInterval));
    session->setReconnectCount(static_cast<std::uint64_t>(o.reconnectCount));
    session->setAdaptiveBitrate(o.adaptive);
    session->setShowDebugInfo(o.debugInfo);
    session->setVideoEncoderType(o.encoder);

    // The encoder takes pictures of the configured size as read (which may differ from the asked one).
    auto size = video->videoSize();
    // NV12, as a camera delivers: the encoder takes it without a colour conversion.
    std::unique_ptr<platform::TestPatternSource> pattern;
    if (!capturedVideo) {
        pattern = std::make_unique<platform::TestPatternSource>(static_cast<int>(size.width),
                                                                static_cast<int>(size.height), o.fps,
                                                                platform::PixelFormat::NV12);
        pattern->setCallback([weak = std::weak_ptr<ZQLiveSession>(session)](const auto& picture) {
            if (auto s = weak.lock()) s->pushVideo(picture);
        });
    }
    std::unique_ptr<platform::ToneSource> microphone;
    if (!capturedAudio) {
        microphone = std::make_unique<platform::ToneSource>(
            static_cast<std::uint32_t>(audio->audioSampleRate()), static_cast<std::uint32_t>(audio->numberOfChannels()),
            audio->bufferLength(), o.audio.kind == zqlive::AudioInputOption::Kind::Tone ? 440.0 : 0.0);
        microphone->setCallback([weak = std::weak_ptr<ZQLiveSession>(session)](std::span<const std::uint8_t> pcm) {
            if (auto s = weak.lock()) s->pushAudio(ZQBytes(pcm.data(), pcm.size()));
        });
    }
    // The session's own microphone and camera: an input that cannot be opened or started ends the
    // job before publishing.
    zqlive::AudioInputWatch audioInput(o.audio);
    if (capturedAudio || capturedVideo) {
        session->setRunning(true);
        platform::RunLoop::main().runUntilIdle();
        if (audioInput.failed() || reporter->failed()) {
            session->setRunning(false);
            std::fprintf(stderr, "zqlive publish: %s\n",
                         (audioInput.failed() ? audioInput.failure() : reporter->failure()).c_str());
            return 1;
        }
        if (capturedAudio) zqlive::emit({{"event", "audioInput"}, {"source", o.audio.description()}});
        if (capturedVideo)
            zqlive::emit({{"event", "videoInput"},
                          {"source", o.capture.video},
                          {"position", o.capture.back ? "back" : "front"},
                          {"beauty", o.capture.beauty}});
    }

    auto& loop = platform::RunLoop::main();
    double started = platform::mediaTime();
    platform::DelayedTask durationTask, stopGuard;
    auto beginStop = [&] {
        if (reporter->stopping()) return;
        reporter->setStopping();
        session->stopLive();
        // The publisher stops at once whatever the link does; this only guards against a defect.
        stopGuard = platform::DispatchQueue::main()->after(15, [&loop] { loop.stop(); });
    };
    reporter->setOnFailure(beginStop);
    interrupts.watch(beginStop);
    if (o.duration > 0) durationTask = platform::DispatchQueue::main()->after(o.duration, beginStop);
    audioInput.setFailureHandler(beginStop);

    zqlive::StatusLine status;
    auto statusTimer = platform::Timer::scheduled(0.5, true, [&](platform::Timer&) {
        status.update(statusText(*session, platform::mediaTime() - started));
    });

    auto info = std::make_shared<ZQLiveStreamInfo>();
    info->setUrl(o.url);
    if (pattern) pattern->start();
    if (microphone) microphone->start();
    session->startLive(info);
    loop.run();

    durationTask.cancel();
    stopGuard.cancel();
    // The preview is taken off the screen when the capture stops: its last picture is read first.
    std::string previewError;
    const bool previewWritten = !capture || capture->writePreview(&previewError);
    if (pattern) pattern->stop();
    if (microphone) microphone->stop();
    session->setRunning(false);
    statusTimer->invalidate();
    status.finish();

    if (capturedVideo) {
        ZQVideoCaptureStatistics counts = session->videoCaptureStatistics();
        zqlive::emit({{"event", "capture"},
                      {"framesCaptured", counts.framesCaptured},
                      {"framesDropped", counts.framesDropped},
                      {"framesDelivered", counts.framesDelivered}});
    }
    // The publisher's last record, made by its stop, holds the run's totals.
    auto debug = session->debugInfo();
    zqlive::emit({{"event", "summary"},
                  {"duration", platform::mediaTime() - started},
                  {"framesSent", debug ? debug->totalFrame() : 0},
                  {"framesDropped", debug ? debug->dropFrame() : 0},
                  {"framesUnsent", debug ? debug->unSendCount() : 0},
                  {"bytesSent", debug ? debug->dataFlow() : 0.0},
                  {"tlsVersion", debug && debug->tlsVersion() ? nlohmann::json(*debug->tlsVersion()) : nlohmann::json()}});
    if (reporter->failed()) {
        std::fprintf(stderr, "zqlive publish: %s\n", reporter->failure().c_str());
        return 1;
    }
    if (audioInput.failed()) {
        std::fprintf(stderr, "zqlive publish: %s\n", audioInput.failure().c_str());
        return 1;
    }
    if (!previewWritten) {
        std::fprintf(stderr, "zqlive publish: the preview picture was not written: %s\n", previewError.c_str());
        return 1;
    }
    if (session->state() != ZQLiveStop) {
        std::fprintf(stderr, "zqlive publish: the publisher did not stop cleanly (state %s)\n",
                     ZQLiveStateName(session->state()));
        return 1;
    }
    return 0;
}

} // namespace

ZQLIVE_COMMAND(publish, "publish",
               "publish a test pattern or a camera with effects, and a tone, a microphone or a WAV file to an RTMP URL",
               kUsage.c_str(), runPublish);
