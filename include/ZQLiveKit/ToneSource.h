#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>
#include "ZQLiveKit/Export.h"

namespace platform {

class PacerClock;
class RealTimePacer;

// A synthetic microphone: a sine tone (or silence, with a frequency of 0) as interleaved signed
// 16-bit little-endian PCM, delivered in blocks of bufferLength bytes on the source's own thread,
// paced in real time.
class ZQLIVEKIT_EXPORT ToneSource {
public:
    // Called on the source's thread; the bytes are valid during the call only.
    using Callback = std::function<void(std::span<const std::uint8_t> pcm)>;

    // bufferLength is rounded down to whole sample frames (at least one). amplitude is a fraction of
    // full scale, clamped to [0, 1].
    ToneSource(std::uint32_t sampleRate, std::uint32_t channels, std::size_t bufferLength, double frequency = 440.0,
               double amplitude = 0.25);
    // Stops delivery first. Not from inside the callback.
    ~ToneSource();
    ToneSource(const ToneSource&) = delete;
    ToneSource& operator=(const ToneSource&) = delete;

    std::uint32_t sampleRate() const { return mSampleRate; }
    std::uint32_t channels() const { return mChannels; }
    std::size_t bufferLength() const { return mBufferLength; }
    double frequency() const { return mFrequency; }

    // Set before start().
    void setCallback(Callback callback) { mCallback = std::move(callback); }

    // Starts delivering blocks; false for a zero rate or channel count, or when running. Any thread.
    bool start();
    // Stops delivery (as TestPatternSource::stop). Any thread.
    void stop();
    bool running() const;

    // Writes the next block of the tone into `block` (bufferLength bytes; a shorter span takes
    // whole frames only), continuing the phase of the last block. What start() delivers. Not
    // concurrently with a running source.
    void fillNextBlock(std::span<std::uint8_t> block);

private:
    friend class SyntheticSourcePacing; // the kit's own tests pace delivery with their clock
    const std::uint32_t mSampleRate;
    const std::uint32_t mChannels;
    const std::size_t mBufferLength;
    const double mFrequency;
    const double mAmplitude;
    double mPhase = 0;
    Callback mCallback;
    std::vector<std::uint8_t> mBlock;
    std::shared_ptr<PacerClock> mClock;
    std::unique_ptr<RealTimePacer> mPacer;
};

} // namespace platform
