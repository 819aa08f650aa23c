#include "platform/media/H264NalUnits.h"

namespace platform::h264 {

namespace {

// Offset of the next 00 00 01 at or after `from`, or size when there is none.
std::size_t findStartCode(std::span<const std::uint8_t> s, std::size_t from) {
    for (std::size_t i = from; i + 3 <= s.size(); ++i) {
        if (s[i + 2] > 1) {
            i += 2; // neither s[i+1] nor s[i+2] can begin a start code that ends within reach
            continue;
        }
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
    }
    return s.size();
}

} // namespace

std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> stream) {
    std::vector<std::span<const std::uint8_t>> units;
    std::size_t start = findStartCode(stream, 0);
    while (start < stream.size()) {
        std::size_t begin = start + 3;
        std::size_t next = findStartCode(stream, begin);
        std::size_t end = next;
        // Zero bytes before the next start code belong to it (the 4-byte form) or are padding.
        while (end > begin && stream[end - 1] == 0) --end;
        if (end > begin) units.push_back(stream.subspan(begin, end - begin));
        start = next;
    }
    return units;
}

ParameterSets parameterSetsFromExtradata(std::span<const std::uint8_t> extradata) {
    ParameterSets sets;
    auto keep = [&](std::span<const std::uint8_t> nal) {
        if (nalType(nal) == kNalSps) sets.sps.emplace_back(nal.begin(), nal.end());
        if (nalType(nal) == kNalPps) sets.pps.emplace_back(nal.begin(), nal.end());
    };
    if (extradata.empty()) return sets;
    if (extradata[0] != 1) {
        for (auto nal : splitAnnexB(extradata)) keep(nal);
        return sets;
    }
    // avcC: version, profile, compatibility, level, length size, then the SPS and PPS lists.
    std::size_t pos = 5;
    auto readList = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (pos + 2 > extradata.size()) return false;
            std::size_t len = (std::size_t(extradata[pos]) << 8) | extradata[pos + 1];
            pos += 2;
            if (len > extradata.size() - pos) return false;
            keep(extradata.subspan(pos, len));
            pos += len;
        }
        return true;
    };
    if (pos >= extradata.size()) return sets;
    std::size_t spsCount = extradata[pos++] & 0x1F;
    if (!readList(spsCount) || pos >= extradata.size()) return sets;
    std::size_t ppsCount = extradata[pos++];
    readList(ppsCount);
    return sets;
}

std::vector<std::uint8_t> avcConfigurationRecord(std::span<const std::uint8_t> sps, std::span<const std::uint8_t> pps) {
    if (sps.size() < 4 || sps.size() > 0xFFFF || pps.empty() || pps.size() > 0xFFFF) return {};
    std::vector<std::uint8_t> record{1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    record.reserve(11 + sps.size() + pps.size());
    record.push_back(static_cast<std::uint8_t>(sps.size() >> 8));
    record.push_back(static_cast<std::uint8_t>(sps.size()));
    record.insert(record.end(), sps.begin(), sps.end());
    record.push_back(1);
    record.push_back(static_cast<std::uint8_t>(pps.size() >> 8));
    record.push_back(static_cast<std::uint8_t>(pps.size()));
    record.insert(record.end(), pps.begin(), pps.end());
    return record;
}

void appendLengthPrefixed(std::vector<std::uint8_t>& block, std::span<const std::uint8_t> nal) {
    auto n = static_cast<std::uint32_t>(nal.size());
    block.push_back(static_cast<std::uint8_t>(n >> 24));
    block.push_back(static_cast<std::uint8_t>(n >> 16));
    block.push_back(static_cast<std::uint8_t>(n >> 8));
    block.push_back(static_cast<std::uint8_t>(n));
    block.insert(block.end(), nal.begin(), nal.end());
}

} // namespace platform::h264
