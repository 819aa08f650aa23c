// The video capture's graph, controls and failure handling, with a fake camera on the real GL context.
#include <gtest/gtest.h>
#include <set>
#include "ZQLiveKit/Application.h"
#include "ZQLiveKit/CameraRegistry.h"
#include "ZQLiveKit/ZQLiveSession.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/NotificationCenter.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/Sync.h"
#include "capture/ZVVideoCapture.h"
#include "imaging/ZVImageFramebufferCache.h"
#include "tests/imaging/ImagingTestSupport.h"
#include "tests/support/VirtualTime.h"

namespace {

using zvtest::FakeCameraDevice;
using zvtest::Picture;
using Colour = std::array<std::uint8_t, 4>;

// Records what the capture hands on.
class RecordingDelegate : public ZVVideoCaptureDelegate {
public:
    void captureOutputPixelBuffer(ZVVideoCaptureSource&, const std::shared_ptr<platform::PixelBuffer>& buffer) override {
        std::lock_guard lock(mutex);
        buffers.push_back(buffer);
    }
    void captureOutputDidFailWithError(ZVVideoCaptureSource&, const std::string& reason) override {
        std::lock_guard lock(mutex);
        errors.push_back(reason);
    }
    std::shared_ptr<platform::PixelBuffer> last() {
        std::lock_guard lock(mutex);
        return buffers.empty() ? nullptr : buffers.back();
    }
    std::mutex mutex;
    std::vector<std::shared_ptr<platform::PixelBuffer>> buffers;
    std::vector<std::string> errors;
};

// Cameras by position; a missing entry is a position without a source.
struct Cameras {
    std::shared_ptr<FakeCameraDevice> front = std::make_shared<FakeCameraDevice>("front");
    std::shared_ptr<FakeCameraDevice> back = std::make_shared<FakeCameraDevice>("back");
    ZVCameraDeviceProvider provider() {
        return [this](platform::CameraPosition position, std::string*) -> std::shared_ptr<platform::CameraDevice> {
            return position == platform::CameraPosition::Front ? front : back;
        };
    }
};

class VideoCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_GL();
        platform::Console::setEnabled(false);
    }
    void TearDown() override { platform::Console::setEnabled(true); }

    // 360x640 portrait from the 640x480 preset, or a configuration of the asked quality.
    static std::shared_ptr<ZQLiveVideoConfiguration> configuration(std::uint64_t quality = ZQLiveVideoQuality360p24,
                                                                   std::int64_t orientation = 1) {
        return ZQLiveVideoConfiguration::defaultConfigurationForQuality(quality, orientation);
    }

    std::shared_ptr<ZVVideoCapture> makeCapture(std::shared_ptr<ZQLiveVideoConfiguration> config = configuration()) {
        auto capture = ZVVideoCapture::create(std::move(config), cameras.provider());
        capture->setDelegate(delegate);
        return capture;
    }

    // A landscape sensor picture, 640x480, one colour with an optional marked rectangle.
    static std::shared_ptr<platform::PixelBuffer> sensorPicture(Colour colour, int markX = -1, int markY = -1,
                                                                int markW = 0, int markH = 0, Colour mark = {}) {
        Picture p = Picture::filled(640, 480, colour);
        for (int y = std::max(0, markY); y < markY + markH; ++y)
            for (int x = std::max(0, markX); x < markX + markW; ++x) p.set(x, y, mark);
        return zvtest::nv12From(p);
    }

    // Hands a picture to the camera and waits until it has gone through the graph.
    static void shoot(FakeCameraDevice& device, const std::shared_ptr<platform::PixelBuffer>& picture, double time = 1) {
        ASSERT_TRUE(device.deliver(picture, time));
        zvtest::drainVideoQueue();
    }

    Cameras cameras;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

bool near(Colour a, Colour b, int tolerance) {
    for (int i = 0; i < 3; ++i)
        if (std::abs(a[i] - b[i]) > tolerance) return false;
    return true;
}

TEST_F(VideoCaptureTest, ConstructionBuildsTheGraphWithTheDefaults) {
    auto capture = makeCapture();
    EXPECT_TRUE(capture->beautyFace());
    EXPECT_EQ(capture->beautyLevel(), 0.5);
    EXPECT_EQ(capture->brightLevel(), 0.5);
    EXPECT_FALSE(capture->mirror());
    ASSERT_TRUE(capture->videoCamera());
    EXPECT_EQ(capture->captureDevicePosition(), 2);
    EXPECT_EQ(capture->videoCamera()->frameRate(), 24);
    EXPECT_EQ(cameras.front->frameRate.load(), 24);
    EXPECT_EQ(cameras.front->openedWidth, 640) << "the 640x480 preset";
    EXPECT_TRUE(capture->beautyFilter());
    EXPECT_EQ(capture->filter(), capture->beautyFilter());
    ASSERT_TRUE(capture->cropfilter());
    EXPECT_EQ(capture->cropfilter()->cropRegion(), platform::makeRect(0.125, 0, 0.75, 1));
    EXPECT_EQ(capture->videoCamera()->internalRotation(), kZVImageRotateRight) << "front camera, portrait";
}

TEST_F(VideoCaptureTest, FramesReachTheDelegateAtTheOutputSize) {
    auto capture = makeCapture();
    capture->setRunning(true);
    shoot(*cameras.front, sensorPicture({200, 120, 90, 255}));
    ASSERT_EQ(delegate->buffers.size(), 1u);
    auto buffer = delegate->last();
    EXPECT_EQ(buffer->width(), 360);
    EXPECT_EQ(buffer->height(), 640);
    EXPECT_EQ(buffer->format(), platform::PixelFormat::BGRA);
    capture->setRunning(false);
    EXPECT_FALSE(cameras.front->isRunning());
}

TEST_F(VideoCaptureTest, LandscapeConfigurationCropsTheMiddleOfTheHeight) {
    auto capture = makeCapture(configuration(ZQLiveVideoQuality360p24, 3));
    ASSERT_TRUE(capture->cropfilter());
    EXPECT_EQ(capture->cropfilter()->cropRegion(), platform::makeRect(0, 0.125, 1, 0.75));
    capture->setRunning(true);
    shoot(*cameras.front, sensorPicture({90, 90, 90, 255}));
    ASSERT_TRUE(delegate->last());
    EXPECT_EQ(delegate->last()->width(), 640);
    EXPECT_EQ(delegate->last()->height(), 360);
}

TEST_F(VideoCaptureTest, OtherPresetsAreNotCropped) {
    auto capture = makeCapture(configuration(ZQLiveVideoQuality540p24));
    EXPECT_FALSE(capture->cropfilter());
    EXPECT_EQ(cameras.front->openedWidth, 960);
}

TEST_F(VideoCaptureTest, EncodedFramesNeverCarryTheWatermarkWhileThePreviewDoes) {
    auto capture = makeCapture();
    capture->setBeautyFace(false); // exact colours
    auto window = platform::View::create(platform::makeRect(0, 0, 360, 640));
    capture->setPreView(window);

    auto red = platform::PixelBuffer::create(4, 4, platform::PixelFormat::BGRA);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            std::uint8_t* p = red->planeData(0) + y * red->bytesPerRow(0) + x * 4;
            p[0] = 0, p[1] = 0, p[2] = 255, p[3] = 255;
        }
    auto mark = platform::ImageView::create(platform::Image::create(red), platform::makeRect(20, 30, 100, 50));
    mark->setAlpha(0.5);
    capture->setWarterMarkView(mark);
    EXPECT_EQ(capture->blendFilter()->mix(), 0.5) << "the view's alpha is the blend strength";
    EXPECT_EQ(capture->warterMarkView(), mark);

    capture->setRunning(true);
    shoot(*cameras.front, sensorPicture({40, 40, 200, 255}));
    ASSERT_EQ(delegate->buffers.size(), 1u);
    Picture encoded = zvtest::fromBGRA(*delegate->last());
    Colour plain = encoded.at(300, 600);
    EXPECT_TRUE(near(encoded.at(70, 55), plain, 3)) << "no watermark in the encoded picture";

    auto preview = capture->previewImageView()->presentedImage();
    ASSERT_TRUE(preview);
    Picture shown = zvtest::fromBGRA(*preview->pixelBuffer());
    // The view is drawn with its alpha (premultiplied red at 0.5) and blended with that alpha again.
    auto mixed = [&](int c, double overlay) { return static_cast<std::uint8_t>(std::lround(plain[c] * 0.75 + overlay * 0.25)); };
    Colour blended{mixed(0, 127.5), mixed(1, 0), mixed(2, 0), 255};
    EXPECT_TRUE(near(shown.at(70, 55), blended, 4)) << "red blended into the preview";
    EXPECT_FALSE(near(shown.at(70, 55), plain, 10));
    EXPECT_TRUE(near(shown.at(300, 600), plain, 3));
    capture->setRunning(false);
}

TEST_F(VideoCaptureTest, BeautyOffAndOnStartsFromTheFiltersOwnLevels) {
    auto capture = makeCapture();
    capture->setBeautyLevel(0.9);
    capture->setBrightLevel(0.2);
    EXPECT_EQ(capture->beautyFilter()->beautyLevel(), 0.9);
    capture->setBeautyFace(false);
    EXPECT_EQ(capture->beautyFilter(), nullptr);
    EXPECT_TRUE(capture->filter());
    capture->setBeautyFace(true);
    EXPECT_EQ(capture->beautyFilter()->beautyLevel(), 0.5);
    EXPECT_EQ(capture->beautyFilter()->brightLevel(), 0.5);
    EXPECT_EQ(capture->beautyLevel(), 0.9) << "the capture keeps what was asked";
}

TEST_F(VideoCaptureTest, APictureHeldByTheEncoderIsNotOverwrittenByTheNextFrame) {
    auto capture = makeCapture();
    capture->setBeautyFace(false);
    capture->setRunning(true);
    shoot(*cameras.front, sensorPicture({250, 20, 20, 255}));
    auto held = delegate->last();
    Picture before = zvtest::fromBGRA(*held);
    for (int i = 0; i < 6; ++i) shoot(*cameras.front, sensorPicture({20, 20, 250, 255}), 2 + i);
    ASSERT_EQ(delegate->buffers.size(), 7u);
    EXPECT_EQ(zvtest::fromBGRA(*held).rgba, before.rgba) << "the held picture is untouched";
    EXPECT_NE(delegate->last(), held);
    EXPECT_GT(zvtest::fromBGRA(*delegate->last()).at(10, 10)[2], 200);
}

TEST_F(VideoCaptureTest, OnceWarmTheGraphAllocatesNothingPerFrame) {
    auto capture = makeCapture();
    capture->setRunning(true);
    auto& cache = ZVImageContext::sharedFramebufferCache();
    for (int i = 0; i < 3; ++i) shoot(*cameras.front, sensorPicture({100, 100, 100, 255}), i);
    delegate->buffers.clear(); // the encoder has let its pictures go
    auto made = cache.framebuffersMade();
    auto buffers = cache.readbackBuffersMade();
    for (int i = 0; i < 10; ++i) {
        shoot(*cameras.front, sensorPicture({100, 100, 100, 255}), 10 + i);
        std::lock_guard lock(delegate->mutex);
        delegate->buffers.clear();
    }
    EXPECT_EQ(cache.framebuffersMade(), made);
    EXPECT_EQ(cache.readbackBuffersMade(), buffers);
}

TEST_F(VideoCaptureTest, AFrameArrivingWhileOneIsDrawnIsDropped) {
    auto capture = makeCapture();
    capture->setRunning(true);
    // Hold the video-processing queue, as a long draw would.
    platform::DispatchSemaphore release(0), holding(0);
    runAsynchronouslyOnVideoProcessingQueue([&] {
        holding.signal();
        release.wait();
    });
    holding.wait();
    EXPECT_TRUE(cameras.front->deliver(sensorPicture({1, 2, 3, 255}), 1));
    EXPECT_TRUE(cameras.front->deliver(sensorPicture({1, 2, 3, 255}), 2));
    EXPECT_TRUE(cameras.front->deliver(sensorPicture({1, 2, 3, 255}), 3));
    release.signal();
    zvtest::drainVideoQueue();
    EXPECT_EQ(capture->videoCamera()->droppedFrameCount(), 2u);
    EXPECT_EQ(delegate->buffers.size(), 1u);
    shoot(*cameras.front, sensorPicture({1, 2, 3, 255}), 4);
    EXPECT_EQ(delegate->buffers.size(), 2u) << "the next frame after the draw is taken";
    ZQVideoCaptureStatistics statistics = capture->captureStatistics();
    EXPECT_EQ(statistics.framesCaptured, 2u);
    EXPECT_EQ(statistics.framesDropped, 2u);
    EXPECT_EQ(statistics.framesDelivered, 2u);
}

TEST_F(VideoCaptureTest, MirrorAppliesToTheEncodedPictureOfTheFrontCameraOnly) {
    auto capture = makeCapture();
    capture->setBeautyFace(false);
    capture->setMirror(true);
    capture->reloadFilter();
    EXPECT_TRUE(capture->videoCamera()->horizontallyMirrorFrontFacingCamera());
    EXPECT_EQ(capture->videoCamera()->internalRotation(), kZVImageRotateRightFlipVertical);
    capture->setCaptureDevicePosition(1);
    EXPECT_FALSE(capture->videoCamera()->horizontallyMirrorFrontFacingCamera());
    EXPECT_FALSE(capture->videoCamera()->horizontallyMirrorRearFacingCamera());
    EXPECT_EQ(capture->videoCamera()->internalRotation(), kZVImageRotateRight);
}

TEST_F(VideoCaptureTest, TheSceneStaysUprightInPortraitAndLandscape) {
    // A phone sensor is landscape: held upright, the scene's top lies along the sensor's left edge;
    // held in landscape right, along its top edge (the landscape crop then cuts the top 60 rows).
    struct Case {
        std::int64_t orientation;
        int markX, markY, markW, markH;
    };
    for (Case c : {Case{1, 0, 0, 40, 480}, Case{3, 0, 0, 640, 100}}) {
        auto config = configuration(ZQLiveVideoQuality360p24, c.orientation);
        auto capture = makeCapture(config);
        capture->setBeautyFace(false);
        capture->setCaptureDevicePosition(1); // the back camera: no on-screen mirror to think about
        capture->setRunning(true);
        delegate->buffers.clear();
        shoot(*cameras.back, sensorPicture({0, 0, 200, 255}, c.markX, c.markY, c.markW, c.markH, {250, 250, 0, 255}));
        ASSERT_TRUE(delegate->last());
        Picture out = zvtest::fromBGRA(*delegate->last());
        EXPECT_GT(out.at(out.width / 2, 1)[0], 200) << "the mark at the top, orientation " << c.orientation;
        EXPECT_LT(out.at(out.width / 2, out.height - 2)[0], 60) << "and not at the bottom";
        capture->setRunning(false);
    }
}

TEST_F(VideoCaptureTest, PreviewIsMirroredOnScreenForTheFrontCameraAndSwitchesToggleIt) {
    auto capture = makeCapture();
    auto window = platform::View::create(platform::makeRect(0, 0, 90, 160));
    capture->setPreView(window);
    auto preview = capture->previewImageView();
    EXPECT_EQ(capture->preView(), window);
    EXPECT_EQ(window->subviews().front(), preview);
    EXPECT_EQ(preview->frame(), platform::makeRect(0, 0, 90, 160));
    EXPECT_EQ(preview->transform(), platform::AffineTransform::identity().scaled(-1, 1));
    EXPECT_EQ(preview->fillMode(), kZVImageFillModePreserveAspectRatioAndFilling);

    capture->setCaptureDevicePosition(1);
    EXPECT_EQ(capture->captureDevicePosition(), 1);
    EXPECT_TRUE(preview->transform().isIdentity());
    capture->setCaptureDevicePosition(2);
    EXPECT_EQ(preview->transform(), platform::AffineTransform::identity().scaled(-1, 1)) << "two switches: as before";
    capture->setCaptureDevicePosition(2);
    EXPECT_EQ(preview->transform(), platform::AffineTransform::identity().scaled(-1, 1)) << "same position: nothing";
}

TEST_F(VideoCaptureTest, SwitchingToAPositionWithoutASourceIsAClearErrorThatChangesNothing) {
    cameras.back.reset();
    auto capture = makeCapture();
    capture->setCaptureDevicePosition(1);
    EXPECT_EQ(capture->captureDevicePosition(), 2);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_NE(delegate->errors[0].find("no camera source at the back"), std::string::npos) << delegate->errors[0];
    EXPECT_TRUE(capture->previewImageView()->transform().isIdentity());
}

TEST_F(VideoCaptureTest, FrameRateIgnoresZeroAndNegativeValues) {
    auto capture = makeCapture();
    capture->setVideoFrameRate(15);
    EXPECT_EQ(capture->videoFrameRate(), 15);
    EXPECT_EQ(cameras.front->frameRate.load(), 15);
    capture->setVideoFrameRate(0);
    capture->setVideoFrameRate(-3);
    EXPECT_EQ(capture->videoFrameRate(), 15);
}

TEST_F(VideoCaptureTest, OrientationFollowsTheStatusBarOnlyWithAutorotate) {
    auto config = configuration();
    auto capture = makeCapture(config);
    platform::Application::setStatusBarOrientation(1);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillChangeStatusBarOrientationNotification);
    EXPECT_EQ(capture->videoCamera()->outputImageOrientation(), 1) << "autorotate off";

    config->setAutorotate(true);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillChangeStatusBarOrientationNotification);
    EXPECT_EQ(capture->videoCamera()->outputImageOrientation(), 2);
    platform::Application::setStatusBarOrientation(3); // not of a portrait pair: nothing
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillChangeStatusBarOrientationNotification);
    EXPECT_EQ(capture->videoCamera()->outputImageOrientation(), 2);
    platform::Application::setStatusBarOrientation(1);
}

TEST_F(VideoCaptureTest, TheCameraSourceTurnsItsSceneForEveryOutputOrientation) {
    // The back ends turn their scene as a phone's sensor would see it held that way; the capture
    // tells the device each orientation it is set to, on creation, on rotation and after a switch.
    auto config = configuration();
    config->setAutorotate(true);
    auto capture = makeCapture(config);
    EXPECT_EQ(cameras.front->orientation.load(), 1) << "portrait from the configuration";
    platform::Application::setStatusBarOrientation(1);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillChangeStatusBarOrientationNotification);
    EXPECT_EQ(cameras.front->orientation.load(), 2);
    capture->setCaptureDevicePosition(1);
    EXPECT_EQ(cameras.back->orientation.load(), 2) << "the camera switched to sees the scene the same way";
    platform::Application::setStatusBarOrientation(1);

    Cameras landscapeCameras;
    auto landscape = ZVVideoCapture::create(configuration(ZQLiveVideoQuality360p24, 3), landscapeCameras.provider());
    EXPECT_EQ(landscapeCameras.front->orientation.load(), 3);
}

TEST_F(VideoCaptureTest, WithoutAProviderTheCamerasComeFromTheSharedRegistry) {
    auto& registry = platform::CameraRegistry::shared();
    registry.setSource(platform::CameraPosition::Front, platform::CameraSource{});
    auto none = ZVVideoCapture::create(configuration());
    none->setDelegate(delegate);
    none->setRunning(true);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_NE(delegate->errors[0].find("no camera source for the front position"), std::string::npos)
        << delegate->errors[0];
    none->setRunning(false);

    registry.reset();
    auto capture = ZVVideoCapture::create(configuration());
    ASSERT_TRUE(capture->videoCamera());
    EXPECT_EQ(capture->videoCamera()->inputCamera()->name(), "pattern (front)");
}

TEST_F(VideoCaptureTest, TorchAndZoomUseTheDeviceOrLeaveThingsAsTheyWere) {
    auto capture = makeCapture();
    capture->setTorch(true);
    EXPECT_FALSE(capture->torch()) << "no torch on this camera";
    cameras.front->torchPresent = true;
    capture->setTorch(true);
    EXPECT_TRUE(capture->torch());
    cameras.front->torchFails = true;
    capture->setTorch(false);
    EXPECT_TRUE(capture->torch()) << "the device kept its torch on";

    capture->setZoomScale(2.0);
    EXPECT_EQ(capture->zoomScale(), 1.0) << "no zoom control";
    cameras.front->zoomable = true;
    capture->setZoomScale(2.0);
    EXPECT_EQ(capture->zoomScale(), 2.0);
    EXPECT_EQ(cameras.front->zoom, 2.0);
}

TEST_F(VideoCaptureTest, WithoutACameraTheCaptureStaysUsableAndReportsOnStart) {
    cameras.front.reset();
    auto capture = makeCapture();
    EXPECT_EQ(capture->videoCamera(), nullptr);
    capture->setTorch(true);
    capture->setZoomScale(3);
    capture->setVideoFrameRate(10);
    capture->setCaptureDevicePosition(1);
    capture->setMirror(true);
    capture->setBeautyFace(false);
    EXPECT_FALSE(capture->torch());
    EXPECT_EQ(capture->zoomScale(), 1.0);
    EXPECT_EQ(capture->currentImage(), nullptr);
    EXPECT_TRUE(delegate->errors.empty());

    capture->setRunning(true);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_NE(delegate->errors[0].find("no camera source at the front"), std::string::npos) << delegate->errors[0];
    capture->setRunning(false);
}

TEST_F(VideoCaptureTest, ACameraThatCannotStartOrIsLostIsReportedOnce) {
    cameras.front->startFails = true;
    auto capture = makeCapture();
    capture->setRunning(true);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_NE(delegate->errors[0].find("start refused"), std::string::npos);
    capture->setRunning(false);

    cameras.front->startFails = false;
    capture->setRunning(true);
    cameras.front->loseDevice("unplugged");
    ASSERT_EQ(delegate->errors.size(), 2u);
    EXPECT_NE(delegate->errors[1].find("unplugged"), std::string::npos);
    capture->setRunning(false);
}

TEST_F(VideoCaptureTest, BackgroundPausesTheCameraAndForegroundResumes) {
    auto capture = makeCapture();
    capture->setRunning(true);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    EXPECT_TRUE(capture->videoCamera()->capturePaused());
    shoot(*cameras.front, sensorPicture({1, 1, 1, 255}));
    EXPECT_TRUE(delegate->buffers.empty()) << "nothing is drawn in the background";
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
    shoot(*cameras.front, sensorPicture({1, 1, 1, 255}));
    EXPECT_EQ(delegate->buffers.size(), 1u);
    capture->setRunning(false);
}

TEST_F(VideoCaptureTest, RunningTogglesTheIdleTimerAndDropsThePreviewOnStop) {
    zqtest::VirtualTime time;
    auto capture = makeCapture();
    auto window = platform::View::create(platform::makeRect(0, 0, 90, 160));
    capture->setPreView(window);
    capture->setRunning(true);
    time.runMain();
    EXPECT_TRUE(platform::Application::idleTimerDisabled());
    capture->setRunning(false);
    time.runMain();
    EXPECT_FALSE(platform::Application::idleTimerDisabled());
    EXPECT_TRUE(window->subviews().empty());
    EXPECT_EQ(capture->preView(), nullptr);
}

TEST_F(VideoCaptureTest, LocalRecordingIsInert) {
    std::vector<std::string> lines;
    platform::Console::setEnabled(true);
    platform::Console::setSink([&](const std::string& line) { lines.push_back(line); });
    auto capture = makeCapture();
    capture->setSaveLocalVideo(true);
    capture->setSaveLocalVideoPath("/tmp/never-written.mp4");
    capture->setRunning(true);
    capture->setRunning(false);
    platform::Console::setSink(nullptr);
    std::set<std::string> seen(lines.begin(), lines.end());
    EXPECT_TRUE(seen.count("无用方法initWithMovieURL"));
    EXPECT_TRUE(seen.count("无用方法startRecording"));
    EXPECT_TRUE(seen.count("无用方法finishRecordingWithCompletionHandler"));
}

TEST_F(VideoCaptureTest, TheSessionPassesViewsThroughToTheCapture) {
    ZVVideoCapture::setDefaultCameraDeviceProvider(cameras.provider());
    auto session = ZQLiveSession::create(nullptr, configuration(), ZQLiveCaptureVideo);
    std::vector<std::string> announced;
    session->setPropertyChangeHandler([&](const std::string& name) { announced.push_back(name); });
    auto window = platform::View::create(platform::makeRect(0, 0, 36, 64));
    session->setPreView(window);
    EXPECT_EQ(session->preView(), window);
    auto mark = platform::View::create(platform::makeRect(0, 0, 10, 10));
    session->setWarterMarkView(mark);
    EXPECT_EQ(session->warterMarkView(), mark);
    EXPECT_EQ(session->currentImage(), nullptr);
    EXPECT_TRUE(session->beautyFace()) << "the kit's capture is the session's video source";
    EXPECT_EQ(announced, std::vector<std::string>{"preView"});
    ZVVideoCapture::setDefaultCameraDeviceProvider(nullptr);
}

} // namespace
