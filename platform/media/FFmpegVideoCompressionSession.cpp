#include "platform/media/FFmpegVideoCompressionSession.h"

#include <algorithm>
#include "platform/foundation/DispatchCheck.h"
#include "platform/media/H264EncoderProbe.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace platform {

std::shared_ptr<VideoCompressionSession> VideoCompressionSession::create(int width, int height,
                                                                         OutputCallback callback) {
    if (!PixelBuffer::isValidSize(width, height) || width < 2 || height < 2) return nullptr;
    if (H264EncoderProbe::choice().name.empty()) return nullptr;
    return std::make_shared<FFmpegVideoCompressionSession>(width, height, std::move(callback));
}

FFmpegVideoCompressionSession::FFmpegVideoCompressionSession(int width, int height, OutputCallback callback)
    : mWidth(width),
      mHeight(height),
      mCallback(std::move(callback)),
      mQueue(DispatchQueue::createSerialThread("com.zqlivekit.h264-compression")) {}

FFmpegVideoCompressionSession::~FFmpegVideoCompressionSession() = default;

MediaStatus FFmpegVideoCompressionSession::setProperty(VideoCompressionProperty key,
                                                       const VideoCompressionValue& value) {
    std::lock_guard lock(mMutex);
    if (mInvalidated) return MediaStatus::InvalidSession;
    const bool live = key == VideoCompressionProperty::AverageBitRate || key == VideoCompressionProperty::DataRateLimits;
    if (mOpened && !live) return MediaStatus::UnsupportedProperty;
    MediaStatus status = mSettings.apply(key, value);
    if (status == MediaStatus::Ok && live) ++mSettingsVersion;
    return status;
}

MediaStatus FFmpegVideoCompressionSession::prepareToEncodeFrames() {
    {
        std::lock_guard lock(mMutex);
        if (mInvalidated) return MediaStatus::InvalidSession;
    }
    bool opened = false;
    mQueue->sync([&] { opened = ensureEncoder(); });
    if (!opened) fail();
    return opened ? MediaStatus::Ok : MediaStatus::EncoderFailed;
}

MediaStatus FFmpegVideoCompressionSession::encodeFrame(std::shared_ptr<PixelBuffer> pixelBuffer,
                                                       MediaTime presentationTime, MediaTime duration,
                                                       bool forceKeyFrame, std::uint64_t frameContext) {
    if (!pixelBuffer) return MediaStatus::InvalidArgument;
    {
        std::unique_lock lock(mMutex);
        if (!mQueue->isCurrent())
            mSpace.wait(lock, [&] { return mInFlight < kMaxFramesInFlight || mInvalidated || mFailed; });
        if (mInvalidated) return MediaStatus::InvalidSession;
        if (mFailed) return MediaStatus::EncoderFailed;
        ++mInFlight;
    }
    Job job{std::move(pixelBuffer), presentationTime, duration, forceKeyFrame, frameContext};
    mQueue->async([self = shared_from_this(), job = std::move(job)] { self->process(job); });
    return MediaStatus::Ok;
}

MediaStatus FFmpegVideoCompressionSession::completeFrames() {
    {
        std::lock_guard lock(mMutex);
        if (mInvalidated) return MediaStatus::InvalidSession;
    }
    // Asked from an output callback, everything queued before it has already come back; the codec
    // is in the middle of giving out a picture and must not be drained under it.
    if (mQueue->isCurrent()) return MediaStatus::Ok;
    mQueue->sync([this] { flushHeldFrames(); });
    return MediaStatus::Ok;
}

void FFmpegVideoCompressionSession::invalidate() {
    {
        std::lock_guard lock(mMutex);
        if (mInvalidated) return;
        mInvalidated = true;
    }
    mSpace.notify_all();
    auto close = [self = shared_from_this()] {
        self->mEncoder.reset();
        self->mAwaiting.clear();
    };
    // From an output callback the codec is still on the stack: it closes right after. Otherwise no
    // callback runs once this returns (a frame being encoded now finishes first).
    if (mQueue->isCurrent())
        mQueue->async(std::move(close));
    else
        mQueue->sync(close);
}

std::string FFmpegVideoCompressionSession::encoderName() const {
    std::lock_guard lock(mMutex);
    return mEncoderName;
}

void FFmpegVideoCompressionSession::process(const Job& job) {
    ZQ_DCHECK_ON(mQueue);
    bool invalidated, failed;
    {
        std::lock_guard lock(mMutex);
        invalidated = mInvalidated;
        failed = mFailed;
    }
    if (invalidated) {
        // Dropped without a callback.
    } else if (failed || !ensureEncoder() || !applyRateChange()) {
        fail();
        mCallback(job.frameContext, MediaStatus::EncoderFailed, nullptr);
    } else {
        std::int64_t pts = codecTime(job);
        mAwaiting.push_back({job.frameContext, pts, job.presentationTime});
        MediaStatus status = mEncoder->encode(job.pixelBuffer, pts, job.forceKeyFrame,
                                              [this](FFmpegH264Encoder::Picture&& p) { deliver(std::move(p)); });
        if (status != MediaStatus::Ok) {
            fail();
            for (const auto& frame : mAwaiting) mCallback(frame.frameContext, status, nullptr);
            mAwaiting.clear();
            mEncoder.reset();
        }
    }
    {
        std::lock_guard lock(mMutex);
        --mInFlight;
    }
    mSpace.notify_all();
}

bool FFmpegVideoCompressionSession::ensureEncoder() {
    ZQ_DCHECK_ON(mQueue);
    if (mEncoder) return true;
    H264EncoderSettings settings;
    std::uint64_t version;
    {
        std::lock_guard lock(mMutex);
        if (mInvalidated) return false;
        settings = mSettings;
        version = mSettingsVersion;
    }
    mEncoder = FFmpegH264Encoder::openPreferred(mWidth, mHeight, settings);
    if (!mEncoder) return false;
    mAppliedVersion = version;
    std::lock_guard lock(mMutex);
    mOpened = true;
    mEncoderName = mEncoder->name();
    return true;
}

bool FFmpegVideoCompressionSession::applyRateChange() {
    ZQ_DCHECK_ON(mQueue);
    H264EncoderSettings settings;
    std::uint64_t version;
    {
        std::lock_guard lock(mMutex);
        if (mSettingsVersion == mAppliedVersion) return true;
        settings = mSettings;
        version = mSettingsVersion;
    }
    if (mEncoder->supportsLiveRateChange()) {
        mEncoder->updateRate(settings);
        mAppliedVersion = version;
        return true;
    }
    // A codec that fixes its rate when it opens is reopened; the next picture starts a new GOP.
    flushHeldFrames();
    mEncoder.reset();
    return ensureEncoder();
}

std::int64_t FFmpegVideoCompressionSession::codecTime(const Job& job) {
    ZQ_DCHECK_ON(mQueue);
    std::int64_t pts;
    if (job.presentationTime.isValid()) {
        pts = av_rescale(job.presentationTime.value, FFmpegH264Encoder::kTimeBase, job.presentationTime.timescale);
    } else {
        // No usable time: one frame's worth after the last one (at 30 fps when nothing better is known).
        std::int64_t step = job.duration.isValid() && job.duration.value > 0
                                ? av_rescale(job.duration.value, FFmpegH264Encoder::kTimeBase, job.duration.timescale)
                                : FFmpegH264Encoder::kTimeBase / 30;
        pts = mLastPts + std::max<std::int64_t>(step, 1);
    }
    // The codecs want rising times; frames of a rebuilt encoder restart nothing.
    if (pts <= mLastPts) pts = mLastPts + 1;
    mLastPts = pts;
    return pts;
}

void FFmpegVideoCompressionSession::deliver(FFmpegH264Encoder::Picture&& picture) {
    ZQ_DCHECK_ON(mQueue);
    // Matched by time: a codec that reorders gives pictures back in decode order. Frames it never
    // gives back are answered, without a sample, when the session is flushed.
    auto it = std::find_if(mAwaiting.begin(), mAwaiting.end(), [&](const Awaiting& a) { return a.pts == picture.pts; });
    if (it == mAwaiting.end()) return;
    {
        std::lock_guard lock(mMutex);
        if (mInvalidated) return; // by an earlier callback of the same picture batch
    }
    CompressedSample sample;
    sample.nalUnits = std::move(picture.nalUnits);
    sample.isKeyFrame = picture.isKeyFrame;
    sample.parameterSets = mEncoder->parameterSets();
    sample.presentationTime = it->presentationTime;
    std::uint64_t context = it->frameContext;
    mAwaiting.erase(it);
    mCallback(context, MediaStatus::Ok, &sample);
}

void FFmpegVideoCompressionSession::fail() {
    {
        std::lock_guard lock(mMutex);
        mFailed = true;
    }
    mSpace.notify_all();
}

void FFmpegVideoCompressionSession::flushHeldFrames() {
    ZQ_DCHECK_ON(mQueue);
    if (!mEncoder || mAwaiting.empty()) return;
    // A codec with a delay keeps pictures back; draining ends its stream, so it is reopened on demand.
    mEncoder->drain([this](FFmpegH264Encoder::Picture&& p) { deliver(std::move(p)); });
    for (const auto& frame : mAwaiting) mCallback(frame.frameContext, MediaStatus::Ok, nullptr);
    mAwaiting.clear();
    mEncoder.reset();
}

} // namespace platform
