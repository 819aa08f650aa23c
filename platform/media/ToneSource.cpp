#include "ZQLiveKit/ToneSource.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include "platform/media/RealTimePacer.h"

namespace platform {

namespace {

std::size_t wholeFrames(std::size_t bytes, std::uint32_t channels) {
    std::size_t frameBytes = 2 * static_cast<std::size_t>(std::max<std::uint32_t>(channels, 1));
    return std::max<std::size_t>(bytes / frameBytes, 1) * frameBytes;
}

} // namespace

ToneSource::ToneSource(std::uint32_t sampleRate, std::uint32_t channels, std::size_t bufferLength, double frequency,
                       double amplitude)
    : mSampleRate(sampleRate),
      mChannels(channels),
      mBufferLength(wholeFrames(bufferLength, channels)),
      mFrequency(std::max(frequency, 0.0)),
      mAmplitude(std::clamp(amplitude, 0.0, 1.0)),
      mBlock(mBufferLength),
      mClock(PacerClock::monotonic()) {}

ToneSource::~ToneSource() { stop(); }

bool ToneSource::start() {
    if (mSampleRate == 0 || mChannels == 0 || running()) return false;
    const double period = static_cast<double>(mBufferLength / (2 * mChannels)) / mSampleRate;
    mPacer = std::make_unique<RealTimePacer>(
        "zq.tone", period,
        [this](std::uint64_t) {
            fillNextBlock(mBlock);
            if (mCallback) mCallback(mBlock);
        },
        mClock);
    return mPacer->start();
}

void ToneSource::stop() {
    if (mPacer) mPacer->stop();
}

bool ToneSource::running() const { return mPacer && mPacer->running(); }

void ToneSource::fillNextBlock(std::span<std::uint8_t> block) {
    if (mChannels == 0 || mSampleRate == 0) return;
    const std::size_t frames = std::min(block.size(), mBufferLength) / (2 * mChannels);
    const double step = 2 * std::numbers::pi * mFrequency / mSampleRate;
    std::size_t at = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        auto sample = static_cast<std::int16_t>(std::lround(mAmplitude * 32767.0 * std::sin(mPhase)));
        mPhase = std::fmod(mPhase + step, 2 * std::numbers::pi);
        for (std::uint32_t ch = 0; ch < mChannels; ++ch) {
            block[at++] = static_cast<std::uint8_t>(sample & 0xFF);
            block[at++] = static_cast<std::uint8_t>((sample >> 8) & 0xFF);
        }
    }
}

} // namespace platform
