#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include "imaging/ZVGLProgram.h"
#include "imaging/ZVImageOutput.h"
#include "platform/media/CameraDevice.h"

// Where a camera finds its sources: a new, unopened device for the position, or nullptr (with the
// reason, when the error is asked for) when the position has no source.
using ZVCameraDeviceProvider =
    std::function<std::shared_ptr<platform::CameraDevice>(platform::CameraPosition, std::string* error)>;

// Told of every camera picture before it is processed, on the video-processing queue.
class ZVImageVideoCameraDelegate {
public:
    virtual ~ZVImageVideoCameraDelegate() = default;
    virtual void willOutputSampleBuffer(const platform::CameraSample& sample) = 0;
};

// The camera source of the graph: takes NV12 pictures from a camera device, converts them to RGB on
// the video-processing queue (rotated for the output orientation) and hands them to its targets.
// At most one picture is in flight: one that arrives while the previous is still being drawn is
// dropped. Controls may be called from any thread except the device's own delivery thread.
class ZVImageVideoCamera : public ZVImageOutput {
public:
    // initWithSessionPreset:cameraPosition:. nullptr (with the reason in `error`) when the position
    // has no source or the source cannot be opened at the preset's size.
    static std::shared_ptr<ZVImageVideoCamera> create(const std::string& sessionPreset,
                                                      platform::CameraPosition cameraPosition,
                                                      ZVCameraDeviceProvider provider, std::string* error = nullptr);
    ~ZVImageVideoCamera() override;

    // The capture size of a preset name ("AVCaptureSessionPreset640x480" ...); 640x480 for others.
    static platform::Size sizeForSessionPreset(const std::string& sessionPreset);

    // Starts the device when it is not running. False with a reason when it cannot start.
    bool startCameraCapture(std::string* error = nullptr);
    void stopCameraCapture();
    // Pictures are dropped while paused; the device keeps running.
    void pauseCameraCapture() { mCapturePaused = true; }
    void resumeCameraCapture() { mCapturePaused = false; }
    bool capturePaused() const { return mCapturePaused.load(); }
    bool isRunning() const;
    // Moves to the source at the other position. False with a reason (and nothing changed) when
    // there is no source there or it cannot be opened or started.
    bool rotateCamera(std::string* error = nullptr);

    platform::CameraPosition cameraPosition() const;
    const std::string& captureSessionPreset() const { return mCaptureSessionPreset; }
    // The device of the current position. Any thread.
    std::shared_ptr<platform::CameraDevice> inputCamera() const;

    // Frames per second asked of the device; 0 or less lets it run at its own rate.
    int frameRate() const { return mFrameRate.load(); }
    void setFrameRate(int frameRate);

    std::int64_t outputImageOrientation() const { return mOutputImageOrientation.load(); }
    void setOutputImageOrientation(std::int64_t orientation);
    bool horizontallyMirrorFrontFacingCamera() const { return mMirrorFront.load(); }
    void setHorizontallyMirrorFrontFacingCamera(bool mirror);
    bool horizontallyMirrorRearFacingCamera() const { return mMirrorRear.load(); }
    void setHorizontallyMirrorRearFacingCamera(bool mirror);
    // The rotation applied while converting, and the one targets are told (always 0).
    int internalRotation() const;
    int outputRotation() const { return kZVImageNoRotation; }
    bool captureAsYUV() const { return true; }
    // Whether the device delivers full-range pictures ("420f").
    bool isFullYUVRange() const { return mIsFullYUVRange.load(); }

    void setDelegate(std::weak_ptr<ZVImageVideoCameraDelegate> delegate);
    // Called once, on the device's thread, when the device goes away mid-run.
    void setLossHandler(std::function<void(const std::string& reason)> handler);

    // A picture from the device (its delivery thread): queued for processing unless one is in flight.
    void captureOutput(const platform::CameraSample& sample);
    // Converts a picture and hands it on. Video-processing queue.
    void processVideoSampleBuffer(const platform::CameraSample& sample);

    std::uint64_t droppedFrameCount() const { return mDroppedFrames.load(); }
    std::uint64_t processedFrameCount() const { return mProcessedFrames.load(); }

private:
    ZVImageVideoCamera(std::string sessionPreset, platform::CameraPosition position, ZVCameraDeviceProvider provider,
                       std::shared_ptr<platform::CameraDevice> device);
    bool startDevice(const std::shared_ptr<platform::CameraDevice>& device, std::string* error);
    void updateOrientationSendToTargets();
    std::shared_ptr<ZVGLProgram> conversionProgram(bool fullRange);

    const std::string mCaptureSessionPreset;
    const platform::Size mCaptureSize;
    const ZVCameraDeviceProvider mProvider;

    mutable std::mutex mDeviceMutex; // guards the device, the position and the handlers
    std::shared_ptr<platform::CameraDevice> mDevice;
    platform::CameraPosition mCameraPosition;
    std::weak_ptr<ZVImageVideoCameraDelegate> mDelegate;
    std::function<void(const std::string&)> mLossHandler;

    std::atomic<bool> mIsFullYUVRange{false};
    std::atomic<bool> mCapturePaused{false};
    std::atomic<int> mFrameRate{0};
    std::atomic<std::int64_t> mOutputImageOrientation{0};
    std::atomic<bool> mMirrorFront{false};
    std::atomic<bool> mMirrorRear{false};
    // The frame-rendering semaphore of count one: true while a picture is queued or being drawn.
    std::shared_ptr<std::atomic<bool>> mFrameInFlight = std::make_shared<std::atomic<bool>>(false);
    std::atomic<std::uint64_t> mDroppedFrames{0};
    std::atomic<std::uint64_t> mProcessedFrames{0};

    // Owned by the video-processing queue.
    int mInternalRotation = kZVImageNoRotation;
    std::shared_ptr<ZVGLProgram> mFullRangeProgram;
    std::shared_ptr<ZVGLProgram> mVideoRangeProgram;
    GLuint mLuminanceTexture = 0;
    GLuint mChrominanceTexture = 0;
    int mTextureWidth = 0;
    int mTextureHeight = 0;
};
