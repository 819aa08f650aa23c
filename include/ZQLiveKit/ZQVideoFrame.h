#pragma once
#include "ZQLiveKit/ZQFrame.h"

// One H.264 NAL unit in data() (no start code, no length prefix), plus the current SPS and PPS
// (also without start code), from which the publisher builds the AVC sequence header. The
// publisher reads bytes 1 to 3 of the SPS (profile, compatibility, level).
class ZQLIVEKIT_EXPORT ZQVideoFrame : public ZQFrame {
public:
    ZQVideoFrame() = default;
    ~ZQVideoFrame() override;

    const ZQVideoFrame* asVideoFrame() const override { return this; }

    // True for an IDR (sync) picture.
    bool isKeyFrame() const { return mIsKeyFrame; }
    void setIsKeyFrame(bool isKeyFrame) { mIsKeyFrame = isKeyFrame; }

    const ZQBytes& sps() const { return mSps; }
    void setSps(ZQBytes sps) { mSps = std::move(sps); }

    const ZQBytes& pps() const { return mPps; }
    void setPps(ZQBytes pps) { mPps = std::move(pps); }

private:
    bool mIsKeyFrame = false;
    ZQBytes mSps;
    ZQBytes mPps;
};
