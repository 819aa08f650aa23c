#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>
#include "ZQLiveKit/PixelBuffer.h"
#include "platform/media/RealTimePacer.h"

namespace zqtest {

// A pacer clock whose waits return at once with the time moved to the deadline: paced sources run
// as fast as they can while seeing exact, regular times.
class InstantClock final : public platform::PacerClock {
public:
    double now() override { return mNow.load(); }
    void waitUntil(double deadline, std::unique_lock<std::mutex>&, std::condition_variable&) override {
        if (mNow.load() < deadline) mNow = deadline;
    }
    void jump(double seconds) { mNow = mNow.load() + seconds; }

private:
    std::atomic<double> mNow{500.0};
};

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

// Decodes raw AAC access units of the given AudioSpecificConfig; keeps channel 0 as float samples.
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
