#pragma once
#include <memory>
#include <mutex>
#include <vector>
#include "ZQLiveKit/PixelBuffer.h"

namespace platform {

// Recycles pixel buffers of one geometry, so a source that makes a large picture every frame does
// not map and fault in fresh pages each time (CVPixelBufferPool). A buffer goes back to the pool
// when its last holder lets go, even after the pool itself is gone (then it is simply freed).
// Recycled buffers keep their old pixels. Any thread.
class PixelBufferPool {
public:
    PixelBufferPool(int width, int height, PixelFormat format, std::size_t maxIdle = 4);

    // A buffer of the pool's geometry, or nullptr when the geometry is invalid.
    std::shared_ptr<PixelBuffer> take();

    int width() const { return mWidth; }
    int height() const { return mHeight; }
    PixelFormat format() const { return mFormat; }
    std::size_t idleCount() const;

private:
    struct State {
        std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> idle;
        std::size_t maxIdle;
    };

    int mWidth;
    int mHeight;
    PixelFormat mFormat;
    std::shared_ptr<State> mState;
};

} // namespace platform
