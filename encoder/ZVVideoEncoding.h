#pragma once
#include <cstdint>
#include <memory>
#include "ZQLiveKit/PixelBuffer.h"
#include "encoder/ZVVideoEncodingDelegate.h"

// What the live session holds as its video encoder. Only encodeVideoData() is required; the
// optional operations do nothing (and videoBitRate() reads 0) unless an encoder implements them.
class ZVVideoEncoding {
public:
    virtual ~ZVVideoEncoding() = default;

    // encodeVideoData:timeStamp: — one picture and the time (media-clock milliseconds) at which the
    // session was handed it. Results arrive through the delegate.
    virtual void encodeVideoData(const std::shared_ptr<platform::PixelBuffer>& pixelBuffer, std::uint64_t timeStamp) = 0;

    virtual void setDelegate(std::weak_ptr<ZVVideoEncodingDelegate> delegate) { (void)delegate; }
    virtual void stopEncoder() {}
    // Bits per second.
    virtual std::int64_t videoBitRate() const { return 0; }
    virtual void setVideoBitRate(std::int64_t videoBitRate) { (void)videoBitRate; }
};
