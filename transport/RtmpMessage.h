#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// One RTMP message ready to send: the chunk-header fields and the body. The body lives in its own
// buffer behind kHeadroom spare bytes, because librtmp writes the chunk header directly in front of
// the body (and chunk separators into it), so the message is sent without another copy. Move-only.
class RtmpMessage {
public:
    // Space librtmp needs in front of a body for the largest chunk header (RTMP_MAX_HEADER_SIZE).
    static constexpr std::size_t kHeadroom = 18;

    // Message types and chunk-header formats, as on the wire.
    static constexpr std::uint8_t kTypeSetChunkSize = 0x01;
    static constexpr std::uint8_t kTypeAudio = 0x08;
    static constexpr std::uint8_t kTypeVideo = 0x09;
    static constexpr std::uint8_t kTypeDataAmf0 = 0x12;
    static constexpr std::uint8_t kHeaderLarge = 0;
    static constexpr std::uint8_t kHeaderMedium = 1;
    // Chunk streams: protocol control on 2, metadata on 3, every media message on 4.
    static constexpr int kChannelControl = 2;
    static constexpr int kChannelMetaData = 3;
    static constexpr int kChannelMedia = 4;

    RtmpMessage() = default;
    // A zero-filled body of `bodySize` bytes.
    RtmpMessage(std::uint8_t packetType, std::size_t bodySize)
        : mPacketType(packetType), mStorage(new std::uint8_t[kHeadroom + bodySize]()), mBodySize(bodySize) {}

    std::uint8_t packetType() const { return mPacketType; }
    int channel() const { return mChannel; }
    void setChannel(int channel) { mChannel = channel; }
    std::uint8_t headerType() const { return mHeaderType; }
    void setHeaderType(std::uint8_t headerType) { mHeaderType = headerType; }
    std::uint32_t timestamp() const { return mTimestamp; }
    void setTimestamp(std::uint32_t timestamp) { mTimestamp = timestamp; }
    bool hasAbsoluteTimestamp() const { return mAbsoluteTimestamp; }
    void setHasAbsoluteTimestamp(bool absolute) { mAbsoluteTimestamp = absolute; }
    // The connection's message stream id; filled in when the message is sent.
    std::int32_t streamId() const { return mStreamId; }
    void setStreamId(std::int32_t streamId) { mStreamId = streamId; }

    std::uint8_t* body() { return mStorage ? mStorage.get() + kHeadroom : nullptr; }
    const std::uint8_t* body() const { return mStorage ? mStorage.get() + kHeadroom : nullptr; }
    std::size_t bodySize() const { return mBodySize; }
    // Shortens the body to the bytes actually written (never grows it).
    void truncate(std::size_t bodySize) {
        if (bodySize < mBodySize) mBodySize = bodySize;
    }

private:
    std::uint8_t mPacketType = 0;
    int mChannel = kChannelMedia;
    std::uint8_t mHeaderType = kHeaderLarge;
    std::uint32_t mTimestamp = 0;
    bool mAbsoluteTimestamp = false;
    std::int32_t mStreamId = 0;
    std::unique_ptr<std::uint8_t[]> mStorage;
    std::size_t mBodySize = 0;
};
