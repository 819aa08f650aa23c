#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include "ZQLiveKit/Export.h"

enum ZQLiveAudioQuality : std::uint64_t {
    ZQLiveAudioQualityLow = 0,      // 16 kHz, 64 kbit/s
    ZQLiveAudioQualityMedium = 1,   // 44.1 kHz, 96 kbit/s
    ZQLiveAudioQualityHigh = 2,     // 44.1 kHz, 128 kbit/s
    ZQLiveAudioQualityVeryHigh = 3, // 48 kHz, 128 kbit/s
};

// AAC encoding parameters: channels, sample rate, bit rate and the AudioSpecificConfig derived from
// them. A plain value object (copies carry every value); not synchronized, so share it between
// threads only once it is filled in.
class ZQLIVEKIT_EXPORT ZQLiveAudioConfiguration {
public:
    // All zero; asc() is 00 00 until the channels or the sample rate are set.
    ZQLiveAudioConfiguration() = default;

    // The high-quality preset (stereo, 44.1 kHz, 128 kbit/s).
    static std::shared_ptr<ZQLiveAudioConfiguration> defaultConfiguration();
    // A preset; any unknown quality gives stereo 44.1 kHz at 96 kbit/s.
    static std::shared_ptr<ZQLiveAudioConfiguration> defaultConfigurationForQuality(std::uint64_t quality);

    // A new object with every value of this one (asc included).
    std::shared_ptr<ZQLiveAudioConfiguration> copy() const;

    // 1 or 2. Recomputes asc().
    std::uint64_t numberOfChannels() const { return mNumberOfChannels; }
    void setNumberOfChannels(std::uint64_t numberOfChannels);
    // Hz. Recomputes asc().
    std::uint64_t audioSampleRate() const { return mAudioSampleRate; }
    void setAudioSampleRate(std::uint64_t audioSampleRate);
    // AAC target bit rate, bit/s.
    std::uint64_t audioBitrate() const { return mAudioBitrate; }
    void setAudioBitrate(std::uint64_t audioBitrate) { mAudioBitrate = audioBitrate; }

    // The two AudioSpecificConfig bytes (AAC LC, sampling-frequency index, channel configuration).
    const std::array<std::uint8_t, 2>& asc() const { return mAsc; }
    // Byte size of one 1024-sample block of 16-bit PCM: channels × 2048.
    std::uint64_t bufferLength() const { return mNumberOfChannels * 2048; }

    // The MPEG-4 sampling-frequency index of a rate; 15 for a rate outside the table.
    static std::uint8_t sampleRateIndex(std::uint64_t sampleRate);

    // Equal when channels, bit rate, both asc bytes and sample rate are equal.
    friend bool operator==(const ZQLiveAudioConfiguration& a, const ZQLiveAudioConfiguration& b);
    std::size_t hash() const;
    std::string description() const;

    // Keyed archive as a JSON object (format in docs/configuration-archive.md). unarchive() stores
    // the values as found, without recomputing asc; it returns nullptr for an archive of another
    // type or with a malformed value.
    nlohmann::json archive() const;
    static std::shared_ptr<ZQLiveAudioConfiguration> unarchive(const nlohmann::json& archive);

private:
    void updateAsc();

    std::uint64_t mNumberOfChannels = 0;
    std::uint64_t mAudioSampleRate = 0;
    std::uint64_t mAudioBitrate = 0;
    std::array<std::uint8_t, 2> mAsc{};
};

template <>
struct std::hash<ZQLiveAudioConfiguration> {
    std::size_t operator()(const ZQLiveAudioConfiguration& configuration) const { return configuration.hash(); }
};
