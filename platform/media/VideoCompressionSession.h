#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>
#include "ZQLiveKit/PixelBuffer.h"
#include "ZQLiveKit/ZQBytes.h"
#include "platform/media/MediaTypes.h"

namespace platform {

// The properties an H.264 compression session takes (the kVTCompressionPropertyKey_* the kit sets).
enum class VideoCompressionProperty {
    MaxKeyFrameInterval,         // number, frames; 0: no limit
    MaxKeyFrameIntervalDuration, // number, seconds; 0: no limit
    ExpectedFrameRate,           // number, frames per second
    AverageBitRate,              // number, bits per second; changeable while encoding
    DataRateLimits,              // DataRateLimit; changeable while encoding
    RealTime,                    // bool
    ProfileLevel,                // H264ProfileLevel
    AllowFrameReordering,        // bool
    H264EntropyMode,             // H264EntropyMode
    EncoderSpeedPreset,          // string: the software encoder's speed preset (x264 names)
};

// Baseline41 is Baseline at level 4.1; the others leave the level to the codec.
enum class H264ProfileLevel { BaselineAutoLevel, MainAutoLevel, HighAutoLevel, Baseline41 };
enum class H264EntropyMode { CAVLC, CABAC };

// At most `bytes` in any window of `seconds`.
struct DataRateLimit {
    double bytes = 0;
    double seconds = 0;
};

using VideoCompressionValue =
    std::variant<std::int64_t, double, bool, DataRateLimit, H264ProfileLevel, H264EntropyMode, std::string>;

// What the properties amount to, kept by a session and turned into codec options when it opens.
struct H264EncoderSettings {
    std::int64_t maxKeyFrameInterval = 0;
    double maxKeyFrameIntervalDuration = 0;
    double expectedFrameRate = 0;
    std::int64_t averageBitRate = 0;
    DataRateLimit dataRateLimit;
    bool realTime = false;
    std::optional<H264ProfileLevel> profileLevel;
    bool allowFrameReordering = true;
    std::optional<H264EntropyMode> entropyMode;
    std::string speedPreset;

    // Stores one property; InvalidArgument when the value has the wrong kind or is negative.
    MediaStatus apply(VideoCompressionProperty key, const VideoCompressionValue& value);

    // Frames between forced key frames: the smaller of the two limits that are set (the duration
    // counted in frames at the expected rate); 0 when neither is.
    std::int64_t effectiveKeyFrameInterval() const;
    // The data-rate limit as a rate-control peak (bits per second) and buffer (bits); 0 when unset.
    std::int64_t peakBitRate() const;
    std::int64_t rateBufferBits() const;
    // CABAC only where the profile has it (not in Baseline).
    bool usesCabac() const;
};

// One encoded picture as the session hands it out (a CMSampleBuffer of H.264).
struct CompressedSample {
    // The picture's NAL units, each without start code or length: views over the encoder's own
    // output, shared rather than copied. Parameter sets are not repeated here.
    std::vector<ZQBytes> nalUnits;
    // False when the picture depends on earlier ones (NotSync).
    bool isKeyFrame = false;
    // The format description's parameter sets: index 0 the SPS, index 1 the PPS, without start codes.
    std::vector<std::vector<std::uint8_t>> parameterSets;
    MediaTime presentationTime;
};

// A hardware-style H.264 compression session (VTCompressionSession). Frames go in with a
// presentation time and a caller value; each comes back through the output callback, on the
// session's own thread, with that value: in submission order unless frame reordering is allowed
// (then in decode order). A frame the codec drops comes back with a null sample, at the latest
// when the session completes its frames. All methods may be called from any thread.
class VideoCompressionSession {
public:
    // (frame context, status, sample or null)
    using OutputCallback = std::function<void(std::uint64_t frameContext, MediaStatus status, const CompressedSample* sample)>;
    using Factory = std::function<std::shared_ptr<VideoCompressionSession>(int width, int height, OutputCallback callback)>;

    // The FFmpeg-backed session: the first H.264 encoder that works on this machine (hardware when
    // one opens, else libx264). Null for a size the codec cannot take.
    static std::shared_ptr<VideoCompressionSession> create(int width, int height, OutputCallback callback);

    virtual ~VideoCompressionSession();

    // Properties are taken until the codec opens; AverageBitRate and DataRateLimits also later,
    // applied to the running codec from the next frame on.
    virtual MediaStatus setProperty(VideoCompressionProperty key, const VideoCompressionValue& value) = 0;
    // Opens the codec now rather than with the first frame.
    virtual MediaStatus prepareToEncodeFrames() = 0;
    // Queues one picture. A picture of another size or format is converted. An error here means the
    // frame was not taken (the session is invalid, failed earlier, or the arguments are bad).
    virtual MediaStatus encodeFrame(std::shared_ptr<PixelBuffer> pixelBuffer, MediaTime presentationTime,
                                    MediaTime duration, bool forceKeyFrame, std::uint64_t frameContext) = 0;
    // Returns once every frame queued before the call has come back through the callback.
    virtual MediaStatus completeFrames() = 0;
    // Stops the session for good: frames still queued are dropped without a callback, later calls fail.
    virtual void invalidate() = 0;
    // Which encoder does the work ("libx264", "h264_nvenc", ...); empty until known.
    virtual std::string encoderName() const { return {}; }
};

} // namespace platform
