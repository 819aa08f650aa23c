#include "platform/media/VideoCompressionSession.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

std::optional<double> numberOf(const VideoCompressionValue& value) {
    if (auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&value)) return *d;
    return std::nullopt;
}

} // namespace

MediaStatus H264EncoderSettings::apply(VideoCompressionProperty key, const VideoCompressionValue& value) {
    switch (key) {
    case VideoCompressionProperty::MaxKeyFrameInterval:
    case VideoCompressionProperty::MaxKeyFrameIntervalDuration:
    case VideoCompressionProperty::ExpectedFrameRate:
    case VideoCompressionProperty::AverageBitRate: {
        auto number = numberOf(value);
        if (!number || !std::isfinite(*number) || *number < 0) return MediaStatus::InvalidArgument;
        if (key == VideoCompressionProperty::MaxKeyFrameInterval) maxKeyFrameInterval = std::llround(*number);
        if (key == VideoCompressionProperty::MaxKeyFrameIntervalDuration) maxKeyFrameIntervalDuration = *number;
        if (key == VideoCompressionProperty::ExpectedFrameRate) expectedFrameRate = *number;
        if (key == VideoCompressionProperty::AverageBitRate) averageBitRate = std::llround(*number);
        return MediaStatus::Ok;
    }
    case VideoCompressionProperty::DataRateLimits: {
        auto* limit = std::get_if<DataRateLimit>(&value);
        if (!limit || !(limit->bytes >= 0) || !(limit->seconds >= 0) || !std::isfinite(limit->bytes) ||
            !std::isfinite(limit->seconds))
            return MediaStatus::InvalidArgument;
        dataRateLimit = *limit;
        return MediaStatus::Ok;
    }
    case VideoCompressionProperty::RealTime:
    case VideoCompressionProperty::AllowFrameReordering: {
        auto* flag = std::get_if<bool>(&value);
        if (!flag) return MediaStatus::InvalidArgument;
        (key == VideoCompressionProperty::RealTime ? realTime : allowFrameReordering) = *flag;
        return MediaStatus::Ok;
    }
    case VideoCompressionProperty::ProfileLevel: {
        auto* profile = std::get_if<H264ProfileLevel>(&value);
        if (!profile) return MediaStatus::InvalidArgument;
        profileLevel = *profile;
        return MediaStatus::Ok;
    }
    case VideoCompressionProperty::H264EntropyMode: {
        auto* mode = std::get_if<H264EntropyMode>(&value);
        if (!mode) return MediaStatus::InvalidArgument;
        entropyMode = *mode;
        return MediaStatus::Ok;
    }
    case VideoCompressionProperty::EncoderSpeedPreset: {
        auto* preset = std::get_if<std::string>(&value);
        if (!preset) return MediaStatus::InvalidArgument;
        speedPreset = *preset;
        return MediaStatus::Ok;
    }
    }
    return MediaStatus::UnsupportedProperty;
}

std::int64_t H264EncoderSettings::effectiveKeyFrameInterval() const {
    std::int64_t byCount = std::max<std::int64_t>(maxKeyFrameInterval, 0);
    std::int64_t byDuration = 0;
    if (maxKeyFrameIntervalDuration > 0 && expectedFrameRate > 0)
        byDuration = std::max<std::int64_t>(1, std::llround(maxKeyFrameIntervalDuration * expectedFrameRate));
    if (byCount > 0 && byDuration > 0) return std::min(byCount, byDuration);
    return byCount > 0 ? byCount : byDuration;
}

std::int64_t H264EncoderSettings::peakBitRate() const {
    if (!(dataRateLimit.bytes > 0) || !(dataRateLimit.seconds > 0)) return 0;
    return std::llround(dataRateLimit.bytes * 8.0 / dataRateLimit.seconds);
}

std::int64_t H264EncoderSettings::rateBufferBits() const {
    if (!(dataRateLimit.bytes > 0) || !(dataRateLimit.seconds > 0)) return 0;
    return std::llround(dataRateLimit.bytes * 8.0);
}

bool H264EncoderSettings::usesCabac() const {
    return entropyMode == H264EntropyMode::CABAC && profileLevel != H264ProfileLevel::BaselineAutoLevel &&
           profileLevel != H264ProfileLevel::Baseline41;
}

VideoCompressionSession::~VideoCompressionSession() = default;

} // namespace platform
