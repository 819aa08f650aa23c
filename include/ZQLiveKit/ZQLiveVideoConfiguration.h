#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Geometry.h"

// Capture presets; any other value behaves like ZQVideoPreset360.
enum ZQVideoPreset : std::uint64_t {
    ZQVideoPreset360 = 0, // 640x480 capture, 360 × 640 output
    ZQVideoPreset540 = 1, // 960x540 capture, 540 × 960 output
    ZQVideoPreset720 = 2, // 1280x720 capture, 720 × 1280 output
};

enum ZQLiveVideoQuality : std::uint64_t {
    ZQLiveVideoQuality360p15 = 0,
    ZQLiveVideoQuality360p24 = 1,
    ZQLiveVideoQuality360p30 = 2,
    ZQLiveVideoQuality540p15 = 3,
    ZQLiveVideoQuality540p24 = 4,
    ZQLiveVideoQuality540p30 = 5,
    ZQLiveVideoQuality720p15 = 6,
    ZQLiveVideoQuality720p24 = 7,
    ZQLiveVideoQuality720p30 = 8,
};

// H.264 encoding and capture parameters: output size, frame rates, key-frame interval, bit rate with
// its adaptive bounds, capture preset and orientation. A plain value object (copies carry every
// value); not synchronized, so share it between threads only once it is filled in.
class ZQLIVEKIT_EXPORT ZQLiveVideoConfiguration {
public:
    // All zero, portrait not set (orientation 0).
    ZQLiveVideoConfiguration() = default;

    // Quality 360p24 in portrait.
    static std::shared_ptr<ZQLiveVideoConfiguration> defaultConfiguration();
    // A preset in portrait.
    static std::shared_ptr<ZQLiveVideoConfiguration> defaultConfigurationForQuality(std::uint64_t quality);
    // A preset in the given interface orientation (1 to 4); landscape swaps the size. An unknown
    // quality sets only the orientation.
    static std::shared_ptr<ZQLiveVideoConfiguration> defaultConfigurationForQuality(std::uint64_t quality,
                                                                                    std::int64_t outputImageOrientation);

    // A new object with every value of this one.
    std::shared_ptr<ZQLiveVideoConfiguration> copy() const;

    // The output size as read: the aspect-fitted size when videoSizeRespectingAspectRatio(), the
    // operating system's padded 720p size for a stored 720 × 1280 (or 1280 × 720), else the stored
    // size. Reading never changes the stored size.
    platform::Size videoSize() const;
    void setVideoSize(platform::Size videoSize) { mVideoSize = videoSize; }
    bool videoSizeRespectingAspectRatio() const { return mVideoSizeRespectingAspectRatio; }
    void setVideoSizeRespectingAspectRatio(bool value) { mVideoSizeRespectingAspectRatio = value; }
    // Interface orientation: 1 portrait, 2 upside down, 3 landscape right, 4 landscape left.
    std::int64_t outputImageOrientation() const { return mOutputImageOrientation; }
    void setOutputImageOrientation(std::int64_t orientation) { mOutputImageOrientation = orientation; }
    bool autorotate() const { return mAutorotate; }
    void setAutorotate(bool autorotate) { mAutorotate = autorotate; }

    std::uint64_t videoFrameRate() const { return mVideoFrameRate; }
    void setVideoFrameRate(std::uint64_t frameRate) { mVideoFrameRate = frameRate; }
    // Guarded: stored only when above the current frame rate.
    std::uint64_t videoMaxFrameRate() const { return mVideoMaxFrameRate; }
    void setVideoMaxFrameRate(std::uint64_t frameRate);
    // Guarded: stored only when below the current frame rate.
    std::uint64_t videoMinFrameRate() const { return mVideoMinFrameRate; }
    void setVideoMinFrameRate(std::uint64_t frameRate);
    // Largest distance between key frames, in frames.
    std::uint64_t videoMaxKeyframeInterval() const { return mVideoMaxKeyframeInterval; }
    void setVideoMaxKeyframeInterval(std::uint64_t interval) { mVideoMaxKeyframeInterval = interval; }

    std::uint64_t videoBitRate() const { return mVideoBitRate; }
    void setVideoBitRate(std::uint64_t bitRate) { mVideoBitRate = bitRate; }
    // Guarded: stored only when above the current bit rate.
    std::uint64_t videoMaxBitRate() const { return mVideoMaxBitRate; }
    void setVideoMaxBitRate(std::uint64_t bitRate);
    // Guarded: stored only when below the current bit rate.
    std::uint64_t videoMinBitRate() const { return mVideoMinBitRate; }
    void setVideoMinBitRate(std::uint64_t bitRate);

    // A ZQVideoPreset. Setting it stores the value, then corrects it to what the camera supports.
    std::uint64_t sessionPreset() const { return mSessionPreset; }
    void setSessionPreset(std::uint64_t sessionPreset);
    // The platform capture preset name of sessionPreset() ("AVCaptureSessionPreset640x480", ...).
    std::string avSessionPreset() const;
    // True in the two landscape orientations (3 and 4).
    bool landscape() const;

    // The preset the camera can deliver in place of `preset`, asking ZQCaptureSessionSupport about
    // the current sessionPreset(): 540 falls back to 360, 720 to 540 or else 360.
    std::uint64_t supportSessionPreset(std::uint64_t preset) const;
    // The capture output size of sessionPreset(), swapped in landscape.
    platform::Size captureOutVideoSize() const;
    // The largest even-sided size of the capture aspect ratio that fits in the stored size.
    platform::Size aspectRatioVideoSize() const;

    // Equal when the thirteen encoding values (size as read, rates, bounds, presets, orientation,
    // autorotate, aspect flag) are equal.
    friend bool operator==(const ZQLiveVideoConfiguration& a, const ZQLiveVideoConfiguration& b);
    std::size_t hash() const;
    std::string description() const;

    // Keyed archive as a JSON object (format in docs/configuration-archive.md). The size is archived
    // as read; unarchive() stores every value as found, without guards, preset probe or size rule,
    // and returns nullptr for an archive of another type or with a malformed value.
    nlohmann::json archive() const;
    static std::shared_ptr<ZQLiveVideoConfiguration> unarchive(const nlohmann::json& archive);

private:
    platform::Size mVideoSize;
    bool mVideoSizeRespectingAspectRatio = false;
    std::int64_t mOutputImageOrientation = 0;
    bool mAutorotate = false;
    std::uint64_t mVideoFrameRate = 0;
    std::uint64_t mVideoMaxFrameRate = 0;
    std::uint64_t mVideoMinFrameRate = 0;
    std::uint64_t mVideoMaxKeyframeInterval = 0;
    std::uint64_t mVideoBitRate = 0;
    std::uint64_t mVideoMaxBitRate = 0;
    std::uint64_t mVideoMinBitRate = 0;
    std::uint64_t mSessionPreset = 0;
};

template <>
struct std::hash<ZQLiveVideoConfiguration> {
    std::size_t operator()(const ZQLiveVideoConfiguration& configuration) const { return configuration.hash(); }
};
