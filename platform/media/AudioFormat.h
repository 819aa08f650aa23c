#pragma once
#include <cstdint>

namespace platform {

enum class AudioFormatID { LinearPCM, MPEG4AAC };

// Linear-PCM flags of the stream description.
inline constexpr std::uint32_t kLinearPCMFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kLinearPCMFormatFlagIsPacked = 1u << 3;

// The shape of one side of a conversion (AudioStreamBasicDescription).
struct AudioStreamDescription {
    double sampleRate = 0;
    AudioFormatID formatID = AudioFormatID::LinearPCM;
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
};

// Interleaved signed 16-bit PCM of `channels` channels at `sampleRate` Hz, one frame a packet:
// the format the microphone delivers and the AAC encoder takes.
inline AudioStreamDescription interleavedS16(double sampleRate, std::uint32_t channels) {
    AudioStreamDescription d;
    d.sampleRate = sampleRate;
    d.formatID = AudioFormatID::LinearPCM;
    d.formatFlags = kLinearPCMFormatFlagIsSignedInteger | kLinearPCMFormatFlagIsPacked;
    d.bytesPerPacket = 2 * channels;
    d.framesPerPacket = 1;
    d.bytesPerFrame = 2 * channels;
    d.channelsPerFrame = channels;
    d.bitsPerChannel = 16;
    return d;
}

// True for interleaved signed 16-bit PCM of 1 to 8 channels, one frame a packet.
inline bool isInterleavedS16(const AudioStreamDescription& d) {
    return d.formatID == AudioFormatID::LinearPCM && d.bitsPerChannel == 16 &&
           (d.formatFlags & kLinearPCMFormatFlagIsSignedInteger) && d.channelsPerFrame >= 1 &&
           d.channelsPerFrame <= 8 && d.bytesPerFrame == 2 * d.channelsPerFrame &&
           d.bytesPerPacket == d.bytesPerFrame && d.framesPerPacket == 1;
}

} // namespace platform
