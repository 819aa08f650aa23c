#pragma once
#include <cstdint>
#include <vector>

namespace zqtest {

// Writes H.264 syntax elements for hand-made NAL units: bits, exp-Golomb values, the stop bit, and
// emulation prevention when the unit is taken.
class H264BitWriter {
public:
    explicit H264BitWriter(std::uint8_t header) : mHeader(header) {}

    H264BitWriter& bits(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
        return *this;
    }
    H264BitWriter& ue(std::uint32_t value) {
        const std::uint64_t v = std::uint64_t{value} + 1;
        int length = 0;
        while ((v >> length) > 1) ++length;
        bits(0, length);
        for (int i = length; i >= 0; --i) bit(static_cast<std::uint32_t>((v >> i) & 1));
        return *this;
    }
    H264BitWriter& se(std::int32_t value) {
        return ue(value > 0 ? static_cast<std::uint32_t>(2 * value - 1) : static_cast<std::uint32_t>(-2 * std::int64_t{value}));
    }
    // The stop bit and padding, then the unit: header byte, payload with 00 00 0x escaped.
    std::vector<std::uint8_t> take() {
        bit(1);
        while (mCount % 8) bit(0);
        std::vector<std::uint8_t> nal{mHeader};
        int zeros = 0;
        for (std::uint8_t byte : mBytes) {
            if (zeros >= 2 && byte <= 3) {
                nal.push_back(3);
                zeros = 0;
            }
            nal.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return nal;
    }

private:
    void bit(std::uint32_t b) {
        if (mCount % 8 == 0) mBytes.push_back(0);
        if (b) mBytes.back() |= static_cast<std::uint8_t>(0x80 >> (mCount % 8));
        ++mCount;
    }
    std::uint8_t mHeader;
    std::vector<std::uint8_t> mBytes;
    int mCount = 0;
};

// A slice NAL unit (type 1 or 5 with nal_ref_idc bits `idc`) starting at macroblock `firstMb`.
inline std::vector<std::uint8_t> sliceNal(int type, int idc, std::uint32_t firstMb, std::uint8_t filler = 0xAB) {
    auto nal = H264BitWriter(static_cast<std::uint8_t>(idc | type)).ue(firstMb).ue(type == 5 ? 7 : 5).ue(0).bits(filler, 8).take();
    return nal;
}

// A Baseline SPS for width × height (multiples of 16, no cropping).
inline std::vector<std::uint8_t> baselineSps(int width, int height, int level = 30) {
    return H264BitWriter(0x67)
        .bits(66, 8).bits(0xC0, 8).bits(static_cast<std::uint32_t>(level), 8)
        .ue(0)      // seq_parameter_set_id
        .ue(0)      // log2_max_frame_num_minus4
        .ue(2)      // pic_order_cnt_type
        .ue(1)      // max_num_ref_frames
        .bits(0, 1) // gaps
        .ue(static_cast<std::uint32_t>(width / 16 - 1))
        .ue(static_cast<std::uint32_t>(height / 16 - 1))
        .bits(1, 1) // frame_mbs_only
        .bits(1, 1) // direct_8x8
        .bits(0, 1) // no cropping
        .bits(0, 1) // no VUI
        .take();
}

} // namespace zqtest
