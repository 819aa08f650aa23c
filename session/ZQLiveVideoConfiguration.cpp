#include "ZQLiveKit/ZQLiveVideoConfiguration.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include "ZQLiveKit/ZQCaptureSessionSupport.h"
#include "ZQPlatform/SystemInfo.h"
#include "ZQPlatform/Format.h"
#include "session/ZQConfigurationArchive.h"

namespace {

constexpr const char* kArchiveType = "ZQLiveVideoConfiguration";
constexpr const char* kPreset640x480 = "AVCaptureSessionPreset640x480";
constexpr const char* kPreset960x540 = "AVCaptureSessionPresetiFrame960x540";
constexpr const char* kPreset1280x720 = "AVCaptureSessionPreset1280x720";

struct VideoPresetRow {
    std::uint64_t sessionPreset;
    platform::Size size; // portrait
    std::uint64_t frameRate;
    std::uint64_t minFrameRate;
    std::uint64_t bitRate;
    std::uint64_t maxBitRate;
    std::uint64_t minBitRate;
};

// Indexed by ZQLiveVideoQuality. The 720p rows ask for the padded 722 × 1282 the encoder expects.
constexpr VideoPresetRow kVideoPresets[] = {
    {ZQVideoPreset360, {360, 640}, 15, 10, 500000, 600000, 400000},
    {ZQVideoPreset360, {360, 640}, 24, 12, 600000, 720000, 500000},
    {ZQVideoPreset360, {360, 640}, 30, 15, 800000, 960000, 600000},
    {ZQVideoPreset540, {540, 960}, 15, 10, 800000, 960000, 500000},
    {ZQVideoPreset540, {540, 960}, 24, 12, 800000, 960000, 500000},
    {ZQVideoPreset540, {540, 960}, 30, 15, 1000000, 1200000, 500000},
    {ZQVideoPreset720, {722, 1282}, 15, 10, 1000000, 1200000, 500000},
    {ZQVideoPreset720, {722, 1282}, 24, 12, 1200000, 1440000, 800000},
    {ZQVideoPreset720, {722, 1282}, 30, 15, 1200000, 1440000, 500000},
};

// Up to the nearest whole number, then down to an even one. A side that is a whole number up to
// rounding noise is taken as that number, so 600.0000000001 does not become 602.
double evenCeil(double side) {
    double nearest = std::round(side);
    double whole = std::fabs(side - nearest) < 1e-9 * std::max(1.0, std::fabs(side)) ? nearest : std::ceil(side);
    return std::fmod(whole, 2.0) != 0 ? whole - 1 : whole;
}

} // namespace

std::shared_ptr<ZQLiveVideoConfiguration> ZQLiveVideoConfiguration::defaultConfiguration() {
    return defaultConfigurationForQuality(ZQLiveVideoQuality360p24);
}

std::shared_ptr<ZQLiveVideoConfiguration> ZQLiveVideoConfiguration::defaultConfigurationForQuality(
    std::uint64_t quality) {
    return defaultConfigurationForQuality(quality, platform::InterfaceOrientationPortrait);
}

std::shared_ptr<ZQLiveVideoConfiguration> ZQLiveVideoConfiguration::defaultConfigurationForQuality(
    std::uint64_t quality, std::int64_t outputImageOrientation) {
    auto configuration = std::make_shared<ZQLiveVideoConfiguration>();
    if (quality < std::size(kVideoPresets)) {
        const VideoPresetRow& row = kVideoPresets[quality];
        // The order matters: the guarded setters compare with the rates set before them, so the
        // maximum frame rate (equal to the frame rate) is ignored and stays 0.
        configuration->setSessionPreset(row.sessionPreset);
        configuration->setVideoFrameRate(row.frameRate);
        configuration->setVideoMaxFrameRate(row.frameRate);
        configuration->setVideoMinFrameRate(row.minFrameRate);
        configuration->setVideoBitRate(row.bitRate);
        configuration->setVideoMaxBitRate(row.maxBitRate);
        configuration->setVideoMinBitRate(row.minBitRate);
        configuration->setVideoSize(row.size);
    }
    configuration->mSessionPreset = configuration->supportSessionPreset(configuration->mSessionPreset);
    configuration->setVideoMaxKeyframeInterval(configuration->videoFrameRate() * 2);
    configuration->setOutputImageOrientation(outputImageOrientation);
    platform::Size size = configuration->videoSize();
    if (configuration->landscape()) std::swap(size.width, size.height);
    configuration->setVideoSize(size);
    return configuration;
}

std::shared_ptr<ZQLiveVideoConfiguration> ZQLiveVideoConfiguration::copy() const {
    return std::make_shared<ZQLiveVideoConfiguration>(*this);
}

platform::Size ZQLiveVideoConfiguration::videoSize() const {
    if (mVideoSizeRespectingAspectRatio) return aspectRatioVideoSize();
    // From system version 15 on, the encoder wants 720p pictures padded by two pixels per side.
    bool padded = platform::SystemInfo::majorSystemVersion() >= 15;
    if (mVideoSize == platform::Size{720, 1280}) return padded ? platform::Size{722, 1282} : platform::Size{710, 1270};
    if (mVideoSize == platform::Size{1280, 720}) return padded ? platform::Size{1282, 722} : platform::Size{1270, 710};
    return mVideoSize;
}

void ZQLiveVideoConfiguration::setVideoMaxFrameRate(std::uint64_t frameRate) {
    if (frameRate > mVideoFrameRate) mVideoMaxFrameRate = frameRate;
}

void ZQLiveVideoConfiguration::setVideoMinFrameRate(std::uint64_t frameRate) {
    if (frameRate < mVideoFrameRate) mVideoMinFrameRate = frameRate;
}

void ZQLiveVideoConfiguration::setVideoMaxBitRate(std::uint64_t bitRate) {
    if (bitRate > mVideoBitRate) mVideoMaxBitRate = bitRate;
}

void ZQLiveVideoConfiguration::setVideoMinBitRate(std::uint64_t bitRate) {
    if (bitRate < mVideoBitRate) mVideoMinBitRate = bitRate;
}

void ZQLiveVideoConfiguration::setSessionPreset(std::uint64_t sessionPreset) {
    mSessionPreset = sessionPreset;
    mSessionPreset = supportSessionPreset(sessionPreset);
}

std::string ZQLiveVideoConfiguration::avSessionPreset() const {
    switch (mSessionPreset) {
    case ZQVideoPreset540: return kPreset960x540;
    case ZQVideoPreset720: return kPreset1280x720;
    default: return kPreset640x480;
    }
}

bool ZQLiveVideoConfiguration::landscape() const {
    return mOutputImageOrientation == platform::InterfaceOrientationLandscapeRight ||
           mOutputImageOrientation == platform::InterfaceOrientationLandscapeLeft;
}

std::uint64_t ZQLiveVideoConfiguration::supportSessionPreset(std::uint64_t preset) const {
    if (ZQCaptureSessionSupport::canUseSessionPreset(avSessionPreset())) return preset;
    switch (preset) {
    case ZQVideoPreset540: return ZQVideoPreset360;
    case ZQVideoPreset720:
        return ZQCaptureSessionSupport::canUseSessionPreset(kPreset960x540) ? ZQVideoPreset540 : ZQVideoPreset360;
    default: return preset;
    }
}

platform::Size ZQLiveVideoConfiguration::captureOutVideoSize() const {
    platform::Size size;
    switch (mSessionPreset) {
    case ZQVideoPreset540: size = {540, 960}; break;
    case ZQVideoPreset720: size = {720, 1280}; break;
    default: size = {360, 640}; break;
    }
    if (landscape()) std::swap(size.width, size.height);
    return size;
}

platform::Size ZQLiveVideoConfiguration::aspectRatioVideoSize() const {
    platform::Size capture = captureOutVideoSize();
    const platform::Size& box = mVideoSize;
    // Fit the capture's aspect ratio inside the stored size: the tighter side keeps its length
    // exactly and the other is scaled, as an aspect-fit rectangle is computed.
    platform::Size fitted;
    if (box.width * capture.height <= box.height * capture.width) {
        fitted = {box.width, capture.height * box.width / capture.width};
    } else {
        fitted = {capture.width * box.height / capture.height, box.height};
    }
    return {evenCeil(fitted.width), evenCeil(fitted.height)};
}

bool operator==(const ZQLiveVideoConfiguration& a, const ZQLiveVideoConfiguration& b) {
    if (&a == &b) return true;
    return a.videoSize() == b.videoSize() && a.mVideoFrameRate == b.mVideoFrameRate &&
           a.mVideoMaxFrameRate == b.mVideoMaxFrameRate && a.mVideoMinFrameRate == b.mVideoMinFrameRate &&
           a.mVideoMaxKeyframeInterval == b.mVideoMaxKeyframeInterval && a.mVideoBitRate == b.mVideoBitRate &&
           a.mVideoMaxBitRate == b.mVideoMaxBitRate && a.mVideoMinBitRate == b.mVideoMinBitRate &&
           a.avSessionPreset() == b.avSessionPreset() && a.mSessionPreset == b.mSessionPreset &&
           a.mOutputImageOrientation == b.mOutputImageOrientation && a.mAutorotate == b.mAutorotate &&
           a.mVideoSizeRespectingAspectRatio == b.mVideoSizeRespectingAspectRatio;
}

std::size_t ZQLiveVideoConfiguration::hash() const {
    std::hash<std::uint64_t> h;
    std::hash<double> hd;
    platform::Size size = videoSize();
    return (hd(size.width) ^ (hd(size.height) << 1)) ^ h(mVideoFrameRate) ^ h(mVideoMaxFrameRate) ^
           h(mVideoMinFrameRate) ^ h(mVideoMaxKeyframeInterval) ^ h(mVideoBitRate) ^ h(mVideoMaxBitRate) ^
           h(mVideoMinBitRate) ^ std::hash<std::string>()(avSessionPreset()) ^ h(mSessionPreset) ^
           std::hash<std::int64_t>()(mOutputImageOrientation) ^ std::hash<bool>()(mAutorotate) ^
           std::hash<bool>()(mVideoSizeRespectingAspectRatio);
}

std::string ZQLiveVideoConfiguration::description() const {
    using platform::stringWithFormat;
    auto number = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
    std::string text = stringWithFormat("<ZQLiveVideoConfiguration: %p>", static_cast<const void*>(this));
    text += " videoSize:" + videoSize().toString();
    text += stringWithFormat(" videoSizeRespectingAspectRatio:%d", mVideoSizeRespectingAspectRatio ? 1 : 0);
    text += stringWithFormat(" videoFrameRate:%llu", number(mVideoFrameRate));
    text += stringWithFormat(" videoMaxFrameRate:%llu", number(mVideoMaxFrameRate));
    text += stringWithFormat(" videoMinFrameRate:%llu", number(mVideoMinFrameRate));
    text += stringWithFormat(" videoMaxKeyframeInterval:%llu", number(mVideoMaxKeyframeInterval));
    text += stringWithFormat(" videoBitRate:%llu", number(mVideoBitRate));
    text += stringWithFormat(" videoMaxBitRate:%llu", number(mVideoMaxBitRate));
    text += stringWithFormat(" videoMinBitRate:%llu", number(mVideoMinBitRate));
    text += " avSessionPreset:" + avSessionPreset();
    text += stringWithFormat(" sessionPreset:%llu", number(mSessionPreset));
    text += stringWithFormat(" outputImageOrientation:%lld", static_cast<long long>(mOutputImageOrientation));
    text += stringWithFormat(" autorotate:%d", mAutorotate ? 1 : 0);
    return text;
}

nlohmann::json ZQLiveVideoConfiguration::archive() const {
    platform::Size size = videoSize();
    return {{"type", kArchiveType},
            {"videoSize", {size.width, size.height}},
            {"videoFrameRate", mVideoFrameRate},
            {"videoMaxFrameRate", mVideoMaxFrameRate},
            {"videoMinFrameRate", mVideoMinFrameRate},
            {"videoMaxKeyframeInterval", mVideoMaxKeyframeInterval},
            {"videoBitRate", mVideoBitRate},
            {"videoMaxBitRate", mVideoMaxBitRate},
            {"videoMinBitRate", mVideoMinBitRate},
            {"sessionPreset", mSessionPreset},
            {"outputImageOrientation", mOutputImageOrientation},
            {"autorotate", mAutorotate},
            {"videoSizeRespectingAspectRatio", mVideoSizeRespectingAspectRatio}};
}

std::shared_ptr<ZQLiveVideoConfiguration> ZQLiveVideoConfiguration::unarchive(const nlohmann::json& archive) {
    using namespace zqsession;
    if (!archiveHasType(archive, kArchiveType)) return nullptr;
    auto c = std::make_shared<ZQLiveVideoConfiguration>();
    bool ok = readPair(archive, "videoSize", c->mVideoSize.width, c->mVideoSize.height) &&
              readUnsigned(archive, "videoFrameRate", c->mVideoFrameRate) &&
              readUnsigned(archive, "videoMaxFrameRate", c->mVideoMaxFrameRate) &&
              readUnsigned(archive, "videoMinFrameRate", c->mVideoMinFrameRate) &&
              readUnsigned(archive, "videoMaxKeyframeInterval", c->mVideoMaxKeyframeInterval) &&
              readUnsigned(archive, "videoBitRate", c->mVideoBitRate) &&
              readUnsigned(archive, "videoMaxBitRate", c->mVideoMaxBitRate) &&
              readUnsigned(archive, "videoMinBitRate", c->mVideoMinBitRate) &&
              readUnsigned(archive, "sessionPreset", c->mSessionPreset) &&
              readSigned(archive, "outputImageOrientation", c->mOutputImageOrientation) &&
              readBool(archive, "autorotate", c->mAutorotate) &&
              readBool(archive, "videoSizeRespectingAspectRatio", c->mVideoSizeRespectingAspectRatio);
    return ok ? c : nullptr;
}
