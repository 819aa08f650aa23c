// Frames share their payloads; the statistics record describes itself; the live-state vocabulary.
#include <gtest/gtest.h>
#include <memory>
#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQLiveDebug.h"
#include "ZQLiveKit/ZQLiveState.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQVideoFrame.h"

namespace {

TEST(ZQBytes, CopiesShareOneBufferAndNilDiffersFromEmpty) {
    ZQBytes payload(std::vector<std::uint8_t>{1, 2, 3});
    auto frame = std::make_shared<ZQVideoFrame>();
    frame->setData(payload);
    EXPECT_EQ(frame->data().data(), payload.data()) << "a frame must hold the encoder's bytes, not a copy";
    EXPECT_EQ(frame->data().owner().use_count(), 2);

    ZQBytes nil;
    ZQBytes empty(std::vector<std::uint8_t>{});
    EXPECT_TRUE(nil.isNil());
    EXPECT_FALSE(empty.isNil());
    EXPECT_EQ(nil.size(), 0u);
    EXPECT_EQ(nil.data(), nullptr);
    EXPECT_FALSE(nil == empty);
    EXPECT_TRUE(ZQBytes({1, 2, 3}) == payload);
    EXPECT_FALSE(ZQBytes({1, 2}) == payload);
}

TEST(ZQBytes, SlicesAreViewsThatKeepTheWholeBufferAlive) {
    ZQBytes slice;
    const std::uint8_t* start = nullptr;
    {
        ZQBytes packet(std::vector<std::uint8_t>{0, 0, 1, 0x65, 0x88, 0x84, 0, 0, 1, 0x41});
        start = packet.data();
        slice = packet.slice(3, 3);
    }
    // The packet is gone; its bytes are not.
    EXPECT_EQ(slice.data(), start + 3);
    EXPECT_TRUE(slice == ZQBytes({0x65, 0x88, 0x84}));
    EXPECT_EQ(slice.slice(1, 100).size(), 2u) << "a slice is clamped to what there is";
    EXPECT_TRUE(slice.slice(9, 1).empty());
    EXPECT_FALSE(slice.slice(9, 1).isNil());
    EXPECT_TRUE(ZQBytes().slice(0, 4).isNil());
    // A view over storage the caller owns, and a view without an owner (nil).
    auto block = std::make_shared<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{7, 8, 9});
    ZQBytes view(block, block->data() + 1, 2);
    EXPECT_TRUE(view == ZQBytes({8, 9}));
    EXPECT_EQ(block.use_count(), 2);
    EXPECT_TRUE(ZQBytes(nullptr, block->data(), 3).isNil());
}

TEST(ZQFrame, FreshFramesAreEmptyAndKindsAreDistinguishable) {
    std::shared_ptr<ZQFrame> video = std::make_shared<ZQVideoFrame>();
    std::shared_ptr<ZQFrame> audio = std::make_shared<ZQAudioFrame>();
    EXPECT_EQ(video->timestamp(), 0u);
    EXPECT_TRUE(video->data().isNil());
    EXPECT_TRUE(video->header().isNil());
    auto* asVideo = dynamic_cast<ZQVideoFrame*>(video.get());
    ASSERT_NE(asVideo, nullptr);
    EXPECT_FALSE(asVideo->isKeyFrame());
    EXPECT_TRUE(asVideo->sps().isNil());
    EXPECT_EQ(dynamic_cast<ZQVideoFrame*>(audio.get()), nullptr);
    ASSERT_NE(dynamic_cast<ZQAudioFrame*>(audio.get()), nullptr);
    EXPECT_EQ(video->asVideoFrame(), asVideo);
    EXPECT_EQ(video->asAudioFrame(), nullptr);
    EXPECT_EQ(audio->asAudioFrame(), audio.get());
    EXPECT_EQ(audio->asVideoFrame(), nullptr);
    EXPECT_EQ(ZQFrame().asVideoFrame(), nullptr);

    // Timestamps are full 64-bit milliseconds; only the publisher truncates them.
    video->setTimestamp((1ull << 32) + 7);
    EXPECT_EQ(video->timestamp(), (1ull << 32) + 7);
}

TEST(ZQLiveDebug, FreshRecordDescribesEveryNumberAsZero) {
    ZQLiveDebug debug;
    EXPECT_FALSE(debug.isRtmp());
    EXPECT_FALSE(debug.streamId().has_value());
    EXPECT_FALSE(debug.uploadUrl().has_value());
    EXPECT_EQ(debug.description(),
              "丢掉的帧数:0 总帧数:0 上次的音频捕获个数:0 上次的视频捕获个数:0 未发送个数:0 总流量:0");
}

TEST(ZQLiveDebug, DescriptionUsesItsFieldsInOrderAndRoundsTheDataFlow) {
    ZQLiveDebug debug;
    debug.setDropFrame(3);
    debug.setTotalFrame(1200);
    debug.setCurrentCapturedAudioCount(43);
    debug.setCurrentCapturedVideoCount(24);
    debug.setUnSendCount(7);
    debug.setDataFlow(1234.6);
    // Fields the description leaves out must not leak in.
    debug.setCapturedAudioCount(99);
    debug.setBandwidth(5555);
    EXPECT_EQ(debug.description(),
              "丢掉的帧数:3 总帧数:1200 上次的音频捕获个数:43 上次的视频捕获个数:24 未发送个数:7 总流量:1235");
    debug.setDataFlow(1234.4);
    EXPECT_NE(debug.description().find("总流量:1234"), std::string::npos);
    debug.setDataFlow(1e300);
    EXPECT_EQ(debug.description().size(), debug.description().find("总流量:") + std::string("总流量:").size() + 301);
}

TEST(ZQLiveState, ValuesAndNamesMatchTheWireVocabulary) {
    EXPECT_EQ(ZQLiveReady, 0u);
    EXPECT_EQ(ZQLivePending, 1u);
    EXPECT_EQ(ZQLiveStart, 2u);
    EXPECT_EQ(ZQLiveStop, 3u);
    EXPECT_EQ(ZQLiveError, 4u);
    EXPECT_EQ(ZQLiveReconnecting, 5u);
    EXPECT_EQ(ZQLiveSocketErrorReconnectExhausted, 205u);
    EXPECT_STREQ(ZQLiveStateName(ZQLivePending), "ZQLivePending");
    EXPECT_STREQ(ZQLiveStateName(ZQLiveReconnecting), "ZQLiveReconnecting");
    EXPECT_STREQ(ZQLiveStateName(6), "unknown");
}

TEST(ZQLiveStreamInfo, StartsWithoutUrlAndSharesItsConfigurations) {
    ZQLiveStreamInfo info;
    EXPECT_FALSE(info.url().has_value());
    EXPECT_EQ(info.port(), 0);
    EXPECT_EQ(info.audioConfiguration(), nullptr);
    auto video = ZQLiveVideoConfiguration::defaultConfiguration();
    info.setVideoConfiguration(video);
    video->setVideoBitRate(123);
    EXPECT_EQ(info.videoConfiguration()->videoBitRate(), 123u);
}

} // namespace
