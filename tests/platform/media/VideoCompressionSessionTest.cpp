// The property mapping of the H.264 compression session, and the libx264 path end to end on small
// pictures: key frames, parameter sets, profile and entropy coding, frame order, live rate changes.
#include <gtest/gtest.h>
#include <mutex>
#include "ZQLiveKit/TestPatternSource.h"
#include "ZQPlatform/Console.h"
#include "platform/media/H264EncoderProbe.h"
#include "platform/media/H264NalUnits.h"
#include "platform/media/VideoCompressionSession.h"
#include "tests/platform/media/MediaTestSupport.h"

using namespace platform;
using Property = VideoCompressionProperty;
using Bytes = std::vector<std::uint8_t>;

namespace {

TEST(H264EncoderSettingsTest, KeyFrameIntervalIsTheTighterOfCountAndDuration) {
    H264EncoderSettings s;
    EXPECT_EQ(s.effectiveKeyFrameInterval(), 0);
    s.apply(Property::ExpectedFrameRate, std::int64_t{24});
    s.apply(Property::MaxKeyFrameInterval, std::int64_t{48});
    EXPECT_EQ(s.effectiveKeyFrameInterval(), 48);
    s.apply(Property::MaxKeyFrameIntervalDuration, std::int64_t{2});
    EXPECT_EQ(s.effectiveKeyFrameInterval(), 48);
    // 30 frames, but at most 1 s at 24 fps: 24.
    s.apply(Property::MaxKeyFrameInterval, std::int64_t{30});
    s.apply(Property::MaxKeyFrameIntervalDuration, std::int64_t{1});
    EXPECT_EQ(s.effectiveKeyFrameInterval(), 24);
    // A duration alone counts at the expected rate.
    s.apply(Property::MaxKeyFrameInterval, std::int64_t{0});
    s.apply(Property::MaxKeyFrameIntervalDuration, 0.5);
    EXPECT_EQ(s.effectiveKeyFrameInterval(), 12);
}

TEST(H264EncoderSettingsTest, DataRateLimitBecomesPeakRateAndBuffer) {
    H264EncoderSettings s;
    EXPECT_EQ(s.peakBitRate(), 0);
    // 800 kbit/s × 1.5 in bytes per one-second window.
    ASSERT_EQ(s.apply(Property::DataRateLimits, DataRateLimit{800000 * 1.5 * 0.125, 1}), MediaStatus::Ok);
    EXPECT_EQ(s.peakBitRate(), 1200000);
    EXPECT_EQ(s.rateBufferBits(), 1200000);
    // The same bytes over two seconds: half the peak rate, the same buffer.
    s.apply(Property::DataRateLimits, DataRateLimit{150000, 2});
    EXPECT_EQ(s.peakBitRate(), 600000);
    EXPECT_EQ(s.rateBufferBits(), 1200000);
    s.apply(Property::DataRateLimits, DataRateLimit{150000, 0});
    EXPECT_EQ(s.peakBitRate(), 0);
}

TEST(H264EncoderSettingsTest, RejectsValuesOfTheWrongKindOrSign) {
    H264EncoderSettings s;
    EXPECT_EQ(s.apply(Property::AverageBitRate, true), MediaStatus::InvalidArgument);
    EXPECT_EQ(s.apply(Property::AverageBitRate, std::int64_t{-5}), MediaStatus::InvalidArgument);
    EXPECT_EQ(s.apply(Property::RealTime, std::int64_t{1}), MediaStatus::InvalidArgument);
    EXPECT_EQ(s.apply(Property::ProfileLevel, H264EntropyMode::CABAC), MediaStatus::InvalidArgument);
    EXPECT_EQ(s.apply(Property::DataRateLimits, DataRateLimit{-1, 1}), MediaStatus::InvalidArgument);
    EXPECT_EQ(s.averageBitRate, 0);
    EXPECT_EQ(s.apply(Property::AverageBitRate, 1.5e6), MediaStatus::Ok);
    EXPECT_EQ(s.averageBitRate, 1500000);
}

TEST(H264EncoderSettingsTest, CabacOnlyWhereTheProfileHasIt) {
    H264EncoderSettings s;
    s.apply(Property::H264EntropyMode, H264EntropyMode::CABAC);
    EXPECT_TRUE(s.usesCabac());
    s.apply(Property::ProfileLevel, H264ProfileLevel::MainAutoLevel);
    EXPECT_TRUE(s.usesCabac());
    s.apply(Property::ProfileLevel, H264ProfileLevel::BaselineAutoLevel);
    EXPECT_FALSE(s.usesCabac());
}

// The picture in the length-prefixed form the test decoder takes.
Bytes lengthPrefixed(const CompressedSample& sample) {
    Bytes block;
    for (const auto& unit : sample.nalUnits) h264::appendLengthPrefixed(block, {unit.data(), unit.size()});
    return block;
}

// Collects what a session gives back.
struct Output {
    std::uint64_t context;
    MediaStatus status;
    bool hasSample;
    CompressedSample sample;
};

class CompressionSessionTest : public ::testing::Test {
protected:
    std::shared_ptr<VideoCompressionSession> makeSession(int width, int height) {
        return VideoCompressionSession::create(width, height, [this](std::uint64_t context, MediaStatus status,
                                                                     const CompressedSample* sample) {
            std::lock_guard lock(mMutex);
            mOutputs.push_back({context, status, sample != nullptr, sample ? *sample : CompressedSample{}});
        });
    }

    static void configureLive(VideoCompressionSession& session, H264ProfileLevel profile, std::int64_t bitRate,
                              std::int64_t keyInterval = 1000) {
        session.setProperty(Property::MaxKeyFrameInterval, keyInterval);
        session.setProperty(Property::ExpectedFrameRate, std::int64_t{30});
        session.setProperty(Property::AverageBitRate, bitRate);
        session.setProperty(Property::DataRateLimits, DataRateLimit{bitRate * 1.5 * 0.125, 1});
        session.setProperty(Property::RealTime, true);
        session.setProperty(Property::ProfileLevel, profile);
        session.setProperty(Property::AllowFrameReordering, false);
        session.setProperty(Property::H264EntropyMode, H264EntropyMode::CABAC);
    }

    std::vector<Output> outputs() {
        std::lock_guard lock(mMutex);
        return mOutputs;
    }

    std::mutex mMutex;
    std::vector<Output> mOutputs;
};

TEST_F(CompressionSessionTest, PicksLibx264HereAndRefusesUnusableSizes) {
    EXPECT_FALSE(VideoCompressionSession::create(0, 120, nullptr));
    EXPECT_FALSE(VideoCompressionSession::create(1, 1, nullptr));
    auto session = makeSession(160, 120);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->encoderName(), ""); // not open yet
    EXPECT_EQ(session->prepareToEncodeFrames(), MediaStatus::Ok);
    EXPECT_EQ(session->encoderName(), H264EncoderProbe::choice().name);
}

TEST_F(CompressionSessionTest, GivesNalUnitsOverTheCodecsOwnBufferWithParameterSetsBesideThem) {
    auto session = makeSession(160, 120);
    configureLive(*session, H264ProfileLevel::MainAutoLevel, 300000);
    TestPatternSource pattern(160, 120, 30, PixelFormat::NV12);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(session->encodeFrame(pattern.renderFrame(i), {i + 1, 30}, {1, 30}, i == 6, 100 + i), MediaStatus::Ok);
    ASSERT_EQ(session->completeFrames(), MediaStatus::Ok);

    auto out = outputs();
    ASSERT_EQ(out.size(), 10u);
    zqtest::H264TestDecoder decoder;
    for (int i = 0; i < 10; ++i) {
        const auto& o = out[i];
        EXPECT_EQ(o.context, 100u + i) << "frames come back in order";
        EXPECT_EQ(o.status, MediaStatus::Ok);
        ASSERT_TRUE(o.hasSample);
        EXPECT_EQ(o.sample.presentationTime, (MediaTime{i + 1, 30}));
        EXPECT_EQ(o.sample.isKeyFrame, i == 0 || i == 6) << "frame " << i;
        ASSERT_EQ(o.sample.parameterSets.size(), 2u);
        EXPECT_EQ(h264::nalType(o.sample.parameterSets[0]), h264::kNalSps);
        EXPECT_EQ(h264::nalType(o.sample.parameterSets[1]), h264::kNalPps);
        // Bare NAL units, no parameter set or delimiter among them, and exactly one slice: the
        // picture travels on as one NAL unit. All are views over one buffer of the codec's.
        int slices = 0;
        for (const auto& unit : o.sample.nalUnits) {
            ASSERT_FALSE(unit.empty());
            auto type = h264::nalType({unit.data(), unit.size()});
            EXPECT_NE(type, h264::kNalSps);
            EXPECT_NE(type, h264::kNalPps);
            EXPECT_NE(type, h264::kNalAccessUnitDelimiter);
            slices += type == h264::kNalSlice || type == h264::kNalIdrSlice;
            EXPECT_EQ(unit.owner(), o.sample.nalUnits.front().owner());
        }
        EXPECT_EQ(slices, 1) << "frame " << i;
        EXPECT_TRUE(decoder.decode(lengthPrefixed(o.sample),
                                   i == 0 ? o.sample.parameterSets : std::vector<std::vector<std::uint8_t>>{}));
    }
    decoder.flush();
    ASSERT_EQ(decoder.pictures().size(), 10u);
    EXPECT_EQ(decoder.pictures()[0].width, 160);
    EXPECT_EQ(decoder.pictures()[0].height, 120);
    // Main profile (77) with CABAC: the PPS's entropy flag follows two ue(0) ids.
    EXPECT_EQ(out[0].sample.parameterSets[0][1], 77);
    EXPECT_EQ((out[0].sample.parameterSets[1][1] >> 5) & 1, 1);
}

TEST_F(CompressionSessionTest, CompletingHandsOutHeldPicturesAndTheSessionGoesOn) {
    auto session = makeSession(320, 240); // big enough for libx264 to keep pictures in its threads
    configureLive(*session, H264ProfileLevel::MainAutoLevel, 300000);
    TestPatternSource pattern(320, 240, 30, PixelFormat::NV12);
    for (int i = 0; i < 5; ++i) session->encodeFrame(pattern.renderFrame(i), {i + 1, 30}, {1, 30}, false, i);
    ASSERT_EQ(session->completeFrames(), MediaStatus::Ok);
    ASSERT_EQ(outputs().size(), 5u);
    for (int i = 5; i < 8; ++i) session->encodeFrame(pattern.renderFrame(i), {i + 1, 30}, {1, 30}, false, i);
    session->completeFrames();
    auto out = outputs();
    ASSERT_EQ(out.size(), 8u);
    zqtest::H264TestDecoder decoder;
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].context, i);
        ASSERT_TRUE(out[i].hasSample);
        // A drained codec cannot go on; it reopens, starting with a key frame.
        EXPECT_EQ(out[i].sample.isKeyFrame, i == 0 || i == 5) << "frame " << i;
        EXPECT_TRUE(decoder.decode(lengthPrefixed(out[i].sample), out[i].sample.parameterSets));
    }
    decoder.flush();
    EXPECT_EQ(decoder.pictures().size(), 8u);
}

TEST_F(CompressionSessionTest, BaselineProfileCodesWithCavlcEvenWhenCabacIsAskedFor) {
    auto session = makeSession(64, 64);
    configureLive(*session, H264ProfileLevel::BaselineAutoLevel, 200000);
    ASSERT_EQ(session->encodeFrame(zqtest::noisePicture(64, 64, 0), {1, 30}, {1, 30}, false, 1), MediaStatus::Ok);
    session->completeFrames();
    auto out = outputs();
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(out[0].hasSample);
    EXPECT_EQ(out[0].sample.parameterSets[0][1], 66);
    EXPECT_EQ((out[0].sample.parameterSets[1][1] >> 5) & 1, 0);
}

TEST_F(CompressionSessionTest, KeyFrameIntervalStartsNewGroupsByItself) {
    auto session = makeSession(96, 64);
    configureLive(*session, H264ProfileLevel::MainAutoLevel, 200000, 8);
    TestPatternSource pattern(96, 64, 30);
    for (int i = 0; i < 20; ++i) session->encodeFrame(pattern.renderFrame(i), {i + 1, 30}, {1, 30}, false, i);
    session->completeFrames();
    std::vector<std::uint64_t> keys;
    for (const auto& o : outputs())
        if (o.hasSample && o.sample.isKeyFrame) keys.push_back(o.context);
    EXPECT_EQ(keys, (std::vector<std::uint64_t>{0, 8, 16}));
}

TEST_F(CompressionSessionTest, NoBFramesWithoutReorderingEvenOutsideRealTime) {
    auto encode = [this](bool allowReordering) {
        mOutputs.clear();
        auto session = makeSession(96, 64);
        session->setProperty(Property::ExpectedFrameRate, std::int64_t{30});
        session->setProperty(Property::AverageBitRate, std::int64_t{300000});
        session->setProperty(Property::ProfileLevel, H264ProfileLevel::MainAutoLevel);
        session->setProperty(Property::AllowFrameReordering, allowReordering);
        for (int i = 0; i < 30; ++i) session->encodeFrame(zqtest::noisePicture(96, 64, i), {i + 1, 30}, {1, 30}, false, i);
        session->completeFrames();
        zqtest::H264TestDecoder decoder;
        std::vector<std::uint64_t> order;
        for (const auto& o : outputs()) {
            if (!o.hasSample) continue;
            order.push_back(o.context);
            decoder.decode(lengthPrefixed(o.sample), o.sample.parameterSets);
        }
        decoder.flush();
        int bFrames = 0;
        for (const auto& p : decoder.pictures()) bFrames += p.pictureType == 'B';
        return std::make_pair(bFrames, order);
    };
    auto [bWithout, orderWithout] = encode(false);
    EXPECT_EQ(bWithout, 0);
    ASSERT_EQ(orderWithout.size(), 30u);
    for (std::size_t i = 0; i < orderWithout.size(); ++i) EXPECT_EQ(orderWithout[i], i);
    // The control: the same encoder reorders when allowed, so the property is what stops it.
    auto [bWith, orderWith] = encode(true);
    EXPECT_GT(bWith, 0);
    EXPECT_EQ(orderWith.size(), 30u);
}

TEST_F(CompressionSessionTest, ConvertsBgraAndOtherSizes) {
    auto session = makeSession(64, 48);
    configureLive(*session, H264ProfileLevel::MainAutoLevel, 200000);
    EXPECT_EQ(session->encodeFrame(zqtest::noisePicture(128, 96, 0, PixelFormat::BGRA), {1, 30}, {1, 30}, false, 1),
              MediaStatus::Ok);
    EXPECT_EQ(session->encodeFrame(zqtest::noisePicture(63, 47, 1, PixelFormat::NV12), {2, 30}, {1, 30}, false, 2),
              MediaStatus::Ok);
    EXPECT_EQ(session->encodeFrame(nullptr, {3, 30}, {1, 30}, false, 3), MediaStatus::InvalidArgument);
    session->completeFrames();
    auto out = outputs();
    ASSERT_EQ(out.size(), 2u);
    zqtest::H264TestDecoder decoder;
    for (const auto& o : out) ASSERT_TRUE(decoder.decode(lengthPrefixed(o.sample), o.sample.parameterSets));
    decoder.flush();
    ASSERT_EQ(decoder.pictures().size(), 2u);
    EXPECT_EQ(decoder.pictures()[1].width, 64);
}

TEST_F(CompressionSessionTest, BitRateChangesTakeEffectInTheRunningEncoder) {
    auto session = makeSession(160, 120);
    configureLive(*session, H264ProfileLevel::MainAutoLevel, 1200000);
    auto setRate = [&](std::int64_t rate) {
        EXPECT_EQ(session->setProperty(Property::AverageBitRate, rate), MediaStatus::Ok);
        EXPECT_EQ(session->setProperty(Property::DataRateLimits, DataRateLimit{rate * 1.5 * 0.125, 1}), MediaStatus::Ok);
    };
    int frame = 0;
    auto encode = [&](int count) {
        for (int end = frame + count; frame < end; ++frame)
            session->encodeFrame(zqtest::noisePicture(160, 120, frame), {frame + 1, 30}, {1, 30}, frame == 0, frame);
    };
    std::vector<std::string> logged;
    Console::setSink([&](const std::string& line) { logged.push_back(line); });
    encode(40);
    setRate(60000); // cut 20-fold while running
    // What cannot change in a running encoder is refused.
    EXPECT_EQ(session->setProperty(Property::MaxKeyFrameInterval, std::int64_t{5}), MediaStatus::UnsupportedProperty);
    encode(40);
    setRate(1200000); // and back up
    encode(40);
    // Only now: completing drains the codec, which then opens afresh for the next frame.
    session->completeFrames();
    Console::setSink(nullptr);

    auto out = outputs();
    ASSERT_EQ(out.size(), 120u);
    auto averageSize = [&](int from) {
        std::size_t total = 0;
        for (int i = from; i < from + 20; ++i) total += lengthPrefixed(out[i].sample).size();
        return total / 20;
    };
    const std::size_t high = averageSize(20), low = averageSize(60), again = averageSize(100);
    // 1.2 Mbit/s is 5000 bytes a frame at 30 fps; 60 kbit/s (1.5 × in the peak) at most 375. With
    // frame threads the cut lands a frame or two later from run to run, so the bound is loose:
    // an encoder that ignored the change would stay near 5000.
    EXPECT_GT(high, 4000u);
    EXPECT_LT(low, high / 4);
    EXPECT_GT(again, 4000u);
    // Not rebuilt: no new key frame (a reopened encoder would start with one).
    for (int i = 1; i < 120; ++i) EXPECT_FALSE(out[i].sample.isKeyFrame) << "frame " << i;
    // A deep cut does not make libx264 complain about a peak below the average.
    EXPECT_TRUE(logged.empty()) << logged.front();
}

TEST_F(CompressionSessionTest, InvalidatedSessionTakesNothingMore) {
    auto session = makeSession(64, 64);
    configureLive(*session, H264ProfileLevel::MainAutoLevel, 200000);
    ASSERT_EQ(session->encodeFrame(zqtest::noisePicture(64, 64, 0), {1, 30}, {1, 30}, false, 1), MediaStatus::Ok);
    session->invalidate();
    auto delivered = outputs().size();
    EXPECT_EQ(session->encodeFrame(zqtest::noisePicture(64, 64, 1), {2, 30}, {1, 30}, false, 2),
              MediaStatus::InvalidSession);
    EXPECT_EQ(session->setProperty(Property::AverageBitRate, std::int64_t{1}), MediaStatus::InvalidSession);
    EXPECT_EQ(session->completeFrames(), MediaStatus::InvalidSession);
    EXPECT_EQ(outputs().size(), delivered);
    session->invalidate(); // twice is harmless
}

TEST(H264EncoderProbeTest, MissingHardwareIsSkippedQuietlyForTheSoftwareEncoder) {
    std::vector<std::string> lines;
    Console::setSink([&](const std::string& line) { lines.push_back(line); });
    auto choice = H264EncoderProbe::probe({"h264_nvenc", "h264_vaapi", "h264_v4l2m2m", "libx264"});
    Console::setSink(nullptr);
    if (choice.hardware) GTEST_SKIP() << "this machine has a working " << choice.name;
    EXPECT_EQ(choice.name, "libx264");
    EXPECT_EQ(choice.tried.size(), 3u);
    EXPECT_TRUE(lines.empty()) << lines.front();

    auto none = H264EncoderProbe::probe({"no_such_encoder"});
    EXPECT_EQ(none.name, "");
    ASSERT_EQ(none.tried.size(), 1u);
    EXPECT_NE(none.tried[0].find("no_such_encoder"), std::string::npos);
}

TEST(H264EncoderProbeTest, EnvironmentPutsTheNamedEncoderFirst) {
    setenv("ZQLIVEKIT_H264_ENCODER", "h264_vaapi", 1);
    auto named = H264EncoderProbe::candidates();
    setenv("ZQLIVEKIT_H264_ENCODER", "libx264", 1);
    auto software = H264EncoderProbe::candidates();
    unsetenv("ZQLIVEKIT_H264_ENCODER");
    EXPECT_EQ(named, (std::vector<std::string>{"h264_vaapi", "libx264"}));
    EXPECT_EQ(software, (std::vector<std::string>{"libx264"}));
    EXPECT_EQ(H264EncoderProbe::candidates().back(), "libx264");
    EXPECT_TRUE(H264EncoderProbe::isHardware("h264_nvenc"));
    EXPECT_FALSE(H264EncoderProbe::isHardware("libx264"));
}

} // namespace
