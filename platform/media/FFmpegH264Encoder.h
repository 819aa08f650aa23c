#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "ZQLiveKit/PixelBuffer.h"
#include "ZQLiveKit/ZQBytes.h"
#include "platform/media/MediaTypes.h"
#include "platform/media/VideoCompressionSession.h"

struct AVCodecContext;
struct AVBufferRef;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace platform {

// One opened libavcodec H.264 encoder and what it needs around it (pixel conversion, hardware
// frames, splitting its Annex B output into NAL units). Single-threaded: the compression session runs it
// on its own queue, the encoder probe on the probing thread.
class FFmpegH264Encoder {
public:
    struct Picture {
        // The picture's NAL units without start codes, parameter sets and delimiters taken out:
        // views over the codec's own packet, which they keep alive (nothing is copied).
        std::vector<ZQBytes> nalUnits;
        bool isKeyFrame = false;
        std::int64_t pts = 0;           // in kTimeBase units
    };
    using PictureSink = std::function<void(Picture&&)>;

    // Codec time base: 90 kHz.
    static constexpr int kTimeBase = 90000;

    // Opens `codecName` for a width × height picture. Null, with a reason, when the codec is not
    // there, refuses the settings, or needs a device that is not present.
    static std::unique_ptr<FFmpegH264Encoder> open(const std::string& codecName, int width, int height,
                                                   const H264EncoderSettings& settings, std::string* reason);
    // The encoder the probe chose for this machine; should it refuse this size or these settings,
    // the software one. Each refusal goes to the console. Null when neither opens.
    static std::unique_ptr<FFmpegH264Encoder> openPreferred(int width, int height, const H264EncoderSettings& settings);
    ~FFmpegH264Encoder();
    FFmpegH264Encoder(const FFmpegH264Encoder&) = delete;
    FFmpegH264Encoder& operator=(const FFmpegH264Encoder&) = delete;

    const std::string& name() const { return mName; }
    int width() const { return mWidth; }
    int height() const { return mHeight; }
    // Whether the bit rate and data-rate limit of the running codec can be changed in place.
    bool supportsLiveRateChange() const;
    // Sets the rate of the running codec; it takes effect with the next picture.
    void updateRate(const H264EncoderSettings& settings);

    // Encodes one picture (converted to the codec's size and format as needed); the pictures the
    // codec gives back go to `sink`, usually the one just sent.
    MediaStatus encode(const std::shared_ptr<PixelBuffer>& buffer, std::int64_t pts, bool forceKeyFrame,
                       const PictureSink& sink);
    // Ends the stream and hands out what the codec still holds; no picture can follow.
    MediaStatus drain(const PictureSink& sink);

    // The current SPS and PPS (index 0 and 1), from the codec's global header or the stream.
    const std::vector<std::vector<std::uint8_t>>& parameterSets() const { return mParameterSets; }

private:
    FFmpegH264Encoder() = default;
    bool prepareFrame(const std::shared_ptr<PixelBuffer>& buffer, AVFrame*& out);
    MediaStatus receive(const PictureSink& sink);
    void takeParameterSets(const std::vector<std::vector<std::uint8_t>>& sps,
                           const std::vector<std::vector<std::uint8_t>>& pps);

    std::string mName;
    int mWidth = 0;
    int mHeight = 0;
    int mPixelFormat = -1;          // the software format the codec (or its hardware frames) takes
    AVCodecContext* mContext = nullptr;
    AVBufferRef* mHardwareDevice = nullptr;
    AVBufferRef* mHardwareFrames = nullptr;
    SwsContext* mScaler = nullptr;
    AVFrame* mConverted = nullptr;  // reused conversion target
    AVPacket* mPacket = nullptr;
    std::vector<std::vector<std::uint8_t>> mParameterSets;
    std::int64_t mDeferredPeak = 0; // a lowered peak rate waiting for the lowered average to be taken
    int mDeferredBuffer = 0;
};

} // namespace platform
