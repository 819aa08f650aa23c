#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/PixelBuffer.h"

namespace platform {

class PacerClock;
class PixelBufferPool;
class RealTimePacer;

// A synthetic camera: colour bars with a bar sweeping across them and a running clock
// (minutes:seconds.milliseconds since the start, and the frame number) drawn large in the middle,
// so a recording shows both motion and time. Frames come on the source's own thread, paced in
// real time at the frame rate.
class ZQLIVEKIT_EXPORT TestPatternSource {
public:
    // Called on the source's thread with each new picture; the picture is the receiver's to keep.
    using Callback = std::function<void(const std::shared_ptr<PixelBuffer>& pixelBuffer)>;

    TestPatternSource(int width, int height, double frameRate, PixelFormat format = PixelFormat::BGRA);
    // Stops delivery first. Not from inside the callback.
    ~TestPatternSource();
    TestPatternSource(const TestPatternSource&) = delete;
    TestPatternSource& operator=(const TestPatternSource&) = delete;

    int width() const { return mWidth; }
    int height() const { return mHeight; }
    double frameRate() const { return mFrameRate; }
    PixelFormat format() const { return mFormat; }

    // Set before start().
    void setCallback(Callback callback) { mCallback = std::move(callback); }

    // Starts delivering frames 0, 1, 2, ...; false for a bad size or frame rate, or when running.
    // Any thread.
    bool start();
    // Stops delivery; a frame being delivered completes first (unless called from the callback,
    // which ends delivery after it). Any thread.
    void stop();
    bool running() const;

    // The picture of frame `index` (shown at index / frameRate seconds); what start() delivers.
    // Null for a bad size. Any thread, but not concurrently with a running source.
    std::shared_ptr<PixelBuffer> renderFrame(std::uint64_t index);
    // The picture of frame `index` with the clock showing `seconds` (for sources whose rate changes).
    std::shared_ptr<PixelBuffer> renderFrameAt(std::uint64_t index, double seconds);

private:
    friend class SyntheticSourcePacing; // the kit's own tests pace delivery with their clock
    const int mWidth;
    const int mHeight;
    const double mFrameRate;
    const PixelFormat mFormat;
    Callback mCallback;
    std::shared_ptr<PacerClock> mClock;
    std::unique_ptr<PixelBufferPool> mPool;
    std::shared_ptr<PixelBuffer> mBackground;
    std::unique_ptr<RealTimePacer> mPacer;
};

} // namespace platform
