#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include "platform/media/CameraDevice.h"
#include "platform/media/RealTimePacer.h"
#include "platform/media/SensorFrame.h"

namespace platform {

// A camera whose pictures are made on demand (the pattern, a video file): a real-time pacer asks for
// one picture a frame period, on a grid, dropping ticks that come late, at the asked frame rate or
// the source's own. Subclasses make the pictures; this class keeps the handlers, the rate, the
// orientation and the start/stop/loss rules. A subclass's destructor calls stop() first, so no tick
// runs into a half-destroyed object.
class PacedCameraDevice : public CameraDevice {
public:
    ~PacedCameraDevice() override;

    bool open(int width, int height, std::string* error) final;
    bool offersFullRange() const final;
    void setFrameRate(int framesPerSecond) final;
    void setOutputImageOrientation(std::int64_t orientation) final;
    bool start(SampleHandler onSample, LossHandler onLost, std::string* error) final;
    void stop() final;
    bool isRunning() const final;

protected:
    PacedCameraDevice(CameraPosition position, std::string threadName, std::shared_ptr<PacerClock> clock);

    // Opens the source for pictures of width x height (validated). Not while running.
    virtual bool openSource(int width, int height, std::string* error) = 0;
    // Frames per second when none is asked (known once open).
    virtual double nativeFrameRate() const = 0;
    // The range and matrix of the pictures (known once open).
    virtual ColorDescription color() const = 0;
    // Called by start() before the first tick: playback restarts at second 0.
    virtual void restart() {}
    // The picture for tick `index`, `seconds` after start, turned by `turn`; null to skip the tick.
    // Setting *lost ends delivery with that reason. On the pacer's thread.
    virtual std::shared_ptr<PixelBuffer> makePicture(std::uint64_t index, double seconds, QuarterTurn turn,
                                                     std::string* lost) = 0;

    CameraPosition position() const { return mPosition; }
    int width() const { return mWidth; }
    int height() const { return mHeight; }

private:
    void tick(std::uint64_t index);
    double period() const;

    const CameraPosition mPosition;
    const std::string mThreadName;
    const std::shared_ptr<PacerClock> mClock;
    int mWidth = 0;
    int mHeight = 0;
    bool mOpen = false;
    std::atomic<int> mFrameRate{0};
    std::atomic<std::int64_t> mOrientation{1};
    // Set by start(), read on the pacer's thread (start happens before the thread exists).
    SampleHandler mOnSample;
    LossHandler mOnLost;
    double mStartTime = 0;
    std::atomic<bool> mLost{false};
    std::unique_ptr<RealTimePacer> mPacer;
};

} // namespace platform
