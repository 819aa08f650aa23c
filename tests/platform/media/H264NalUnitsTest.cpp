// Annex B splitting, extradata parsing and length prefixes: the bytes the publisher ends up sending.
#include <gtest/gtest.h>
#include "platform/media/H264NalUnits.h"

using namespace platform;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::vector<Bytes> split(const Bytes& stream) {
    std::vector<Bytes> out;
    for (auto nal : h264::splitAnnexB(stream)) out.emplace_back(nal.begin(), nal.end());
    return out;
}

TEST(H264NalUnitsTest, SplitsThreeAndFourByteStartCodes) {
    Bytes stream = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4, 5, 6};
    EXPECT_EQ(split(stream), (std::vector<Bytes>{{0x67, 1, 2}, {0x68, 3}, {0x65, 4, 5, 6}}));
}

TEST(H264NalUnitsTest, DropsLeadingGarbageTrailingZerosAndEmptyUnits) {
    Bytes stream = {9, 9, 0, 0, 1, 0x06, 7, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0x41, 8, 0, 0};
    EXPECT_EQ(split(stream), (std::vector<Bytes>{{0x06, 7}, {0x41, 8}}));
}

TEST(H264NalUnitsTest, StreamsWithoutStartCodesOrTooShortGiveNothing) {
    EXPECT_TRUE(split({}).empty());
    EXPECT_TRUE(split({0, 0}).empty());
    EXPECT_TRUE(split({0x65, 1, 2, 3}).empty());
    EXPECT_TRUE(split({0, 0, 1}).empty());
    // 00 00 02 inside a unit is not a start code.
    EXPECT_EQ(split({0, 0, 1, 0x41, 0, 0, 2, 5}), (std::vector<Bytes>{{0x41, 0, 0, 2, 5}}));
}

TEST(H264NalUnitsTest, ReadsParameterSetsFromAnnexBExtradata) {
    Bytes extradata = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    auto sets = h264::parameterSetsFromExtradata(extradata);
    ASSERT_EQ(sets.sps.size(), 1u);
    ASSERT_EQ(sets.pps.size(), 1u);
    EXPECT_EQ(sets.sps[0], (Bytes{0x67, 0x42, 0xC0, 0x1E}));
    EXPECT_EQ(sets.pps[0], (Bytes{0x68, 0xCE, 0x3C, 0x80}));
}

TEST(H264NalUnitsTest, ReadsParameterSetsFromAnAvcCRecordAndStopsAtATruncation) {
    Bytes avcc = {1, 0x4D, 0x40, 0x1F, 0xFF, 0xE1, 0, 4, 0x67, 0x4D, 0x40, 0x1F, 1, 0, 3, 0x68, 0xEE, 0x3C};
    auto sets = h264::parameterSetsFromExtradata(avcc);
    ASSERT_EQ(sets.sps.size(), 1u);
    ASSERT_EQ(sets.pps.size(), 1u);
    EXPECT_EQ(sets.pps[0], (Bytes{0x68, 0xEE, 0x3C}));

    Bytes truncated(avcc.begin(), avcc.end() - 1); // the PPS claims one byte more than is there
    sets = h264::parameterSetsFromExtradata(truncated);
    EXPECT_EQ(sets.sps.size(), 1u);
    EXPECT_TRUE(sets.pps.empty());

    Bytes lying = {1, 0x4D, 0x40, 0x1F, 0xFF, 0xE1, 0xFF, 0xFF, 0x67};
    EXPECT_TRUE(h264::parameterSetsFromExtradata(lying).sps.empty());
    EXPECT_TRUE(h264::parameterSetsFromExtradata(Bytes{1, 2}).sps.empty());
}

TEST(H264NalUnitsTest, LengthPrefixIsFourBytesBigEndian) {
    Bytes block;
    Bytes nal(0x0102 + 3, 0xAB);
    h264::appendLengthPrefixed(block, nal);
    ASSERT_EQ(block.size(), nal.size() + 4);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[1], 0);
    EXPECT_EQ(block[2], 0x01);
    EXPECT_EQ(block[3], 0x05);
    EXPECT_EQ(h264::nalType(std::span<const std::uint8_t>(Bytes{0x65})), h264::kNalIdrSlice);
}

} // namespace
