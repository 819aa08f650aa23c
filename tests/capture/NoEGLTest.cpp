// A host without EGL: the kit loads, the pipeline says once why it is off, the capture reports it
// when started and nothing crashes. The library is made unloadable before anything asks for it.
#include <cstdlib>
#include <gtest/gtest.h>
#include "ZQPlatform/Console.h"
#include "capture/ZVVideoCapture.h"
#include "imaging/ZVImageFramebufferCache.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace {

const bool kEGLMissing = [] {
    ::setenv("ZQLIVEKIT_EGL_LIBRARY", "/nonexistent/libEGL.so.1", 1);
    return true;
}();

class Errors : public ZVVideoCaptureDelegate {
public:
    void captureOutputPixelBuffer(ZVVideoCaptureSource&, const std::shared_ptr<platform::PixelBuffer>&) override {
        ++frames;
    }
    void captureOutputDidFailWithError(ZVVideoCaptureSource&, const std::string& reason) override {
        reasons.push_back(reason);
    }
    int frames = 0;
    std::vector<std::string> reasons;
};

TEST(NoEGLTest, TheCaptureReportsWhyItCannotStartAndNothingCrashes) {
    ASSERT_TRUE(kEGLMissing);
    std::vector<std::string> lines;
    platform::Console::setSink([&](const std::string& line) { lines.push_back(line); });

    auto& context = ZVImageContext::sharedImageProcessingContext();
    EXPECT_FALSE(context.isAvailable());
    EXPECT_NE(context.unavailableReason().find("/nonexistent/libEGL.so.1"), std::string::npos)
        << context.unavailableReason();

    auto device = std::make_shared<zvtest::FakeCameraDevice>();
    auto capture = ZVVideoCapture::create(ZQLiveVideoConfiguration::defaultConfigurationForQuality(1, 1),
                                          [device](platform::CameraPosition, std::string*) { return device; });
    auto errors = std::make_shared<Errors>();
    capture->setDelegate(errors);
    capture->setBeautyLevel(0.8);
    capture->setWarterMarkView(platform::View::create(platform::makeRect(0, 0, 10, 10)));
    capture->setPreView(platform::View::create(platform::makeRect(0, 0, 36, 64)));
    capture->setRunning(true);
    ASSERT_EQ(errors->reasons.size(), 1u);
    EXPECT_NE(errors->reasons[0].find("no OpenGL ES context"), std::string::npos) << errors->reasons[0];
    EXPECT_FALSE(device->isRunning()) << "no black pictures are sent in place of the camera's";

    // Pictures pushed at the camera anyway go nowhere.
    capture->videoCamera()->processVideoSampleBuffer({zvtest::flatNV12(640, 480, 100, 128, 128), false,
                                                      platform::YCbCrMatrix::BT601, 1});
    EXPECT_EQ(errors->frames, 0);
    capture->setRunning(false);
    platform::Console::setSink(nullptr);

    int told = 0;
    for (const auto& line : lines) told += line.find("imaging pipeline is off") != std::string::npos;
    EXPECT_EQ(told, 1) << "the reason is written once";
}

} // namespace
