#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>
#include "platform/media/H264NalUnits.h"

// A small H.264 bit-stream reader: one NAL unit with exp-Golomb reading over its payload
// (emulation-prevention bytes skipped as it goes), the avcC record, and the fields of the SPS, slice
// header and SEI that the kit looks at. Nothing here reads outside the bytes it is given: a read past
// the end yields zero bits and marks the reader overrun, and a parse that needed them fails.
// Values; any thread.
//
// Unit types are platform::h264::NalType's (kNalIdrSlice, kNalSei, kNalSps, ...).
class ZVNALUnit {
public:
    ZVNALUnit() = default;
    // The unit's bytes, header byte first, without start code or length. Not copied: the bytes must
    // outlive the unit.
    explicit ZVNALUnit(std::span<const std::uint8_t> bytes);

    std::span<const std::uint8_t> bytes() const { return mBytes; }
    bool empty() const { return mBytes.empty(); }
    // nal_unit_type (header & 0x1F), 0 for an empty unit.
    int type() const { return mBytes.empty() ? 0 : mBytes[0] & 0x1F; }
    // nal_ref_idc in place (header & 0x60), as the access-unit rule compares it.
    int refIdcBits() const { return mBytes.empty() ? 0 : mBytes[0] & 0x60; }
    static bool isSlice(int type) { return type >= 1 && type <= 5; }

    // Bit reading over the payload (after the header byte). resetBitstream() goes back to its start.
    void resetBitstream();
    std::uint32_t getBit();
    // Up to 32 bits, most significant first.
    std::uint32_t getWord(int bits);
    // ue(v): unsigned exp-Golomb; more than 31 leading zeros is malformed (overrun, 0).
    std::uint32_t getUE();
    // se(v): signed exp-Golomb.
    std::int32_t getSE();
    // True once a read went past the end of the unit.
    bool overrun() const { return mOverrun; }
    // True when only the trailing stop bit and zero padding are left.
    bool noMoreBits();

private:
    // The next payload byte with emulation prevention removed, or nullopt at the end.
    std::optional<std::uint8_t> nextByte();

    std::span<const std::uint8_t> mBytes;
    std::size_t mPos = 1;     // next raw byte to read
    int mZeros = 0;           // zero bytes just read (for 00 00 03)
    std::uint8_t mCurrent = 0;
    int mBitsLeft = 0;        // bits of mCurrent not yet read
    bool mOverrun = false;
};

// The AVCDecoderConfigurationRecord ("avcC" payload).
class ZVavcCHeader {
public:
    explicit ZVavcCHeader(std::span<const std::uint8_t> record);

    // True for a version-1 record with at least one SPS and one PPS, read whole.
    bool isValid() const { return mValid; }
    int profile() const { return mProfile; }
    int compatibility() const { return mCompatibility; }
    int level() const { return mLevel; }
    // Bytes in each NAL length field: (byte 4 & 3) + 1.
    int lengthSize() const { return mLengthSize; }
    const std::vector<std::vector<std::uint8_t>>& sps() const { return mSps; }
    const std::vector<std::vector<std::uint8_t>>& pps() const { return mPps; }

private:
    bool mValid = false;
    int mProfile = 0, mCompatibility = 0, mLevel = 0, mLengthSize = 0;
    std::vector<std::vector<std::uint8_t>> mSps, mPps;
};

// A sequence parameter set: the fields up to the picture size (VUI is not read).
class ZVSeqParamSet {
public:
    explicit ZVSeqParamSet(ZVNALUnit nal);

    bool isValid() const { return mValid; }
    int profile() const { return mProfile; }
    int compatibility() const { return mCompatibility; }
    int level() const { return mLevel; }
    std::uint32_t seqParamSetId() const { return mId; }
    std::uint32_t chromaFormat() const { return mChromaFormat; }
    bool frameMbsOnly() const { return mFrameMbsOnly; }
    std::uint32_t log2MaxFrameNum() const { return mLog2MaxFrameNum; }
    std::uint32_t picOrderCntType() const { return mPocType; }
    // Picture size in pixels after cropping.
    std::uint32_t width() const { return mWidth; }
    std::uint32_t height() const { return mHeight; }

private:
    bool mValid = false;
    int mProfile = 0, mCompatibility = 0, mLevel = 0;
    std::uint32_t mId = 0, mChromaFormat = 1, mLog2MaxFrameNum = 0, mPocType = 0;
    bool mFrameMbsOnly = true;
    std::uint32_t mWidth = 0, mHeight = 0;
};

// The start of a slice header.
class ZVSliceHeader {
public:
    explicit ZVSliceHeader(ZVNALUnit nal);

    // False for a unit that is not a slice or is too short for these three values.
    bool isValid() const { return mValid; }
    std::uint32_t firstMbInSlice() const { return mFirstMb; }
    std::uint32_t sliceType() const { return mSliceType; }
    std::uint32_t picParamSetId() const { return mPpsId; }

private:
    bool mValid = false;
    std::uint32_t mFirstMb = 0, mSliceType = 0, mPpsId = 0;
};

// One message of an SEI unit: its payload type and size (the payload itself with emulation
// prevention removed).
class ZVSEIMessage {
public:
    // The messages of an SEI unit, in order; a message whose size runs past the unit ends the list.
    static std::vector<ZVSEIMessage> parse(ZVNALUnit nal);

    std::uint32_t type() const { return mType; }
    std::uint32_t size() const { return mSize; }
    const std::vector<std::uint8_t>& payload() const { return mPayload; }

private:
    std::uint32_t mType = 0;
    std::uint32_t mSize = 0;
    std::vector<std::uint8_t> mPayload;
};
