// ZVHardwareAudioEncoder over a fake converter: gathering into 1024-frame blocks, carry-over,
// timestamps, audioInfo, the converter it asks for, and the ADTS header.
#include <gtest/gtest.h>
#include <numeric>
#include "encoder/ZVHardwareAudioEncoder.h"
#include "tests/encoder/EncoderFakes.h"

using namespace platform;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Bytes numbered from `start`, so a block shows where each byte came from.
Bytes counting(std::size_t n, std::size_t start) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((start + i) % 251);
    return b;
}

Bytes bytes(const ZQBytes& b) { return Bytes(b.begin(), b.end()); }

class HardwareAudioEncoderTest : public ::testing::Test {
protected:
    std::shared_ptr<ZVHardwareAudioEncoder> make(std::shared_ptr<ZQLiveAudioConfiguration> c =
                                                     ZQLiveAudioConfiguration::defaultConfiguration()) {
        auto encoder = ZVHardwareAudioEncoder::create(std::move(c), converters.factory());
        encoder->setDelegate(delegate);
        return encoder;
    }

    zqtest::FakeConverterFactory converters;
    std::shared_ptr<zqtest::RecordingAudioDelegate> delegate = std::make_shared<zqtest::RecordingAudioDelegate>();
};

TEST_F(HardwareAudioEncoderTest, ThousandByteCallsEncodeOnceTheBlockIsFull) {
    auto encoder = make(); // stereo: 4096-byte blocks
    Bytes all = counting(5000, 0);
    for (int call = 0; call < 4; ++call) {
        encoder->encodeAudioData(std::span(all).subspan(call * 1000, 1000), 100 + call);
        EXPECT_TRUE(delegate->frames.empty()) << "call " << call;
        EXPECT_EQ(encoder->leftLength(), (call + 1) * 1000u);
    }
    encoder->encodeAudioData(std::span(all).subspan(4000, 1000), 104);
    ASSERT_EQ(delegate->frames.size(), 1u);
    EXPECT_EQ(delegate->frames[0].frame->timestamp(), 104u); // the call's time, carried bytes included
    EXPECT_EQ(encoder->leftLength(), 904u);
    ASSERT_EQ(converters.converter->blocks.size(), 1u);
    EXPECT_EQ(converters.converter->blocks[0], counting(4096, 0));

    // The 904 carried bytes lead the next block.
    encoder->encodeAudioData(counting(3192, 5000), 105);
    ASSERT_EQ(converters.converter->blocks.size(), 2u);
    EXPECT_EQ(converters.converter->blocks[1], counting(4096, 4096));
    EXPECT_EQ(encoder->leftLength(), 0u);
}

TEST_F(HardwareAudioEncoderTest, ExactBlockEncodesOnceAndKeepsNothing) {
    auto encoder = make();
    encoder->encodeAudioData(counting(4096, 0), 7);
    EXPECT_EQ(delegate->frames.size(), 1u);
    EXPECT_EQ(encoder->leftLength(), 0u);
}

TEST_F(HardwareAudioEncoderTest, ThreeBlocksAndTenBytesGiveThreeFramesOfOneTime) {
    auto encoder = make();
    encoder->encodeAudioData(counting(3 * 4096 + 10, 0), 42);
    ASSERT_EQ(delegate->frames.size(), 3u);
    for (const auto& f : delegate->frames) {
        EXPECT_EQ(f.frame->timestamp(), 42u);
        EXPECT_EQ(f.encoder, encoder.get());
        EXPECT_EQ(bytes(f.frame->data()), (Bytes{0x21, 0x10, 0x05}));
        // Every frame carries the configuration's AudioSpecificConfig.
        EXPECT_EQ(bytes(f.frame->audioInfo()), (Bytes{0x12, 0x10}));
    }
    EXPECT_EQ(converters.converter->blocks[2], counting(4096, 2 * 4096));
    EXPECT_EQ(encoder->leftLength(), 10u);
    encoder->stopEncoder(); // changes nothing
    EXPECT_EQ(encoder->leftLength(), 10u);
}

TEST_F(HardwareAudioEncoderTest, MonoBlocksAreHalfAsLong) {
    auto c = ZQLiveAudioConfiguration::defaultConfiguration();
    c->setNumberOfChannels(1);
    auto encoder = make(c);
    encoder->encodeAudioData(counting(2048 + 5, 0), 1);
    EXPECT_EQ(delegate->frames.size(), 1u);
    EXPECT_EQ(encoder->leftLength(), 5u);
    EXPECT_EQ(bytes(delegate->frames[0].frame->audioInfo()), (Bytes{0x12, 0x08}));
}

TEST_F(HardwareAudioEncoderTest, AsksForSixteenBitPcmToAacWithSoftwareFirstAndTheBitRate) {
    auto encoder = make(ZQLiveAudioConfiguration::defaultConfigurationForQuality(ZQLiveAudioQualityVeryHigh));
    EXPECT_FALSE(encoder->hasConverter()); // made on first use
    encoder->encodeAudioData(counting(10, 0), 1);
    ASSERT_EQ(converters.requests.size(), 1u);
    const auto& r = converters.requests[0];
    EXPECT_EQ(r.source.sampleRate, 48000);
    EXPECT_EQ(r.source.formatID, AudioFormatID::LinearPCM);
    EXPECT_EQ(r.source.formatFlags, 12u);
    EXPECT_EQ(r.source.bytesPerPacket, 4u);
    EXPECT_EQ(r.source.framesPerPacket, 1u);
    EXPECT_EQ(r.source.bytesPerFrame, 4u);
    EXPECT_EQ(r.source.channelsPerFrame, 2u);
    EXPECT_EQ(r.source.bitsPerChannel, 16u);
    EXPECT_EQ(r.destination.formatID, AudioFormatID::MPEG4AAC);
    EXPECT_EQ(r.destination.sampleRate, 48000);
    EXPECT_EQ(r.destination.framesPerPacket, 1024u);
    EXPECT_EQ(r.destination.channelsPerFrame, 2u);
    EXPECT_EQ(r.destination.bytesPerPacket, 0u);
    ASSERT_EQ(r.codecs.size(), 2u);
    EXPECT_EQ(r.codecs[0].manufacturer, AudioCodecManufacturer::SoftwareCodec);
    EXPECT_EQ(r.codecs[1].manufacturer, AudioCodecManufacturer::HardwareCodec);
    EXPECT_EQ(converters.converter->bitRates, (std::vector<std::uint32_t>{128000}));
    encoder->encodeAudioData(counting(10, 0), 2);
    EXPECT_EQ(converters.requests.size(), 1u); // kept for the encoder's life
}

TEST_F(HardwareAudioEncoderTest, WithoutAConverterBlocksAreGatheredAndDiscardedAndCreationRetried) {
    converters.fail = true;
    auto encoder = make();
    encoder->encodeAudioData(counting(5000, 0), 1);
    EXPECT_TRUE(delegate->frames.empty());
    EXPECT_EQ(encoder->leftLength(), 904u);
    encoder->encodeAudioData(counting(100, 0), 2);
    EXPECT_EQ(converters.requests.size(), 2u);
    converters.fail = false;
    encoder->encodeAudioData(counting(3192, 0), 3);
    EXPECT_EQ(delegate->frames.size(), 1u);
    EXPECT_TRUE(encoder->hasConverter());
}

TEST_F(HardwareAudioEncoderTest, FailedConversionDropsOnlyThatBlock) {
    auto encoder = make();
    encoder->encodeAudioData(counting(10, 0), 1);
    converters.converter->convertResult = MediaStatus::EncoderFailed;
    encoder->encodeAudioData(counting(4096, 0), 2);
    EXPECT_TRUE(delegate->frames.empty());
    EXPECT_EQ(encoder->leftLength(), 10u);
    converters.converter->convertResult = MediaStatus::Ok;
    encoder->encodeAudioData(counting(4086, 0), 3);
    EXPECT_EQ(delegate->frames.size(), 1u);
}

TEST_F(HardwareAudioEncoderTest, ConfigurationWithoutChannelsOrWithMoreOfThemLaterIsSafe) {
    auto empty = make(std::make_shared<ZQLiveAudioConfiguration>());
    empty->encodeAudioData(counting(5000, 0), 1); // a zero-byte block: nothing to gather into
    EXPECT_TRUE(delegate->frames.empty());
    EXPECT_EQ(empty->leftLength(), 0u);

    // The shared configuration grows from mono to stereo after the encoder was made.
    auto c = ZQLiveAudioConfiguration::defaultConfiguration();
    c->setNumberOfChannels(1);
    auto encoder = make(c);
    encoder->encodeAudioData(counting(2000, 0), 1);
    c->setNumberOfChannels(2);
    encoder->encodeAudioData(counting(3000, 0), 2);
    EXPECT_EQ(delegate->frames.size(), 1u);
    EXPECT_EQ(encoder->leftLength(), 904u);
}

TEST_F(HardwareAudioEncoderTest, DelegateIsWeakAndBothSettersWriteIt) {
    auto encoder = make();
    EXPECT_EQ(encoder->aacDeleage().lock(), delegate);
    auto other = std::make_shared<zqtest::RecordingAudioDelegate>();
    encoder->setAacDeleage(other);
    encoder->encodeAudioData(counting(4096, 0), 1);
    EXPECT_TRUE(delegate->frames.empty());
    EXPECT_EQ(other->frames.size(), 1u);
    other.reset();
    encoder->encodeAudioData(counting(4096, 0), 2); // nobody to tell; no crash
    EXPECT_TRUE(encoder->aacDeleage().expired());
}

TEST(AdtsHeaderTest, SevenBytesForTheRawPacket) {
    ZVHardwareAudioEncoder stereo44(ZQLiveAudioConfiguration::defaultConfiguration());
    EXPECT_EQ(bytes(stereo44.adtsData(2, 300)), (Bytes{0xFF, 0xF9, 0x50, 0x80, 0x26, 0x7F, 0xFC}));
    // 48 kHz (index 3), mono, an empty packet: frame length 7.
    ZVHardwareAudioEncoder mono48(ZQLiveAudioConfiguration::defaultConfigurationForQuality(ZQLiveAudioQualityVeryHigh));
    EXPECT_EQ(bytes(mono48.adtsData(1, 0)), (Bytes{0xFF, 0xF9, 0x4C, 0x40, 0x00, 0xFF, 0xFC}));
    // The longest frame the 13-bit field holds: 8191.
    EXPECT_EQ(bytes(stereo44.adtsData(2, 8184)), (Bytes{0xFF, 0xF9, 0x50, 0x83, 0xFF, 0xFF, 0xFC}));
    // Six channels put their top bit in byte 2.
    EXPECT_EQ(bytes(stereo44.adtsData(6, 0))[2], 0x51);
}

TEST(AdtsHeaderTest, SampleRateIndexFollowsTheMpeg4Table) {
    EXPECT_EQ(ZVHardwareAudioEncoder::sampleRateIndex(44100), 4);
    EXPECT_EQ(ZVHardwareAudioEncoder::sampleRateIndex(96000), 0);
    EXPECT_EQ(ZVHardwareAudioEncoder::sampleRateIndex(7350), 12);
    EXPECT_EQ(ZVHardwareAudioEncoder::sampleRateIndex(50000), 15);
}

} // namespace
