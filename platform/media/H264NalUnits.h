#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace platform {

// H.264 NAL-unit plumbing between libavcodec's Annex B output and the length-prefixed form the kit
// hands on. Pure functions; nothing here reads outside the span it is given.
namespace h264 {

enum NalType : std::uint8_t {
    kNalSlice = 1,
    kNalIdrSlice = 5,
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAccessUnitDelimiter = 9,
};

inline std::uint8_t nalType(std::span<const std::uint8_t> nal) { return nal.empty() ? 0 : nal[0] & 0x1F; }

// The NAL units of an Annex B stream, without their start codes (00 00 01 or 00 00 00 01) and
// without the zero bytes that pad the end of a unit. Bytes before the first start code are skipped.
std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> stream);

// The SPS and PPS units of codec extradata, in either the Annex B form or the avcC record form
// (first byte 1). A truncated record yields what could be read whole.
struct ParameterSets {
    std::vector<std::vector<std::uint8_t>> sps;
    std::vector<std::vector<std::uint8_t>> pps;
};
ParameterSets parameterSetsFromExtradata(std::span<const std::uint8_t> extradata);

// The AVCDecoderConfigurationRecord (avcC) of one SPS and one PPS, with 4-byte NAL lengths. Empty
// when the SPS is shorter than the 4 bytes the record copies from it or a set exceeds 65535 bytes.
std::vector<std::uint8_t> avcConfigurationRecord(std::span<const std::uint8_t> sps, std::span<const std::uint8_t> pps);

// Appends one NAL unit with a 4-byte big-endian length in front.
void appendLengthPrefixed(std::vector<std::uint8_t>& block, std::span<const std::uint8_t> nal);

} // namespace h264
} // namespace platform
