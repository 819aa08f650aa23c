#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "ZQLiveKit/PixelBuffer.h"
#include "imaging/ZVImageContext.h"
#include "imaging/ZVImageFilter.h"
#include "imaging/ZVImageVideoCamera.h"
#include "imaging/ZVImageOutput.h"
#include "platform/media/CameraDevice.h"

// Pixel tests run on the real EGL context (Mesa's llvmpipe on machines without a GPU); they are
// skipped only where no EGL context can be made at all.
#define ZV_REQUIRE_GL()                                                                              \
    do {                                                                                             \
        auto& zvContext = ZVImageContext::sharedImageProcessingContext();                           \
        if (!zvContext.isAvailable()) GTEST_SKIP() << "no EGL context: " << zvContext.unavailableReason(); \
    } while (0)

namespace zvtest {

// A CPU picture: RGBA bytes, row 0 at the top.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;

    static Picture filled(int width, int height, std::array<std::uint8_t, 4> colour);
    std::array<std::uint8_t, 4> at(int x, int y) const;
    void set(int x, int y, std::array<std::uint8_t, 4> colour);
    // A picture whose every pixel is distinct enough to follow (x and y in red and green).
    static Picture gradient(int width, int height);
    static Picture noise(int width, int height, unsigned variant);
};

// The BGRA pixel buffer as a Picture.
Picture fromBGRA(const platform::PixelBuffer& buffer);

// A source node that hands a fixed picture to its targets, as a camera frame would.
class PictureSource : public ZVImageOutput {
public:
    explicit PictureSource(const Picture& picture);
    // Delivers the picture to every target with the given time. Any thread (waits for the queue).
    void deliver(double frameTime = 1.0);
    platform::Size size() const;

private:
    std::shared_ptr<ZVImageFramebuffer> mPicture; // counting disabled: kept for every delivery
};

// A target that reads back every frame it is given, as the encoder's side would.
class FrameCatcher : public ZVImageInput {
public:
    void newFrameReadyAtTime(double frameTime, int textureIndex) override;
    void setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> framebuffer, int textureIndex) override;
    int nextAvailableTextureIndex() override { return 0; }
    void setInputSize(platform::Size newSize, int) override { mSize = newSize; }
    void setInputRotation(int, int) override {}
    platform::Size maximumOutputSize() override { return {}; }
    void endProcessing() override {}
    bool shouldIgnoreUpdatesToThisTarget() const override { return false; }
    bool enabled() const override { return true; }
    bool wantsMonochromeInput() override { return false; }
    void setCurrentlyReceivingMonochromeInput(bool) override {}
    void resetInput(int) override;

    // Frames caught so far (any thread).
    std::vector<Picture> frames() const;
    Picture last() const;
    std::size_t count() const;
    platform::Size lastSize() const { return mSize; }

private:
    std::shared_ptr<ZVImageFramebuffer> mInput;
    platform::Size mSize;
    mutable std::mutex mMutex;
    std::vector<Picture> mFrames;
};

// Runs `picture` through `filter` once and returns what came out.
Picture runFilter(const std::shared_ptr<ZVImageFilter>& filter, const Picture& picture, int rotation = 0);

// An NV12 picture of one Y, U and V value everywhere.
std::shared_ptr<platform::PixelBuffer> flatNV12(int width, int height, std::uint8_t y, std::uint8_t u, std::uint8_t v);
// An NV12 picture from an RGBA picture (BT.601 video range), for pictures with marks.
std::shared_ptr<platform::PixelBuffer> nv12From(const Picture& picture);

// A camera device driven by the test: deliver() calls the sample handler on the caller's thread, as
// the device's own thread would.
class FakeCameraDevice : public platform::CameraDevice {
public:
    explicit FakeCameraDevice(std::string name = "fake") : mName(std::move(name)) {}

    std::string name() const override { return mName; }
    bool open(int width, int height, std::string* error) override;
    bool offersFullRange() const override { return fullRange; }
    void setFrameRate(int framesPerSecond) override { frameRate = framesPerSecond; }
    void setOutputImageOrientation(std::int64_t value) override { orientation = value; }
    bool start(SampleHandler onSample, LossHandler onLost, std::string* error) override;
    void stop() override;
    bool isRunning() const override { return mRunning.load(); }
    bool hasTorch() const override { return torchPresent; }
    bool setTorch(bool on, std::string* error) override;
    bool torchActive() const override { return mTorch; }
    bool setZoomFactor(double factor, std::string* error) override;

    // Hands a picture to the handler if running; returns whether it was handed.
    bool deliver(const std::shared_ptr<platform::PixelBuffer>& nv12, double time = 1.0);
    bool deliver(const platform::CameraSample& sample);
    void loseDevice(const std::string& reason);

    // Settings of the fake.
    bool fullRange = false;
    bool openFails = false;
    bool startFails = false;
    bool torchPresent = false;
    bool torchFails = false;
    bool zoomable = false;
    std::atomic<int> frameRate{-1};
    std::atomic<std::int64_t> orientation{0}; // 0: never told
    int openedWidth = 0;
    int openedHeight = 0;
    double zoom = 1.0;

private:
    std::string mName;
    std::atomic<bool> mRunning{false};
    bool mTorch = false;
    std::mutex mMutex;
    SampleHandler mOnSample;
    LossHandler mOnLost;
};

// Waits until the video-processing queue has run everything queued so far.
void drainVideoQueue();

} // namespace zvtest
