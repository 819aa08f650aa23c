// ZVHardwareVideoEncoder over a fake compression session: the properties it sets, key-frame forcing
// and presentation times, one frame per NAL unit, parameter sets, background handling and bit-rate changes.
#include <gtest/gtest.h>
#include "ZQPlatform/NotificationCenter.h"
#include "ZQPlatform/SystemInfo.h"
#include "encoder/ZVHardwareVideoEncoder.h"
#include "tests/encoder/EncoderFakes.h"

using namespace platform;
using Property = VideoCompressionProperty;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::shared_ptr<ZQLiveVideoConfiguration> configuration(std::uint64_t frameRate, std::uint64_t interval,
                                                        std::uint64_t bitRate = 800000) {
    auto c = std::make_shared<ZQLiveVideoConfiguration>();
    c->setVideoSize({360.9, 640.2});
    c->setVideoFrameRate(frameRate);
    c->setVideoMaxKeyframeInterval(interval);
    c->setVideoBitRate(bitRate);
    return c;
}

// NAL units as an encoder hands them out: slices of one output buffer.
std::vector<ZQBytes> units(const std::vector<Bytes>& list) {
    Bytes all;
    for (const auto& u : list) all.insert(all.end(), u.begin(), u.end());
    ZQBytes whole(std::move(all));
    std::vector<ZQBytes> out;
    std::size_t at = 0;
    for (const auto& u : list) {
        out.push_back(whole.slice(at, u.size()));
        at += u.size();
    }
    return out;
}

CompressedSample sample(std::vector<ZQBytes> nalUnits, bool key,
                        std::vector<Bytes> sets = {{0x67, 0x42, 0xC0, 0x1E}, {0x68, 0xCE}}) {
    CompressedSample s;
    s.nalUnits = std::move(nalUnits);
    s.isKeyFrame = key;
    s.parameterSets = std::move(sets);
    return s;
}

Bytes bytes(const ZQBytes& b) { return Bytes(b.begin(), b.end()); }

class HardwareVideoEncoderTest : public ::testing::Test {
protected:
    void TearDown() override { SystemInfo::setSystemVersion(""); }

    std::shared_ptr<ZVHardwareVideoEncoder> make(std::shared_ptr<ZQLiveVideoConfiguration> c) {
        auto encoder = ZVHardwareVideoEncoder::create(std::move(c), sessions.factory());
        encoder->setDelegate(delegate);
        return encoder;
    }
    std::shared_ptr<PixelBuffer> picture() { return PixelBuffer::create(16, 16, PixelFormat::NV12); }

    zqtest::FakeSessionFactory sessions;
    std::shared_ptr<zqtest::RecordingVideoDelegate> delegate = std::make_shared<zqtest::RecordingVideoDelegate>();
};

TEST_F(HardwareVideoEncoderTest, BuildsTheSessionWithEveryPropertyInOrder) {
    auto encoder = make(configuration(24, 48));
    ASSERT_EQ(sessions.made.size(), 1u);
    auto& s = sessions.current();
    EXPECT_EQ(s.width, 360); // truncated
    EXPECT_EQ(s.height, 640);
    std::vector<Property> order;
    for (const auto& [key, value] : s.properties) order.push_back(key);
    EXPECT_EQ(order, (std::vector<Property>{Property::MaxKeyFrameInterval, Property::MaxKeyFrameIntervalDuration,
                                            Property::ExpectedFrameRate, Property::AverageBitRate,
                                            Property::DataRateLimits, Property::RealTime, Property::ProfileLevel,
                                            Property::AllowFrameReordering, Property::H264EntropyMode}));
    EXPECT_EQ(std::get<std::int64_t>(s.last(Property::MaxKeyFrameInterval)), 48);
    EXPECT_EQ(std::get<std::int64_t>(s.last(Property::MaxKeyFrameIntervalDuration)), 2);
    EXPECT_EQ(std::get<std::int64_t>(s.last(Property::ExpectedFrameRate)), 24);
    EXPECT_EQ(std::get<std::int64_t>(s.last(Property::AverageBitRate)), 800000);
    auto limit = std::get<DataRateLimit>(s.last(Property::DataRateLimits));
    EXPECT_DOUBLE_EQ(limit.bytes, 150000); // 800 kbit/s × 1.5 in bytes
    EXPECT_DOUBLE_EQ(limit.seconds, 1);
    EXPECT_TRUE(std::get<bool>(s.last(Property::RealTime)));
    EXPECT_EQ(std::get<H264ProfileLevel>(s.last(Property::ProfileLevel)), H264ProfileLevel::BaselineAutoLevel);
    // Never B-frames: the published stream has no composition offsets.
    EXPECT_FALSE(std::get<bool>(s.last(Property::AllowFrameReordering)));
    EXPECT_EQ(std::get<H264EntropyMode>(s.last(Property::H264EntropyMode)), H264EntropyMode::CABAC);
    EXPECT_EQ(s.prepared, 1);
    EXPECT_EQ(encoder->videoBitRate(), 800000);
}

TEST_F(HardwareVideoEncoderTest, ProfileFollowsTheSystemVersionAndDurationTruncates) {
    SystemInfo::setSystemVersion("14.9");
    auto older = make(configuration(24, 30));
    EXPECT_EQ(std::get<H264ProfileLevel>(sessions.current().last(Property::ProfileLevel)), H264ProfileLevel::MainAutoLevel);
    EXPECT_EQ(std::get<std::int64_t>(sessions.current().last(Property::MaxKeyFrameIntervalDuration)), 1);
    SystemInfo::setSystemVersion("15.0");
    auto newer = make(configuration(0, 30));
    EXPECT_EQ(std::get<H264ProfileLevel>(sessions.current().last(Property::ProfileLevel)),
              H264ProfileLevel::BaselineAutoLevel);
    EXPECT_EQ(std::get<std::int64_t>(sessions.current().last(Property::MaxKeyFrameIntervalDuration)), 0);
}

TEST_F(HardwareVideoEncoderTest, ForcesKeyFramesOnTheIntervalAndTimesFramesByCount) {
    auto encoder = make(configuration(24, 48));
    for (std::uint64_t i = 0; i < 150; ++i) encoder->encodeVideoData(picture(), 5000 + i);
    const auto& encodes = sessions.current().encodes;
    ASSERT_EQ(encodes.size(), 150u);
    std::vector<std::int64_t> forced;
    for (const auto& e : encodes)
        if (e.forceKeyFrame) forced.push_back(e.presentationTime.value);
    EXPECT_EQ(forced, (std::vector<std::int64_t>{48, 96, 144}));
    EXPECT_EQ(encodes[0].presentationTime, (MediaTime{1, 24})); // the first frame at 1/24 s
    EXPECT_EQ(encodes[0].duration, (MediaTime{1, 24}));
    EXPECT_EQ(encodes[149].presentationTime, (MediaTime{150, 24}));
    EXPECT_EQ(encodes[7].frameContext, 5007u); // the caller's timestamp travels with the frame
    EXPECT_EQ(encoder->frameCount(), 150);
}

TEST_F(HardwareVideoEncoderTest, IntervalZeroForcesNothingAndAHugeOneIsTakenAsSigned32Bits) {
    auto none = make(configuration(30, 0));
    for (int i = 0; i < 100; ++i) none->encodeVideoData(picture(), i);
    for (const auto& e : sessions.current().encodes) EXPECT_FALSE(e.forceKeyFrame);

    // 2^32 + 5 truncates to 5.
    auto wrapped = make(configuration(30, (std::uint64_t{1} << 32) + 5));
    for (int i = 0; i < 10; ++i) wrapped->encodeVideoData(picture(), i);
    const auto& encodes = sessions.current().encodes;
    EXPECT_TRUE(encodes[4].forceKeyFrame);
    EXPECT_TRUE(encodes[9].forceKeyFrame);
    EXPECT_FALSE(encodes[5].forceKeyFrame);
}

TEST_F(HardwareVideoEncoderTest, EveryNalUnitOfAPictureBecomesOneFrame) {
    auto encoder = make(configuration(30, 60));
    auto s = sample(units({{0x06, 1, 2}, {}, {0x65, 3, 4, 5}}), true);
    sessions.current().emit(777, MediaStatus::Ok, &s);
    auto frames = delegate->snapshot();
    ASSERT_EQ(frames.size(), 2u) << "an empty unit makes no frame";
    EXPECT_EQ(frames[0].encoder, encoder.get());
    EXPECT_EQ(bytes(frames[0].frame->data()), (Bytes{0x06, 1, 2}));
    EXPECT_EQ(bytes(frames[1].frame->data()), (Bytes{0x65, 3, 4, 5}));
    // The frames hold the encoder's bytes themselves, not copies.
    EXPECT_EQ(frames[1].frame->data().data(), s.nalUnits[2].data());
    EXPECT_EQ(frames[1].frame->data().owner(), s.nalUnits[0].owner());
    for (const auto& f : frames) {
        EXPECT_EQ(f.frame->timestamp(), 777u);
        EXPECT_TRUE(f.frame->isKeyFrame());
        EXPECT_EQ(bytes(f.frame->sps()), (Bytes{0x67, 0x42, 0xC0, 0x1E}));
        EXPECT_EQ(bytes(f.frame->pps()), (Bytes{0x68, 0xCE}));
    }
}

TEST_F(HardwareVideoEncoderTest, FailedOrEmptyOutputsDeliverNothing) {
    auto encoder = make(configuration(30, 60));
    auto s = sample(units({{0x65, 1}}), true);
    sessions.current().emit(1, MediaStatus::EncoderFailed, &s);
    sessions.current().emit(1, MediaStatus::Ok, nullptr);
    EXPECT_TRUE(delegate->snapshot().empty());
    // A failed picture does not take the parameter sets either.
    EXPECT_TRUE(encoder->sps().isNil());
}

TEST_F(HardwareVideoEncoderTest, ParameterSetsComeFromTheFirstKeyFrameAndStay) {
    auto encoder = make(configuration(30, 60));
    auto& session = sessions.current();
    auto delta = sample(units({{0x41, 1}}), false);
    session.emit(1, MediaStatus::Ok, &delta);
    EXPECT_TRUE(encoder->sps().isNil()); // not from a delta frame
    EXPECT_TRUE(delegate->snapshot().back().frame->sps().isNil());

    auto halfKey = sample(units({{0x65, 1}}), true, {{0x67, 1, 2, 3}});
    session.emit(2, MediaStatus::Ok, &halfKey);
    EXPECT_TRUE(encoder->sps().isNil()); // both sets or none
    EXPECT_TRUE(delegate->snapshot().back().frame->pps().isNil());

    auto key = sample(units({{0x65, 2}}), true, {{0x67, 0x4D, 0, 0x1F}, {0x68, 0xEE}});
    session.emit(3, MediaStatus::Ok, &key);
    EXPECT_EQ(bytes(encoder->sps()), (Bytes{0x67, 0x4D, 0, 0x1F}));

    auto laterKey = sample(units({{0x65, 3}}), true, {{0x67, 0x42, 0, 0x0D}, {0x68, 0x11}});
    session.emit(4, MediaStatus::Ok, &laterKey);
    EXPECT_EQ(bytes(encoder->sps()), (Bytes{0x67, 0x4D, 0, 0x1F})); // never refreshed
    EXPECT_EQ(bytes(delegate->snapshot().back().frame->pps()), (Bytes{0x68, 0xEE}));
}

TEST_F(HardwareVideoEncoderTest, BackgroundDropsFramesAndRateChangesForegroundRebuildsAtTheConfiguredRate) {
    auto encoder = make(configuration(30, 60, 800000));
    encoder->setVideoBitRate(650000);
    EXPECT_EQ(encoder->videoBitRate(), 650000);
    encoder->encodeVideoData(picture(), 1);

    NotificationCenter::defaultCenter().post(kApplicationWillResignActiveNotification);
    EXPECT_TRUE(encoder->isBackGround());
    encoder->encodeVideoData(picture(), 2);
    encoder->encodeVideoData(picture(), 3);
    EXPECT_EQ(encoder->frameCount(), 1);
    EXPECT_EQ(sessions.current().encodes.size(), 1u);
    encoder->setVideoBitRate(300000);
    EXPECT_EQ(encoder->videoBitRate(), 650000); // ignored in the background

    auto& old = sessions.current();
    NotificationCenter::defaultCenter().post(kApplicationDidBecomeActiveNotification);
    EXPECT_FALSE(encoder->isBackGround());
    ASSERT_EQ(sessions.made.size(), 2u);
    EXPECT_EQ(old.completed, 1);
    EXPECT_EQ(old.invalidated, 1);
    EXPECT_EQ(encoder->videoBitRate(), 800000); // back to the configuration
    EXPECT_EQ(std::get<std::int64_t>(sessions.current().last(Property::AverageBitRate)), 800000);

    encoder->encodeVideoData(picture(), 4);
    ASSERT_EQ(sessions.current().encodes.size(), 1u);
    EXPECT_EQ(sessions.current().encodes[0].presentationTime.value, 2); // frameCount survives the rebuild
}

TEST_F(HardwareVideoEncoderTest, BitRateChangeReconfiguresTheRunningSession) {
    auto encoder = make(configuration(30, 60, 800000));
    encoder->setVideoBitRate(850000);
    ASSERT_EQ(sessions.made.size(), 1u); // no rebuild
    auto& s = sessions.current();
    EXPECT_EQ(std::get<std::int64_t>(s.last(Property::AverageBitRate)), 850000);
    EXPECT_DOUBLE_EQ(std::get<DataRateLimit>(s.last(Property::DataRateLimits)).bytes, 850000 * 1.5 * 0.125);
    EXPECT_EQ(encoder->videoBitRate(), 850000);
    // A rebuild for any other reason drops the change.
    encoder->resetCompressionSession();
    EXPECT_EQ(encoder->videoBitRate(), 800000);
}

TEST_F(HardwareVideoEncoderTest, FailedEncodeRebuildsAndKeepsCountAndParameterSets) {
    auto encoder = make(configuration(30, 60));
    auto key = sample(units({{0x65, 1}}), true);
    sessions.current().emit(1, MediaStatus::Ok, &key);
    encoder->encodeVideoData(picture(), 1);
    sessions.current().encodeResult = MediaStatus::EncoderFailed;
    encoder->encodeVideoData(picture(), 2);
    ASSERT_EQ(sessions.made.size(), 2u);
    EXPECT_EQ(sessions.made[0]->invalidated, 1);
    encoder->encodeVideoData(picture(), 3);
    EXPECT_EQ(sessions.current().encodes.at(0).presentationTime.value, 3);
    EXPECT_FALSE(encoder->sps().isNil());
}

TEST_F(HardwareVideoEncoderTest, WithoutASessionEveryFrameRetriesTheBuild) {
    sessions.fail = true;
    auto c = configuration(30, 60, 800000);
    auto encoder = make(c);
    EXPECT_EQ(sessions.attempts, 1);
    EXPECT_EQ(encoder->videoBitRate(), 0); // nothing applied
    encoder->encodeVideoData(picture(), 1);
    encoder->encodeVideoData(picture(), 2);
    EXPECT_EQ(sessions.attempts, 3);
    encoder->setVideoBitRate(500000); // no session to tell, the value is kept
    EXPECT_EQ(encoder->videoBitRate(), 500000);
    sessions.fail = false;
    encoder->encodeVideoData(picture(), 3);
    ASSERT_EQ(sessions.made.size(), 1u);
    encoder->encodeVideoData(picture(), 4);
    EXPECT_EQ(sessions.current().encodes.size(), 1u);
    EXPECT_EQ(sessions.current().encodes[0].presentationTime.value, 4);
}

TEST_F(HardwareVideoEncoderTest, StopCompletesFramesAndDestructionReleasesTheSession) {
    auto encoder = make(configuration(30, 60));
    auto session = sessions.made.back();
    encoder->stopEncoder();
    EXPECT_EQ(session->completed, 1);
    EXPECT_EQ(session->invalidated, 0);
    encoder.reset();
    EXPECT_EQ(session->completed, 2);
    EXPECT_EQ(session->invalidated, 1);
    // No one observes the lifecycle any more, and late output goes nowhere.
    NotificationCenter::defaultCenter().post(kApplicationDidBecomeActiveNotification);
    EXPECT_EQ(sessions.made.size(), 1u);
    auto s = sample(units({{0x65, 1}}), true);
    session->emit(1, MediaStatus::Ok, &s);
    EXPECT_TRUE(delegate->snapshot().empty());
}

TEST_F(HardwareVideoEncoderTest, DelegateIsWeakAndBothSettersWriteIt) {
    auto encoder = make(configuration(30, 60));
    EXPECT_EQ(encoder->h264Delegate().lock(), delegate);
    auto other = std::make_shared<zqtest::RecordingVideoDelegate>();
    encoder->setH264Delegate(other);
    auto s = sample(units({{0x65, 1}}), true);
    sessions.current().emit(1, MediaStatus::Ok, &s);
    EXPECT_TRUE(delegate->snapshot().empty());
    EXPECT_EQ(other->snapshot().size(), 1u);
    other.reset();
    sessions.current().emit(2, MediaStatus::Ok, &s); // a gone delegate is not called
    EXPECT_TRUE(encoder->h264Delegate().expired());
}

} // namespace
