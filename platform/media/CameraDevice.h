#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include "ZQLiveKit/PixelBuffer.h"

namespace platform {

// The YCbCr matrix a camera declares for its pictures.
enum class YCbCrMatrix { BT601, BT709 };

// Camera positions as the kit numbers them.
enum class CameraPosition { Back = 1, Front = 2 };

// One picture from a camera: NV12, landscape, at the size the device was opened for, with the
// range and matrix the device declares and the media-clock time it was taken.
struct CameraSample {
    std::shared_ptr<PixelBuffer> pixelBuffer;
    bool fullRange = false;
    YCbCrMatrix matrix = YCbCrMatrix::BT601;
    double presentationTime = 0; // media-clock seconds
};

// A camera back end (a V4L2 device, the synthetic pattern, a video file): the stand-in for a capture
// device with its capture session. Delivers pictures the way a phone sensor does, landscape at a
// capture preset's size (640x480, 960x540, 1280x720), cropping or scaling what the source gives.
class CameraDevice {
public:
    using SampleHandler = std::function<void(const CameraSample& sample)>;
    using LossHandler = std::function<void(const std::string& reason)>;

    virtual ~CameraDevice() = default;

    // A readable name for logs ("pattern", "/dev/video0", the file's path).
    virtual std::string name() const = 0;
    // Opens the source for pictures of width x height. False, with a reason, when it cannot (busy,
    // missing, no usable format). Before start().
    virtual bool open(int width, int height, std::string* error) = 0;
    // Whether the opened source delivers full-range pictures (the "420f" format).
    virtual bool offersFullRange() const = 0;
    // Frames per second; 0 lets the source run at its own rate. Any time.
    virtual void setFrameRate(int framesPerSecond) = 0;
    // Starts delivery on the device's own thread: onSample for each picture, onLost once if the
    // source goes away mid-run (unplugged, file unreadable). False, with a reason, when it cannot.
    virtual bool start(SampleHandler onSample, LossHandler onLost, std::string* error) = 0;
    // Stops delivery; no handler runs once it returns. Not from inside a handler.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;

    // Controls. A source without the control answers false with a reason.
    virtual bool hasTorch() const { return false; }
    virtual bool setTorch(bool on, std::string* error) {
        (void)on;
        if (error) *error = "Torch not available";
        return false;
    }
    virtual bool torchActive() const { return false; }
    virtual bool setZoomFactor(double factor, std::string* error) {
        (void)factor;
        if (error) *error = "Zoom not available";
        return false;
    }
};

} // namespace platform
