#include "encoder/ZVAccessUnitAssembler.h"

#include "encoder/ZVNALUnit.h"

ZVAccessUnitAssembler::Consumed ZVAccessUnitAssembler::consume(std::span<const std::uint8_t> bytes) {
    Consumed result;
    const auto lengthSize = static_cast<std::size_t>(mLengthSize);
    std::size_t pos = 0;
    while (bytes.size() - pos > lengthSize) {
        std::uint64_t length = 0;
        for (std::size_t i = 0; i < lengthSize; ++i) length = (length << 8) | bytes[pos + i];
        if (length > kMaxNALUnitSize) {
            result.corrupt = true;
            break;
        }
        if (length > bytes.size() - pos - lengthSize) break; // incomplete: the next call resumes here
        pos += lengthSize;
        if (length > 0) addNALUnit(ZQBytes(bytes.data() + pos, static_cast<std::size_t>(length)));
        pos += static_cast<std::size_t>(length);
    }
    result.bytes = pos;
    return result;
}

bool ZVAccessUnitAssembler::startsAccessUnit(const ZQBytes& nal, int idc, int type) const {
    if (!ZVNALUnit::isSlice(type)) {
        // SEI, parameter sets and delimiters come before the slices of their picture; end-of-sequence,
        // filler and the like come after them.
        const bool leading = (type >= 6 && type <= 9) || (type >= 14 && type <= 18);
        return leading && mPendingHasSlice;
    }
    if (!mPendingHasSlice) return false; // the first slice of the unit being gathered
    if (idc != mPrevNalIdc && (idc == 0 || mPrevNalIdc == 0)) return true;
    if (type != mPrevNalType && (type == platform::h264::kNalIdrSlice || mPrevNalType == platform::h264::kNalIdrSlice)) return true;
    return ZVSliceHeader(ZVNALUnit({nal.data(), nal.size()})).firstMbInSlice() == 0;
}

void ZVAccessUnitAssembler::addNALUnit(ZQBytes nal) {
    if (nal.empty()) return;
    const int idc = nal[0] & 0x60;
    const int type = nal[0] & 0x1F;
    if (isGathering() && startsAccessUnit(nal, idc, type)) flush();
    if (ZVNALUnit::isSlice(type)) {
        mPendingHasSlice = true;
        mPrevNalIdc = idc;
        mPrevNalType = type;
    }
    mPendingNALU.push_back(std::move(nal));
}

void ZVAccessUnitAssembler::flush() {
    if (mPendingNALU.empty()) return;
    std::vector<ZQBytes> unit;
    unit.swap(mPendingNALU);
    mPendingHasSlice = false;
    mSink(std::move(unit));
}
