#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>
#include "platform/media/AudioFormat.h"
#include "platform/media/MediaTypes.h"

namespace platform {

enum class AudioCodecManufacturer { SoftwareCodec, HardwareCodec };

// One codec the caller is willing to use, in order of preference (AudioClassDescription of an encoder).
struct AudioCodecDescription {
    AudioFormatID subType = AudioFormatID::MPEG4AAC;
    AudioCodecManufacturer manufacturer = AudioCodecManufacturer::SoftwareCodec;
};

// A PCM-to-AAC converter (AudioConverterRef): each call takes one packet's worth of interleaved
// 16-bit PCM (framesPerPacket frames) and gives back one raw AAC access unit. Like the platform's
// encoder it has a start-up delay; the first packet out covers the encoder's priming, and from then
// on every packet in gives one packet out. One caller at a time.
class AudioConverter {
public:
    using Factory = std::function<std::unique_ptr<AudioConverter>(
        const AudioStreamDescription& source, const AudioStreamDescription& destination,
        const std::vector<AudioCodecDescription>& codecs)>;

    // The libavcodec AAC-LC converter: interleaved signed 16-bit PCM of 1 to 8 channels at an MPEG-4
    // sampling rate in, AAC of the same rate and channels with 1024 frames a packet out. Software
    // codecs only (no AAC hardware on this platform). Null when the pair or the codec list does not fit.
    static std::unique_ptr<AudioConverter> create(const AudioStreamDescription& source,
                                                  const AudioStreamDescription& destination,
                                                  const std::vector<AudioCodecDescription>& codecs);

    virtual ~AudioConverter();
    // The encoder's target rate in bits per second (the encode bit rate property).
    virtual MediaStatus setEncodeBitRate(std::uint32_t bitsPerSecond) = 0;
    // Encodes one packet of PCM into `output`; *outputSize receives the bytes written. NoOutput when
    // the codec had nothing to give; InvalidArgument for input that is not one packet or output too small.
    virtual MediaStatus convert(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                                std::size_t* outputSize) = 0;
};

} // namespace platform
