// The bytes the ingest receives: metadata, sequence headers and tag bodies, with their chunk
// streams, header formats and timestamps.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "transport/LibRtmpConnection.h"
#include "transport/RtmpMessageBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bodyOf(const RtmpMessage& message) { return Bytes(message.body(), message.body() + message.bodySize()); }

// AMF0, written out by hand so the test does not lean on the encoder it checks.
struct Amf {
    Bytes bytes;
    void u16(std::size_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    void raw(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
    void string(const std::string& s) {
        bytes.push_back(0x02);
        u16(s.size());
        raw(s);
    }
    void name(const std::string& s) {
        u16(s.size());
        raw(s);
    }
    void number(const std::string& key, double v) {
        name(key);
        bytes.push_back(0x00);
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    void text(const std::string& key, const std::string& v) {
        name(key);
        string(v);
    }
    void boolean(const std::string& key, bool v) {
        name(key);
        bytes.push_back(0x01);
        bytes.push_back(v ? 1 : 0);
    }
};

ZQBytes counting(std::size_t size, std::uint8_t first = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return ZQBytes(std::move(bytes));
}

std::shared_ptr<ZQLiveStreamInfo> streamWith(std::uint64_t videoBitRate, std::uint64_t channels) {
    auto stream = std::make_shared<ZQLiveStreamInfo>();
    auto video = std::make_shared<ZQLiveVideoConfiguration>();
    video->setVideoSize({360, 640});
    video->setVideoBitRate(videoBitRate);
    video->setVideoFrameRate(24);
    auto audio = std::make_shared<ZQLiveAudioConfiguration>();
    audio->setNumberOfChannels(channels);
    audio->setAudioSampleRate(44100);
    audio->setAudioBitrate(96000);
    stream->setVideoConfiguration(video);
    stream->setAudioConfiguration(audio);
    return stream;
}

TEST(RtmpMessageBuilder, MetaDataCarriesEveryFieldInOrderAsAmf0) {
    // 1234567 bit/s is not a whole number of kbit/s: the rate is divided in single precision.
    auto stream = streamWith(1234567, 2);
    RtmpMessage message = RtmpMessageBuilder::metaData(RtmpMessageBuilder::metaDataFor(*stream));

    Amf expected;
    expected.string("@setDataFrame");
    expected.string("onMetaData");
    expected.bytes.push_back(0x03);
    expected.number("duration", 0);
    expected.number("fileSize", 0);
    expected.number("width", 360);
    expected.number("height", 640);
    expected.text("videocodecid", "avc1");
    expected.number("videodatarate", static_cast<double>(1234567.0f / 1000.0f));
    expected.number("framerate", 24);
    expected.text("audiocodecid", "mp4a");
    expected.number("audiodatarate", 96000);
    expected.number("audiosamplerate", 44100);
    expected.number("audiosamplesize", 16);
    expected.boolean("stereo", true);
    expected.text("encoder", "ZVCastKit 2.4.0");
    expected.bytes.insert(expected.bytes.end(), {0x00, 0x00, 0x09});

    EXPECT_EQ(bodyOf(message), expected.bytes);
    EXPECT_EQ(message.packetType(), 0x12);
    EXPECT_EQ(message.channel(), 3);
    EXPECT_EQ(message.headerType(), RtmpMessage::kHeaderLarge);
    EXPECT_EQ(message.timestamp(), 0u);
    EXPECT_TRUE(message.hasAbsoluteTimestamp());
}

TEST(RtmpMessageBuilder, MetaDataStereoFlagAndMissingConfigurations) {
    auto mono = RtmpMessageBuilder::metaDataFor(*streamWith(800000, 1));
    EXPECT_FALSE(mono.stereo);
    EXPECT_EQ(mono.videoDataRate, 800);

    // A stream without configurations announces zeros rather than failing.
    ZQLiveStreamInfo bare;
    auto zeros = RtmpMessageBuilder::metaDataFor(bare);
    EXPECT_EQ(zeros.width, 0);
    EXPECT_EQ(zeros.audioSampleRate, 0);
    EXPECT_FALSE(zeros.stereo);
    EXPECT_GT(RtmpMessageBuilder::metaData(zeros).bodySize(), 0u);
}

TEST(RtmpMessageBuilder, AvcSequenceHeaderLayout) {
    ZQVideoFrame frame;
    frame.setSps(ZQBytes{0x67, 0x42, 0xC0, 0x1E, 0xAA, 0xBB});
    frame.setPps(ZQBytes{0x68, 0xCE, 0x3C, 0x80});
    frame.setTimestamp(5000);
    auto message = RtmpMessageBuilder::videoHeader(frame);
    ASSERT_TRUE(message);
    Bytes expected{0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x42, 0xC0, 0x1E, 0xFF, 0xE1, 0x00, 0x06,
                   0x67, 0x42, 0xC0, 0x1E, 0xAA, 0xBB, 0x01, 0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80};
    EXPECT_EQ(bodyOf(*message), expected);
    EXPECT_EQ(message->bodySize(), 16u + 6 + 4);
    EXPECT_EQ(message->packetType(), 0x09);
    EXPECT_EQ(message->channel(), 4);
    EXPECT_EQ(message->headerType(), RtmpMessage::kHeaderLarge);
    EXPECT_EQ(message->timestamp(), 0u); // headers go at 0 whatever the frame's time
    EXPECT_FALSE(message->hasAbsoluteTimestamp());
}

TEST(RtmpMessageBuilder, AvcSequenceHeaderRejectsWhatCannotBeBuiltSafely) {
    std::string reason;
    ZQVideoFrame frame;
    frame.setPps(ZQBytes{0x68});
    EXPECT_FALSE(RtmpMessageBuilder::videoHeader(frame, &reason));
    EXPECT_EQ(reason, "no SPS or PPS");

    frame.setSps(ZQBytes{0x67, 0x42, 0xC0}); // profile, compatibility and level need 4 bytes
    EXPECT_FALSE(RtmpMessageBuilder::videoHeader(frame, &reason));
    EXPECT_EQ(reason, "SPS shorter than 4 bytes");

    // Exactly filling the 1024-byte work buffer is fine; one byte more is refused, not overrun.
    frame.setSps(counting(1000, 0x67));
    frame.setPps(counting(8));
    auto full = RtmpMessageBuilder::videoHeader(frame);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->bodySize(), 1024u);
    EXPECT_EQ(full->body()[11], 0x03); // 1000 = 0x03E8, big-endian
    EXPECT_EQ(full->body()[12], 0xE8);
    EXPECT_EQ(full->body()[1023], 7);

    frame.setPps(counting(9));
    EXPECT_FALSE(RtmpMessageBuilder::videoHeader(frame, &reason));
    EXPECT_EQ(reason, "SPS and PPS exceed the header buffer");
}

TEST(RtmpMessageBuilder, VideoBodiesForKeyAndInterFrames) {
    ZQVideoFrame key;
    key.setIsKeyFrame(true);
    key.setData(ZQBytes{0x65, 0x88, 0x84, 0x00, 0x33});
    key.setTimestamp(40);
    RtmpMessage keyMessage = RtmpMessageBuilder::video(key);
    EXPECT_EQ(bodyOf(keyMessage), (Bytes{0x17, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                                         0x65, 0x88, 0x84, 0x00, 0x33}));
    EXPECT_EQ(keyMessage.timestamp(), 40u);
    EXPECT_EQ(keyMessage.headerType(), RtmpMessage::kHeaderLarge);
    EXPECT_EQ(keyMessage.channel(), 4);

    ZQVideoFrame inter;
    inter.setData(counting(300, 0x41));
    inter.setTimestamp(80);
    RtmpMessage interMessage = RtmpMessageBuilder::video(inter);
    ASSERT_EQ(interMessage.bodySize(), 309u);
    EXPECT_EQ(Bytes(interMessage.body(), interMessage.body() + 9),
              (Bytes{0x27, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(Bytes(interMessage.body() + 9, interMessage.body() + 309),
              Bytes(inter.data().begin(), inter.data().end()));
}

TEST(RtmpMessageBuilder, AacHeaderAndFrames) {
    ZQAudioFrame frame;
    frame.setAudioInfo(ZQBytes{0x12, 0x10});
    frame.setData(ZQBytes{0x21, 0x1B, 0x94});
    frame.setTimestamp(23);

    auto header = RtmpMessageBuilder::audioHeader(frame);
    ASSERT_TRUE(header);
    EXPECT_EQ(bodyOf(*header), (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(header->timestamp(), 0u);
    EXPECT_EQ(header->headerType(), RtmpMessage::kHeaderLarge); // the 4-byte header goes large
    EXPECT_EQ(header->packetType(), 0x08);
    EXPECT_EQ(header->channel(), 4);

    RtmpMessage audio = RtmpMessageBuilder::audio(frame);
    EXPECT_EQ(bodyOf(audio), (Bytes{0xAF, 0x01, 0x21, 0x1B, 0x94}));
    EXPECT_EQ(audio.timestamp(), 23u);
    EXPECT_EQ(audio.headerType(), RtmpMessage::kHeaderMedium);

    // A 2-byte access unit makes a 4-byte body: it goes large like the header.
    frame.setData(ZQBytes{0x01, 0x02});
    EXPECT_EQ(RtmpMessageBuilder::audio(frame).headerType(), RtmpMessage::kHeaderLarge);

    ZQAudioFrame noConfig;
    EXPECT_FALSE(RtmpMessageBuilder::audioHeader(noConfig));
}

TEST(RtmpMessageBuilder, TimestampsAbove32BitsKeepTheirLow32Bits) {
    const std::uint64_t big = (std::uint64_t{1} << 32) + 1234; // 2^32 + 1234
    ZQVideoFrame video;
    video.setData(ZQBytes{0x41});
    video.setTimestamp(big);
    EXPECT_EQ(RtmpMessageBuilder::video(video).timestamp(), 1234u);

    ZQAudioFrame audio;
    audio.setData(ZQBytes{0x21, 0x00, 0x00});
    audio.setTimestamp(std::uint64_t{0xFFFFFFFF});
    EXPECT_EQ(RtmpMessageBuilder::audio(audio).timestamp(), 0xFFFFFFFFu);
    audio.setTimestamp(std::uint64_t{0xFFFFFFFF} + 1);
    EXPECT_EQ(RtmpMessageBuilder::audio(audio).timestamp(), 0u);
}

TEST(RtmpMessageBuilder, SetChunkSizeIsAControlMessageOfStreamZero) {
    RtmpMessage message = RtmpMessageBuilder::setChunkSize(4096);
    EXPECT_EQ(bodyOf(message), (Bytes{0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(message.packetType(), 0x01);
    EXPECT_EQ(message.channel(), 2);
    EXPECT_EQ(message.streamId(), 0);
    EXPECT_EQ(message.headerType(), RtmpMessage::kHeaderLarge);
    EXPECT_EQ(message.timestamp(), 0u);
    // The size has 31 bits: the top bit stays clear whatever is asked.
    EXPECT_EQ(bodyOf(RtmpMessageBuilder::setChunkSize(0x80001000u)), (Bytes{0x00, 0x00, 0x10, 0x00}));
}

RTMPPacket packet(std::uint8_t type, std::uint8_t header, std::uint32_t size, std::uint32_t timestamp) {
    RTMPPacket p;
    RTMPPacket_Reset(&p);
    p.m_packetType = type;
    p.m_headerType = header;
    p.m_nBodySize = size;
    p.m_nTimeStamp = timestamp;
    return p;
}

TEST(LibRtmpHeaderFormat, RepeatedAudioMessageWithOneTimestampGoesLarge) {
    auto previous = packet(RTMP_PACKET_TYPE_AUDIO, RTMP_PACKET_SIZE_MEDIUM, 300, 46);
    // Same size, type and timestamp: librtmp would send format 3, read as "repeat the last delta".
    auto same = packet(RTMP_PACKET_TYPE_AUDIO, RTMP_PACKET_SIZE_MEDIUM, 300, 46);
    EXPECT_EQ(LibRtmpConnection::headerTypeFor(&previous, same), RTMP_PACKET_SIZE_LARGE);

    // Anything different keeps the medium header (librtmp may still shorten it to format 2, which
    // carries its delta and is read right).
    EXPECT_EQ(LibRtmpConnection::headerTypeFor(&previous, packet(8, 1, 300, 69)), RTMP_PACKET_SIZE_MEDIUM);
    EXPECT_EQ(LibRtmpConnection::headerTypeFor(&previous, packet(8, 1, 301, 46)), RTMP_PACKET_SIZE_MEDIUM);
    EXPECT_EQ(LibRtmpConnection::headerTypeFor(&previous, packet(9, 1, 300, 46)), RTMP_PACKET_SIZE_MEDIUM);
    EXPECT_EQ(LibRtmpConnection::headerTypeFor(nullptr, same), RTMP_PACKET_SIZE_MEDIUM);
    EXPECT_EQ(LibRtmpConnection::headerTypeFor(&previous, packet(9, 0, 300, 46)), RTMP_PACKET_SIZE_LARGE);
}

} // namespace
