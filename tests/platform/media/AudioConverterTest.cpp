// The libavcodec AAC converter: what it accepts, one packet out per packet in, the bit rate, and
// that a decoder hears the tone that went in.
#include <gtest/gtest.h>
#include <cmath>
#include "ZQLiveKit/ToneSource.h"
#include "platform/media/AudioConverter.h"
#include "tests/platform/media/MediaTestSupport.h"

using namespace platform;

namespace {

AudioStreamDescription pcm(double rate, std::uint32_t channels) {
    return {rate, AudioFormatID::LinearPCM, kLinearPCMFormatFlagIsSignedInteger | kLinearPCMFormatFlagIsPacked,
            2 * channels, 1, 2 * channels, channels, 16};
}

AudioStreamDescription aac(double rate, std::uint32_t channels) {
    return {rate, AudioFormatID::MPEG4AAC, 0, 0, 1024, 0, channels, 0};
}

const std::vector<AudioCodecDescription> kSoftwareThenHardware = {
    {AudioFormatID::MPEG4AAC, AudioCodecManufacturer::SoftwareCodec},
    {AudioFormatID::MPEG4AAC, AudioCodecManufacturer::HardwareCodec}};

TEST(AudioConverterTest, AcceptsOnlyInterleaved16BitPcmToAacAtAnMpeg4Rate) {
    EXPECT_TRUE(AudioConverter::create(pcm(44100, 2), aac(44100, 2), kSoftwareThenHardware));
    EXPECT_TRUE(AudioConverter::create(pcm(16000, 1), aac(16000, 1), kSoftwareThenHardware));
    // 44000 Hz has no MPEG-4 sampling index.
    EXPECT_FALSE(AudioConverter::create(pcm(44000, 2), aac(44000, 2), kSoftwareThenHardware));
    EXPECT_FALSE(AudioConverter::create(pcm(44100, 2), aac(48000, 2), kSoftwareThenHardware));
    auto floatPcm = pcm(44100, 2);
    floatPcm.bitsPerChannel = 32;
    EXPECT_FALSE(AudioConverter::create(floatPcm, aac(44100, 2), kSoftwareThenHardware));
    // There is no AAC hardware here.
    EXPECT_FALSE(AudioConverter::create(pcm(44100, 2), aac(44100, 2),
                                        {{AudioFormatID::MPEG4AAC, AudioCodecManufacturer::HardwareCodec}}));
    EXPECT_FALSE(AudioConverter::create(pcm(44100, 2), aac(44100, 2), {}));
}

TEST(AudioConverterTest, EveryPacketInGivesOneAccessUnitOut) {
    auto converter = AudioConverter::create(pcm(44100, 2), aac(44100, 2), kSoftwareThenHardware);
    ASSERT_TRUE(converter);
    ASSERT_EQ(converter->setEncodeBitRate(128000), MediaStatus::Ok);
    ToneSource tone(44100, 2, 4096, 1000.0, 0.5);
    std::vector<std::uint8_t> block(4096), out(4096);
    for (int i = 0; i < 5; ++i) {
        tone.fillNextBlock(block);
        std::size_t size = 0;
        ASSERT_EQ(converter->convert(block, out, &size), MediaStatus::Ok) << "packet " << i;
        EXPECT_GT(size, 0u);
        // A raw access unit: no ADTS sync word.
        EXPECT_FALSE(out[0] == 0xFF && (out[1] & 0xF0) == 0xF0);
    }
    std::size_t size = 7;
    EXPECT_EQ(converter->convert(std::span(block).first(4095), out, &size), MediaStatus::InvalidArgument);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(converter->convert(block, std::span(out).first(1), &size), MediaStatus::InvalidArgument);
}

TEST(AudioConverterTest, DecoderHearsTheToneAndRateFollowsTheBitRate) {
    auto encodeSeconds = [](std::uint32_t bitRate, zqtest::AacTestDecoder* decoder) {
        auto converter = AudioConverter::create(pcm(44100, 2), aac(44100, 2), kSoftwareThenHardware);
        converter->setEncodeBitRate(bitRate);
        ToneSource tone(44100, 2, 4096, 1000.0, 0.5);
        std::vector<std::uint8_t> block(4096), out(4096);
        std::size_t total = 0;
        for (int i = 0; i < 43; ++i) {
            tone.fillNextBlock(block);
            std::size_t size = 0;
            converter->convert(block, out, &size);
            total += size;
            if (decoder) decoder->decode(std::span(out).first(size));
        }
        return total;
    };
    zqtest::AacTestDecoder decoder({0x12, 0x10});
    std::size_t at128 = encodeSeconds(128000, &decoder);
    std::size_t at32 = encodeSeconds(32000, nullptr);
    // About one second of audio: within a fifth of the asked rate, and the lower rate far smaller.
    EXPECT_NEAR(static_cast<double>(at128) * 8, 128000, 128000 * 0.2);
    EXPECT_LT(at32 * 2, at128);

    EXPECT_EQ(decoder.framesPerPacket(), 1024);
    const auto& s = decoder.samples();
    ASSERT_EQ(s.size(), 43u * 1024);
    // Past the priming packet: a 1 kHz sine of amplitude 0.5 (RMS ~0.35), crossing zero 2000 times a second.
    double energy = 0;
    int crossings = 0;
    for (std::size_t i = 4096; i < s.size(); ++i) {
        energy += s[i] * s[i];
        crossings += (s[i - 1] < 0) != (s[i] < 0);
    }
    const double seconds = static_cast<double>(s.size() - 4096) / 44100;
    EXPECT_NEAR(std::sqrt(energy / (s.size() - 4096)), 0.35, 0.05);
    EXPECT_NEAR(crossings / seconds, 2000, 40);
}

} // namespace
