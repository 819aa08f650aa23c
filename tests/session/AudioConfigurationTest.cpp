// Audio configuration: the AudioSpecificConfig, presets, value semantics and the keyed archive.
#include <gtest/gtest.h>
#include <array>
#include <regex>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"

namespace {

using Asc = std::array<std::uint8_t, 2>;

ZQLiveAudioConfiguration make(std::uint64_t channels, std::uint64_t rate, std::uint64_t bitrate = 96000) {
    ZQLiveAudioConfiguration configuration;
    configuration.setNumberOfChannels(channels);
    configuration.setAudioSampleRate(rate);
    configuration.setAudioBitrate(bitrate);
    return configuration;
}

TEST(ZQLiveAudioConfiguration, AscAndBufferLengthFollowChannelsAndRate) {
    auto stereo = make(2, 44100);
    EXPECT_EQ(stereo.asc(), (Asc{0x12, 0x10}));
    EXPECT_EQ(stereo.bufferLength(), 4096u);
    auto mono = make(1, 44100);
    EXPECT_EQ(mono.asc(), (Asc{0x12, 0x08}));
    EXPECT_EQ(mono.bufferLength(), 2048u);
    EXPECT_EQ(make(2, 48000).asc(), (Asc{0x11, 0x90}));
    EXPECT_EQ(make(2, 16000).asc(), (Asc{0x14, 0x10}));
    // A rate outside the table gets the escape index 15.
    EXPECT_EQ(make(2, 44000).asc(), (Asc{0x17, 0x90}));
    EXPECT_EQ(make(1, 44000).asc(), (Asc{0x17, 0x88}));

    // The bytes follow whichever of the two was set last.
    auto changing = make(2, 44100);
    changing.setAudioSampleRate(48000);
    EXPECT_EQ(changing.asc(), (Asc{0x11, 0x90}));
    changing.setNumberOfChannels(1);
    EXPECT_EQ(changing.asc(), (Asc{0x11, 0x88}));

    ZQLiveAudioConfiguration fresh;
    EXPECT_EQ(fresh.asc(), (Asc{0, 0}));
    EXPECT_EQ(fresh.bufferLength(), 0u);
}

TEST(ZQLiveAudioConfiguration, SampleRateIndexCoversTheMpeg4Table) {
    const std::uint64_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};
    for (std::uint8_t i = 0; i < std::size(rates); ++i) EXPECT_EQ(ZQLiveAudioConfiguration::sampleRateIndex(rates[i]), i);
    EXPECT_EQ(ZQLiveAudioConfiguration::sampleRateIndex(0), 15);
    EXPECT_EQ(ZQLiveAudioConfiguration::sampleRateIndex(44000), 15);
    EXPECT_EQ(ZQLiveAudioConfiguration::sampleRateIndex(192000), 15);
}

TEST(ZQLiveAudioConfiguration, PresetsAreStereoWithTheirRatesAndUnknownFallsBackToMedium) {
    struct Row {
        std::uint64_t quality, rate, bitrate;
    } rows[] = {{0, 16000, 64000}, {1, 44100, 96000}, {2, 44100, 128000}, {3, 48000, 128000}, {4, 44100, 96000},
                {1000, 44100, 96000}};
    for (auto row : rows) {
        SCOPED_TRACE(row.quality);
        auto preset = ZQLiveAudioConfiguration::defaultConfigurationForQuality(row.quality);
        EXPECT_EQ(preset->numberOfChannels(), 2u);
        EXPECT_EQ(preset->audioSampleRate(), row.rate);
        EXPECT_EQ(preset->audioBitrate(), row.bitrate);
        EXPECT_EQ(preset->asc(), make(2, row.rate).asc());
    }
    EXPECT_EQ(*ZQLiveAudioConfiguration::defaultConfiguration(),
              *ZQLiveAudioConfiguration::defaultConfigurationForQuality(ZQLiveAudioQualityHigh));
}

TEST(ZQLiveAudioConfiguration, EqualityAndHashCoverEveryValue) {
    auto a = ZQLiveAudioConfiguration::defaultConfiguration();
    auto b = ZQLiveAudioConfiguration::defaultConfiguration();
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(a->hash(), b->hash());
    EXPECT_EQ(std::hash<ZQLiveAudioConfiguration>()(*a), a->hash());

    b->setAudioBitrate(64000);
    EXPECT_FALSE(*a == *b);
    b = ZQLiveAudioConfiguration::defaultConfiguration();
    b->setNumberOfChannels(1);
    EXPECT_FALSE(*a == *b);
    b = ZQLiveAudioConfiguration::defaultConfiguration();
    b->setAudioSampleRate(48000);
    EXPECT_FALSE(*a == *b);

    // Same numbers, different stored AudioSpecificConfig (possible through an archive).
    auto archive = a->archive();
    archive["asc"] = "1211";
    auto odd = ZQLiveAudioConfiguration::unarchive(archive);
    ASSERT_NE(odd, nullptr);
    EXPECT_FALSE(*a == *odd);
}

TEST(ZQLiveAudioConfiguration, CopiesCarryEveryValue) {
    auto original = ZQLiveAudioConfiguration::defaultConfiguration();
    original->setAudioBitrate(32000);
    original->setNumberOfChannels(1);

    auto copied = original->copy();
    EXPECT_NE(copied.get(), original.get());
    EXPECT_EQ(*copied, *original);
    EXPECT_FALSE(*copied == *ZQLiveAudioConfiguration::defaultConfiguration());
    EXPECT_EQ(copied->asc(), original->asc());

    ZQLiveAudioConfiguration constructed(*original);
    EXPECT_EQ(constructed, *original);
    ZQLiveAudioConfiguration assigned;
    assigned = *original;
    EXPECT_EQ(assigned, *original);
    EXPECT_EQ(assigned.bufferLength(), 2048u);
}

TEST(ZQLiveAudioConfiguration, DescriptionListsTheValuesAndTheHeaderBytes) {
    auto preset = ZQLiveAudioConfiguration::defaultConfiguration();
    std::regex expected(
        "<ZQLiveAudioConfiguration: 0x[0-9a-f]+> numberOfChannels:2 audioSampleRate:44100 audioBitrate:128000 "
        "audioHeader:1210");
    EXPECT_TRUE(std::regex_match(preset->description(), expected)) << preset->description();
}

TEST(ZQLiveAudioConfiguration, ArchiveRoundTripsAndKeepsTheStoredAsc) {
    for (std::uint64_t quality = 0; quality < 4; ++quality) {
        auto preset = ZQLiveAudioConfiguration::defaultConfigurationForQuality(quality);
        auto decoded = ZQLiveAudioConfiguration::unarchive(nlohmann::json::parse(preset->archive().dump()));
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(*decoded, *preset);
    }
    auto preset = ZQLiveAudioConfiguration::defaultConfiguration();
    EXPECT_EQ(preset->archive(), nlohmann::json::parse(R"({"type":"ZQLiveAudioConfiguration","numberOfChannels":2,
        "audioSampleRate":44100,"audioBitrate":128000,"asc":"1210"})"));

    // Decoding stores the bytes found, without recomputing them from the rate and channels.
    auto decoded = ZQLiveAudioConfiguration::unarchive(nlohmann::json::parse(
        R"({"type":"ZQLiveAudioConfiguration","numberOfChannels":1,"audioSampleRate":48000,"audioBitrate":1,"asc":"ABcd"})"));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->asc(), (Asc{0xab, 0xcd}));
    EXPECT_EQ(decoded->numberOfChannels(), 1u);
    EXPECT_EQ(decoded->audioBitrate(), 1u);

    // Absent keys read as zero.
    auto sparse = ZQLiveAudioConfiguration::unarchive(nlohmann::json{{"type", "ZQLiveAudioConfiguration"}});
    ASSERT_NE(sparse, nullptr);
    EXPECT_EQ(*sparse, ZQLiveAudioConfiguration());
}

TEST(ZQLiveAudioConfiguration, MalformedArchivesAreRefused) {
    auto good = ZQLiveAudioConfiguration::defaultConfiguration()->archive();
    auto with = [&](const char* key, nlohmann::json value) {
        auto archive = good;
        archive[key] = std::move(value);
        return ZQLiveAudioConfiguration::unarchive(archive);
    };
    EXPECT_EQ(with("type", "ZQLiveVideoConfiguration"), nullptr);
    EXPECT_EQ(with("numberOfChannels", -2), nullptr);
    EXPECT_EQ(with("audioSampleRate", "44100"), nullptr);
    EXPECT_EQ(with("audioBitrate", 1.5), nullptr);
    EXPECT_EQ(with("asc", "121"), nullptr);
    EXPECT_EQ(with("asc", "12g0"), nullptr);
    EXPECT_EQ(with("asc", nlohmann::json::array({0x12, 0x10})), nullptr);
    EXPECT_EQ(ZQLiveAudioConfiguration::unarchive(nlohmann::json::array()), nullptr);
    EXPECT_EQ(ZQLiveAudioConfiguration::unarchive(nlohmann::json()), nullptr);
}

} // namespace
