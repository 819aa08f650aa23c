#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include "ZQLiveKit/Image.h"
#include "ZQLiveKit/PixelBuffer.h"
#include "ZQLiveKit/View.h"
#include "ZQLiveKit/ZQBytes.h"
#include "ZQLiveKit/ZQLiveSession.h"

class ZVAudioCaptureSource;
class ZVVideoCaptureSource;

// Receives the microphone's PCM blocks (captureOutput:audioData:), on the capture's thread.
class ZVAudioCaptureDelegate {
public:
    virtual ~ZVAudioCaptureDelegate() = default;
    virtual void captureOutputAudioData(ZVAudioCaptureSource& capture, const ZQBytes& pcm) {
        (void)capture;
        (void)pcm;
    }
};

// Receives the camera's processed pictures (captureOutput:pixelBuffer:), on the video queue.
class ZVVideoCaptureDelegate {
public:
    virtual ~ZVVideoCaptureDelegate() = default;
    virtual void captureOutputPixelBuffer(ZVVideoCaptureSource& capture,
                                          const std::shared_ptr<platform::PixelBuffer>& pixelBuffer) {
        (void)capture;
        (void)pixelBuffer;
    }
    // The source cannot deliver (no camera, no GPU context, the camera was lost): once per start or
    // loss, on any thread.
    virtual void captureOutputDidFailWithError(ZVVideoCaptureSource& capture, const std::string& reason) {
        (void)capture;
        (void)reason;
    }
};

// What the live session needs of a microphone source.
class ZVAudioCaptureSource {
public:
    virtual ~ZVAudioCaptureSource() = default;
    virtual void setDelegate(std::weak_ptr<ZVAudioCaptureDelegate> delegate) = 0;
    virtual bool running() const = 0;
    virtual void setRunning(bool running) = 0;
    virtual bool muted() const = 0;
    virtual void setMuted(bool muted) = 0;
};

// What the live session needs of a camera source, with the settings it passes through.
class ZVVideoCaptureSource {
public:
    virtual ~ZVVideoCaptureSource() = default;
    virtual void setDelegate(std::weak_ptr<ZVVideoCaptureDelegate> delegate) = 0;
    virtual bool running() const = 0;
    virtual void setRunning(bool running) = 0;

    virtual std::int64_t captureDevicePosition() const = 0;
    virtual void setCaptureDevicePosition(std::int64_t position) = 0;
    virtual bool beautyFace() const = 0;
    virtual void setBeautyFace(bool on) = 0;
    virtual double beautyLevel() const = 0;
    virtual void setBeautyLevel(double level) = 0;
    virtual double brightLevel() const = 0;
    virtual void setBrightLevel(double level) = 0;
    virtual double zoomScale() const = 0;
    virtual void setZoomScale(double scale) = 0;
    virtual bool torch() const = 0;
    virtual void setTorch(bool on) = 0;
    virtual bool mirror() const = 0;
    virtual void setMirror(bool on) = 0;
    virtual bool saveLocalVideo() const = 0;
    virtual void setSaveLocalVideo(bool on) = 0;
    virtual std::optional<std::string> saveLocalVideoPath() const = 0;
    virtual void setSaveLocalVideoPath(std::optional<std::string> path) = 0;

    // The view the preview sits in, the watermark view and the latest picture; none by default.
    virtual std::shared_ptr<platform::View> preView() const { return nullptr; }
    virtual void setPreView(std::shared_ptr<platform::View> view) { (void)view; }
    virtual std::shared_ptr<platform::View> warterMarkView() const { return nullptr; }
    virtual void setWarterMarkView(std::shared_ptr<platform::View> view) { (void)view; }
    virtual std::shared_ptr<platform::Image> currentImage() { return nullptr; }
    // Pictures taken, dropped while one was being drawn, and handed on; zeros by default.
    virtual ZQVideoCaptureStatistics captureStatistics() const { return {}; }
};
