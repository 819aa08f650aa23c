// Video configuration: presets, guarded setters, the size-reading rules, capture-preset support,
// value semantics and the keyed archive.
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include "ZQLiveKit/ZQCaptureSessionSupport.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "ZQPlatform/SystemInfo.h"

namespace {

using platform::Size;

// A camera that supports only the listed capture presets.
class FakeCamera : public ZQCaptureSessionSupport {
public:
    explicit FakeCamera(std::set<std::string> presets) : mPresets(std::move(presets)) {}
    bool canSetSessionPreset(const std::string& avSessionPreset) override {
        asked.push_back(avSessionPreset);
        return mPresets.count(avSessionPreset) != 0;
    }
    std::vector<std::string> asked;

private:
    std::set<std::string> mPresets;
};

class VideoConfiguration : public ::testing::Test {
protected:
    void TearDown() override {
        platform::SystemInfo::setSystemVersion("");
        ZQCaptureSessionSupport::setShared(nullptr);
    }
};

struct PresetRow {
    std::uint64_t quality, preset;
    Size size;
    std::uint64_t frameRate, minFrameRate, bitRate, maxBitRate, minBitRate;
};

const PresetRow kRows[] = {
    {0, 0, {360, 640}, 15, 10, 500000, 600000, 400000},    {1, 0, {360, 640}, 24, 12, 600000, 720000, 500000},
    {2, 0, {360, 640}, 30, 15, 800000, 960000, 600000},    {3, 1, {540, 960}, 15, 10, 800000, 960000, 500000},
    {4, 1, {540, 960}, 24, 12, 800000, 960000, 500000},    {5, 1, {540, 960}, 30, 15, 1000000, 1200000, 500000},
    {6, 2, {722, 1282}, 15, 10, 1000000, 1200000, 500000}, {7, 2, {722, 1282}, 24, 12, 1200000, 1440000, 800000},
    {8, 2, {722, 1282}, 30, 15, 1200000, 1440000, 500000},
};

TEST_F(VideoConfiguration, EveryPresetRowInBothOrientations) {
    for (const auto& row : kRows) {
        for (std::int64_t orientation : {1, 2, 3, 4}) {
            SCOPED_TRACE(testing::Message() << "quality " << row.quality << " orientation " << orientation);
            auto c = ZQLiveVideoConfiguration::defaultConfigurationForQuality(row.quality, orientation);
            bool landscape = orientation >= 3;
            Size size = landscape ? Size{row.size.height, row.size.width} : row.size;
            EXPECT_EQ(c->videoSize(), size);
            EXPECT_EQ(c->sessionPreset(), row.preset);
            EXPECT_EQ(c->videoFrameRate(), row.frameRate);
            EXPECT_EQ(c->videoMaxFrameRate(), 0u) << "a maximum equal to the frame rate is refused";
            EXPECT_EQ(c->videoMinFrameRate(), row.minFrameRate);
            EXPECT_EQ(c->videoMaxKeyframeInterval(), 2 * row.frameRate);
            EXPECT_EQ(c->videoBitRate(), row.bitRate);
            EXPECT_EQ(c->videoMaxBitRate(), row.maxBitRate);
            EXPECT_EQ(c->videoMinBitRate(), row.minBitRate);
            EXPECT_EQ(c->outputImageOrientation(), orientation);
            EXPECT_EQ(c->landscape(), landscape);
            EXPECT_FALSE(c->autorotate());
            EXPECT_FALSE(c->videoSizeRespectingAspectRatio());
        }
    }
}

TEST_F(VideoConfiguration, Quality720p24InLandscapeStoresThePaddedSizeOnAnySystem) {
    for (const char* version : {"15.0", "14.0"}) {
        platform::SystemInfo::setSystemVersion(version);
        auto c = ZQLiveVideoConfiguration::defaultConfigurationForQuality(ZQLiveVideoQuality720p24, 3);
        EXPECT_EQ(c->videoSize(), (Size{1282, 722})) << version;
        EXPECT_EQ(c->avSessionPreset(), "AVCaptureSessionPreset1280x720");
        EXPECT_EQ(c->captureOutVideoSize(), (Size{1280, 720}));
    }
}

TEST_F(VideoConfiguration, DefaultsAndUnknownQuality) {
    EXPECT_EQ(*ZQLiveVideoConfiguration::defaultConfiguration(),
              *ZQLiveVideoConfiguration::defaultConfigurationForQuality(ZQLiveVideoQuality360p24, 1));
    EXPECT_EQ(*ZQLiveVideoConfiguration::defaultConfigurationForQuality(5),
              *ZQLiveVideoConfiguration::defaultConfigurationForQuality(5, 1));

    auto unknown = ZQLiveVideoConfiguration::defaultConfigurationForQuality(9, 4);
    ZQLiveVideoConfiguration expected;
    expected.setOutputImageOrientation(4);
    EXPECT_EQ(*unknown, expected);
    EXPECT_EQ(unknown->videoSize(), (Size{0, 0}));
    EXPECT_EQ(unknown->videoFrameRate(), 0u);
    EXPECT_EQ(unknown->videoBitRate(), 0u);
    EXPECT_EQ(unknown->sessionPreset(), 0u);
}

TEST_F(VideoConfiguration, GuardedSettersNeedTheRateFirst) {
    ZQLiveVideoConfiguration c;
    c.setVideoBitRate(800000);
    c.setVideoMaxBitRate(960000);
    c.setVideoMinBitRate(500000);
    c.setVideoMaxBitRate(500000);
    EXPECT_EQ(c.videoMaxBitRate(), 960000u);
    c.setVideoMinBitRate(900000);
    EXPECT_EQ(c.videoMinBitRate(), 500000u);
    c.setVideoMaxBitRate(800000);
    c.setVideoMinBitRate(800000);
    EXPECT_EQ(c.videoMaxBitRate(), 960000u);
    EXPECT_EQ(c.videoMinBitRate(), 500000u);

    ZQLiveVideoConfiguration rates;
    rates.setVideoMinFrameRate(10); // ignored: nothing is below a frame rate of 0
    rates.setVideoMaxFrameRate(30);
    EXPECT_EQ(rates.videoMinFrameRate(), 0u);
    EXPECT_EQ(rates.videoMaxFrameRate(), 30u);
    rates.setVideoFrameRate(24);
    rates.setVideoMinFrameRate(24);
    rates.setVideoMaxFrameRate(24);
    EXPECT_EQ(rates.videoMinFrameRate(), 0u);
    EXPECT_EQ(rates.videoMaxFrameRate(), 30u);
    rates.setVideoMinFrameRate(12);
    rates.setVideoMaxFrameRate(25);
    EXPECT_EQ(rates.videoMinFrameRate(), 12u);
    EXPECT_EQ(rates.videoMaxFrameRate(), 25u);
}

TEST_F(VideoConfiguration, A720pSizeReadsPaddedBySystemVersion) {
    ZQLiveVideoConfiguration c;
    c.setVideoSize({720, 1280});
    platform::SystemInfo::setSystemVersion("15.0");
    EXPECT_EQ(c.videoSize(), (Size{722, 1282}));
    platform::SystemInfo::setSystemVersion("16.4");
    EXPECT_EQ(c.videoSize(), (Size{722, 1282}));
    platform::SystemInfo::setSystemVersion("14.9");
    EXPECT_EQ(c.videoSize(), (Size{710, 1270}));
    c.setVideoSize({1280, 720});
    EXPECT_EQ(c.videoSize(), (Size{1270, 710}));
    platform::SystemInfo::setSystemVersion("15");
    EXPECT_EQ(c.videoSize(), (Size{1282, 722}));
    // Only the exact sizes are padded.
    c.setVideoSize({720, 1281});
    EXPECT_EQ(c.videoSize(), (Size{720, 1281}));
}

TEST_F(VideoConfiguration, AspectRatioSizeFitsTheCaptureShapeWithEvenSides) {
    ZQLiveVideoConfiguration c;
    c.setSessionPreset(ZQVideoPreset360);
    c.setOutputImageOrientation(1);
    c.setVideoSize({400, 600});
    EXPECT_EQ(c.videoSize(), (Size{400, 600})) << "the flag is off";
    c.setVideoSizeRespectingAspectRatio(true);
    EXPECT_EQ(c.videoSize(), (Size{338, 600}));
    EXPECT_EQ(c.aspectRatioVideoSize(), (Size{338, 600}));
    c.setVideoSize({401, 575});
    EXPECT_EQ(c.videoSize(), (Size{324, 574}));
    // Width-bound: 300 wide at 9:16 is 533.33 high, rounded up to 534.
    c.setVideoSize({300, 1000});
    EXPECT_EQ(c.videoSize(), (Size{300, 534}));
    // Landscape turns the capture shape round; an exact fit keeps its sides.
    c.setOutputImageOrientation(3);
    c.setVideoSize({1280, 1000});
    EXPECT_EQ(c.videoSize(), (Size{1280, 720}));
    // Reading never changes the stored size.
    c.setVideoSizeRespectingAspectRatio(false);
    EXPECT_EQ(c.videoSize(), (Size{1280, 1000}));
}

TEST_F(VideoConfiguration, CapturePresetNamesAndSizes) {
    ZQLiveVideoConfiguration c;
    struct {
        std::uint64_t preset;
        const char* name;
        Size size;
    } rows[] = {{0, "AVCaptureSessionPreset640x480", {360, 640}},
                {1, "AVCaptureSessionPresetiFrame960x540", {540, 960}},
                {2, "AVCaptureSessionPreset1280x720", {720, 1280}},
                {7, "AVCaptureSessionPreset640x480", {360, 640}}};
    for (auto row : rows) {
        c.setSessionPreset(row.preset);
        c.setOutputImageOrientation(2);
        EXPECT_EQ(c.sessionPreset(), row.preset) << "every preset is supported without a camera probe";
        EXPECT_EQ(c.avSessionPreset(), row.name);
        EXPECT_EQ(c.captureOutVideoSize(), row.size);
        c.setOutputImageOrientation(4);
        EXPECT_EQ(c.captureOutVideoSize(), (Size{row.size.height, row.size.width}));
    }
}

TEST_F(VideoConfiguration, UnsupportedPresetsFallBack) {
    auto onlyVga = std::make_shared<FakeCamera>(std::set<std::string>{"AVCaptureSessionPreset640x480"});
    ZQCaptureSessionSupport::setShared(onlyVga);
    ZQLiveVideoConfiguration c;
    c.setSessionPreset(ZQVideoPreset720);
    EXPECT_EQ(c.sessionPreset(), ZQVideoPreset360);
    EXPECT_EQ(onlyVga->asked,
              (std::vector<std::string>{"AVCaptureSessionPreset1280x720", "AVCaptureSessionPresetiFrame960x540"}));
    c.setSessionPreset(ZQVideoPreset540);
    EXPECT_EQ(c.sessionPreset(), ZQVideoPreset360);
    c.setSessionPreset(ZQVideoPreset360);
    EXPECT_EQ(c.sessionPreset(), ZQVideoPreset360);

    ZQCaptureSessionSupport::setShared(std::make_shared<FakeCamera>(
        std::set<std::string>{"AVCaptureSessionPreset640x480", "AVCaptureSessionPresetiFrame960x540"}));
    c.setSessionPreset(ZQVideoPreset720);
    EXPECT_EQ(c.sessionPreset(), ZQVideoPreset540);

    // A preset built for a camera without 720p keeps its size but captures at 540.
    auto preset = ZQLiveVideoConfiguration::defaultConfigurationForQuality(ZQLiveVideoQuality720p30);
    EXPECT_EQ(preset->sessionPreset(), ZQVideoPreset540);
    EXPECT_EQ(preset->videoSize(), (Size{722, 1282}));

    ZQCaptureSessionSupport::setShared(nullptr);
    c.setSessionPreset(ZQVideoPreset720);
    EXPECT_EQ(c.sessionPreset(), ZQVideoPreset720);
}

TEST_F(VideoConfiguration, EqualityAndHashCompareTheValuesAsRead) {
    for (const auto& row : kRows) {
        auto a = ZQLiveVideoConfiguration::defaultConfigurationForQuality(row.quality, 3);
        auto b = ZQLiveVideoConfiguration::defaultConfigurationForQuality(row.quality, 3);
        EXPECT_EQ(*a, *b);
        EXPECT_EQ(a->hash(), b->hash());
        EXPECT_EQ(std::hash<ZQLiveVideoConfiguration>()(*a), a->hash());
    }
    auto base = ZQLiveVideoConfiguration::defaultConfiguration();
    auto differs = [&](auto change) {
        auto other = base->copy();
        change(*other);
        return !(*other == *base);
    };
    EXPECT_TRUE(differs([](auto& c) { c.setVideoSize({100, 100}); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoFrameRate(25); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoMaxFrameRate(60); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoMinFrameRate(5); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoMaxKeyframeInterval(10); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoBitRate(1); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoMaxBitRate(9000000); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoMinBitRate(1); }));
    EXPECT_TRUE(differs([](auto& c) { c.setSessionPreset(2); }));
    EXPECT_TRUE(differs([](auto& c) { c.setSessionPreset(5); })); // same capture preset, other value
    EXPECT_TRUE(differs([](auto& c) { c.setOutputImageOrientation(2); }));
    EXPECT_TRUE(differs([](auto& c) { c.setAutorotate(true); }));
    EXPECT_TRUE(differs([](auto& c) { c.setVideoSizeRespectingAspectRatio(true); }));

    // Sizes compare as read: a stored 720 × 1280 equals a stored 722 × 1282 on version 15.
    ZQLiveVideoConfiguration stored720, stored722;
    stored720.setVideoSize({720, 1280});
    stored722.setVideoSize({722, 1282});
    EXPECT_EQ(stored720, stored722);
    EXPECT_EQ(stored720.hash(), stored722.hash());
    platform::SystemInfo::setSystemVersion("14.0");
    EXPECT_FALSE(stored720 == stored722);
}

TEST_F(VideoConfiguration, CopiesCarryEveryValue) {
    auto original = ZQLiveVideoConfiguration::defaultConfigurationForQuality(ZQLiveVideoQuality540p30, 4);
    original->setVideoBitRate(700000);
    original->setAutorotate(true);
    auto copied = original->copy();
    EXPECT_EQ(*copied, *original);
    EXPECT_EQ(copied->videoBitRate(), 700000u);
    EXPECT_FALSE(*copied == *ZQLiveVideoConfiguration::defaultConfiguration());

    ZQLiveVideoConfiguration assigned;
    assigned = *original;
    EXPECT_EQ(assigned, *original);
    original->setVideoBitRate(1);
    EXPECT_EQ(assigned.videoBitRate(), 700000u) << "a copy is independent of its source";
}

TEST_F(VideoConfiguration, DescriptionListsTheValuesInOrder) {
    auto c = ZQLiveVideoConfiguration::defaultConfigurationForQuality(ZQLiveVideoQuality720p24, 3);
    std::regex expected(
        "<ZQLiveVideoConfiguration: 0x[0-9a-f]+> videoSize:\\{1282, 722\\} videoSizeRespectingAspectRatio:0 "
        "videoFrameRate:24 videoMaxFrameRate:0 videoMinFrameRate:12 videoMaxKeyframeInterval:48 "
        "videoBitRate:1200000 videoMaxBitRate:1440000 videoMinBitRate:800000 "
        "avSessionPreset:AVCaptureSessionPreset1280x720 sessionPreset:2 outputImageOrientation:3 autorotate:0");
    EXPECT_TRUE(std::regex_match(c->description(), expected)) << c->description();
    ZQLiveVideoConfiguration fitted;
    fitted.setVideoSize({400, 600});
    fitted.setVideoSizeRespectingAspectRatio(true);
    EXPECT_NE(fitted.description().find(" videoSize:{338, 600} videoSizeRespectingAspectRatio:1 "), std::string::npos);
}

TEST_F(VideoConfiguration, ArchiveRoundTripsEveryPreset) {
    for (const auto& row : kRows) {
        for (std::int64_t orientation : {1, 3}) {
            auto c = ZQLiveVideoConfiguration::defaultConfigurationForQuality(row.quality, orientation);
            auto decoded = ZQLiveVideoConfiguration::unarchive(nlohmann::json::parse(c->archive().dump()));
            ASSERT_NE(decoded, nullptr);
            EXPECT_EQ(*decoded, *c);
        }
    }
    auto custom = ZQLiveVideoConfiguration::defaultConfiguration();
    custom->setAutorotate(true);
    custom->setVideoSizeRespectingAspectRatio(true);
    custom->setVideoSize({400, 600});
    auto decoded = ZQLiveVideoConfiguration::unarchive(custom->archive());
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(*decoded, *custom);
    EXPECT_EQ(custom->archive()["videoSize"], nlohmann::json::array({338, 600})) << "the size is archived as read";
}

TEST_F(VideoConfiguration, DecodingStoresValuesWithoutGuardsOrProbes) {
    ZQCaptureSessionSupport::setShared(
        std::make_shared<FakeCamera>(std::set<std::string>{"AVCaptureSessionPreset640x480"}));
    auto archive = nlohmann::json::parse(R"({"type":"ZQLiveVideoConfiguration","videoSize":[720,1280],
        "videoFrameRate":30,"videoMaxFrameRate":10,"videoMinFrameRate":40,"videoMaxKeyframeInterval":7,
        "videoBitRate":1000,"videoMaxBitRate":10,"videoMinBitRate":5000,"sessionPreset":2,
        "outputImageOrientation":-1,"autorotate":true,"videoSizeRespectingAspectRatio":false})");
    auto c = ZQLiveVideoConfiguration::unarchive(archive);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->videoMaxFrameRate(), 10u);
    EXPECT_EQ(c->videoMinFrameRate(), 40u);
    EXPECT_EQ(c->videoMaxBitRate(), 10u);
    EXPECT_EQ(c->videoMinBitRate(), 5000u);
    EXPECT_EQ(c->sessionPreset(), 2u) << "no preset probe on decoding";
    EXPECT_EQ(c->outputImageOrientation(), -1);
    EXPECT_TRUE(c->autorotate());
    // The stored size is the archived one; the reading rule applies on top, as for any stored size.
    platform::SystemInfo::setSystemVersion("14.0");
    EXPECT_EQ(c->videoSize(), (Size{710, 1270}));
}

TEST_F(VideoConfiguration, MalformedArchivesAreRefused) {
    auto good = ZQLiveVideoConfiguration::defaultConfiguration()->archive();
    auto with = [&](const char* key, nlohmann::json value) {
        auto archive = good;
        archive[key] = std::move(value);
        return ZQLiveVideoConfiguration::unarchive(archive);
    };
    EXPECT_NE(with("videoSize", nlohmann::json::array({1.5, 2})), nullptr);
    EXPECT_EQ(with("type", "ZQLiveAudioConfiguration"), nullptr);
    EXPECT_EQ(with("videoSize", nlohmann::json::array({1})), nullptr);
    EXPECT_EQ(with("videoSize", "{360, 640}"), nullptr);
    EXPECT_EQ(with("videoSize", nlohmann::json::array({"360", 640})), nullptr);
    EXPECT_EQ(with("videoFrameRate", -1), nullptr);
    EXPECT_EQ(with("videoBitRate", "800000"), nullptr);
    EXPECT_EQ(with("outputImageOrientation", 1.0), nullptr);
    EXPECT_EQ(with("outputImageOrientation", 18446744073709551615ull), nullptr);
    EXPECT_EQ(with("autorotate", 1), nullptr);
    EXPECT_EQ(ZQLiveVideoConfiguration::unarchive(nlohmann::json::object()), nullptr);

    auto sparse = ZQLiveVideoConfiguration::unarchive(nlohmann::json{{"type", "ZQLiveVideoConfiguration"}});
    ASSERT_NE(sparse, nullptr);
    EXPECT_EQ(*sparse, ZQLiveVideoConfiguration());
}

} // namespace
