// Both encoders on the real libavcodec back ends with small pictures and short sounds: what
// arrives at the delegate decodes.
#include <gtest/gtest.h>
#include <set>
#include "ZQLiveKit/TestPatternSource.h"
#include "ZQLiveKit/ToneSource.h"
#include "ZQPlatform/SystemInfo.h"
#include "encoder/ZVHardwareAudioEncoder.h"
#include "encoder/ZVHardwareVideoEncoder.h"
#include "tests/encoder/EncoderFakes.h"
#include "tests/platform/media/MediaTestSupport.h"

extern "C" {
#include <libavcodec/adts_parser.h>
}

using namespace platform;

namespace {

std::vector<std::uint8_t> bytes(const ZQBytes& b) { return {b.begin(), b.end()}; }

TEST(EncoderLibavcodecTest, VideoFramesAreSingleNalUnitsThatDecode) {
    auto c = std::make_shared<ZQLiveVideoConfiguration>();
    c->setVideoSize({160, 120});
    c->setVideoFrameRate(30);
    c->setVideoMaxKeyframeInterval(10);
    c->setVideoBitRate(300000);
    auto delegate = std::make_shared<zqtest::RecordingVideoDelegate>();
    auto encoder = ZVHardwareVideoEncoder::create(c);
    encoder->setDelegate(delegate);
    TestPatternSource pattern(160, 120, 30);
    for (int i = 0; i < 25; ++i) encoder->encodeVideoData(pattern.renderFrame(i), 1000 + i * 33);
    encoder->stopEncoder(); // everything submitted comes back before this returns

    auto frames = delegate->snapshot();
    ASSERT_FALSE(frames.empty());
    ASSERT_TRUE(frames[0].frame->isKeyFrame());
    // The first key frame's parameter sets, on every frame: Baseline on system version 15.
    ASSERT_GE(frames[0].frame->sps().size(), 4u);
    EXPECT_EQ(frames[0].frame->sps()[1], 66);
    EXPECT_EQ(frames[0].frame->pps()[0] & 0x1F, 8);

    // The units of one picture share its timestamp; a decoder takes them as one access unit.
    zqtest::H264TestDecoder decoder;
    std::vector<std::uint64_t> keyTimes;
    std::set<std::uint64_t> flaggedTimes;
    std::vector<std::uint8_t> accessUnit;
    std::uint64_t lastTime = frames[0].frame->timestamp();
    auto decodeAccessUnit = [&] {
        std::vector<std::vector<std::uint8_t>> sets;
        if (keyTimes.size() == 1 && keyTimes[0] == frames[0].frame->timestamp() && lastTime == keyTimes[0])
            sets = {bytes(frames[0].frame->sps()), bytes(frames[0].frame->pps())};
        EXPECT_TRUE(decoder.decode(accessUnit, sets)) << "picture at " << lastTime;
        accessUnit.clear();
    };
    for (const auto& f : frames) {
        const ZQBytes& nal = f.frame->data();
        ASSERT_GE(nal.size(), 1u);
        EXPECT_FALSE(nal.size() >= 3 && nal[0] == 0 && nal[1] == 0 && (nal[2] == 1 || nal[2] == 0)) << "start code";
        const int type = nal[0] & 0x1F;
        EXPECT_NE(type, 7);
        EXPECT_NE(type, 8);
        EXPECT_EQ(f.frame->sps(), frames[0].frame->sps());
        ASSERT_GE(f.frame->timestamp(), lastTime); // capture times, in order
        if (f.frame->timestamp() != lastTime) decodeAccessUnit();
        lastTime = f.frame->timestamp();
        if (type == 5 && (keyTimes.empty() || keyTimes.back() != lastTime)) keyTimes.push_back(lastTime);
        if (f.frame->isKeyFrame()) flaggedTimes.insert(lastTime);
        accessUnit.insert(accessUnit.end(), {std::uint8_t(nal.size() >> 24), std::uint8_t(nal.size() >> 16),
                                             std::uint8_t(nal.size() >> 8), std::uint8_t(nal.size())});
        accessUnit.insert(accessUnit.end(), nal.begin(), nal.end());
    }
    decodeAccessUnit();
    decoder.flush();
    // Frames 10 and 20 (times 1000 + 9 × 33 and 1000 + 19 × 33) were forced, and the first is key.
    EXPECT_EQ(keyTimes, (std::vector<std::uint64_t>{1000, 1297, 1627}));
    // Every unit of an IDR picture, its SEI included, carries the key-frame flag, and no other does.
    EXPECT_EQ(flaggedTimes, (std::set<std::uint64_t>{1000, 1297, 1627}));
    EXPECT_EQ(decoder.pictures().size(), 25u);
    for (const auto& p : decoder.pictures()) EXPECT_NE(p.pictureType, 'B');
}

TEST(EncoderLibavcodecTest, AudioFramesDecodeAndTakeAnAdtsHeader) {
    auto c = ZQLiveAudioConfiguration::defaultConfiguration();
    auto delegate = std::make_shared<zqtest::RecordingAudioDelegate>();
    auto encoder = ZVHardwareAudioEncoder::create(c);
    encoder->setDelegate(delegate);
    ToneSource tone(44100, 2, 1000, 440.0); // pieces that do not line up with blocks
    std::vector<std::uint8_t> piece(1000);
    for (int i = 0; i < 50; ++i) {
        tone.fillNextBlock(piece);
        encoder->encodeAudioData(piece, 10 * i);
    }
    // 50 000 bytes: 12 blocks of 4096, 848 left.
    ASSERT_EQ(delegate->frames.size(), 12u);
    EXPECT_EQ(encoder->leftLength(), 848u);

    zqtest::AacTestDecoder decoder({c->asc()[0], c->asc()[1]});
    for (const auto& f : delegate->frames) {
        const ZQBytes& unit = f.frame->data();
        ASSERT_TRUE(decoder.decode({unit.data(), unit.size()}));
        EXPECT_EQ(f.frame->audioInfo(), (ZQBytes{0x12, 0x10}));
        // The header libavcodec's own ADTS parser reads: one raw block of 1024 samples.
        ZQBytes header = encoder->adtsData(2, static_cast<std::int64_t>(unit.size()));
        std::uint32_t samples = 0;
        std::uint8_t blocks = 0;
        ASSERT_EQ(av_adts_header_parse(header.data(), &samples, &blocks), 0);
        EXPECT_EQ(samples, 1024u);
        EXPECT_EQ(blocks, 1u);
    }
    EXPECT_EQ(decoder.samples().size(), 12u * 1024);
}

} // namespace
