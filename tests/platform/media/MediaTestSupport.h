#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <vector>
#include "ZQLiveKit/PixelBuffer.h"

namespace zqtest {

// Decodes length-prefixed H.264 pictures with libavcodec's decoder, as a player would.
class H264TestDecoder {
public:
    struct Picture {
        int width = 0;
        int height = 0;
        bool isKeyFrame = false;
        char pictureType = '?'; // 'I', 'P', 'B'
    };

    H264TestDecoder();
    ~H264TestDecoder();
    // Feeds one encoded picture; parameter sets go in front of it (the SPS and PPS, no start codes).
    // Returns the pictures the decoder gives back (false when it rejects the input).
    bool decode(std::span<const std::uint8_t> lengthPrefixed, const std::vector<std::vector<std::uint8_t>>& parameterSets);
    // Ends the stream and collects what the decoder still holds.
    void flush();
    const std::vector<Picture>& pictures() const { return mPictures; }

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
    std::vector<Picture> mPictures;
};

// Decodes raw AAC access units of the given AudioSpecificConfig to interleaved float samples.
class AacTestDecoder {
public:
    explicit AacTestDecoder(std::vector<std::uint8_t> audioSpecificConfig);
    ~AacTestDecoder();
    bool decode(std::span<const std::uint8_t> accessUnit);
    const std::vector<float>& samples() const { return mSamples; } // channel 0 only
    int framesPerPacket() const { return mFramesPerPacket; }

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
    std::vector<float> mSamples;
    int mFramesPerPacket = 0;
};

// A picture of seeded noise: a fixed texture moved by `index` pixels, plus fresh grain, so an
// encoder needs more bits for more quality and has no reason to start a new scene.
std::shared_ptr<platform::PixelBuffer> noisePicture(int width, int height, int index,
                                                    platform::PixelFormat format = platform::PixelFormat::BGRA);

} // namespace zqtest
