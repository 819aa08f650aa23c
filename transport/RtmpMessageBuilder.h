#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQVideoFrame.h"
#include "transport/RtmpMessage.h"

class ZQLiveStreamInfo;

// Builds the publisher's RTMP messages: the onMetaData data message and the FLV tag bodies of the
// AVC and AAC sequence headers and of each frame, with their chunk streams, header formats and
// timestamps. Pure functions of their inputs; any thread.
class RtmpMessageBuilder {
public:
    // The stream facts the metadata message announces.
    struct MetaData {
        double width = 0;
        double height = 0;
        double videoDataRate = 0;   // kbit/s
        double frameRate = 0;
        double audioDataRate = 0;   // bit/s, as configured
        double audioSampleRate = 0; // Hz
        bool stereo = false;
    };

    // The work buffer a sequence header is built in; SPS and PPS must fit in it with 16 bytes of
    // framing.
    static constexpr std::size_t kHeaderBufferSize = 1024;
    static constexpr std::size_t kMaxParameterSetBytes = kHeaderBufferSize - 16;

    // Reads the announced values from the stream's configurations (zeros for a missing one).
    static MetaData metaDataFor(const ZQLiveStreamInfo& stream);

    // "@setDataFrame" "onMetaData" {…}: data message on chunk stream 3, large header, timestamp 0.
    static RtmpMessage metaData(const MetaData& metaData);

    // The AVC sequence header (AVCDecoderConfigurationRecord) from the frame's SPS and PPS, or
    // nothing when they cannot make one: a missing SPS or PPS, an SPS shorter than the 4 bytes it
    // is read from, or parameter sets that do not fit the work buffer. `reason` says which.
    static std::optional<RtmpMessage> videoHeader(const ZQVideoFrame& frame, std::string* reason = nullptr);
    // One NAL unit as an AVC video tag body, with its 4-byte length in front.
    static RtmpMessage video(const ZQVideoFrame& frame);
    // The AAC sequence header: AF 00 and the AudioSpecificConfig; nothing without one.
    static std::optional<RtmpMessage> audioHeader(const ZQAudioFrame& frame);
    // One raw AAC access unit: AF 01 and the data.
    static RtmpMessage audio(const ZQAudioFrame& frame);

    // Set Chunk Size (protocol control): the chunk size of every later message from this side, in
    // 31 bits big-endian, on chunk stream 2 and message stream 0.
    static RtmpMessage setChunkSize(std::uint32_t size);

    // Chunk-header format of a media message: large, except audio messages other than the 4-byte
    // sequence header, which go with medium headers.
    static std::uint8_t mediaHeaderType(std::uint8_t packetType, std::size_t bodySize);
};
