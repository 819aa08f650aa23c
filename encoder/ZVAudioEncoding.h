#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include "ZQLiveKit/ZQBytes.h"
#include "encoder/ZVAudioEncodingDelegate.h"

// What the live session holds as its audio encoder. encodeAudioData() and stopEncoder() are
// required; the optional operations do nothing (adtsData() gives nil) unless an encoder implements them.
class ZVAudioEncoding {
public:
    virtual ~ZVAudioEncoding() = default;

    // encodeAudioData:timeStamp: — interleaved 16-bit PCM of any length and the time
    // (media-clock milliseconds) at which the session was handed it.
    virtual void encodeAudioData(std::span<const std::uint8_t> data, std::uint64_t timeStamp) = 0;
    virtual void stopEncoder() = 0;

    virtual void setDelegate(std::weak_ptr<ZVAudioEncodingDelegate> delegate) { (void)delegate; }
    // adtsData:rawDataLength: — the 7-byte ADTS header for a raw AAC packet of that length.
    virtual ZQBytes adtsData(std::int64_t channel, std::int64_t rawDataLength) {
        (void)channel;
        (void)rawDataLength;
        return {};
    }
};
