#pragma once
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQVideoFrame.h"

namespace zqtest {

// Real encoded media for publishing tests, made with FFmpeg's libavcodec: H.264 from libx264 (no
// B-frames, one slice per picture, one NAL unit per ZQVideoFrame with the SPS and PPS attached) and
// AAC-LC from the native encoder (raw access units, AudioSpecificConfig attached), over a moving
// test picture and a sine tone. Timestamps are milliseconds from 0.
struct TestMediaOptions {
    int width = 320;
    int height = 240;
    int frameRate = 25;
    int keyFrameInterval = 25; // frames
    double seconds = 2;
    int sampleRate = 44100;
    int channels = 2;
};

struct TestMedia {
    std::vector<std::shared_ptr<ZQVideoFrame>> video;
    std::vector<std::shared_ptr<ZQAudioFrame>> audio;
    // Both kinds merged in timestamp order (video first on a tie).
    std::vector<std::shared_ptr<ZQFrame>> interleaved() const;
};

// Throws std::runtime_error when an encoder cannot be opened.
TestMedia makeTestMedia(const TestMediaOptions& options = {});

// ffprobe's -show_streams -show_format of a file as JSON (null when ffprobe fails).
nlohmann::json probeMedia(const std::string& path);
// Timestamps (ms) of one kind of packet, "v" or "a", as ffprobe reads them from the file.
std::vector<std::int64_t> packetTimestamps(const std::string& path, const std::string& kind);
// One packet of one kind as ffprobe reads it from the file: its time (ms), size and the CRC32 of its
// data, written as ffprobe writes it ("CRC32:0123abcd").
struct PacketDigest {
    std::int64_t timestamp = 0;
    std::size_t size = 0;
    std::string hash;
    bool operator==(const PacketDigest&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const PacketDigest& p) {
    return out << p.timestamp << "ms/" << p.size << "/" << p.hash;
}
std::vector<PacketDigest> packetDigests(const std::string& path, const std::string& kind);
// The same CRC32 text for bytes of our own.
std::string crc32Hash(const std::uint8_t* data, std::size_t size);
// Decodes the whole file with ffmpeg and returns what it reported at error level ("" = clean).
std::string decodeErrors(const std::string& path);

} // namespace zqtest
