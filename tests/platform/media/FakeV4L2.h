#pragma once
// A stand-in for V4L2 devices: each opened device is a real eventfd (so the camera's poll() works
// unchanged) that is readable while a filled buffer waits; the test fills buffers, unplugs devices
// and sets what each ioctl answers.
#include <condition_variable>
#include <deque>
#include <linux/videodev2.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "platform/media/V4L2CameraDevice.h"

namespace zqtest {

struct FakeCameraModel {
    struct Format {
        std::uint32_t pixelFormat;
        std::vector<std::pair<int, int>> sizes;
        double frameRate = 30;
    };
    std::uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::vector<Format> formats;
    // Errors to answer with (0: none).
    int openErrno = 0;
    int setFormatErrno = 0;
    int requestBuffersErrno = 0;
    int setRateWhileStreamingErrno = 0;
    bool canSetRate = true;
    // Colour fields S_FMT answers with.
    std::uint32_t colorspace = V4L2_COLORSPACE_SRGB;
    std::uint32_t ycbcrEncoding = V4L2_YCBCR_ENC_DEFAULT;
    std::uint32_t quantization = V4L2_QUANTIZATION_DEFAULT;
    // Controls.
    bool torch = false;
    bool zoom = false;
    int zoomMin = 100;
    int zoomMax = 500;
};

class FakeV4L2 final : public platform::V4L2Api {
public:
    // What a device has been told and holds now.
    struct State {
        bool streaming = false;
        bool gone = false;
        int openCount = 0;
        std::uint32_t pixelFormat = 0;
        int width = 0;
        int height = 0;
        std::size_t bytesPerLine = 0;
        std::size_t imageSize = 0;
        double frameRate = 30;
        std::vector<double> ratesSet; // each VIDIOC_S_PARM
        int torchMode = V4L2_FLASH_LED_MODE_NONE;
        int zoomValue = 100;
        std::vector<std::vector<std::uint8_t>> buffers;
        std::deque<std::uint32_t> queued; // buffers the driver may fill
        struct Filled {
            std::uint32_t index;
            std::size_t bytes;
            double time;
            bool error;
        };
        std::deque<Filled> filled;
    };

    void addDevice(const std::string& path, FakeCameraModel model);

    // Fills a free buffer with `bytes` taken at `time` and wakes the reader; waits (bounded) for a
    // free buffer when all are filled. False when the device is not streaming or none came free.
    bool deliver(const std::string& path, const std::vector<std::uint8_t>& bytes, double time, bool error = false);
    // Waits (bounded) until the reader has taken every filled buffer and given it back: everything
    // delivered so far has been handled.
    bool waitUntilAllQueued(const std::string& path);
    // The device disappears: every further call on it fails with ENODEV.
    void unplug(const std::string& path);
    State state(const std::string& path);
    // Whether every descriptor the camera opened was closed again.
    bool allClosed();

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    std::vector<std::string> deviceNodes() override;

private:
    struct Device {
        FakeCameraModel model;
        State state;
        int fd = -1; // the eventfd standing for the open device
    };
    int handle(Device& device, unsigned long request, void* argument);
    void signal(Device& device);
    void drain(Device& device);
    Device* deviceOf(int fd);

    std::mutex mMutex;
    std::condition_variable mBufferFree;
    std::map<std::string, Device> mDevices;
    std::map<int, std::string> mOpen;
};

} // namespace zqtest
