#include "encoder/ZVH264VideoEncoder.h"

#include "ZQPlatform/Console.h"
#include "encoder/ZVNALUnit.h"

using namespace platform;

std::shared_ptr<ZVH264VideoEncoder> ZVH264VideoEncoder::create(std::shared_ptr<ZQLiveVideoConfiguration> configuration,
                                                               ZVAVEncoder::WriterFactory writerFactory) {
    std::shared_ptr<ZVH264VideoEncoder> encoder(new ZVH264VideoEncoder(std::move(configuration)));
    const Size size = encoder->mConfiguration->videoSize();
    encoder->mEncoder = ZVAVEncoder::encoderForHeight(static_cast<int>(size.height), static_cast<int>(size.width),
                                                      encoder->mCurrentVideoBitRate.load(), std::move(writerFactory));
    if (!encoder->mEncoder) {
        Console::log("File-based encoder: cannot start; video frames will be dropped");
        return encoder;
    }
    std::weak_ptr<ZVH264VideoEncoder> weak = encoder;
    encoder->mEncoder->encodeWithBlock(
        [weak](std::vector<ZQBytes>&& nalUnits, std::int64_t pts) {
            if (auto self = weak.lock()) self->deliverAccessUnit(std::move(nalUnits), pts);
        },
        [weak] {
            if (auto self = weak.lock()) self->buildParameterSets(self->mEncoder->getConfigData());
        });
    return encoder;
}

ZVH264VideoEncoder::ZVH264VideoEncoder(std::shared_ptr<ZQLiveVideoConfiguration> configuration)
    : mConfiguration(configuration ? std::move(configuration) : std::make_shared<ZQLiveVideoConfiguration>()) {
    mCurrentVideoBitRate = static_cast<std::int64_t>(mConfiguration->videoBitRate());
}

ZVH264VideoEncoder::~ZVH264VideoEncoder() { shutdown(); }

void ZVH264VideoEncoder::shutdown() {
    if (mEncoder) mEncoder->shutdown();
}

void ZVH264VideoEncoder::encodeVideoData(const std::shared_ptr<PixelBuffer>& pixelBuffer, std::uint64_t timeStamp) {
    if (!mEncoder) return;
    const auto frameRate = static_cast<std::int32_t>(mConfiguration->videoFrameRate());
    VideoSampleBuffer sample;
    sample.pixelBuffer = pixelBuffer;
    sample.presentationTime = MediaTime{static_cast<std::int64_t>(timeStamp), kTimescale};
    if (frameRate > 0) sample.duration = MediaTime{1, frameRate};
    mEncoder->encodeFrame(sample);
    ++mFrameCount;
}

void ZVH264VideoEncoder::setVideoBitRate(std::int64_t videoBitRate) {
    mCurrentVideoBitRate = videoBitRate;
    if (mEncoder) mEncoder->setBitrate(videoBitRate);
}

void ZVH264VideoEncoder::buildParameterSets(const std::vector<std::uint8_t>& avcC) {
    ZVavcCHeader header(avcC);
    if (!header.isValid()) return;
    std::lock_guard lock(mMutex);
    // Bare parameter sets, as every video frame carries them: the publisher reads profile and level
    // from SPS bytes 1 to 3 and copies both into the AVC sequence header.
    mSps = ZQBytes(header.sps().front());
    mPps = ZQBytes(header.pps().front());
    mHasParameterSets = true;
}

void ZVH264VideoEncoder::deliverAccessUnit(std::vector<ZQBytes> nalUnits, std::int64_t timeValue) {
    if (timeValue == 0) {
        // No time left for it: held until a timed unit arrives. SEI units are not sent.
        for (auto& nal : nalUnits) {
            if (nal.empty() || (nal[0] & 0x1F) == platform::h264::kNalSei) continue;
            if (mOrphanedFrames.size() >= kMaxOrphanedFrames) {
                mOrphanedFrames.erase(mOrphanedFrames.begin());
                if (!mOrphanOverflowLogged) Console::log("File-based encoder: untimed pictures dropped");
                mOrphanOverflowLogged = true;
            }
            mOrphanedFrames.push_back(std::move(nal));
        }
        return;
    }
    bool needParameterSets;
    std::optional<std::int64_t> last;
    {
        std::lock_guard lock(mMutex);
        needParameterSets = !mHasParameterSets;
        last = mLastPTS;
    }
    if (needParameterSets && mEncoder) buildParameterSets(mEncoder->getConfigData());

    const std::int64_t time = timeValue; // already in the 1000-per-second time scale
    if (!mOrphanedFrames.empty()) {
        const auto k = static_cast<std::int64_t>(mOrphanedFrames.size());
        // Between the last delivered unit and this one; without an earlier unit, at this one's time.
        const std::int64_t orphanTime = last && *last <= time ? *last + (time - *last) / (k + 1) : time;
        std::vector<ZQBytes> orphans;
        orphans.swap(mOrphanedFrames);
        for (const auto& orphan : orphans) deliverList({orphan}, orphanTime);
    }
    deliverList(nalUnits, time);
    std::lock_guard lock(mMutex);
    mLastPTS = time;
}

void ZVH264VideoEncoder::deliverList(const std::vector<ZQBytes>& nalUnits, std::int64_t time) {
    ZQBytes sps, pps;
    std::shared_ptr<ZVVideoEncodingDelegate> delegate;
    {
        std::lock_guard lock(mMutex);
        sps = mSps;
        pps = mPps;
        delegate = mDelegate.lock();
    }
    for (const auto& nal : nalUnits) {
        const int type = nal.empty() ? 0 : nal[0] & 0x1F;
        // SEI units (the encoder's version note) are not sent; the publisher sends one NAL unit per
        // message and has no use for them.
        if (type == 0 || type == platform::h264::kNalSei) continue;
        auto frame = std::make_shared<ZQVideoFrame>();
        frame->setTimestamp(static_cast<std::uint64_t>(std::max<std::int64_t>(time, 0)));
        frame->setData(nal);
        frame->setIsKeyFrame(type == platform::h264::kNalIdrSlice);
        frame->setSps(sps);
        frame->setPps(pps);
        if (delegate) delegate->videoEncoder(this, frame);
    }
}

void ZVH264VideoEncoder::setH264Delegate(std::weak_ptr<ZVVideoEncodingDelegate> delegate) {
    std::lock_guard lock(mMutex);
    mDelegate = std::move(delegate);
}

std::weak_ptr<ZVVideoEncodingDelegate> ZVH264VideoEncoder::h264Delegate() const {
    std::lock_guard lock(mMutex);
    return mDelegate;
}

ZQBytes ZVH264VideoEncoder::sps() const {
    std::lock_guard lock(mMutex);
    return mSps;
}

ZQBytes ZVH264VideoEncoder::pps() const {
    std::lock_guard lock(mMutex);
    return mPps;
}

std::optional<std::int64_t> ZVH264VideoEncoder::lastPTS() const {
    std::lock_guard lock(mMutex);
    return mLastPTS;
}
