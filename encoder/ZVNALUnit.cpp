#include "encoder/ZVNALUnit.h"

#include "platform/media/H264NalUnits.h"

// MARK: - ZVNALUnit

ZVNALUnit::ZVNALUnit(std::span<const std::uint8_t> bytes) : mBytes(bytes) {}

void ZVNALUnit::resetBitstream() {
    mPos = 1;
    mZeros = 0;
    mCurrent = 0;
    mBitsLeft = 0;
    mOverrun = false;
}

std::optional<std::uint8_t> ZVNALUnit::nextByte() {
    while (mPos < mBytes.size()) {
        std::uint8_t byte = mBytes[mPos++];
        // 00 00 03: the 03 only keeps the payload from looking like a start code.
        if (mZeros >= 2 && byte == 3) {
            mZeros = 0;
            continue;
        }
        mZeros = byte == 0 ? mZeros + 1 : 0;
        return byte;
    }
    return std::nullopt;
}

std::uint32_t ZVNALUnit::getBit() {
    if (mBitsLeft == 0) {
        auto byte = nextByte();
        if (!byte) {
            mOverrun = true;
            return 0;
        }
        mCurrent = *byte;
        mBitsLeft = 8;
    }
    --mBitsLeft;
    return (mCurrent >> mBitsLeft) & 1u;
}

std::uint32_t ZVNALUnit::getWord(int bits) {
    std::uint32_t value = 0;
    for (int i = 0; i < bits && i < 32; ++i) value = (value << 1) | getBit();
    return value;
}

std::uint32_t ZVNALUnit::getUE() {
    int zeros = 0;
    while (getBit() == 0) {
        if (mOverrun || ++zeros > 31) {
            mOverrun = true;
            return 0;
        }
    }
    if (zeros == 0) return 0;
    return ((std::uint32_t{1} << zeros) - 1) + getWord(zeros);
}

std::int32_t ZVNALUnit::getSE() {
    std::uint32_t k = getUE();
    // 1, 2, 3, 4 … → 1, −1, 2, −2 …
    std::int64_t magnitude = (static_cast<std::int64_t>(k) + 1) / 2;
    return static_cast<std::int32_t>((k & 1) ? magnitude : -magnitude);
}

bool ZVNALUnit::noMoreBits() {
    ZVNALUnit ahead = *this;
    if (ahead.getBit() == 0) return ahead.mOverrun; // nothing left at all, or a zero before any stop bit
    while (true) {
        std::uint32_t bit = ahead.getBit();
        if (ahead.mOverrun) return true;
        if (bit) return false;
    }
}

// MARK: - ZVavcCHeader

ZVavcCHeader::ZVavcCHeader(std::span<const std::uint8_t> record) {
    if (record.size() < 7 || record[0] != 1) return;
    mProfile = record[1];
    mCompatibility = record[2];
    mLevel = record[3];
    mLengthSize = (record[4] & 3) + 1;
    auto sets = platform::h264::parameterSetsFromExtradata(record);
    mSps = std::move(sets.sps);
    mPps = std::move(sets.pps);
    mValid = !mSps.empty() && !mPps.empty();
}

// MARK: - ZVSeqParamSet

namespace {

// Profiles whose SPS carries the chroma format, bit depths and scaling matrices.
bool hasChromaInfo(int profile) {
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
        return true;
    default:
        return false;
    }
}

void skipScalingList(ZVNALUnit& nal, int size) {
    std::int64_t lastScale = 8, nextScale = 8;
    for (int j = 0; j < size && !nal.overrun(); ++j) {
        if (nextScale != 0) nextScale = ((lastScale + nal.getSE()) % 256 + 256) % 256;
        lastScale = nextScale == 0 ? lastScale : nextScale;
    }
}

} // namespace

ZVSeqParamSet::ZVSeqParamSet(ZVNALUnit nal) {
    if (nal.type() != platform::h264::kNalSps) return;
    nal.resetBitstream();
    mProfile = static_cast<int>(nal.getWord(8));
    mCompatibility = static_cast<int>(nal.getWord(8));
    mLevel = static_cast<int>(nal.getWord(8));
    mId = nal.getUE();
    bool separateColourPlanes = false;
    if (hasChromaInfo(mProfile)) {
        mChromaFormat = nal.getUE();
        if (mChromaFormat > 3) return;
        if (mChromaFormat == 3) separateColourPlanes = nal.getBit();
        nal.getUE(); // bit_depth_luma_minus8
        nal.getUE(); // bit_depth_chroma_minus8
        nal.getBit(); // qpprime_y_zero_transform_bypass_flag
        if (nal.getBit()) { // seq_scaling_matrix_present_flag
            const int lists = mChromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists && !nal.overrun(); ++i)
                if (nal.getBit()) skipScalingList(nal, i < 6 ? 16 : 64);
        }
    }
    mLog2MaxFrameNum = nal.getUE() + 4;
    mPocType = nal.getUE();
    if (mPocType == 0) {
        nal.getUE(); // log2_max_pic_order_cnt_lsb_minus4
    } else if (mPocType == 1) {
        nal.getBit(); // delta_pic_order_always_zero_flag
        nal.getSE();  // offset_for_non_ref_pic
        nal.getSE();  // offset_for_top_to_bottom_field
        std::uint32_t cycle = nal.getUE();
        if (cycle > 255) return;
        for (std::uint32_t i = 0; i < cycle && !nal.overrun(); ++i) nal.getSE();
    } else if (mPocType != 2) {
        return;
    }
    nal.getUE(); // max_num_ref_frames
    nal.getBit(); // gaps_in_frame_num_value_allowed_flag
    const std::uint64_t widthMbs = std::uint64_t{nal.getUE()} + 1;
    const std::uint64_t heightMapUnits = std::uint64_t{nal.getUE()} + 1;
    mFrameMbsOnly = nal.getBit();
    if (!mFrameMbsOnly) nal.getBit(); // mb_adaptive_frame_field_flag
    nal.getBit(); // direct_8x8_inference_flag
    std::uint64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (nal.getBit()) {
        cropLeft = nal.getUE();
        cropRight = nal.getUE();
        cropTop = nal.getUE();
        cropBottom = nal.getUE();
    }
    if (nal.overrun()) return;

    const bool monochrome = mChromaFormat == 0 || separateColourPlanes;
    const std::uint64_t cropUnitX = monochrome ? 1 : (mChromaFormat == 3 ? 1 : 2);
    const std::uint64_t cropUnitY = (monochrome ? 1 : (mChromaFormat == 1 ? 2 : 1)) * (mFrameMbsOnly ? 1 : 2);
    const std::uint64_t fullWidth = widthMbs * 16;
    const std::uint64_t fullHeight = heightMapUnits * 16 * (mFrameMbsOnly ? 1 : 2);
    const std::uint64_t cropX = cropUnitX * (cropLeft + cropRight);
    const std::uint64_t cropY = cropUnitY * (cropTop + cropBottom);
    if (cropX >= fullWidth || cropY >= fullHeight || fullWidth > 0xFFFFFFFFu || fullHeight > 0xFFFFFFFFu) return;
    mWidth = static_cast<std::uint32_t>(fullWidth - cropX);
    mHeight = static_cast<std::uint32_t>(fullHeight - cropY);
    mValid = true;
}

// MARK: - ZVSliceHeader

ZVSliceHeader::ZVSliceHeader(ZVNALUnit nal) {
    if (!ZVNALUnit::isSlice(nal.type())) return;
    nal.resetBitstream();
    mFirstMb = nal.getUE();
    mSliceType = nal.getUE();
    mPpsId = nal.getUE();
    mValid = !nal.overrun();
}

// MARK: - ZVSEIMessage

std::vector<ZVSEIMessage> ZVSEIMessage::parse(ZVNALUnit nal) {
    std::vector<ZVSEIMessage> messages;
    if (nal.type() != platform::h264::kNalSei) return messages;
    // The raw byte sequence payload: SEI units are small, so unescape it whole.
    nal.resetBitstream();
    std::vector<std::uint8_t> rbsp;
    rbsp.reserve(nal.bytes().size());
    while (true) {
        std::uint32_t byte = nal.getWord(8);
        if (nal.overrun()) break;
        rbsp.push_back(static_cast<std::uint8_t>(byte));
    }
    std::size_t pos = 0;
    auto readValue = [&](std::uint32_t& value) {
        value = 0;
        while (pos < rbsp.size() && rbsp[pos] == 0xFF) {
            value += 255;
            ++pos;
        }
        if (pos >= rbsp.size()) return false;
        value += rbsp[pos++];
        return true;
    };
    // Messages follow each other until the stop bit (0x80) ends the unit.
    while (pos < rbsp.size() && !(pos + 1 == rbsp.size() && rbsp[pos] == 0x80)) {
        ZVSEIMessage message;
        if (!readValue(message.mType) || !readValue(message.mSize)) break;
        if (message.mSize > rbsp.size() - pos) break;
        message.mPayload.assign(rbsp.begin() + static_cast<std::ptrdiff_t>(pos),
                                rbsp.begin() + static_cast<std::ptrdiff_t>(pos + message.mSize));
        pos += message.mSize;
        messages.push_back(std::move(message));
    }
    return messages;
}
