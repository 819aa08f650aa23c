#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include "ZQLiveKit/CameraRegistry.h"
#include "ZQLiveKit/PixelBuffer.h"

namespace platform {

// The YCbCr matrix a camera declares for its pictures.
enum class YCbCrMatrix { BT601, BT709 };

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
//
// Orientation: a phone's sensor is fixed in the phone, so what it sees of an upright scene turns
// with the way the phone is held, and the camera's rotation table turns it back. A back end shows
// its scene (the pattern, the file's upright picture, the webcam's view) as the sensor at its
// position would see it with the phone held in the orientation given by setOutputImageOrientation
// (portrait until told otherwise): held in portrait, the scene's top is at the picture's left edge.
// So a portrait file fills a portrait stream, and every source comes out upright in portrait and
// landscape alike, centre-cropped to the picture's shape.
//
// Threads: open, start, stop and the controls are called by the owner (one thread at a time);
// handlers run on the device's own thread. The device is not destroyed from inside a handler.
class CameraDevice {
public:
    using SampleHandler = std::function<void(const CameraSample& sample)>;
    using LossHandler = std::function<void(const std::string& reason)>;

    virtual ~CameraDevice() = default;

    // A readable name for logs ("pattern", "/dev/video0", the file's path).
    virtual std::string name() const = 0;
    // Opens the source for pictures of width x height (positive and even). False, with a reason,
    // when it cannot (busy, missing, no usable format, a file that does not decode). Before
    // start(); opening again for another size is allowed while stopped.
    virtual bool open(int width, int height, std::string* error) = 0;
    // Whether the opened source delivers full-range pictures (the "420f" format).
    virtual bool offersFullRange() const = 0;
    // Frames per second; 0 lets the source run at its own rate. Any time.
    virtual void setFrameRate(int framesPerSecond) = 0;
    // The interface orientation the pictures are shown in (1 portrait, 2 portrait upside down,
    // 3 landscape right, 4 landscape left; any other value leaves the scene unturned, as the
    // rotation table does). Any time; applies from the next picture. (A source that does not
    // override it shows its pictures unturned.)
    virtual void setOutputImageOrientation(std::int64_t orientation) { (void)orientation; }
    // Starts delivery on the device's own thread: onSample for each picture, onLost once if the
    // source goes away mid-run (unplugged, file unreadable); no picture follows a loss. False, with
    // a reason, when it cannot (not open, already running, lost).
    virtual bool start(SampleHandler onSample, LossHandler onLost, std::string* error) = 0;
    // Stops delivery promptly; no handler runs once it returns. Not from inside a handler. Safe in
    // any state, also after a loss.
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
    // 1.0 is no zoom. A factor the device cannot reach is refused with a reason.
    virtual bool setZoomFactor(double factor, std::string* error) {
        (void)factor;
        if (error) *error = "Zoom not available";
        return false;
    }
};

// A device for the source the shared registry names for `position`; nullptr with a reason when no
// source serves that position. The device is not opened yet. Any thread.
std::unique_ptr<CameraDevice> makeCameraDevice(CameraPosition position, std::string* error);
// A device for the given source serving `position` (which decides the pattern's label and the
// sensor's turn); nullptr with a reason for CameraSource::Kind::None.
std::unique_ptr<CameraDevice> makeCameraDevice(const CameraSource& source, CameraPosition position,
                                               std::string* error);

} // namespace platform
