#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>
#include "platform/media/CameraDevice.h"
#include "platform/media/ImageCodec.h"
#include "platform/media/SensorFrame.h"

namespace platform {

// The system calls a V4L2 camera makes, behind an interface so tests can stand in a fake device.
// Each behaves like the call it is named after: -1 (MAP_FAILED for mmap) with errno on failure.
class V4L2Api {
public:
    virtual ~V4L2Api() = default;
    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(std::size_t length, int fd, off_t offset) = 0; // shared, read and write
    virtual int munmap(void* address, std::size_t length) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
    // The video device nodes (/dev/video0, /dev/video1, ...), in number order.
    virtual std::vector<std::string> deviceNodes() = 0;

    // The real calls.
    static std::shared_ptr<V4L2Api> system();
};

// One picture size a device offers in one pixel format, with the fastest rate it gives there
// (0: unknown).
struct V4L2FrameSize {
    std::uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    double maxFrameRate = 0;
    friend bool operator==(const V4L2FrameSize&, const V4L2FrameSize&) = default;
};

// The pixel formats the camera takes: NV12 (as is), other raw YUV (YUYV, UYVY, I420, NV21) and
// MJPEG/JPEG (decoded), all converted to NV12 with libswscale.
bool isUsableV4L2Format(std::uint32_t pixelFormat);

// The offer to capture for pictures of width x height that must show a region of shape
// shapeWidth:shapeHeight (the output before the sensor turn) at `frameRate` (0: 30). In order: one
// that reaches the rate; one whose centre crop to the shape covers the shape's size without
// upscaling (the smallest such, as there is less to convert), else the one with the largest crop;
// then NV12 before other raw YUV before MJPEG.
std::optional<V4L2FrameSize> chooseV4L2Format(const std::vector<V4L2FrameSize>& offered, int shapeWidth,
                                              int shapeHeight, double frameRate);

// Thins a picture stream to a frame rate (for devices whose rate cannot be set to it): keeps the
// first picture at or after each point of a grid one period apart, with a quarter period of slack
// for timing jitter, and never two for one grid point. One thread.
class FrameRateGate {
public:
    // Whether the picture taken at `time` (seconds) is kept at `rate` (0 or less keeps all).
    bool admit(double time, double rate);

private:
    double mRate = 0;
    double mOrigin = 0;
    double mNext = 0; // the next grid point, counted from mOrigin in periods
    bool mStarted = false;
};

// A V4L2 video-capture device (/dev/videoN): format negotiation (see chooseV4L2Format), mmap
// streaming, a capture thread that waits in poll() with a wake-up eventfd so stop() is prompt,
// centre crop + scale to the asked size, the frame rate through VIDIOC_S_PARM where the device
// supports it and by dropping pictures otherwise, torch (V4L2_CID_FLASH_LED_MODE) and zoom
// (V4L2_CID_ZOOM_ABSOLUTE) where the device has those controls. Range and matrix come from the
// negotiated format's quantization and Y'CbCr encoding (MJPEG: full range BT.601).
//
// A device that goes away while capturing (ENODEV, EIO, an error on poll) is reported once through
// the loss handler; capture ends and start() fails until the device is opened again.
class V4L2CameraDevice final : public CameraDevice {
public:
    static constexpr unsigned kBufferCount = 4;

    // An empty path takes the first video-capture device.
    V4L2CameraDevice(std::string path, CameraPosition position, std::shared_ptr<V4L2Api> api = V4L2Api::system());
    ~V4L2CameraDevice() override;

    std::string name() const override;
    bool open(int width, int height, std::string* error) override;
    bool offersFullRange() const override { return mColor.fullRange; }
    void setFrameRate(int framesPerSecond) override;
    void setOutputImageOrientation(std::int64_t orientation) override { mOrientation = orientation; }
    bool start(SampleHandler onSample, LossHandler onLost, std::string* error) override;
    void stop() override;
    bool isRunning() const override { return mRunning.load(); }

    bool hasTorch() const override { return mHasTorch; }
    bool setTorch(bool on, std::string* error) override;
    bool torchActive() const override;
    bool setZoomFactor(double factor, std::string* error) override;

    // What open() negotiated (for logs and tests).
    const V4L2FrameSize& negotiated() const { return mFormat; }
    double deviceFrameRate() const { return mDeviceFrameRate; }

private:
    struct Buffer {
        void* data = nullptr;
        std::size_t length = 0;
    };

    // Opens, negotiates and maps buffers; on failure everything is released again.
    bool openDevice(const std::string& path, int width, int height, std::string* error);
    bool openFirstDevice(int width, int height, std::string* error);
    bool negotiate(int width, int height, std::string* error);
    bool mapBuffers(std::string* error);
    void queryControls();
    void applyFrameRate();
    void release();
    void run();
    void deliver(const Buffer& buffer, std::size_t bytesUsed);
    void reportLoss(const std::string& reason);
    int xioctl(unsigned long request, void* argument) const;
    // Sets *error to the reason with the device's name; false.
    bool fail(std::string* error, const std::string& reason) const;

    const std::string mAskedPath;
    const CameraPosition mPosition;
    const std::shared_ptr<V4L2Api> mApi;
    std::string mPath; // the device in use
    int mFd = -1;
    bool mIsCaptureNode = false; // the last node opened can capture
    bool mCanSetRate = false;
    V4L2FrameSize mFormat;
    std::size_t mBytesPerLine = 0;
    ColorDescription mColor;
    double mDeviceFrameRate = 0;
    std::vector<Buffer> mBuffers;
    int mWidth = 0;
    int mHeight = 0;

    bool mHasTorch = false;
    bool mHasZoom = false;
    std::int32_t mZoomMin = 0;
    std::int32_t mZoomMax = 0;
    std::int32_t mZoomStep = 1;

    std::atomic<int> mFrameRate{0};
    std::atomic<std::int64_t> mOrientation{1};
    std::atomic<bool> mRunning{false};
    std::atomic<bool> mLost{false};
    int mWakeFd = -1;
    std::thread mThread;
    // Capture-thread state.
    SampleHandler mOnSample;
    LossHandler mOnLost;
    FrameRateGate mGate;
    SensorFrameConverter mConverter;
    std::unique_ptr<StillImageDecoder> mJpeg;
};

} // namespace platform
