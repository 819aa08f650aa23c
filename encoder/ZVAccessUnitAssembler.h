#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <vector>
#include "ZQLiveKit/ZQBytes.h"

// Cuts the length-prefixed media data of a growing movie file into NAL units and groups them into
// access units (pictures): the reading half of the file-based encoder, without the file. Owned by
// one thread at a time (the encoder's read queue).
//
// Grouping: a non-VCL unit (SEI, SPS, PPS, delimiter) that follows a slice opens the next access
// unit, and belongs to it; between slices the access unit changes when nal_ref_idc changes to or
// from zero, when the type changes to or from IDR, or when a slice starts at macroblock 0.
class ZVAccessUnitAssembler {
public:
    // Receives each complete access unit, its NAL units in order (header byte first, no lengths).
    using Sink = std::function<void(std::vector<ZQBytes>&& nalUnits)>;

    // No NAL unit of a picture comes near this; a longer length field means corrupt data.
    static constexpr std::uint64_t kMaxNALUnitSize = 64u << 20;

    explicit ZVAccessUnitAssembler(Sink sink) : mSink(std::move(sink)) {}

    // Bytes in each length field (1 to 4). Default 4.
    void setLengthSize(int lengthSize) { mLengthSize = lengthSize; }
    int lengthSize() const { return mLengthSize; }

    struct Consumed {
        std::size_t bytes = 0; // whole units used; the caller resumes after them
        bool corrupt = false;  // a length field beyond kMaxNALUnitSize: nothing after it can be trusted
    };
    // Walks the length-prefixed units in `bytes` while more than a length field remains, handing each
    // whole one to addNALUnit(). A unit that is not complete within `bytes` is left, with its length
    // field, for the next call. An empty unit is skipped.
    Consumed consume(std::span<const std::uint8_t> bytes);

    // The NAL-unit step: adds one unit, delivering the gathered access unit first when this one
    // starts the next.
    void addNALUnit(ZQBytes nal);
    // Delivers the access unit being gathered (the media data ended on a picture boundary).
    void flush();

    bool isGathering() const { return !mPendingNALU.empty(); }
    int prevNalIdc() const { return mPrevNalIdc; }
    int prevNalType() const { return mPrevNalType; }

private:
    bool startsAccessUnit(const ZQBytes& nal, int idc, int type) const;

    Sink mSink;
    int mLengthSize = 4;
    std::vector<ZQBytes> mPendingNALU;
    bool mPendingHasSlice = false;
    // Header fields of the last slice gathered.
    int mPrevNalIdc = 0;
    int mPrevNalType = 0;
};
