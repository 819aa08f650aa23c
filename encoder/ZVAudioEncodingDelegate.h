#pragma once
#include <memory>
#include "ZQLiveKit/ZQAudioFrame.h"

class ZVAudioEncoding;

// Receives an audio encoder's frames (the live session). Called on the thread that fed the encoder.
class ZVAudioEncodingDelegate {
public:
    virtual ~ZVAudioEncodingDelegate() = default;
    // audioEncoder:audioFrame: — one raw AAC access unit with the stream's AudioSpecificConfig.
    virtual void audioEncoder(ZVAudioEncoding* encoder, const std::shared_ptr<ZQAudioFrame>& frame) = 0;
};
