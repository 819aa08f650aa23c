#include "ZQLiveKit/ZQLiveSession.h"

#include <algorithm>
#include <cmath>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Exception.h"
#include "platform/foundation/DispatchCheck.h"
#include "session/ZQLiveSessionImpl.h"

namespace {
constexpr const char* kInitError = "ZVLiveSession init error";
constexpr std::uint64_t kBitRateRaise = 50000;
constexpr std::uint64_t kBitRateCut = 100000;
} // namespace

ZQLiveSessionDelegate::~ZQLiveSessionDelegate() = default;
void ZQLiveSessionDelegate::liveSessionLiveStateDidChange(ZQLiveSession&, ZQLiveState) {}
void ZQLiveSessionDelegate::liveSessionDebugInfo(ZQLiveSession&, std::shared_ptr<ZQLiveDebug>) {}
void ZQLiveSessionDelegate::liveSessionErrorCode(ZQLiveSession&, std::uint64_t) {}
void ZQLiveSessionDelegate::liveSessionVideoBitRateDidChange(ZQLiveSession&, std::uint64_t) {}

// --- Impl ---

ZQLiveSession::Impl::Impl(std::shared_ptr<ZQLiveAudioConfiguration> audio,
                          std::shared_ptr<ZQLiveVideoConfiguration> video, std::int64_t type)
    : audioConfiguration(std::move(audio)), videoConfiguration(std::move(video)), captureType(type),
      parts(ZQLiveSessionParts::defaults()) {}

void ZQLiveSession::Impl::setParts(ZQLiveSessionParts newParts) {
    std::lock_guard lock(mutex);
    parts = std::move(newParts);
}

bool ZQLiveSession::Impl::avAlignment() const {
    if (hasAudio() && hasVideo() && (!hasCaptureAudio.load() || !hasKeyFrameVideo.load())) return false;
    return true;
}

std::uint64_t ZQLiveSession::Impl::now() const {
    double ms = platform::mediaTime() * 1000.0;
    return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

std::uint64_t ZQLiveSession::Impl::pictureTime() {
    // Two pictures stamped within one millisecond (a capture thread catching up after a stall)
    // would share a timestamp and reach the ingest as one decoding time twice: each gets its own.
    const std::uint64_t stamp = now();
    std::uint64_t last = lastPictureTime.load();
    for (;;) {
        const std::uint64_t next = std::max(stamp, last + 1);
        if (lastPictureTime.compare_exchange_weak(last, next)) return next;
    }
}

std::uint64_t ZQLiveSession::Impl::audioTime(std::size_t bytes) {
    const double stamp = static_cast<double>(now());
    double duration = 0;
    if (audioConfiguration) {
        const double bytesPerSecond = static_cast<double>(audioConfiguration->audioSampleRate()) *
                                      static_cast<double>(audioConfiguration->numberOfChannels()) * 2.0;
        if (bytesPerSecond > 0) duration = static_cast<double>(bytes) * 1000.0 / bytesPerSecond;
    }
    std::lock_guard lock(audioTimeLock);
    const double begin = std::max(stamp, audioTimeEnd);
    audioTimeEnd = begin + duration;
    return static_cast<std::uint64_t>(begin);
}

std::shared_ptr<ZVStreamSocket> ZQLiveSession::Impl::socket(const std::shared_ptr<ZQLiveStreamInfo>& info) {
    std::lock_guard lock(mutex);
    if (!socketPart) {
        socketPart = parts.makeSocket(info, static_cast<std::int64_t>(reconnectInterval),
                                      static_cast<std::int64_t>(reconnectCount));
        socketPart->setDelegate(weak_from_this());
    }
    return socketPart;
}

std::shared_ptr<ZVStreamSocket> ZQLiveSession::Impl::currentSocket() const {
    std::lock_guard lock(mutex);
    return socketPart;
}

std::shared_ptr<ZVVideoEncoding> ZQLiveSession::Impl::videoEncoder() {
    std::lock_guard lock(mutex);
    if (!videoEncoderPart && parts.makeVideoEncoder) {
        videoEncoderPart = parts.makeVideoEncoder(videoConfiguration);
        if (videoEncoderPart) videoEncoderPart->setDelegate(weak_from_this());
    }
    return videoEncoderPart;
}

std::shared_ptr<ZVAudioEncoding> ZQLiveSession::Impl::audioEncoder() {
    std::lock_guard lock(mutex);
    if (!audioEncoderPart && parts.makeAudioEncoder) {
        audioEncoderPart = parts.makeAudioEncoder(audioConfiguration);
        if (audioEncoderPart) audioEncoderPart->setDelegate(weak_from_this());
    }
    return audioEncoderPart;
}

std::shared_ptr<ZVAudioCaptureSource> ZQLiveSession::Impl::audioCapture(bool create) {
    std::lock_guard lock(mutex);
    if (!audioCapturePart && create && (captureType & ZQLiveCaptureAudio) && parts.makeAudioCapture) {
        audioCapturePart = parts.makeAudioCapture(audioConfiguration);
        if (audioCapturePart) audioCapturePart->setDelegate(weak_from_this());
    }
    return audioCapturePart;
}

std::shared_ptr<ZVVideoCaptureSource> ZQLiveSession::Impl::videoCapture(bool create) {
    std::lock_guard lock(mutex);
    if (!videoCapturePart && create && (captureType & ZQLiveCaptureVideo) && parts.makeVideoCapture) {
        videoCapturePart = parts.makeVideoCapture(videoConfiguration);
        if (videoCapturePart) videoCapturePart->setDelegate(weak_from_this());
    }
    return videoCapturePart;
}

std::uint64_t ZQLiveSession::Impl::uploadTimestamp(std::uint64_t timestamp) {
    std::lock_guard lock(timestampLock);
    // The first frame of a run sets the time base; the check and the set happen under the same
    // lock as every rebase, so two encoder threads cannot both claim it.
    if (relativeTimestamps == 0) relativeTimestamps = timestamp;
    return timestamp - relativeTimestamps;
}

void ZQLiveSession::Impl::pushSendBuffer(const std::shared_ptr<ZQFrame>& frame) {
    frame->setTimestamp(uploadTimestamp(frame->timestamp()));
    if (auto s = currentSocket()) s->sendFrame(frame);
}

void ZQLiveSession::Impl::announce(const std::string& property) const {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(mutex);
        handler = propertyChangeHandler;
    }
    if (handler) handler(property);
}

void ZQLiveSession::Impl::onMainWithDelegate(std::function<void(ZQLiveSession&, ZQLiveSessionDelegate&)> call) {
    platform::DispatchQueue::main()->async([weak = weakOwner, call = std::move(call)] {
        auto session = weak.lock();
        if (!session) return;
        auto target = session->delegate();
        if (target) call(*session, *target);
    });
}

void ZQLiveSession::Impl::socketStatus(const std::shared_ptr<ZVStreamSocket>&, ZQLiveState status) {
    if (status == ZQLiveStart && !uploading.load()) {
        // A new run: reset alignment and the time base before frames may flow. A Start after a
        // reconnect finds uploading still on and keeps both, so timestamps carry on.
        hasCaptureAudio = false;
        hasKeyFrameVideo = false;
        {
            std::lock_guard lock(timestampLock);
            relativeTimestamps = 0;
        }
        uploading = true;
    }
    if (status == ZQLiveStop || status == ZQLiveError) uploading = false;
    platform::DispatchQueue::main()->async([weak = weakOwner, status] {
        auto session = weak.lock();
        if (!session) return;
        session->mImpl->state = status;
        if (auto target = session->delegate()) target->liveSessionLiveStateDidChange(*session, status);
    });
}

void ZQLiveSession::Impl::socketDidError(const std::shared_ptr<ZVStreamSocket>&, std::uint64_t errorCode) {
    onMainWithDelegate([errorCode](ZQLiveSession& s, ZQLiveSessionDelegate& d) { d.liveSessionErrorCode(s, errorCode); });
}

void ZQLiveSession::Impl::socketDebug(const std::shared_ptr<ZVStreamSocket>&, std::shared_ptr<ZQLiveDebug> record) {
    {
        std::lock_guard lock(mutex);
        debugInfo = record;
    }
    if (!showDebugInfo.load()) return;
    onMainWithDelegate([record](ZQLiveSession& s, ZQLiveSessionDelegate& d) { d.liveSessionDebugInfo(s, record); });
}

void ZQLiveSession::Impl::socketBufferStatus(const std::shared_ptr<ZVStreamSocket>&, ZVBufferState status) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (!hasVideo() || !adaptiveBitrate.load()) return;
    auto encoder = videoEncoder();
    if (!encoder) return;
    // Compared as unsigned, as the configuration holds them; a cut never wraps below zero.
    auto current = static_cast<std::uint64_t>(std::max<std::int64_t>(encoder->videoBitRate(), 0));
    std::uint64_t next = current;
    if (status == ZVBufferStateDecline) {
        if (current < videoConfiguration->videoMaxBitRate()) next = current + kBitRateRaise;
    } else if (current > videoConfiguration->videoMinBitRate()) {
        next = current > kBitRateCut ? current - kBitRateCut : 0;
    }
    if (next == current) return;
    encoder->setVideoBitRate(static_cast<std::int64_t>(next));
    // Every step is told, so that the application sees the rate follow the network.
    onMainWithDelegate([next](ZQLiveSession& s, ZQLiveSessionDelegate& d) { d.liveSessionVideoBitRateDidChange(s, next); });
}

void ZQLiveSession::Impl::videoEncoder(ZVVideoEncoding*, const std::shared_ptr<ZQVideoFrame>& frame) {
    if (!uploading.load() || !frame) return;
    if (frame->isKeyFrame() && hasCaptureAudio.load()) hasKeyFrameVideo = true;
    if (avAlignment()) pushSendBuffer(frame);
}

void ZQLiveSession::Impl::audioEncoder(ZVAudioEncoding*, const std::shared_ptr<ZQAudioFrame>& frame) {
    if (!uploading.load() || !frame) return;
    hasCaptureAudio = true;
    if (avAlignment()) pushSendBuffer(frame);
}

void ZQLiveSession::Impl::captureOutputAudioData(ZVAudioCaptureSource&, const ZQBytes& pcm) {
    if (!uploading.load()) return;
    if (auto encoder = audioEncoder()) encoder->encodeAudioData({pcm.data(), pcm.size()}, audioTime(pcm.size()));
}

void ZQLiveSession::Impl::captureOutputDidFailWithError(ZVVideoCaptureSource&, const std::string& reason) {
    platform::DispatchQueue::main()->async([weak = weakOwner, reason] {
        auto session = weak.lock();
        if (!session) return;
        std::function<void(const std::string&)> handler;
        {
            std::lock_guard lock(session->mImpl->mutex);
            handler = session->mImpl->captureErrorHandler;
        }
        if (handler) handler(reason);
    });
}

void ZQLiveSession::Impl::captureOutputPixelBuffer(ZVVideoCaptureSource&,
                                                   const std::shared_ptr<platform::PixelBuffer>& pixelBuffer) {
    if (!uploading.load()) return;
    if (auto encoder = videoEncoder()) encoder->encodeVideoData(pixelBuffer, pictureTime());
}

// --- ZQLiveSession ---

ZQLiveSession::ZQLiveSession() = default;

// Parts may still call the engine from their threads while the session goes: they hold it weakly,
// and its main-queue posts check that the session is still there.
ZQLiveSession::~ZQLiveSession() = default;

std::shared_ptr<ZQLiveSession> ZQLiveSession::create(std::shared_ptr<ZQLiveAudioConfiguration> audioConfiguration,
                                                     std::shared_ptr<ZQLiveVideoConfiguration> videoConfiguration,
                                                     std::int64_t captureType) {
    if (ZQLiveCaptureTypeHasAudio(captureType) && !audioConfiguration)
        throw platform::Exception(kInitError, "audioConfiguration is nil ");
    if (ZQLiveCaptureTypeHasVideo(captureType) && !videoConfiguration)
        throw platform::Exception(kInitError, "videoConfiguration is nil ");
    std::shared_ptr<ZQLiveSession> session(new ZQLiveSession());
    session->mImpl = std::make_shared<Impl>(std::move(audioConfiguration), std::move(videoConfiguration), captureType);
    session->mImpl->weakOwner = session;
    return session;
}

std::shared_ptr<ZQLiveSessionDelegate> ZQLiveSession::delegate() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->delegate.lock();
}

void ZQLiveSession::setDelegate(std::weak_ptr<ZQLiveSessionDelegate> delegate) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->delegate = std::move(delegate);
}

void ZQLiveSession::startLive(const std::shared_ptr<ZQLiveStreamInfo>& streamInfo) {
    if (!streamInfo) return;
    streamInfo->setVideoConfiguration(mImpl->videoConfiguration);
    streamInfo->setAudioConfiguration(mImpl->audioConfiguration);
    {
        std::lock_guard lock(mImpl->mutex);
        mImpl->streamInfo = streamInfo;
    }
    mImpl->socket(streamInfo)->start();
}

void ZQLiveSession::stopLive() {
    mImpl->uploading = false;
    std::shared_ptr<ZQLiveStreamInfo> info;
    {
        std::lock_guard lock(mImpl->mutex);
        info = mImpl->streamInfo ? mImpl->streamInfo : std::make_shared<ZQLiveStreamInfo>();
    }
    mImpl->socket(info)->stop();
    std::lock_guard lock(mImpl->mutex);
    mImpl->socketPart.reset();
}

bool ZQLiveSession::running() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->running;
}

void ZQLiveSession::setRunning(bool running) {
    {
        std::lock_guard lock(mImpl->mutex);
        if (mImpl->running == running) return;
        mImpl->running = running;
    }
    mImpl->announce("running");
    if (auto video = mImpl->videoCapture(true)) video->setRunning(running);
    if (auto audio = mImpl->audioCapture(true)) audio->setRunning(running);
}

void ZQLiveSession::kill() {
    if (auto video = mImpl->videoCapture(false)) video->setRunning(false);
    if (auto audio = mImpl->audioCapture(false)) audio->setRunning(false);
}

void ZQLiveSession::pushVideo(const std::shared_ptr<platform::PixelBuffer>& pixelBuffer) {
    if (!(mImpl->captureType & ZQLiveInputVideo) || !mImpl->uploading.load() || !pixelBuffer) return;
    if (auto encoder = mImpl->videoEncoder()) encoder->encodeVideoData(pixelBuffer, mImpl->pictureTime());
}

void ZQLiveSession::pushAudio(const ZQBytes& pcm) {
    if (!(mImpl->captureType & ZQLiveInputAudio) || !mImpl->uploading.load() || !pcm) return;
    if (auto encoder = mImpl->audioEncoder())
        encoder->encodeAudioData({pcm.data(), pcm.size()}, mImpl->audioTime(pcm.size()));
}

std::uint64_t ZQLiveSession::reconnectInterval() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->reconnectInterval;
}
void ZQLiveSession::setReconnectInterval(std::uint64_t seconds) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->reconnectInterval = seconds;
}
std::uint64_t ZQLiveSession::reconnectCount() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->reconnectCount;
}
void ZQLiveSession::setReconnectCount(std::uint64_t count) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->reconnectCount = count;
}

ZQLiveVideoEncoderType ZQLiveSession::videoEncoderType() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->videoEncoderType;
}

void ZQLiveSession::setVideoEncoderType(ZQLiveVideoEncoderType type) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->videoEncoderType = type;
    mImpl->parts.makeVideoEncoder = ZQLiveSessionParts::videoEncoderMaker(type);
}

bool ZQLiveSession::adaptiveBitrate() const { return mImpl->adaptiveBitrate.load(); }
void ZQLiveSession::setAdaptiveBitrate(bool adaptive) { mImpl->adaptiveBitrate = adaptive; }
bool ZQLiveSession::showDebugInfo() const { return mImpl->showDebugInfo.load(); }
void ZQLiveSession::setShowDebugInfo(bool show) { mImpl->showDebugInfo = show; }

// Pass-through settings: read from the video (or audio) source, default when there is none;
// `announced` setters tell the property-change handler.
#define ZQ_VIDEO_PASS_THROUGH(Type, getter, Setter, fallback, announced)                \
    Type ZQLiveSession::getter() const {                                                 \
        auto video = mImpl->videoCapture(true);                                          \
        return video ? video->getter() : fallback;                                       \
    }                                                                                    \
    void ZQLiveSession::Setter(Type value) {                                             \
        if (auto video = mImpl->videoCapture(true)) video->Setter(std::move(value));     \
        if (announced) mImpl->announce(#getter);                                         \
    }

ZQ_VIDEO_PASS_THROUGH(std::int64_t, captureDevicePosition, setCaptureDevicePosition, 0, true)
ZQ_VIDEO_PASS_THROUGH(bool, beautyFace, setBeautyFace, false, true)
ZQ_VIDEO_PASS_THROUGH(double, beautyLevel, setBeautyLevel, 0.0, true)
ZQ_VIDEO_PASS_THROUGH(double, brightLevel, setBrightLevel, 0.0, true)
ZQ_VIDEO_PASS_THROUGH(double, zoomScale, setZoomScale, 0.0, true)
ZQ_VIDEO_PASS_THROUGH(bool, torch, setTorch, false, true)
ZQ_VIDEO_PASS_THROUGH(bool, mirror, setMirror, false, true)
ZQ_VIDEO_PASS_THROUGH(bool, saveLocalVideo, setSaveLocalVideo, false, false)
ZQ_VIDEO_PASS_THROUGH(std::optional<std::string>, saveLocalVideoPath, setSaveLocalVideoPath, std::nullopt, false)
ZQ_VIDEO_PASS_THROUGH(std::shared_ptr<platform::View>, preView, setPreView, nullptr, true)
ZQ_VIDEO_PASS_THROUGH(std::shared_ptr<platform::View>, warterMarkView, setWarterMarkView, nullptr, false)
#undef ZQ_VIDEO_PASS_THROUGH

std::shared_ptr<platform::Image> ZQLiveSession::currentImage() const {
    auto video = mImpl->videoCapture(true);
    return video ? video->currentImage() : nullptr;
}

ZQVideoCaptureStatistics ZQLiveSession::videoCaptureStatistics() const {
    auto video = mImpl->videoCapture(false);
    return video ? video->captureStatistics() : ZQVideoCaptureStatistics{};
}

void ZQLiveSession::setCaptureErrorHandler(std::function<void(const std::string& reason)> handler) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->captureErrorHandler = std::move(handler);
}

bool ZQLiveSession::muted() const {
    auto audio = mImpl->audioCapture(true);
    return audio ? audio->muted() : false;
}

void ZQLiveSession::setMuted(bool muted) {
    if (auto audio = mImpl->audioCapture(true)) audio->setMuted(muted);
    mImpl->announce("muted");
}

void ZQLiveSession::setPropertyChangeHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->propertyChangeHandler = std::move(handler);
}

ZQLiveState ZQLiveSession::state() const { return static_cast<ZQLiveState>(mImpl->state.load()); }
std::int64_t ZQLiveSession::captureType() const { return mImpl->captureType; }

std::shared_ptr<ZQLiveDebug> ZQLiveSession::debugInfo() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->debugInfo;
}

const std::shared_ptr<ZQLiveAudioConfiguration>& ZQLiveSession::audioConfiguration() const {
    return mImpl->audioConfiguration;
}
const std::shared_ptr<ZQLiveVideoConfiguration>& ZQLiveSession::videoConfiguration() const {
    return mImpl->videoConfiguration;
}
