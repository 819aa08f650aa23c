#include "encoder/ZVHardwareVideoEncoder.h"

#include "ZQPlatform/SystemInfo.h"

using namespace platform;

std::shared_ptr<ZVHardwareVideoEncoder> ZVHardwareVideoEncoder::create(
    std::shared_ptr<ZQLiveVideoConfiguration> configuration, VideoCompressionSession::Factory sessionFactory) {
    if (!sessionFactory) sessionFactory = VideoCompressionSession::create;
    std::shared_ptr<ZVHardwareVideoEncoder> encoder(
        new ZVHardwareVideoEncoder(std::move(configuration), std::move(sessionFactory)));
    encoder->resetCompressionSession();
    std::weak_ptr<ZVHardwareVideoEncoder> weak = encoder;
    auto& center = NotificationCenter::defaultCenter();
    encoder->mResignActiveObserver =
        center.addObserver(kApplicationWillResignActiveNotification, nullptr, nullptr, [weak](const Notification& n) {
            if (auto self = weak.lock()) self->willEnterBackground(n);
        });
    encoder->mBecomeActiveObserver =
        center.addObserver(kApplicationDidBecomeActiveNotification, nullptr, nullptr, [weak](const Notification& n) {
            if (auto self = weak.lock()) self->willEnterForeground(n);
        });
    return encoder;
}

ZVHardwareVideoEncoder::ZVHardwareVideoEncoder(std::shared_ptr<ZQLiveVideoConfiguration> configuration,
                                               VideoCompressionSession::Factory sessionFactory)
    : mConfiguration(configuration ? std::move(configuration) : std::make_shared<ZQLiveVideoConfiguration>()),
      mSessionFactory(std::move(sessionFactory)) {}

ZVHardwareVideoEncoder::~ZVHardwareVideoEncoder() {
    mResignActiveObserver.reset();
    mBecomeActiveObserver.reset();
    if (auto session = compressionSession()) {
        session->completeFrames();
        session->invalidate();
    }
}

std::shared_ptr<VideoCompressionSession> ZVHardwareVideoEncoder::compressionSession() const {
    std::lock_guard lock(mSessionMutex);
    return mCompressionSession;
}

void ZVHardwareVideoEncoder::resetCompressionSession() {
    std::lock_guard reset(mResetMutex);
    std::shared_ptr<VideoCompressionSession> old;
    {
        std::lock_guard lock(mSessionMutex);
        old = std::move(mCompressionSession);
        mCompressionSession = nullptr;
    }
    if (old) {
        old->completeFrames();
        old->invalidate();
    }

    const ZQLiveVideoConfiguration& configuration = *mConfiguration;
    const Size size = configuration.videoSize();
    std::weak_ptr<ZVHardwareVideoEncoder> weak = weak_from_this();
    auto session = mSessionFactory(static_cast<int>(size.width), static_cast<int>(size.height),
                                   [weak](std::uint64_t frameContext, MediaStatus status, const CompressedSample* sample) {
                                       if (auto self = weak.lock()) self->compressionOutput(frameContext, status, sample);
                                   });
    if (!session) return; // no properties, no session; the next frame tries again

    const std::uint64_t frameRate = configuration.videoFrameRate();
    const std::uint64_t interval = configuration.videoMaxKeyframeInterval();
    const std::uint64_t bitRate = configuration.videoBitRate();
    mCurrentVideoBitRate = static_cast<std::int64_t>(bitRate);

    using Property = VideoCompressionProperty;
    session->setProperty(Property::MaxKeyFrameInterval, static_cast<std::int64_t>(interval));
    session->setProperty(Property::MaxKeyFrameIntervalDuration,
                         static_cast<std::int64_t>(frameRate == 0 ? 0 : interval / frameRate));
    session->setProperty(Property::ExpectedFrameRate, static_cast<std::int64_t>(frameRate));
    session->setProperty(Property::AverageBitRate, static_cast<std::int64_t>(bitRate));
    // At most 1.5 times the average, in bytes per one-second window.
    session->setProperty(Property::DataRateLimits, DataRateLimit{static_cast<double>(bitRate) * 1.5 * 0.125, 1});
    session->setProperty(Property::RealTime, true);
    session->setProperty(Property::ProfileLevel, SystemInfo::systemVersionNumber() < 15
                                                     ? H264ProfileLevel::MainAutoLevel
                                                     : H264ProfileLevel::BaselineAutoLevel);
    // No frame reordering: the publisher sends every picture with composition time 0 and its
    // capture time as its decode time, which only holds without B-frames.
    session->setProperty(Property::AllowFrameReordering, false);
    session->setProperty(Property::H264EntropyMode, H264EntropyMode::CABAC);
    session->prepareToEncodeFrames();

    std::lock_guard lock(mSessionMutex);
    mCompressionSession = std::move(session);
}

void ZVHardwareVideoEncoder::encodeVideoData(const std::shared_ptr<PixelBuffer>& pixelBuffer, std::uint64_t timeStamp) {
    if (mIsBackGround) return;
    const std::int64_t frameCount = ++mFrameCount;
    const auto frameRate = static_cast<std::int32_t>(mConfiguration->videoFrameRate());
    // The interval as a signed 32-bit value; 0 forces nothing.
    const auto interval = static_cast<std::int32_t>(mConfiguration->videoMaxKeyframeInterval());
    const bool forceKeyFrame = interval != 0 && frameCount % interval == 0;
    // The timestamp rides along as the frame's context value: nothing to release when a call fails.
    auto session = compressionSession();
    MediaStatus status = session ? session->encodeFrame(pixelBuffer, MediaTime{frameCount, frameRate},
                                                        MediaTime{1, frameRate}, forceKeyFrame, timeStamp)
                                 : MediaStatus::InvalidSession;
    if (status != MediaStatus::Ok) resetCompressionSession();
}

void ZVHardwareVideoEncoder::compressionOutput(std::uint64_t frameContext, MediaStatus status,
                                               const CompressedSample* sample) {
    if (!sample) return;
    const bool keyFrame = sample->isKeyFrame;
    const std::uint64_t timeStamp = frameContext;
    if (status != MediaStatus::Ok) return;

    ZQBytes sps, pps;
    std::shared_ptr<ZVVideoEncodingDelegate> delegate;
    {
        std::lock_guard lock(mMutex);
        if (keyFrame && mSps.isNil()) {
            const auto& sets = sample->parameterSets;
            if (sets.size() >= 2 && !sets[0].empty() && !sets[1].empty()) {
                mSps = ZQBytes(sets[0]);
                mPps = ZQBytes(sets[1]);
            }
        }
        sps = mSps;
        pps = mPps;
        delegate = mDelegate.lock();
    }

    // One frame per NAL unit; the frame shares the unit's bytes with the encoder's output. An empty
    // unit is skipped.
    for (const ZQBytes& unit : sample->nalUnits) {
        if (unit.empty()) continue;
        auto frame = std::make_shared<ZQVideoFrame>();
        frame->setTimestamp(timeStamp);
        frame->setData(unit);
        frame->setIsKeyFrame(keyFrame);
        frame->setSps(sps);
        frame->setPps(pps);
        if (delegate) delegate->videoEncoder(this, frame);
    }
}

void ZVHardwareVideoEncoder::stopEncoder() {
    if (auto session = compressionSession()) session->completeFrames();
}

void ZVHardwareVideoEncoder::setVideoBitRate(std::int64_t videoBitRate) {
    if (mIsBackGround) return;
    if (auto session = compressionSession()) {
        session->setProperty(VideoCompressionProperty::AverageBitRate, videoBitRate);
        session->setProperty(VideoCompressionProperty::DataRateLimits,
                             DataRateLimit{static_cast<double>(videoBitRate) * 1.5 * 0.125, 1});
    }
    mCurrentVideoBitRate = videoBitRate;
}

void ZVHardwareVideoEncoder::willEnterBackground(const Notification&) { mIsBackGround = true; }

void ZVHardwareVideoEncoder::willEnterForeground(const Notification&) {
    resetCompressionSession();
    mIsBackGround = false;
}

void ZVHardwareVideoEncoder::setH264Delegate(std::weak_ptr<ZVVideoEncodingDelegate> delegate) {
    std::lock_guard lock(mMutex);
    mDelegate = std::move(delegate);
}

std::weak_ptr<ZVVideoEncodingDelegate> ZVHardwareVideoEncoder::h264Delegate() const {
    std::lock_guard lock(mMutex);
    return mDelegate;
}

ZQBytes ZVHardwareVideoEncoder::sps() const {
    std::lock_guard lock(mMutex);
    return mSps;
}

ZQBytes ZVHardwareVideoEncoder::pps() const {
    std::lock_guard lock(mMutex);
    return mPps;
}
