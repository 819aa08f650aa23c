#pragma once
#include <memory>
#include "ZQLiveKit/ZQVideoFrame.h"

class ZVVideoEncoding;

// Receives a video encoder's frames (the live session). Called on the encoder's output thread.
class ZVVideoEncodingDelegate {
public:
    virtual ~ZVVideoEncodingDelegate() = default;
    // videoEncoder:videoFrame: — one H.264 NAL unit with the current SPS and PPS.
    virtual void videoEncoder(ZVVideoEncoding* encoder, const std::shared_ptr<ZQVideoFrame>& frame) = 0;
};
