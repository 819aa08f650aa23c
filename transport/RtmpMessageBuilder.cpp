#include "transport/RtmpMessageBuilder.h"

#include <array>
#include <cstring>
#include <librtmp/amf.h>
#include "ZQLiveKit/ZQLiveStreamInfo.h"

namespace {

constexpr std::uint8_t kAacSoundFormat = 0xAF; // AAC, 44 kHz, 16-bit, stereo: fixed for AAC in FLV
constexpr std::uint8_t kAvcKeyFrame = 0x17;
constexpr std::uint8_t kAvcInterFrame = 0x27;
// The metadata body is small and fixed in shape; this bounds it.
constexpr std::size_t kMetaDataBufferSize = 2048;

AVal aval(const char* text) { return AVal{const_cast<char*>(text), static_cast<int>(std::strlen(text))}; }

void putBigEndian32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

// Low 32 bits: RTMP timestamps wrap, and the frame's are 64-bit milliseconds.
std::uint32_t wireTimestamp(std::uint64_t timestamp) { return static_cast<std::uint32_t>(timestamp & 0xFFFFFFFFu); }

RtmpMessage mediaMessage(std::uint8_t packetType, std::size_t bodySize, std::uint32_t timestamp) {
    RtmpMessage message(packetType, bodySize);
    message.setChannel(RtmpMessage::kChannelMedia);
    message.setHeaderType(RtmpMessageBuilder::mediaHeaderType(packetType, bodySize));
    message.setTimestamp(timestamp);
    message.setHasAbsoluteTimestamp(false);
    return message;
}

} // namespace

RtmpMessageBuilder::MetaData RtmpMessageBuilder::metaDataFor(const ZQLiveStreamInfo& stream) {
    MetaData data;
    if (const auto& video = stream.videoConfiguration()) {
        auto size = video->videoSize();
        data.width = size.width;
        data.height = size.height;
        // Kilobits per second, divided in single precision as the announced value always was.
        data.videoDataRate = static_cast<double>(static_cast<float>(video->videoBitRate()) / 1000.0f);
        data.frameRate = static_cast<double>(video->videoFrameRate());
    }
    if (const auto& audio = stream.audioConfiguration()) {
        data.audioDataRate = static_cast<double>(audio->audioBitrate());
        data.audioSampleRate = static_cast<double>(audio->audioSampleRate());
        data.stereo = audio->numberOfChannels() == 2;
    }
    return data;
}

RtmpMessage RtmpMessageBuilder::metaData(const MetaData& meta) {
    std::array<char, kMetaDataBufferSize> buffer{};
    char* out = buffer.data();
    char* end = buffer.data() + buffer.size();
    AVal setDataFrame = aval("@setDataFrame");
    AVal onMetaData = aval("onMetaData");
    out = AMF_EncodeString(out, end, &setDataFrame);
    out = AMF_EncodeString(out, end, &onMetaData);
    *out++ = AMF_OBJECT;

    auto number = [&](const char* name, double value) {
        AVal key = aval(name);
        out = AMF_EncodeNamedNumber(out, end, &key, value);
    };
    auto string = [&](const char* name, const char* value) {
        AVal key = aval(name);
        AVal text = aval(value);
        out = AMF_EncodeNamedString(out, end, &key, &text);
    };
    number("duration", 0);
    number("fileSize", 0);
    number("width", meta.width);
    number("height", meta.height);
    string("videocodecid", "avc1");
    number("videodatarate", meta.videoDataRate);
    number("framerate", meta.frameRate);
    string("audiocodecid", "mp4a");
    number("audiodatarate", meta.audioDataRate);
    number("audiosamplerate", meta.audioSampleRate);
    number("audiosamplesize", 16);
    AVal stereo = aval("stereo");
    out = AMF_EncodeNamedBoolean(out, end, &stereo, meta.stereo ? 1 : 0);
    string("encoder", "ZVCastKit 2.4.0");
    *out++ = 0;
    *out++ = 0;
    *out++ = AMF_OBJECT_END;

    auto size = static_cast<std::size_t>(out - buffer.data());
    RtmpMessage message(RtmpMessage::kTypeDataAmf0, size);
    std::memcpy(message.body(), buffer.data(), size);
    message.setChannel(RtmpMessage::kChannelMetaData);
    message.setHeaderType(RtmpMessage::kHeaderLarge);
    message.setTimestamp(0);
    message.setHasAbsoluteTimestamp(true);
    return message;
}

std::optional<RtmpMessage> RtmpMessageBuilder::videoHeader(const ZQVideoFrame& frame, std::string* reason) {
    const ZQBytes& sps = frame.sps();
    const ZQBytes& pps = frame.pps();
    auto fail = [&](const char* why) -> std::optional<RtmpMessage> {
        if (reason) *reason = why;
        return std::nullopt;
    };
    if (sps.empty() || pps.empty()) return fail("no SPS or PPS");
    if (sps.size() < 4) return fail("SPS shorter than 4 bytes");
    if (sps.size() + pps.size() > kMaxParameterSetBytes) return fail("SPS and PPS exceed the header buffer");

    const std::size_t n = sps.size();
    const std::size_t m = pps.size();
    RtmpMessage message = mediaMessage(RtmpMessage::kTypeVideo, 16 + n + m, 0);
    std::uint8_t* body = message.body();
    body[0] = kAvcKeyFrame;
    body[1] = 0x00; // AVC sequence header
    // bytes 2-4: composition time 0
    body[5] = 0x01; // configuration version
    body[6] = sps[1]; // profile
    body[7] = sps[2]; // profile compatibility
    body[8] = sps[3]; // level
    body[9] = 0xFF;   // 4-byte NAL unit lengths
    body[10] = 0xE1;  // one SPS
    body[11] = static_cast<std::uint8_t>(n >> 8);
    body[12] = static_cast<std::uint8_t>(n);
    std::memcpy(body + 13, sps.data(), n);
    body[13 + n] = 0x01; // one PPS
    body[14 + n] = static_cast<std::uint8_t>(m >> 8);
    body[15 + n] = static_cast<std::uint8_t>(m);
    std::memcpy(body + 16 + n, pps.data(), m);
    return message;
}

RtmpMessage RtmpMessageBuilder::video(const ZQVideoFrame& frame) {
    const ZQBytes& nal = frame.data();
    RtmpMessage message = mediaMessage(RtmpMessage::kTypeVideo, nal.size() + 9, wireTimestamp(frame.timestamp()));
    std::uint8_t* body = message.body();
    body[0] = frame.isKeyFrame() ? kAvcKeyFrame : kAvcInterFrame;
    body[1] = 0x01; // AVC NAL unit
    // bytes 2-4: composition time 0 (no B-frames)
    putBigEndian32(body + 5, static_cast<std::uint32_t>(nal.size()));
    if (!nal.empty()) std::memcpy(body + 9, nal.data(), nal.size());
    return message;
}

std::optional<RtmpMessage> RtmpMessageBuilder::audioHeader(const ZQAudioFrame& frame) {
    const ZQBytes& asc = frame.audioInfo();
    if (asc.empty()) return std::nullopt;
    RtmpMessage message = mediaMessage(RtmpMessage::kTypeAudio, asc.size() + 2, 0);
    std::uint8_t* body = message.body();
    body[0] = kAacSoundFormat;
    body[1] = 0x00; // AAC sequence header
    std::memcpy(body + 2, asc.data(), asc.size());
    return message;
}

RtmpMessage RtmpMessageBuilder::audio(const ZQAudioFrame& frame) {
    const ZQBytes& data = frame.data();
    RtmpMessage message = mediaMessage(RtmpMessage::kTypeAudio, data.size() + 2, wireTimestamp(frame.timestamp()));
    std::uint8_t* body = message.body();
    body[0] = kAacSoundFormat;
    body[1] = 0x01; // raw AAC
    if (!data.empty()) std::memcpy(body + 2, data.data(), data.size());
    return message;
}

RtmpMessage RtmpMessageBuilder::setChunkSize(std::uint32_t size) {
    RtmpMessage message(RtmpMessage::kTypeSetChunkSize, 4);
    putBigEndian32(message.body(), size & 0x7FFFFFFFu); // the top bit must be 0
    message.setChannel(RtmpMessage::kChannelControl);
    message.setHeaderType(RtmpMessage::kHeaderLarge);
    message.setTimestamp(0);
    message.setHasAbsoluteTimestamp(true);
    message.setStreamId(0);
    return message;
}

std::uint8_t RtmpMessageBuilder::mediaHeaderType(std::uint8_t packetType, std::size_t bodySize) {
    return packetType == RtmpMessage::kTypeAudio && bodySize != 4 ? RtmpMessage::kHeaderMedium
                                                                   : RtmpMessage::kHeaderLarge;
}
