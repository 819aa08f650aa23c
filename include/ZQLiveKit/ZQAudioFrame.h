#pragma once
#include "ZQLiveKit/ZQFrame.h"

// One raw AAC access unit (no ADTS header) in data(), plus the stream's 2-byte
// AudioSpecificConfig, which the publisher turns into the AAC sequence header.
class ZQLIVEKIT_EXPORT ZQAudioFrame : public ZQFrame {
public:
    ZQAudioFrame() = default;
    ~ZQAudioFrame() override;

    const ZQAudioFrame* asAudioFrame() const override { return this; }

    const ZQBytes& audioInfo() const { return mAudioInfo; }
    void setAudioInfo(ZQBytes audioInfo) { mAudioInfo = std::move(audioInfo); }

private:
    ZQBytes mAudioInfo;
};
